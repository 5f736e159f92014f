// Metadata cache: the process-wide directory folder key -> EntryCacheHolder
// -> name -> weak MetaCache.
//
// Owns: the directory map and its mutex. The MetaCaches themselves are owned
// by the FileContexts (and snapshots) that hold them; the directory only
// keeps weak references, so an entry expires by itself when the last holder
// lets go and is swept by the next purge of its folder.
//
// Threads: Dokan threads and worker threads. The directory mutex is the
// innermost lock of the library: every function below holds it for its
// whole run, takes no other lock meanwhile (MetaCache records are read only
// after the snapshot is taken, outside it) and never calls the service.
#include "cache/meta_cache.h"

#include "core/scoped_lock.h"
#include "log/log.h"

namespace tarvik {

namespace {

// Ordered by byte-wise comparison of the UTF-8 keys (std::string's order).
using EntryCacheHolder = std::map<std::string, std::weak_ptr<MetaCache>>;
using EntryCacheHolderPtr = std::shared_ptr<EntryCacheHolder>;

struct MetaDirectory {
  std::mutex mutex;  // innermost lock of the library
  std::map<std::string, EntryCacheHolderPtr> folders;
};

MetaDirectory& metaDirectory() {
  static MetaDirectory* directory = new MetaDirectory();  // lives until unload
  return *directory;
}

// "/a/b/c.txt" -> ("/a/b", "c.txt"); "/x" -> ("", "x"); "x" -> ("", "x").
void splitPath(const std::string& path, std::string* folder, std::string* name) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    folder->clear();
    *name = path;
    return;
  }
  *folder = path.substr(0, slash);
  *name = path.substr(slash + 1);
}

}  // namespace

int metaCacheInit() {
  MetaDirectory& dir = metaDirectory();
  ScopedLock lock(dir.mutex);
  // A new, empty directory for the new mount; MetaCaches still held by
  // contexts of an earlier mount live on but are no longer found.
  dir.folders.clear();
  return 0;
}

MetaCachePtr obtainMetaCache(const std::string& path, const StatRecord* record) {
  std::string folder;
  std::string name;
  splitPath(path, &folder, &name);

  MetaDirectory& dir = metaDirectory();
  ScopedLock lock(dir.mutex);
  EntryCacheHolderPtr& holder = dir.folders[folder];
  if (!holder) {
    holder = std::make_shared<EntryCacheHolder>();
    TLOG_DEBUG("MetaCache: create EntryCacheHolder for ", folder);
  }
  auto it = holder->find(name);
  if (it != holder->end()) {
    MetaCachePtr live = it->second.lock();
    if (live) {
      TLOG_DEBUG("MetaCache: obtain MetaCache for ", path);
      return live;
    }
  }
  if (!record) return nullptr;
  auto created = std::make_shared<MetaCache>(*record);
  (*holder)[name] = created;  // replaces an expired entry of the same name
  TLOG_DEBUG("MetaCache: create MetaCache for ", path);
  return created;
}

bool removeMetaCache(const std::string& path) {
  std::string folder;
  std::string name;
  splitPath(path, &folder, &name);

  MetaDirectory& dir = metaDirectory();
  ScopedLock lock(dir.mutex);
  auto holderIt = dir.folders.find(folder);
  if (holderIt == dir.folders.end()) return false;
  EntryCacheHolder& holder = *holderIt->second;
  auto it = holder.find(name);
  if (it == holder.end() || it->second.expired()) return false;
  TLOG_DEBUG("MetaCache: remove MetaCache for ", path);
  holder.erase(it);
  return true;
}

void purgeMetaCache(const std::string& folder) {
  MetaDirectory& dir = metaDirectory();
  ScopedLock lock(dir.mutex);
  auto holderIt = dir.folders.find(folder);
  if (holderIt == dir.folders.end()) return;
  EntryCacheHolder& holder = *holderIt->second;
  for (auto it = holder.begin(); it != holder.end();) {
    if (it->second.expired()) {
      it = holder.erase(it);
    } else {
      ++it;
    }
  }
  if (holder.empty()) dir.folders.erase(holderIt);
}

std::map<std::string, MetaCachePtr> snapshotMetaCache(const std::string& folder) {
  std::map<std::string, MetaCachePtr> snapshot;
  MetaDirectory& dir = metaDirectory();
  ScopedLock lock(dir.mutex);
  auto holderIt = dir.folders.find(folder);
  if (holderIt == dir.folders.end()) return snapshot;
  for (const auto& entry : *holderIt->second) {
    if (MetaCachePtr live = entry.second.lock()) snapshot.emplace(entry.first, std::move(live));
  }
  return snapshot;
}

int64_t newestMtime(const std::string& folder, int64_t mtime) {
  // The records are read after the directory mutex is released: each
  // MetaCache's own lock is taken alone, never nested in the directory's.
  std::map<std::string, MetaCachePtr> snapshot = snapshotMetaCache(folder);
  int64_t result = mtime;
  for (const auto& entry : snapshot) {
    int64_t child = entry.second->mtime();
    if (child > result) result = child;
  }
  if (result != mtime) TLOG_DEBUG("MetaCache: mtime updated for ", folder);
  return result;
}

namespace meta_cache_testing {

size_t holderCount() {
  MetaDirectory& dir = metaDirectory();
  ScopedLock lock(dir.mutex);
  return dir.folders.size();
}

bool hasHolder(const std::string& folder) {
  MetaDirectory& dir = metaDirectory();
  ScopedLock lock(dir.mutex);
  return dir.folders.count(folder) != 0;
}

size_t entryCount(const std::string& folder) {
  MetaDirectory& dir = metaDirectory();
  ScopedLock lock(dir.mutex);
  auto it = dir.folders.find(folder);
  return it == dir.folders.end() ? 0 : it->second->size();
}

}  // namespace meta_cache_testing

}  // namespace tarvik
