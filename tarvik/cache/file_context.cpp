// Open-file contexts: construction at open, release at close, fstat, block
// file names and the cache functions behind the two cache exports.
#include "cache/file_context.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "cache/block_reader.h"
#include "cache/block_writer.h"
#include "cache/upload_journal.h"
#include "cache/worker_pools.h"
#include "core/directories.h"
#include "core/library_state.h"
#include "core/scoped_lock.h"
#include "log/log.h"
#include "webapi/block_id.h"
#include "webapi/envelope.h"

namespace tarvik {
namespace {
std::atomic<int64_t> g_liveContexts{0};

// The open files (contexts between contentOpen and contentClose), so that a
// delete or a rename can find the opens of its path. Keyed by the context's
// path, which changes only under this mutex. Only a context's name mutex is
// taken while it is held.
std::mutex g_openFilesMutex;
std::multimap<std::string, std::weak_ptr<FileContext>>& openFiles() {
  static auto* files = new std::multimap<std::string, std::weak_ptr<FileContext>>();
  return *files;
}

// A live open of `servicePath` that a new open may share: opened, not
// closed, and its name not deleted. Registry mutex held.
FileContextPtr liveOpenLocked(const std::string& servicePath) {
  auto range = openFiles().equal_range(servicePath);
  for (auto it = range.first; it != range.second; ++it) {
    FileContextPtr fc = it->second.lock();
    if (fc && fc->openCount > 0 && !fc->closed.load() && !fc->removed.load()) return fc;
  }
  return nullptr;
}

// Registers `fc` as the content of its path, or, when another open of the
// path registered first, joins that one and returns it instead.
FileContextPtr registerOpenFile(const FileContextPtr& fc) {
  std::lock_guard<std::mutex> lock(g_openFilesMutex);
  if (FileContextPtr live = liveOpenLocked(fc->path())) {
    live->openCount += 1;
    return live;
  }
  fc->openCount = 1;
  openFiles().emplace(fc->path(), fc);
  return fc;
}

// One open of `fc` ends. True when it was the last: the context is then no
// longer found by new opens.
bool releaseOpenFile(FileContext* fc) {
  std::lock_guard<std::mutex> lock(g_openFilesMutex);
  if (--fc->openCount > 0) return false;
  auto range = openFiles().equal_range(fc->path());
  for (auto it = range.first; it != range.second; ++it) {
    FileContextPtr live = it->second.lock();
    if (!live || live.get() == fc) {
      openFiles().erase(it);
      break;
    }
  }
  return true;
}
}  // namespace

int BlockFile::close() {
  pin_.reset();
  if (fd_ < 0) return 0;
  const int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0 ? 0 : errno;
}

BlockInfo::~BlockInfo() {
  if (id.empty() && !path.empty()) {
    file.close();
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      TLOG_WARN("private block file not removed: ", path, " ", std::strerror(errno));
    }
  }
  if (countedPrivateBytes != 0) block_cache::privateResized(-countedPrivateBytes);
}

void countPrivateCopy(BlockInfo& b) {
  const int64_t now = (b.id.empty() && !b.path.empty()) ? static_cast<int64_t>(b.length) : 0;
  if (now == b.countedPrivateBytes) return;
  block_cache::privateResized(now - b.countedPrivateBytes);
  b.countedPrivateBytes = now;
}

FileContext::FileContext() { g_liveContexts.fetch_add(1); }

FileContext::~FileContext() { g_liveContexts.fetch_sub(1); }

std::string FileContext::path() const {
  std::lock_guard<std::mutex> lock(nameMutex_);
  return path_;
}

std::string FileContext::uploadToken() const {
  std::lock_guard<std::mutex> lock(nameMutex_);
  return uploadToken_;
}

std::string FileContext::downloadToken() const {
  std::lock_guard<std::mutex> lock(nameMutex_);
  return downloadToken_;
}

void FileContext::setDownloadToken(const std::string& token) {
  std::lock_guard<std::mutex> lock(nameMutex_);
  downloadToken_ = token;
}

void FileContext::setPath(const std::string& servicePath) {
  std::lock_guard<std::mutex> lock(nameMutex_);
  path_ = servicePath;
}

