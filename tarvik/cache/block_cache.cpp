// Size accounting and eviction of the block directory. See block_cache.h.
#include "cache/block_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

#include "cache/byte_size.h"
#include "core/directories.h"
#include "core/library_state.h"
#include "core/scoped_lock.h"
#include "log/log.h"

namespace tarvik {
namespace {

// Blocks left by earlier runs count against the limit from the start.
[[maybe_unused]] const bool g_rescanWhenReady = runWhenDirectoriesReady(&block_cache::rescan);

// Upper bound of the default limit; a tenth of a small file system is less.
constexpr int64_t kDefaultLimitCap = int64_t{10} << 30;

struct Entry {
  int64_t size = 0;
  bool present = false;  // counted: the file is in the block directory
  int pins = 0;
  std::list<std::string>::iterator pos;  // place in `order` while present
  std::string path;                      // service file it was last used for
};

struct Registry {
  std::mutex mutex;
  std::unordered_map<std::string, Entry> entries;
  std::list<std::string> order;  // eviction order: front first
  // service path -> ids counted for it; only ids of present entries.
  std::map<std::string, std::set<std::string>> byPath;
  int64_t used = 0;
  // Private copies of blocks being written (in the temporary directory):
  // counted against the limit, never evicted.
  int64_t privateBytes = 0;
  int64_t limit = -1;  // none until configured
  // The cache's lock file, open with a shared record lock while this
  // process uses the block directory (see othersShareLocked).
  int lockFd = -1;
  std::string lockPath;
};

// Never destroyed: pins may be released by threads that outlive static
// destruction at process exit.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

void setPathLocked(Registry& r, const std::string& id, Entry& e, const std::string& path) {
  if (e.path == path) return;
  if (!e.path.empty()) {
    auto it = r.byPath.find(e.path);
    if (it != r.byPath.end()) {
      it->second.erase(id);
      if (it->second.empty()) r.byPath.erase(it);
    }
  }
  e.path = path;
  if (!path.empty()) r.byPath[path].insert(id);
}

// The block goes to the front of the eviction order and belongs to no file.
void demoteLocked(Registry& r, const std::string& id) {
  auto it = r.entries.find(id);
  if (it == r.entries.end()) return;
  Entry& e = it->second;
  if (e.present) r.order.splice(r.order.begin(), r.order, e.pos);
  setPathLocked(r, id, e, "");
}

// Ids counted for `path` and everything below it.
std::vector<std::string> idsUnderLocked(Registry& r, const std::string& path) {
  std::vector<std::string> ids;
  const std::string prefix = path + "/";
  auto exact = r.byPath.find(path);
  if (exact != r.byPath.end()) ids.insert(ids.end(), exact->second.begin(), exact->second.end());
  for (auto it = r.byPath.lower_bound(prefix);
       it != r.byPath.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    ids.insert(ids.end(), it->second.begin(), it->second.end());
  }
  return ids;
}

// Takes the shared lock on the cache's lock file when this process does
// not hold it yet (or the block directory moved). Each drive process holds
// it while it runs; the system drops it when the process ends.
void holdLockLocked(Registry& r) {
  const std::string path = block_cache::lockFilePath();
  if (r.lockFd >= 0 && r.lockPath == path) return;
  if (r.lockFd >= 0) ::close(r.lockFd);
  r.lockFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  r.lockPath = path;
  if (r.lockFd < 0) {
    TLOG_WARN("block cache lock file: ", path, " ", std::strerror(errno));
    return;
  }
  struct flock fl {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  if (::fcntl(r.lockFd, F_SETLK, &fl) != 0)
    TLOG_WARN("block cache lock: ", path, " ", std::strerror(errno));
}

// Another live process uses the block directory. Its pins are unknown
// here: a block it reads, or has sealed and not yet uploaded, may be any
// file of the directory (ids are content addresses, so two processes share
// blocks of equal content). Record locks of this process never conflict
// with its own, so a conflicting write lock means another holder. When the
// lock cannot be checked, the directory counts as shared.
bool othersShareLocked(Registry& r) {
  holdLockLocked(r);
  if (r.lockFd < 0) return true;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (::fcntl(r.lockFd, F_GETLK, &fl) != 0) return true;
  return fl.l_type != F_UNLCK;
}

// Evicts unpinned block files, least recently used first, until the cache
// holds at most `target` bytes (block files and private copies).
int64_t evictLocked(Registry& r, int64_t target) {
  if (othersShareLocked(r)) {
    // Evicting could remove a block the other process still needs (and
    // lose data it has not uploaded yet). The limit applies again as soon
    // as this process is the only user.
    TLOG_DEBUG("block cache over its limit, kept: another drive process uses it: ", r.used,
               " > ", r.limit);
    return 0;
  }
  const std::string& dir = state().blockDir;
  int64_t removed = 0;
  for (auto it = r.order.begin(); it != r.order.end() && r.used + r.privateBytes > target;) {
    auto found = r.entries.find(*it);
    if (found == r.entries.end()) {  // never happens: every listed id has an entry
      it = r.order.erase(it);
      continue;
    }
    Entry& e = found->second;
    if (e.pins > 0) {
      ++it;
      continue;
    }
    const std::string file = dir + "/" + *it;
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
      TLOG_WARN("evict block failed: ", file, " ", std::strerror(errno));
      ++it;
      continue;
    }
    TLOG_DEBUG("evict block: ", *it);
    r.used -= e.size;
    removed += e.size;
    setPathLocked(r, *it, e, "");
    it = r.order.erase(it);
    r.entries.erase(found);
  }
  if (r.used + r.privateBytes > target) {
    TLOG_DEBUG("block cache over its limit while blocks are in use: ", r.used, " + ",
               r.privateBytes, " private > ", target);
  }
  return removed;
}

int64_t trimLocked(Registry& r) {
  if (r.limit < 0 || r.used + r.privateBytes <= r.limit) return 0;
  return evictLocked(r, r.limit);
}

}  // namespace

CachePin::CachePin(const std::string& id) : id_(id) {
  if (id_.empty()) return;
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  r.entries[id_].pins += 1;
}

CachePin& CachePin::operator=(CachePin&& other) noexcept {
  if (this != &other) {
    reset();
    id_ = std::move(other.id_);
    other.id_.clear();
  }
  return *this;
}

void CachePin::reset() {
  if (id_.empty()) return;
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  auto it = r.entries.find(id_);
  id_.clear();
  if (it == r.entries.end()) return;
  Entry& e = it->second;
  e.pins -= 1;
  if (e.pins > 0) return;
  if (!e.present) {
    r.entries.erase(it);
    return;
  }
  // A file kept over the limit only by this pin may go now.
  trimLocked(r);
}

namespace block_cache {

std::string lockFilePath() { return state().blockDir + ".lock"; }

int64_t defaultLimit(const std::string& dir) {
  struct statvfs fs;
  if (::statvfs(dir.c_str(), &fs) != 0) return kDefaultLimitCap;
  const int64_t total = static_cast<int64_t>(fs.f_blocks) * static_cast<int64_t>(fs.f_frsize);
  return std::min(kDefaultLimitCap, total / 10);
}

void rescan() {
  struct Found {
    int64_t mtimeNs;
    std::string name;
    int64_t size;
  };
  std::vector<Found> files;
  const std::string dir = state().blockDir;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* ent = ::readdir(d)) {
      const std::string name = ent->d_name;
      if (name == "." || name == "..") continue;
      struct stat st;
      if (::lstat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      files.push_back({static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                       name, static_cast<int64_t>(st.st_size)});
    }
    ::closedir(d);
  }
  std::sort(files.begin(), files.end(), [](const Found& a, const Found& b) {
    return a.mtimeNs != b.mtimeNs ? a.mtimeNs < b.mtimeNs : a.name < b.name;
  });

