// Metadata cache: one shared StatRecord per file or folder open on the
// drive, so every handle of a path sees the same size and times, and
// listings show files that are written but not yet on the service.
//
// Structure: folder key -> EntryCacheHolder -> name -> weak MetaCache.
// The directory holds only weak references; a MetaCache lives as long as a
// FileContext (or a snapshot) holds it.
//
// Locks: the directory mutex is the innermost lock of the library. It is
// held for the whole of each operation below and never across a service
// call. Each MetaCache's record has a small lock of its own, so a copy never
// mixes two updates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "optable/decas.h"

namespace tarvik {

class MetaCache {
 public:
  explicit MetaCache(const StatRecord& record) : record_(record) {}

  StatRecord record() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
  }
  void setRecord(const StatRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_ = record;
  }
  int64_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_.size;
  }
  int64_t mtime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_.mtime;
  }
  void setSize(int64_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_.size = size;
  }
  // Raises the size to at least `size` (a write that ends past the end).
  void growSize(int64_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (size > record_.size) record_.size = size;
  }
  void setMtime(int64_t mtime) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_.mtime = mtime;
  }
  void setSizeAndMtime(int64_t size, int64_t mtime) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_.size = size;
    record_.mtime = mtime;
  }

 private:
  mutable std::mutex mutex_;  // guards record_; innermost, never held across a call out
  StatRecord record_;
};

using MetaCachePtr = std::shared_ptr<MetaCache>;

// Starts a new, empty directory for a mount. 0, or -1 when it cannot.
int metaCacheInit();

// The live MetaCache of `path`, or, when none and `record` is given, a new
// one holding a copy of it. Creates the folder's holder when missing.
MetaCachePtr obtainMetaCache(const std::string& path, const StatRecord* record);

// Drops the live entry of `path`; true when one was removed.
bool removeMetaCache(const std::string& path);

// Erases the expired entries of `folder`'s holder, and the holder when empty.
void purgeMetaCache(const std::string& folder);

// The live entries of `folder`, by name.
std::map<std::string, MetaCachePtr> snapshotMetaCache(const std::string& folder);

// `mtime` raised to the newest mtime of the folder's live entries.
int64_t newestMtime(const std::string& folder, int64_t mtime);

namespace meta_cache_testing {
// Inspection for tests: number of holders, whether `folder` has one, and
// how many entries (live or expired) it keeps.
size_t holderCount();
bool hasHolder(const std::string& folder);
size_t entryCount(const std::string& folder);
}  // namespace meta_cache_testing

}  // namespace tarvik