void FileContext::setUploadToken(const std::string& token) {
  std::lock_guard<std::mutex> lock(nameMutex_);
  uploadToken_ = token;
}

void FileContext::uploadFinished() {
  {
    std::lock_guard<std::mutex> lock(uploadWaitMutex_);
    pendingUploads.fetch_sub(1);
  }
  uploadDone_.notify_all();
}

bool FileContext::waitForUploads(int32_t limit, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(uploadWaitMutex_);
  return uploadDone_.wait_until(lock, deadline, [&] { return pendingUploads.load() <= limit; });
}

const std::string& zeroBlockId() {
  static std::once_flag once;
  static std::string id;
  std::call_once(once, [] {
    constexpr size_t kPiece = 1u << 20;
    std::unique_ptr<char[]> zeros(new char[kPiece]());
    Sha1 sha;
    for (uint32_t done = 0; done < BLOCK_SIZE; done += kPiece) sha.update(zeros.get(), kPiece);
    id = sha.finishUrlBase64() + "#" + std::to_string(BLOCK_SIZE);
  });
  return id;
}

const BlockInfoPtr& holeBlockLocked(FileContext& fc) {
  if (!fc.holeBlock) {
    auto b = std::make_shared<BlockInfo>();
    b->length = BLOCK_SIZE;
    b->state = BLOCK_DIRTY;
    fc.holeBlock = std::move(b);
  }
  return fc.holeBlock;
}

std::string blockFilePath(const std::string& id) { return state().blockDir + "/" + id; }

int contentOpen(const std::string& servicePath, DecasHandle* handle, const StatRecord& record,
                bool isNew, const JsonPtr& pretestDownload, const std::string& uploadToken,
                bool lockHeld) {
  const OpenFlags flags = handle->openFlags;
  auto fc = std::make_shared<FileContext>();
  fc->setPath(servicePath);
  fc->lockProcessId = handle->processId;

  std::vector<std::string> ids;
  bool readList = false;
  if (!isNew && (flags & (OPEN_READ | OPEN_WRITE)) && pretestDownload &&
      !isErrorResult(pretestDownload)) {
    fc->setDownloadToken(pretestDownload->member("token")->text());
    readList = true;
    JsonPtr list = pretestDownload->member("blockIds");
    for (size_t k = 0; k < list->count(); ++k) {
      JsonPtr id = list->element(k);
      if (!id->isString()) {
        TLOG_WARN("invalid block id in the list of ", servicePath);
        return -DECAS_EINVAL;
      }
      ids.push_back(id->text());
    }
  }
  // Blocks cached for an earlier content of this file go first.
  if (readList) block_cache::listed(servicePath, ids);
  fc->baseIds = ids;
  // A version waiting for upload is the file's content until it is
  // committed: its blocks come from the journal's copies.
  journal::Entry waiting;
  const bool useWaiting =
      !isNew && !(flags & OPEN_TRUNCATE) && journal::find(servicePath, &waiting);
  if (useWaiting) {
    ids = waiting.blocks;
    fc->baseIds = waiting.base;
  }
  if (isNew || (flags & OPEN_WRITE)) fc->setUploadToken(uploadToken);
  fc->meta = obtainMetaCache(servicePath, &record);
  fc->commitNeeded.store(isNew);
  fc->lockHeld.store(lockHeld);

  if ((readList || useWaiting) && !(flags & OPEN_TRUNCATE)) {
    fc->blocks.reserve(ids.size());
    for (size_t k = 0; k < ids.size(); ++k) {
      const int64_t length = blockIdLength(ids[k]);
      // A block longer than BLOCK_SIZE, or a bad id, would put every later
      // offset in the wrong place.
      if (length < 0 || length > BLOCK_SIZE || ids[k].find('/') != std::string::npos ||
          ids[k][0] == '#' || ids[k][0] == '.') {
        TLOG_WARN("invalid block id: ", ids[k]);
        return -DECAS_EINVAL;
      }
      if (length != BLOCK_SIZE && k + 1 != ids.size()) {
        TLOG_WARN("short block in the middle of ", servicePath, ": ", ids[k]);
      }
      if (k + 1 != ids.size() && ids[k] == zeroBlockId()) {
        fc->blocks.push_back(nullptr);  // a block of zeros: a hole, read without download
        continue;
      }
      auto b = std::make_shared<BlockInfo>();
      b->id = ids[k];
      b->path = blockFilePath(ids[k]);
      b->length = static_cast<uint32_t>(length);
      b->state = BLOCK_UPLOADED;
      const std::string kept = useWaiting ? journal::blockFile(waiting, ids[k]) : "";
      if (!kept.empty()) {
        b->path = kept;  // the service may not have it yet: it is uploaded before a commit
        b->state = BLOCK_SEALED;
      }
      fc->blocks.push_back(std::move(b));
    }
  }
  FileContextPtr shared = registerOpenFile(fc);
  if (shared != fc) {
    // Another open of the path came first: this one shares its content.
    // An open that made the file has no download token; this open's token
    // lets the shared content download its committed blocks again even
    // after the name is gone (a file deleted while open).
    if (readList && shared->downloadToken().empty()) shared->setDownloadToken(fc->downloadToken());
    handle->fileContext = shared;
    handle->state &= ~HANDLE_NEW;
    if (flags & OPEN_TRUNCATE) return cloud_ftruncate(handle->path().c_str(), 0, handle);
    return 0;
  }
  handle->fileContext = fc;

  if (flags & OPEN_TRUNCATE) {
    const int r = cloud_ftruncate(handle->path().c_str(), 0, handle);
    if (r < 0) return r;
  }
  if (isNew) {
    const int r = cloud_flush(handle->path().c_str(), handle);
    if (r < 0) return r;
    handle->state |= HANDLE_NEW;
  } else {
    handle->state &= ~HANDLE_NEW;
  }
  return 0;
}

