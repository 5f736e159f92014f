// Name operations of the cloud side.
//
// Each slot classifies its drive path (PathKind and service path), refuses
// what the root layout protects, makes its service calls and translates a
// failure with mapServiceError. The metadata cache is consulted before the
// service for paths that are open, and kept in step after moves and deletes.
// Below it, the stat cache answers for names the service described moments
// ago (listings and look-ups); every change made here forgets what it
// touches, before the service call and again after it.
//
// Threads: every slot runs on Dokan's worker threads. The slots keep no
// state of their own; the metadata cache has its own (innermost) lock, which
// is never held across a service call here.
#include "cloud/namespace_ops.h"

#include <algorithm>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "cache/block_cache.h"
#include "cache/block_writer.h"
#include "cache/content_service.h"
#include "cache/file_context.h"
#include "cache/meta_cache.h"
#include "cache/open_contents.h"
#include "cache/stat_cache.h"
#include "cache/waiting_uploads.h"
#include "cache/worker_pools.h"
#include "cloud/root_layout.h"
#include "cloud/system_commands.h"
#include "core/clock.h"
#include "core/directories.h"
#include "core/library_state.h"
#include "core/service_codes.h"
#include "log/log.h"
#include "webapi/envelope.h"
#include "webapi/service_methods.h"
#include "webapi/service_status.h"