  Registry& r = registry();
  ScopedLock lock(r.mutex);
  holdLockLocked(r);
  // Pinned ids stay known (their holders release them later); the rest is
  // counted afresh.
  for (auto it = r.entries.begin(); it != r.entries.end();) {
    if (it->second.pins > 0) {
      it->second.present = false;
      it->second.size = 0;
      it->second.path.clear();
      ++it;
    } else {
      it = r.entries.erase(it);
    }
  }
  r.order.clear();
  r.byPath.clear();
  r.used = 0;
  for (const Found& f : files) {
    Entry& e = r.entries[f.name];
    e.present = true;
    e.size = f.size;
    e.pos = r.order.insert(r.order.end(), f.name);
    r.used += f.size;
  }
  TLOG_INFO("block cache: ", static_cast<int64_t>(files.size()), " files, ", r.used, " bytes");
  trimLocked(r);
}

void setLimit(int64_t bytes) {
  if (bytes < 0) bytes = defaultLimit(state().blockDir);
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  r.limit = bytes;
  TLOG_INFO("block cache limit: ", bytes, " bytes");
  trimLocked(r);
}

void configureFromEnvironment() {
  const char* text = std::getenv(kCacheLimitVariable);
  int64_t bytes = -1;
  if (text != nullptr && *text != '\0' && !parseByteSize(text, &bytes)) {
    TLOG_WARN(kCacheLimitVariable, " is not a size (such as 10G or 512M): \"", text,
              "\"; the default limit applies");
    bytes = -1;
  }
  setLimit(bytes);
}

int64_t limit() {
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  return r.limit;
}

int64_t usedBytes() {
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  return r.used + r.privateBytes;
}

int64_t privateBytes() {
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  return r.privateBytes;
}

void privateResized(int64_t delta) {
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  r.privateBytes += delta;
  if (delta > 0) trimLocked(r);
}

int64_t makeRoom() {
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  return evictLocked(r, 0);
}

int clear() {
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  if (othersShareLocked(r)) {
    TLOG_WARN("cache not cleared: another drive process uses it");
    return 0;
  }
  const std::string& dir = state().blockDir;
  int kept = 0;
  // Files this process never counted (left by an earlier run) are counted
  // at start-up; anything found here that is unknown is not in use.
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* ent = ::readdir(d)) {
      const std::string name = ent->d_name;
      if (name == "." || name == "..") continue;
      auto found = r.entries.find(name);
      if (found != r.entries.end() && found->second.pins > 0) {
        ++kept;
        continue;
      }
      const std::string file = dir + "/" + name;
      struct stat st;
      const bool folder = ::lstat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      if (folder ? removeRecursive(file) != 0 : ::unlink(file.c_str()) != 0 && errno != ENOENT) {
        TLOG_WARN("cache file not removed: ", file, " ", std::strerror(errno));
        ++kept;
        continue;
      }
      if (found == r.entries.end()) continue;
      Entry& e = found->second;
      if (e.present) {
        r.used -= e.size;
        r.order.erase(e.pos);
      }
      setPathLocked(r, name, e, "");
      r.entries.erase(found);
    }
    ::closedir(d);
  }
  if (kept > 0) TLOG_INFO("cache cleared; kept ", kept, " blocks that are in use");
  return kept;
}