FileContextPtr joinOpenFile(const std::string& servicePath, DecasHandle* handle) {
  FileContextPtr fc;
  {
    std::lock_guard<std::mutex> lock(g_openFilesMutex);
    fc = liveOpenLocked(servicePath);
    if (!fc) return nullptr;
    fc->openCount += 1;
  }
  handle->fileContext = fc;
  handle->state &= ~HANDLE_NEW;
  return fc;
}

int contentClose(DecasHandle* handle, bool* last) {
  if (last != nullptr) *last = true;
  FileContextPtr fc = handle != nullptr ? handle->fileContext : nullptr;
  if (!fc || fc->commandFile || fc->directory) return 0;
  if (!releaseOpenFile(fc.get())) {
    // Other opens share the content: it stays as it is.
    if (last != nullptr) *last = false;
    return 0;
  }
  std::vector<BlockInfoPtr> blocks;
  {
    ScopedLock lock(fc->mutex);
    blocks = fc->blocks;
    if (fc->holeBlock) blocks.push_back(fc->holeBlock);
  }
  int status = 0;
  for (const BlockInfoPtr& b : blocks) {
    if (!b) continue;  // a hole
    ScopedLock lock(b->mutex);
    const int err = b->file.close();
    if (err != 0 && status == 0) status = osFailure(err);
    b->detached = true;
  }
  // Queued tasks of this file do nothing from here on.
  fc->closed.store(true);
  return status;
}

bool isFileOpen(const std::string& servicePath) {
  std::lock_guard<std::mutex> lock(g_openFilesMutex);
  auto range = openFiles().equal_range(servicePath);
  for (auto it = range.first; it != range.second; ++it) {
    FileContextPtr fc = it->second.lock();
    // A file whose name was deleted or replaced while open is no longer
    // the file of the path.
    if (fc && fc->openCount > 0 && !fc->closed.load() && !fc->removed.load()) return true;
  }
  return false;
}

int openFilesForWriting() {
  std::lock_guard<std::mutex> lock(g_openFilesMutex);
  int count = 0;
  for (const auto& [path, weak] : openFiles()) {
    FileContextPtr fc = weak.lock();
    if (fc && fc->openCount > 0 && !fc->closed.load() && !fc->uploadToken().empty()) ++count;
  }
  return count;
}