namespace tarvik {

namespace {

// Access modes that change something; refused on protected paths.
constexpr int kModifyingAccessBits = 0xF6;

int failureOf(const JsonPtr& result) { return mapServiceError(errorCode(result)); }

// The metadata cache of `servicePath` while a file of it is open: it knows
// more than the service then (a write in progress). Once the last open is
// closed the content is committed and the service (or the stat cache) is
// asked; a closed file's context that lingers must not hide later changes
// made by someone else.
MetaCachePtr openMetaCache(const std::string& servicePath) {
  MetaCachePtr meta = obtainMetaCache(servicePath, nullptr);
  if (meta && !isFileOpen(servicePath)) return nullptr;
  return meta;
}

// A getResourceDetail answer that is not an entry object cannot be turned
// into a record; it fails like an unknown service error instead of showing
// a made-up empty file.
// `missing` (optional) tells a failure because the service has no such entry.
bool fetchServiceDetail(const std::string& servicePath, StatRecord* out, int* status,
                        bool* missing);

// The service's record of the path, or the record of its waiting version
// when its content is kept for a later upload.
bool fetchDetail(const std::string& servicePath, StatRecord* out, int* status,
                 bool* missing = nullptr) {
  bool absent = false;
  const bool found = fetchServiceDetail(servicePath, out, status, &absent);
  if (missing) *missing = absent;
  if (!found && !absent) return false;
  if (!found) *out = StatRecord{};
  if (!waitingRecord(servicePath, out)) return found;
  if (missing) *missing = false;
  *status = 0;
  return true;
}

bool fetchServiceDetail(const std::string& servicePath, StatRecord* out, int* status,
                        bool* missing) {
  if (missing) *missing = false;
  switch (statCacheLookup(servicePath, out)) {
    case StatAnswer::kFound:
      *status = 0;
      return true;
    case StatAnswer::kMissing:
      *status = mapServiceError(service_code::kNotFound);
      if (missing) *missing = true;
      return false;
    case StatAnswer::kUnknown:
      break;
  }
  const uint64_t ticket = statCacheTicket();
  JsonPtr detail = api::getResourceDetail(servicePath, api::skipNotFound);
  if (isErrorResult(detail)) {
    if (errorCode(detail) == service_code::kNotFound) {
      statCachePut(servicePath, nullptr, ticket);
      if (missing) *missing = true;
    }
    *status = failureOf(detail);
    return false;
  }
  if (!detail->isObject()) {
    TLOG_WARN("getResourceDetail: no entry object for ", servicePath);
    *status = UNMAPPED_SERVICE_STATUS;
    return false;
  }
  *out = entryToStatRecord(detail, true);
  statCachePut(servicePath, out, ticket);
  *status = 0;
  return true;
}

// The record of an entry below an area folder: from the metadata cache when
// the path is open, else from the service.
bool lookupRecord(const std::string& servicePath, StatRecord* out, int* status) {
  if (MetaCachePtr meta = openMetaCache(servicePath)) {
    *out = meta->record();
    *status = 0;
    return true;
  }
  return fetchDetail(servicePath, out, status);
}

// A listing's name must be a single, real path component.
bool validEntryName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

void unlockQuietly(const std::string& servicePath) {
  api::unlockResource(servicePath, api::skipError999);
}

// The handle lets go of its file context: the context is marked closed (its
// queued tasks then do nothing), detached from the handle and handed to the
// finalize pool, which drops it later. Returns the pool's status.
int releaseFileContext(DecasHandle* h) {
  FileContextPtr fc = std::move(h->fileContext);
  fc->closed = true;
  return finalizeFileContext(std::move(fc));
}

// An open file was moved with its name. An upload token names the path it
// commits to, so a file opened for writing gets one for its new path; the
// service lock moves along as well.
void followRename(const MovedOpenFile& moved) {
  FileContext& fc = *moved.context;
  const std::string now = fc.path();
  if (!fc.uploadToken().empty()) {
    JsonPtr upload = api::pretestUploadFile(now);
    if (isErrorResult(upload)) {
      // The old token would commit to the old name and bring it back; with
      // none, the commit fails and the close reports it.
      TLOG_WARN("no upload token for ", now, " after a rename; its commit will fail");
      fc.setUploadToken(std::string());
    } else {
      fc.setUploadToken(upload->text());
    }
  }
  if (fc.lockHeld.exchange(false)) {
    unlockQuietly(moved.oldPath);
    bool locked = false;
    std::string text;
    const int r = contentService().lockResource(now, fc.lockProcessId, &locked, &text);
    TLOG_DEBUG(">shared lock: ", "(", text, ")");
    if (r == 0 && locked) {
      fc.lockHeld.store(true);
      // Closed meanwhile: the close found no lock to give back.
      if (fc.closed.load() && fc.lockHeld.exchange(false)) unlockQuietly(now);
    }
  }
}

// A live open of the path exists: `h` shares its content. It takes the
// service lock when it asks for one and the content holds none, and an
// upload token when it writes and the content has none. False when there
// is no such open; otherwise *status is 0 or the failure (the join is
// undone then).
bool joinLiveOpen(const std::string& service, DecasHandle* h, int* status) {
  FileContextPtr fc = joinOpenFile(service, h);
  if (!fc) return false;
  const OpenFlags flags = h->openFlags;
  *status = 0;
  if ((flags & OPEN_WRITE) && fc->uploadToken().empty()) {
    JsonPtr upload = api::pretestUploadFile(service);
    if (isErrorResult(upload)) {
      *status = failureOf(upload);
    } else {
      fc->setUploadToken(upload->text());
    }
  }
  if (*status == 0 && fc->downloadToken().empty() && contentService().pretestDownload != nullptr) {
    // The open that made the file had no download token. Without one the
    // committed blocks could not come back once evicted, and no longer at
    // all once the name is gone (a file deleted while open).
    std::string token;
    std::vector<std::string> ids;
    if (contentService().pretestDownload(service, &token, &ids) == 0) fc->setDownloadToken(token);
  }
  if (*status == 0 && (flags & OPEN_SHARE_LOCK) && !state().noLocking && !fc->lockHeld.load()) {
    bool locked = false;
    std::string text;
    const int r = contentService().lockResource(service, h->processId, &locked, &text);
    TLOG_DEBUG(">shared lock: ", "(", text, ")");
    if (r == service_code::kLocked) {
      *status = -DECAS_STATUS_RESOURCE_LOCKED;
    } else if (r != 0 && (flags & OPEN_WRITE)) {
      *status = mapServiceError(r);
    } else if (r == 0 && locked) {
      fc->lockProcessId = h->processId;
      fc->lockHeld.store(true);
    }
  }
  if (*status == 0 && (flags & OPEN_TRUNCATE)) {
    *status = cloud_ftruncate(h->path().c_str(), 0, h);
  }
  if (*status < 0) cloud_close(h->path().c_str(), h);
  return true;
}

// pretestDownloadFile of an existing file: 0 with the answer in *out, or
// the failure. A file the service lacks may still wait for its upload
// here: 0 then, with no answer.
int fetchBlockList(const std::string& service, JsonPtr* out) {
  *out = api::pretestDownloadFile(service);
  if (!isErrorResult(*out)) return 0;
  StatRecord waiting{};
  if (errorCode(*out) == service_code::kNotFound && waitingRecord(service, &waiting)) {
    *out = nullptr;
    return 0;
  }
  return failureOf(*out);
}

}  // namespace

int cloud_access(const char* path, int mode) {
  std::string service;
  PathKind kind = pathKind(path, &service);
  if (kind < 0 || isSystem(kind)) return -DECAS_ENOENT;
  if (tooLongForService(service)) return NAME_TOO_LONG_STATUS;
  if (isInTrash(kind) && (mode & (ACCESS_DELETE | ACCESS_DELETE_DIRECTORY))) return 0;
  if (isProtected(kind)) return (mode & kModifyingAccessBits) ? -DECAS_EACCES : 0;

  JsonPtr result = api::checkPermission(service, mode);
  if (isErrorResult(result)) return failureOf(result);
  return result->isBool() && result->boolean() ? 0 : -DECAS_EACCES;
}

int cloud_stat(const char* path, StatRecord* out) {
  std::string service;
  PathKind kind = pathKind(path, &service);
  if (kind >= 0 && !isSystem(kind)) {
    if (isAreaRoot(kind)) {
      *out = rootRecord();
      return 0;
    }
    if (tooLongForService(service)) return NAME_TOO_LONG_STATUS;
    int status = 0;
    if (MetaCachePtr meta = openMetaCache(service)) {
      *out = meta->record();
      return 0;
    }
    StatRecord record{};
    if (!fetchDetail(service, &record, &status)) return status;
    if (record.type == ENTRY_DIRECTORY) record.mtime = newestMtime(service, record.mtime);
    *out = record;
    return 0;
  }
  if (std::string(path) == "/__system__") out->type = ENTRY_SYSTEM;
  return -DECAS_ENOENT;
}

int cloud_mkdir(const char* path) {
  std::string service;
  PathKind kind = pathKind(path, &service);
  if (kind < 0) return -DECAS_EACCES;
  if (isAreaRoot(kind)) return -DECAS_EEXIST;
  if (isProtected(kind) || isSystem(kind)) return -DECAS_EACCES;
  if (tooLongForService(service)) return NAME_TOO_LONG_STATUS;
  statCacheForget(service);
  const uint64_t ticket = statCacheTicket();
  JsonPtr result = api::makeDirectory(service);
  if (isErrorResult(result)) {
    statCacheForget(service);
    return failureOf(result);
  }
  // A new folder is empty: the look-ups of the names created in it next
  // (cp -r) are answered without a call.
  statCacheMadeFolder(service, ticket);
  return 0;
}

int cloud_remove(const char* path, bool toTrash) {
  std::string service;
  PathKind kind = pathKind(path, &service);
  if (kind < 0) return -DECAS_ENOENT;
  // The trash folder itself is an area root: never deleted.
  if (isAreaRoot(kind)) return -DECAS_EACCES;
  if (!isInTrash(kind) && isProtected(kind)) return -DECAS_EACCES;
  if (isSystem(kind)) return -DECAS_EACCES;
  if (tooLongForService(service)) return NAME_TOO_LONG_STATUS;

  statCacheForget(service);
  JsonPtr result = (isInTrash(kind) || !toTrash) ? api::removeResource(service)
                                                  : api::moveToTrash(service);
  statCacheForget(service);
  // A move to the trash adds a name there.
  if (!isInTrash(kind) && toTrash) statCacheForget(currentRootLayout().areas[AREA_TRASH].servicePrefix);
  if (isErrorResult(result)) return failureOf(result);
  // Files still open under the name keep their content but must never
  // commit it again.
  markOpenFilesRemoved(service);
  removeMetaCache(service);
  block_cache::removed(service);
  return 0;
}

int cloud_rmdir(const char* path, bool toTrash) { return cloud_remove(path, toTrash); }

int cloud_rename(const char* from, const char* to, bool overwrite) {
  std::string fromService;
  std::string toService;
  PathKind fromKind = pathKind(from, &fromService);
  PathKind toKind = pathKind(to, &toService);
  if (fromKind < 0 || toKind < 0) return -DECAS_ENOENT;

  if (isSystem(toKind)) return systemRename(fromKind, fromService, to);

  // Area folders are never moved and nothing replaces them; nothing moves
  // into the trash or onto a shared folder itself. An item of the trash may
  // move out of it (a manual restore).
  if (isSystem(fromKind)) return -DECAS_EACCES;
  if (isAreaRoot(fromKind) || isProtected(toKind)) return -DECAS_EACCES;
  if (isProtected(fromKind) && !isInTrash(fromKind)) return -DECAS_EACCES;

  // A name may begin with "." (rsync's and git's temporary files, sed -i on
  // a dotfile), as at creation; the service refuses what it cannot store.
  if (tooLongForService(fromService) || tooLongForService(toService)) return NAME_TOO_LONG_STATUS;

  // One call: with `overwrite` the service replaces an existing file in
  // the move itself, so a failed move leaves both names as they were.
  statCacheForget(fromService);
  statCacheForget(toService);
  JsonPtr result = api::moveResource(fromService, toService, overwrite);
  statCacheForget(fromService);
  statCacheForget(toService);
  if (isErrorResult(result)) return failureOf(result);
  // The name now belongs to the moved entry: files still open under it
  // (the replaced file) keep their content but never commit it over the
  // moved one, and what was cached of the old file goes.
  markOpenFilesRemoved(toService);
  removeMetaCache(toService);
  removeMetaCache(fromService);
  block_cache::renamed(fromService, toService);
  for (const MovedOpenFile& moved : renameOpenFiles(fromService, toService)) followRename(moved);
  notifyRenamed(from, to);
  return 0;
}

namespace {

// The record of the name an open opens: its open context's, the service's
// (usually still in the stat cache: the kernel looked the name up just
// before), or a new file's when it is missing and the open creates it.
int recordToOpen(const std::string& service, OpenFlags flags, StatRecord* record, bool* isNew) {
  if (MetaCachePtr meta = openMetaCache(service)) {
    *record = meta->record();
    return 0;
  }
  int status = 0;
  bool missing = false;
  if (fetchDetail(service, record, &status, &missing)) return 0;
  if (!missing) return status;
  if (!(flags & OPEN_CREATE)) return -DECAS_ENOENT;
  const int64_t now = nowMicroseconds();
  *record = StatRecord{ENTRY_FILE, 0, -1, now, now};
  *isNew = true;
  return 0;
}

// The kernel keeps its pages of the file when the content is the one of
// the last open (and no waiting version stands in for it); contentOpen has
// checked every id.
void keepPagesOfUnchangedContent(const std::string& service, const JsonPtr& pretestDownload,
                                 DecasHandle* h) {
  StatRecord waitingVersion{};
  if (waitingRecord(service, &waitingVersion)) return;
  std::vector<std::string> ids;
  JsonPtr list = pretestDownload->member("blockIds");
  for (size_t k = 0; k < list->count(); ++k) ids.push_back(list->element(k)->text());
  if (sameContentAsLastOpen(service, ids)) h->state |= HANDLE_KEEP_CACHE;
}

// The service's lock of an existing file for an open that asks for it. 0
// (with *held telling whether the service holds it) or a status; a reader
// does without the lock when the service cannot give it.
int lockForOpen(const std::string& service, DecasHandle* h, bool* held) {
  JsonPtr locked = api::lockResource(service, static_cast<int>(h->processId));
  TLOG_DEBUG(">shared lock: ", "(", locked->serialize(), ")");
  if (!isErrorResult(locked)) {
    *held = locked->isBool() && locked->boolean();
    return 0;
  }
  const int code = errorCode(locked);
  if (code == service_code::kLocked) return -DECAS_STATUS_RESOURCE_LOCKED;
  return (h->openFlags & OPEN_WRITE) ? mapServiceError(code) : 0;
}

}  // namespace

int cloud_open(const char* path, DecasHandle* h) {
  const OpenFlags flags = h->openFlags;
  std::string service;
  PathKind kind = pathKind(path, &service);
  if (kind < 0) return (flags & OPEN_CREATE) ? -DECAS_EACCES : -DECAS_ENOENT;
  if (isProtected(kind) && (flags & OPEN_WRITE)) return -DECAS_EACCES;

  if (isSystem(kind)) {
    if (std::string(path) != kSystemCommandFile) return -DECAS_ENOENT;
    h->fileContext = makeCommandFileContext();
    return 0;
  }
  // The drive root and the area folders are folders; they are opened with
  // opendir, never as files.
  if (isAreaRoot(kind)) return -DECAS_EISDIR;
  if (tooLongForService(service)) return NAME_TOO_LONG_STATUS;

  StatRecord record{};
  bool isNew = false;
  if (int r = recordToOpen(service, flags, &record, &isNew); r != 0) return r;
  // A closed file's lingering context takes what the service says now.
  if (MetaCachePtr lingering = obtainMetaCache(service, nullptr)) {
    if (!isFileOpen(service)) lingering->setRecord(record);
  }
  // A write, truncation or creation changes what the service says of the
  // name; the close forgets it again once the content is committed.
  const bool changes = isNew || (flags & (OPEN_WRITE | OPEN_TRUNCATE));
  if (changes) statCacheForget(service);

  if (record.type == ENTRY_DIRECTORY) return -DECAS_EISDIR;
  if (!isNew && (flags & OPEN_CREATE) && (flags & OPEN_EXCLUSIVE)) return -DECAS_EEXIST;

  int joined = 0;
  if (!isNew && joinLiveOpen(service, h, &joined)) return joined;

  bool lockHeld = false;
  if (!isNew && (flags & OPEN_SHARE_LOCK) && !state().noLocking) {
    if (int r = lockForOpen(service, h, &lockHeld); r != 0) return r;
  }
  // From here on a failure gives the lock back, so a failed open never
  // leaves the file locked on the service.
  auto fail = [&](int status) {
    if (lockHeld) unlockQuietly(service);
    return status;
  };

  // A truncating open takes the block list too: it is the version the new
  // content replaces, which a commit kept for later compares with the
  // service's (a conflict is only a version changed meanwhile).
  JsonPtr pretestDownload;
  bool wantBlocks = (flags & (OPEN_READ | OPEN_WRITE)) != 0;
  if (!isNew && wantBlocks) {
    const int r = fetchBlockList(service, &pretestDownload);
    if (r != 0) return fail(r);
  }
  std::string uploadToken;
  if (isNew || (flags & OPEN_WRITE)) {
    JsonPtr upload = api::pretestUploadFile(service);
    TLOG_DEBUG("pretstUL res = ", upload->serialize());
    if (isErrorResult(upload)) return fail(failureOf(upload));
    uploadToken = upload->text();
  }

  int status = contentOpen(service, h, record, isNew, pretestDownload, uploadToken, lockHeld);
  h->state &= ~HANDLE_KEEP_CACHE;
  if (status >= 0 && pretestDownload && !(flags & OPEN_TRUNCATE)) {
    keepPagesOfUnchangedContent(service, pretestDownload, h);
  }
  if (status < 0) {
    if (h->fileContext) {
      contentClose(h);
      h->fileContext->lockHeld = false;  // `fail` gives the lock back
      releaseFileContext(h);
    }
    return fail(status);
  }
  return 0;
}

int cloud_close(const char* path, DecasHandle* h) {
  (void)path;
  FileContextPtr fc = h->fileContext;
  if (!fc) return 0;
  if (fc->commandFile) {
    h->fileContext.reset();
    return 0;
  }
  bool last = true;
  int contentStatus = contentClose(h, &last);
  if ((h->openFlags & (OPEN_WRITE | OPEN_TRUNCATE)) || (h->state & HANDLE_NEW)) {
    statCacheForget(fc->path());
  }
  if (fc->removed.load()) h->state |= HANDLE_NAME_REMOVED;
  if (!last) {
    // Other opens share the content; the last of them commits and unlocks.
    h->fileContext.reset();
    return contentStatus;
  }
  if (fc->lockHeld.exchange(false)) unlockQuietly(fc->path());
  const int pushed = releaseFileContext(h);
  return contentStatus < 0 ? contentStatus : pushed;
}

int cloud_opendir(const char* path, DecasHandle* h) {
  std::string service;
  PathKind kind = pathKind(path, &service);
  if (kind < 0 || isSystem(kind)) return -DECAS_ENOENT;
  if (isAreaRoot(kind)) return 0;
  if (tooLongForService(service)) return NAME_TOO_LONG_STATUS;

  StatRecord record{};
  int status = 0;
  if (!lookupRecord(service, &record, &status)) return status;
  if (record.type != ENTRY_DIRECTORY) return -DECAS_ENOTDIR;

  MetaCachePtr meta = obtainMetaCache(service, &record);
  meta->setMtime(newestMtime(service, meta->mtime()));
  h->fileContext = makeDirectoryContext(service, meta);
  return 0;
}

int cloud_readdir(const char* path, DirFiller filler, int, int, DecasHandle* h) {
  std::string service;
  PathKind kind = pathKind(path, &service);
  if (kind < 0 || isSystem(kind)) return -DECAS_ENOENT;

  if (kind == KIND_DRIVE_ROOT) {
    const RootLayout& layout = currentRootLayout();
    for (int area : {AREA_HOME, AREA_SHARED, AREA_TRASH}) {
      const RootArea& a = layout.areas[area];
      StatRecord record = rootRecord();
      if (!a.servicePrefix.empty()) record.mtime = newestMtime(a.servicePrefix, record.mtime);
      if (filler(a.localName.c_str() + 1, &record, 0, 0, h) != 0) break;
    }
    return 0;
  }

  bool shared = kind == 3;
  // What the service listed: kept for the stats that follow a listing
  // (ls -l) and for a listing repeated at once.
  std::vector<std::pair<std::string, StatRecord>> listed;
  const bool fromCache = !shared && statCacheListing(service, &listed);
  if (!fromCache) {
    const uint64_t ticket = statCacheTicket();
    JsonPtr listing = shared ? api::getSharedEntries() : api::getEntries(service);
    if (isErrorResult(listing)) return failureOf(listing);
    size_t count = listing->count();
    listed.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      JsonPtr entry = listing->element(i);
      if (!entry->isObject()) continue;
      std::string name;
      if (shared) {
        std::string p = entry->member("path")->text();
        name = p.empty() ? p : p.substr(1);
      } else {
        name = entry->member("name")->text();
      }
      if (!validEntryName(name)) {
        TLOG_WARN("readdir: entry without a usable name skipped in ", service);
        continue;
      }
      listed.emplace_back(std::move(name), entryToStatRecord(entry, false));
    }
    if (!shared) statCachePutListing(service, listed, ticket);
  }

