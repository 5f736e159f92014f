// Files waiting for upload. See waiting_uploads.h.
#include "cache/waiting_uploads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <picojson.h>
#include <set>
#include <thread>

#include "cache/block_reader.h"
#include "cache/block_writer.h"
#include "cache/content_service.h"
#include "cache/service_tokens.h"
#include "cache/upload_journal.h"
#include "core/clock.h"
#include "core/scoped_lock.h"
#include "core/service_codes.h"
#include "log/log.h"
#include "webapi/envelope.h"
#include "webapi/service_methods.h"

namespace tarvik {
namespace {

constexpr int kKeptCode = 1006;
constexpr int kAllUploadedCode = 1007;
constexpr int kConflictCode = 1008;
constexpr int64_t kFirstPauseMs = 1000;
constexpr int64_t kLongestPauseMs = 5 * 60 * 1000;

void report(int code, const std::vector<std::string>& args) {
  picojson::array a;
  for (const std::string& s : args) a.emplace_back(s);
  picojson::object error;
  error["code"] = picojson::value(static_cast<double>(code));
  error["args"] = picojson::value(a);
  picojson::object doc;
  doc["error"] = picojson::value(error);
  reportServiceError(json::parse(picojson::value(doc).serialize()), nullptr);
}

// The drive path as the user reads it: without the leading separator.
std::string shown(const std::string& drivePath) {
  return !drivePath.empty() && drivePath[0] == '/' ? drivePath.substr(1) : drivePath;
}

struct Retries {
  std::mutex mutex;
  std::condition_variable wake;
  std::thread thread;
  bool stop = false;
  bool nudged = false;
  bool running = false;
};
Retries& retries() {
  static auto* r = new Retries;
  return *r;
}

std::atomic<int> g_loopPasses{0};  // passes made by the background loop
std::mutex g_passMutex;     // one pass at a time
bool g_hadWaiting = false;  // guarded by g_passMutex: the last pass left files waiting

void nudge() {
  Retries& r = retries();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    r.nudged = true;
  }
  r.wake.notify_all();
}

// Every folder above `servicePath` below its area folder exists (a waiting
// file whose folder was deleted meanwhile is put back where it was).
void makeParents(const std::string& servicePath) {
  size_t pos = servicePath.find('/', 1);  // the area folder itself exists
  while (pos != std::string::npos) {
    pos = servicePath.find('/', pos + 1);
    if (pos == std::string::npos) break;
    const std::string folder = servicePath.substr(0, pos);
    if (isErrorResult(api::getResourceDetail(folder, api::skipNotFound))) api::makeDirectory(folder);
  }
}

// Sends the blocks of `entry` the service may not have under `token`, then
// commits its block list. 0 or the service's code.
int sendEntry(const journal::Entry& entry, const std::string& token) {
  const ContentService& service = contentService();
  std::set<std::string> sent;
  for (const std::string& id : entry.blocks) {
    if (!sent.insert(id).second) continue;
    std::string file = journal::blockFile(entry, id);
    if (file.empty() && !isMissingFile(blockFilePath(id))) file = blockFilePath(id);
    if (file.empty()) continue;  // a block of the version it was based on: the service has it
    const int r = service.uploadBlock(token, id, file);
    if (r != 0) return r;
  }
  return service.uploadFile(token, entry.blocks);
}

// An upload token for `target`, whose folders are made again when they
// were deleted meanwhile. 0 or the service's code.
int uploadTokenFor(const std::string& target, std::string* token) {
  const ContentService& service = contentService();
  int r = service.pretestUpload(target, token);
  if (r == service_code::kNotFound) {
    makeParents(target);
    r = service.pretestUpload(target, token);
  }
  return r;
}

// Commits the waiting `entry`; *committedAs receives the path it went to.
// 0 or the service's code.
int commitEntry(const journal::Entry& entry, std::string* committedAs) {
  const ContentService& service = contentService();
  if (service.pretestDownload == nullptr || service.pretestUpload == nullptr) return -1;
  std::string token;
  std::vector<std::string> current;
  std::string target = entry.servicePath;
  int r = service.pretestDownload(entry.servicePath, &token, &current);
  if (r == 0) {
    if (current == entry.blocks) {
      *committedAs = target;  // taken before its answer was lost
      return 0;
    }
    if (current != entry.base) {
      target = conflictPath(entry.servicePath, static_cast<int64_t>(std::time(nullptr)));
    }
  } else if (r != service_code::kNotFound) {
    return r;
  }
  // A service that restarted during the transfer no longer knows the
  // token: a new one is taken and every block goes again under it.
  for (int renewals = 0;; ++renewals) {
    r = uploadTokenFor(target, &token);
    if (r != 0) return r;
    r = sendEntry(entry, token);
    if (r == 0) *committedAs = target;
    if (r == 0 || !tokenRefused(r) || renewals >= kTokenRenewals) return r;
    TLOG_INFO("upload token of a waiting file refused, renewed: ", target);
  }
}

// One entry of a pass. True when the pass goes on (false: the service
// cannot be reached now).
bool retryEntry(journal::Entry entry) {
  std::string committedAs;
  const int r = commitEntry(entry, &committedAs);
  if (r == 0) {
    TLOG_INFO("waiting file uploaded: ", entry.servicePath, " as ", committedAs);
    journal::remove(entry);
    if (committedAs != entry.servicePath) {
      report(kConflictCode, {shown(entry.drivePath),
                             committedAs.substr(committedAs.rfind('/') + 1)});
    }
    return true;
  }
  entry.lastCode = r;
  if (journal::failureMayPass(r)) {
    journal::update(entry);
    return false;
  }
  TLOG_WARN("waiting file refused by the service, kept: ", entry.servicePath, " code ", r);
  entry.final = true;
  journal::update(entry);
  return true;
}

void retryLoop() {
  Retries& r = retries();
  int64_t pauseMs = 0;    // the first pass runs at once
  int64_t backoffMs = 0;  // grows only over passes that left files waiting
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(r.mutex);
      r.wake.wait_for(lock, std::chrono::milliseconds(pauseMs), [&] { return r.stop || r.nudged; });
      if (r.stop) return;
      // A new waiting file or a commit that went through starts the pauses
      // again from the shortest: the long pause after an empty pass must not
      // hold back a file kept since.
      if (r.nudged) backoffMs = 0;
      r.nudged = false;
    }
    const int left = retryWaitingNow();
    ++g_loopPasses;
    if (left == 0) {
      backoffMs = 0;
      pauseMs = kLongestPauseMs;
    } else {
      backoffMs = std::min(std::max(backoffMs * 2, kFirstPauseMs), kLongestPauseMs);
      pauseMs = backoffMs;
    }
  }
}

}  // namespace