void markOpenFilesRemoved(const std::string& servicePath) {
  std::lock_guard<std::mutex> lock(g_openFilesMutex);
  auto& files = openFiles();
  // The path itself and every path below it ("p/..."), which sort right
  // after it; "p" followed by a character below "/" sorts in between.
  for (auto it = files.lower_bound(servicePath); it != files.end(); ++it) {
    const std::string& p = it->first;
    if (p.compare(0, servicePath.size(), servicePath) != 0) break;
    if (p.size() != servicePath.size() && p[servicePath.size()] != '/') continue;
    if (FileContextPtr fc = it->second.lock()) {
      TLOG_DEBUG(">removed while open: ", p);
      fc->removed.store(true);
    }
  }
}

std::vector<MovedOpenFile> renameOpenFiles(const std::string& fromService,
                                           const std::string& toService) {
  std::vector<MovedOpenFile> moved;
  std::lock_guard<std::mutex> lock(g_openFilesMutex);
  auto& files = openFiles();
  std::vector<std::pair<std::string, std::weak_ptr<FileContext>>> taken;
  for (auto it = files.lower_bound(fromService); it != files.end();) {
    const std::string& p = it->first;
    if (p.compare(0, fromService.size(), fromService) != 0) break;
    if (p.size() != fromService.size() && p[fromService.size()] != '/') {
      ++it;
      continue;
    }
    taken.emplace_back(p, it->second);
    it = files.erase(it);
  }
  for (auto& [oldPath, weak] : taken) {
    FileContextPtr fc = weak.lock();
    if (!fc) continue;
    if (fc->removed.load()) {
      files.emplace(oldPath, weak);  // its name is gone; nothing follows it
      continue;
    }
    const std::string newPath = toService + oldPath.substr(fromService.size());
    TLOG_DEBUG(">renamed while open: ", oldPath, " -> ", newPath);
    fc->setPath(newPath);
    files.emplace(newPath, weak);
    moved.push_back(MovedOpenFile{fc, oldPath});
  }
  return moved;
}

FileContextPtr makeCommandFileContext() {
  auto fc = std::make_shared<FileContext>();
  fc->commandFile = true;
  return fc;
}

FileContextPtr makeDirectoryContext(const std::string& servicePath, MetaCachePtr meta) {
  auto fc = std::make_shared<FileContext>();
  fc->directory = true;
  fc->setPath(servicePath);
  fc->meta = std::move(meta);
  return fc;
}

int contentFstat(const char* path, StatRecord* out, DecasHandle* h) {
  (void)path;
  FileContextPtr fc = h != nullptr ? h->fileContext : nullptr;
  if (h != nullptr && (h->state & HANDLE_DIRECTORY)) {
    // An open folder: its record is the cached one.
    if (fc && fc->meta) {
      *out = fc->meta->record();
      return 0;
    }
    return -DECAS_ENOENT;
  }
  if (!fc) return -DECAS_EINVAL;
  if (fc->commandFile) return 0;
  if (!fc->meta) return -DECAS_EINVAL;
  if (fc->sizeStale.load()) {
    // The blocks' lengths are counted while writes through other opens may
    // land: a write grows the size itself once its bytes are in, so the
    // count only ever raises it (a truncation sets it under the same lock),
    // and the size stays stale when anything changed meanwhile.
    const uint64_t changesAtStart = fc->changes.load();
    int64_t sum = 0;
    ScopedLock lock(fc->mutex);
    for (const BlockInfoPtr& b : fc->blocks) {
      if (!b) {
        sum += BLOCK_SIZE;
        continue;
      }
      ScopedLock blockLock(b->mutex);
      struct stat st;
      if (b->file.isOpen() && ::fstat(b->file.fd(), &st) == 0) {
        sum += st.st_size;
      } else {
        sum += b->length;
      }
    }
    TLOG_DEBUG(">update size = ", sum);
    fc->meta->growSize(sum);
    if (fc->changes.load() == changesAtStart) fc->sizeStale.store(false);
  }
  const StatRecord record = fc->meta->record();
  TLOG_DEBUG(">size = ", record.size);
  *out = record;
  return 0;
}

namespace file_context_testing {
int64_t liveContexts() { return g_liveContexts.load(); }
}  // namespace file_context_testing

}  // namespace tarvik