  // Files open on the drive know more than the service (writes in progress).
  std::map<std::string, MetaCachePtr> snapshot = snapshotMetaCache(service);
  bool stopped = false;
  for (size_t i = 0; i < listed.size() && !stopped; ++i) {
    const std::string& name = listed[i].first;
    StatRecord record = listed[i].second;
    auto cached = snapshot.find(name);
    const bool open = cached != snapshot.end();
    if (open) {
      TLOG_DEBUG("MetaCache: override entry ", name);
      record = cached->second->record();
      snapshot.erase(cached);
    }
    if (record.type == ENTRY_DIRECTORY) record.mtime = newestMtime(service + "/" + name, record.mtime);
    if (record.type == ENTRY_FILE && !open) waitingRecord(service + "/" + name, &record);
    stopped = filler(name.c_str(), &record, 0, 0, h) != 0;
  }
  // Files waiting for upload that the service does not list yet.
  for (const auto& [name, record] : waitingChildren(service)) {
    const bool listedAlready = std::any_of(listed.begin(), listed.end(),
                                           [&](const auto& l) { return l.first == name; });
    if (listedAlready || snapshot.count(name) != 0 || stopped) continue;
    StatRecord waiting = record;
    stopped = filler(name.c_str(), &waiting, 0, 0, h) != 0;
  }
  // Files known only locally (open, not yet on the service), in name order.
  for (const auto& left : snapshot) {
    if (stopped) break;
    TLOG_DEBUG("MetaCache: add entry ", left.first);
    StatRecord record = left.second->record();
    stopped = filler(left.first.c_str(), &record, 0, 0, h) != 0;
  }
  return 0;
}

