#include "cache/stat_cache.h"

#include <chrono>
#include <map>
#include <mutex>

namespace tarvik {

namespace {

struct Entry {
  StatAnswer answer = StatAnswer::kUnknown;  // kUnknown: changed through the drive
  StatRecord record{};
  int64_t at = 0;
};

struct StatCache {
  std::mutex mutex;
  std::map<std::string, Entry> entries;       // by service path
  std::map<std::string, int64_t> listedAt;    // folders with a complete listing
  // The listings themselves, while no change through the drive touched them.
  std::map<std::string, std::vector<std::pair<std::string, StatRecord>>> listings;
  int64_t (*clock)() = nullptr;
  uint64_t changes = 0;  // forgets so far
  // Puts between sweeps of expired entries, so the maps stay small.
  int putsSinceSweep = 0;
};

StatCache& cache() {
  static StatCache* instance = new StatCache;  // lives until unload
  return *instance;
}

int64_t steadyMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t now(const StatCache& c) { return c.clock ? c.clock() : steadyMicroseconds(); }

bool fresh(int64_t at, int64_t t) { return t - at < kStatCacheMicroseconds; }

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Drops expired entries every few thousand puts. Called with the mutex held.
void sweepLocked(StatCache& c, int64_t t) {
  if (++c.putsSinceSweep < 4096) return;
  c.putsSinceSweep = 0;
  for (auto it = c.entries.begin(); it != c.entries.end();) {
    it = fresh(it->second.at, t) ? std::next(it) : c.entries.erase(it);
  }
  for (auto it = c.listedAt.begin(); it != c.listedAt.end();) {
    if (fresh(it->second, t)) {
      ++it;
    } else {
      c.listings.erase(it->first);
      it = c.listedAt.erase(it);
    }
  }
}

}  // namespace

StatAnswer statCacheLookup(const std::string& path, StatRecord* out) {
  StatCache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  const int64_t t = now(c);
  auto it = c.entries.find(path);
  if (it != c.entries.end()) {
    if (fresh(it->second.at, t)) {
      if (it->second.answer == StatAnswer::kFound) *out = it->second.record;
      return it->second.answer;
    }
    // Changed through the drive: no listing without the name is trusted.
    if (it->second.answer == StatAnswer::kUnknown) return StatAnswer::kUnknown;
  }
  auto listed = c.listedAt.find(folderOf(path));
  if (listed != c.listedAt.end() && fresh(listed->second, t)) {
    // Not in a fresh complete listing: an entry of that listing would have
    // been found above, and every change since forgot the listing.
    if (it == c.entries.end() || it->second.at <= listed->second) return StatAnswer::kMissing;
  }
  return StatAnswer::kUnknown;
}

uint64_t statCacheTicket() {
  StatCache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  return c.changes;
}

void statCachePut(const std::string& path, const StatRecord* record, uint64_t ticket) {
  StatCache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (ticket != c.changes) return;
  const int64_t t = now(c);
  Entry& e = c.entries[path];
  e.answer = record != nullptr ? StatAnswer::kFound : StatAnswer::kMissing;
  if (record) e.record = *record;
  e.at = t;
  sweepLocked(c, t);
}

void statCachePutListing(const std::string& folder,
                         const std::vector<std::pair<std::string, StatRecord>>& entries,
                         uint64_t ticket) {
  StatCache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (ticket != c.changes) return;
  const int64_t t = now(c);
  for (const auto& [name, record] : entries) {
    Entry& e = c.entries[folder + "/" + name];
    e.answer = StatAnswer::kFound;
    e.record = record;
    e.at = t;
  }
  c.listedAt[folder] = t;
  c.listings[folder] = entries;
  sweepLocked(c, t);
}

bool statCacheListing(const std::string& folder,
                      std::vector<std::pair<std::string, StatRecord>>* out) {
  StatCache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  auto listed = c.listedAt.find(folder);
  auto listing = c.listings.find(folder);
  if (listed == c.listedAt.end() || listing == c.listings.end() || !fresh(listed->second, now(c))) {
    return false;
  }
  *out = listing->second;
  return true;
}

void statCacheForget(const std::string& path) {
  StatCache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  ++c.changes;
  // The name is marked changed rather than erased: the rest of its folder's
  // listing still answers, but not for this name.
  Entry& changed = c.entries[path];
  changed.answer = StatAnswer::kUnknown;
  changed.at = now(c);
  c.listings.erase(folderOf(path));
  for (auto it = c.listings.lower_bound(path);
       it != c.listings.end() && it->first.compare(0, path.size(), path) == 0;) {
    if (it->first.size() == path.size() || it->first[path.size()] == '/') {
      it = c.listings.erase(it);
    } else {
      ++it;
    }
  }
  const std::string below = path + "/";
  for (auto it = c.entries.lower_bound(below);
       it != c.entries.end() && it->first.compare(0, below.size(), below) == 0;) {
    it = c.entries.erase(it);
  }
  for (auto it = c.listedAt.lower_bound(path);
       it != c.listedAt.end() && it->first.compare(0, path.size(), path) == 0;) {
    if (it->first.size() == path.size() || it->first[path.size()] == '/') {
      it = c.listedAt.erase(it);
    } else {
      ++it;
    }
  }
}

void statCacheMadeFolder(const std::string& folder, uint64_t ticket) {
  StatCache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  const bool unchanged = ticket == c.changes;
  ++c.changes;  // answers of look-ups made while the folder was made are void
  const int64_t t = now(c);
  Entry& made = c.entries[folder];
  made.answer = StatAnswer::kUnknown;
  made.at = t;
  c.listings.erase(folderOf(folder));
  if (unchanged) {
    c.listedAt[folder] = t;
    c.listings[folder].clear();
  } else {
    c.listedAt.erase(folder);
    c.listings.erase(folder);
  }
}

void statCacheClear() {
  StatCache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  ++c.changes;
  c.entries.clear();
  c.listedAt.clear();
  c.listings.clear();
}

void setStatCacheClockForTesting(int64_t (*clock)()) {
  StatCache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.clock = clock;
}

}  // namespace tarvik