void use(const std::string& id, int64_t size, const std::string& servicePath) {
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  Entry& e = r.entries[id];
  if (!e.present) {
    e.present = true;
    e.size = size;
    e.pos = r.order.insert(r.order.end(), id);
    r.used += size;
  } else {
    r.used += size - e.size;
    e.size = size;
    r.order.splice(r.order.end(), r.order, e.pos);
  }
  if (!servicePath.empty()) setPathLocked(r, id, e, servicePath);
  trimLocked(r);
}

void listed(const std::string& servicePath, const std::vector<std::string>& ids) {
  const std::set<std::string> keep(ids.begin(), ids.end());
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  auto it = r.byPath.find(servicePath);
  if (it == r.byPath.end()) return;
  const std::set<std::string> counted = it->second;  // demoting edits the index
  for (const std::string& id : counted) {
    if (keep.count(id) == 0) demoteLocked(r, id);
  }
}

void removed(const std::string& servicePath) {
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  for (const std::string& id : idsUnderLocked(r, servicePath)) demoteLocked(r, id);
}

void renamed(const std::string& from, const std::string& to) {
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  for (const std::string& id : idsUnderLocked(r, to)) demoteLocked(r, id);
  const std::vector<std::string> moving = idsUnderLocked(r, from);
  for (const std::string& id : moving) {
    auto it = r.entries.find(id);
    if (it == r.entries.end()) continue;
    const std::string old = it->second.path;
    setPathLocked(r, id, it->second, to + old.substr(from.size()));
  }
}

int64_t trim() {
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  return trimLocked(r);
}

}  // namespace block_cache

namespace block_cache_testing {
int pins(const std::string& id) {
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  auto it = r.entries.find(id);
  return it == r.entries.end() ? 0 : it->second.pins;
}
bool counted(const std::string& id) {
  Registry& r = registry();
  ScopedLock lock(r.mutex);
  auto it = r.entries.find(id);
  return it != r.entries.end() && it->second.present;
}
}  // namespace block_cache_testing

}  // namespace tarvik