int cloud_closedir(const char* path, DecasHandle* h) {
  std::string service;
  PathKind kind = pathKind(path, &service);
  if (kind < 0) return -DECAS_ENOENT;
  purgeMetaCache(service);
  if (!isAreaRoot(kind) && h->fileContext) releaseFileContext(h);
  return 0;
}

int cloud_statfs(int64_t* capacity, int64_t* free) {
  JsonPtr info = api::getLoginUserInfo();
  if (isErrorResult(info)) return failureOf(info);
  JsonPtr cap = info->member("contractCapacity");
  JsonPtr usage = info->member("usage");
  if (!cap->isNumber() || !usage->isNumber()) {
    TLOG_WARN("getLoginUserInfo: no capacity or usage in ", info->serialize());
    return UNMAPPED_SERVICE_STATUS;
  }
  // Whole numbers of bytes; a negative capacity is treated as none.
  double c = cap->number();
  double u = usage->number();
  int64_t capBytes = c > 0 ? (c >= 9.2e18 ? INT64_MAX : static_cast<int64_t>(c)) : 0;
  int64_t usedBytes = u > 0 ? (u >= 9.2e18 ? INT64_MAX : static_cast<int64_t>(u)) : 0;
  *capacity = capBytes;
  *free = capBytes > usedBytes ? capBytes - usedBytes : 0;
  return 0;
}