int keepWaiting(FileContext& fc, const std::string& drivePath) {
  journal::Entry entry;
  std::vector<std::string> files;
  for (size_t k = 0; k < fc.blocks.size(); ++k) {
    BlockInfoPtr b = fc.blocks[k] ? fc.blocks[k] : holeBlockLocked(fc);
    {
      ScopedLock lock(b->mutex);
      // An empty last block holds nothing of the file.
      if (k + 1 == fc.blocks.size() && b->state != BLOCK_UPLOADED && b->length == 0) break;
    }
    if (sealBlock(b, fc) != 0) return EIO;
    ScopedLock lock(b->mutex);
    entry.blocks.push_back(b->id);
    entry.size += b->length;
    if (!isMissingFile(b->path)) files.push_back(b->path);
  }
  entry.servicePath = fc.path();
  entry.drivePath = drivePath;
  entry.base = fc.baseIds;
  entry.mtime = fc.meta ? fc.meta->record().mtime : nowMicroseconds();
  entry.lastCode = fc.lastServiceCode.load();
  entry.final = !journal::failureMayPass(entry.lastCode);
  const int rc = journal::keep(entry, files);
  if (rc != 0) {
    TLOG_WARN("content not kept for upload: ", entry.servicePath, " errno ", rc);
    return rc;
  }
  if (!entry.final) report(kKeptCode, {shown(drivePath)});
  nudge();
  return 0;
}

void committedNewest(const std::string& servicePath) {
  journal::removeAllOf(servicePath);
  nudge();
}

bool waitingRecord(const std::string& servicePath, StatRecord* record) {
  journal::Entry entry;
  if (!journal::find(servicePath, &entry)) return false;
  if (record->type != ENTRY_FILE) *record = StatRecord{ENTRY_FILE, 0, entry.mtime, entry.mtime, entry.mtime};
  record->size = entry.size;
  record->mtime = entry.mtime;
  return true;
}

std::vector<std::pair<std::string, StatRecord>> waitingChildren(const std::string& folder) {
  std::vector<std::pair<std::string, StatRecord>> out;
  for (const journal::Entry& e : journal::childrenOf(folder)) {
    out.emplace_back(e.servicePath.substr(folder.size() + 1),
                     StatRecord{ENTRY_FILE, e.size, e.mtime, e.mtime, e.mtime});
  }
  return out;
}

int retryWaitingNow() {
  std::lock_guard<std::mutex> pass(g_passMutex);
  int left = 0;
  bool reachable = true;
  const std::vector<journal::Entry> entries = journal::pending();
  if (!entries.empty()) g_hadWaiting = true;
  for (const journal::Entry& entry : entries) {
    if (!reachable || isFileOpen(entry.servicePath)) {
      ++left;  // an open file commits at its close
      continue;
    }
    if (!retryEntry(entry)) {
      reachable = false;
      ++left;
    }
  }
  if (left == 0 && g_hadWaiting) report(kAllUploadedCode, {});
  g_hadWaiting = left > 0;
  return left;
}

void startWaitingRetries() {
  Retries& r = retries();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.running) return;
  journal::reload();  // a new sign-in may be another account
  r.stop = false;
  r.nudged = false;
  r.running = true;
  r.thread = std::thread(retryLoop);
}

void stopWaitingRetries() {
  Retries& r = retries();
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.running) return;
    r.stop = true;
    r.running = false;
    thread = std::move(r.thread);
  }
  r.wake.notify_all();
  if (thread.joinable()) thread.join();
}

std::string conflictPath(const std::string& servicePath, int64_t seconds) {
  const size_t slash = servicePath.rfind('/');
  const std::string folder = servicePath.substr(0, slash + 1);
  const std::string name = servicePath.substr(slash + 1);
  const size_t dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot != 0;
  const std::string stem = hasExtension ? name.substr(0, dot) : name;
  const std::string extension = hasExtension ? name.substr(dot) : "";
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  localtime_r(&t, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H%M%S", &local);
  return folder + stem + " (conflict " + stamp + ")" + extension;
}

namespace waiting_uploads_testing {
int loopPasses() { return g_loopPasses.load(); }
}  // namespace waiting_uploads_testing

}  // namespace tarvik