int cloud_copy(const char* src, const char* dst) {
  std::string srcService;
  std::string dstService;
  PathKind srcKind = pathKind(src, &srcService);
  PathKind dstKind = pathKind(dst, &dstService);
  if (srcKind < 0 || dstKind < 0) return -DECAS_ENOENT;
  if (isSystem(srcKind) || isSystem(dstKind)) return -DECAS_EACCES;
  if (tooLongForService(srcService) || tooLongForService(dstService)) return NAME_TOO_LONG_STATUS;
  statCacheForget(dstService);
  JsonPtr result = api::copyResource(srcService, dstService);
  statCacheForget(dstService);
  return isErrorResult(result) ? failureOf(result) : 0;
}

int cloud_fstat(const char* path, StatRecord* out, DecasHandle* h) {
  // The drive root and the area folders are open without a record of their
  // own: they have the root record.
  if (h != nullptr && (h->state & HANDLE_DIRECTORY) &&
      !(h->fileContext && h->fileContext->meta) &&
      isAreaRoot(pathKind(path != nullptr ? path : "", nullptr))) {
    *out = rootRecord();
    return 0;
  }
  return contentFstat(path, out, h);
}

int cloud_write(const char* path, const char* buf, size_t len, int64_t off, bool sync,
                DecasHandle* h) {
  FileContextPtr fc = h != nullptr ? h->fileContext : nullptr;
  if (fc && fc->commandFile) {
    systemCommandWrite(buf, len);
    return static_cast<int>(std::min<size_t>(len, INT_MAX));
  }
  return contentWrite(path, buf, len, off, sync, h);
}

int cloud_init(int a, int b) {
  if (globalInitialize() != 0) {
    TLOG_DEBUG("global pool creation failed.");
    return -99;
  }
  const LibraryState& st = state();
  buildRootLayout(st.userId, st.language);
  return contentInit(a, b);
}

}  // namespace tarvik
