// Size accounting and eviction of the block directory.
//
// The block directory keeps one file per block id. This registry knows each
// file's size, the order in which the files were last used, and whether
// something needs a file right now. Whoever checks, reads, copies, seals or
// uploads a block file holds a CachePin on its id first; a pinned file is
// never evicted. When the files exceed the limit, unpinned files are removed,
// least recently used first, and before those the blocks that their file no
// longer lists (an overwritten version, a deleted or replaced file). Private
// copies of blocks being written count against the limit too. An
// evicted block is downloaded again by the next reader (ensureBlockFile).
//
// The limit: TARVIK_CACHE_LIMIT when set (a size such as "10G", "512M";
// read by tarvik_init), otherwise the smaller of 10 GiB and a tenth of the
// file system that holds the block directory. Files left by an earlier run
// are counted at the process's global initialisation, oldest first.
//
// Lock: one mutex, innermost. It is taken under block mutexes, never held
// across a service call, and held while evicted files are unlinked (so a
// pin can never be taken on a file that is being removed).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvik {

// Environment variable that sets the cache limit.
constexpr const char* kCacheLimitVariable = "TARVIK_CACHE_LIMIT";

// Keeps the block file `id` from eviction while it lives. Movable, not
// copyable; an empty pin holds nothing.
class CachePin {
 public:
  CachePin() = default;
  explicit CachePin(const std::string& id);
  ~CachePin() { reset(); }
  CachePin(CachePin&& other) noexcept : id_(std::move(other.id_)) { other.id_.clear(); }
  CachePin& operator=(CachePin&& other) noexcept;
  CachePin(const CachePin&) = delete;
  CachePin& operator=(const CachePin&) = delete;

  void reset();
  bool held() const { return !id_.empty(); }

 private:
  std::string id_;
};

namespace block_cache {

// The lock file beside the block directory ("….lock"). Every process that
// uses the block directory holds a shared record lock on it; while another
// process holds one, trim evicts nothing (see block_cache.cpp).
std::string lockFilePath();

// The smaller of 10 GiB and a tenth of the file system holding `dir`.
int64_t defaultLimit(const std::string& dir);

// Forgets what was counted and counts the files of the block directory
// again, oldest modification first. Pins survive. Trims to the limit.
void rescan();

// Sets the limit (negative: the default for the block directory) and trims.
void setLimit(int64_t bytes);
// Reads kCacheLimitVariable: its size, or the default when it is unset.
// An unreadable value keeps the default and is logged.
void configureFromEnvironment();
int64_t limit();
// Bytes counted: block files and private copies.
int64_t usedBytes();
// Bytes of the private copies of blocks being written (never evicted, so
// the cache exceeds its limit by the unsealed data of open files).
int64_t privateBytes();
// A private copy grew or shrank by `delta` bytes (negative when removed).
void privateResized(int64_t delta);

// Evicts every block file that nothing pins (a write found the disk full).
// The bytes removed.
int64_t makeRoom();

// Removes every block file that is not in use: none that is pinned (read,
// sealed and not yet uploaded, or uploaded and not yet committed), and none
// at all while another drive process uses the directory. Says in the log
// what it kept. The number of files kept.
int clear();

// The block file `id` of `size` bytes is in the block directory now (just
// stored, or found there) as a block of the service file `servicePath`
// (may be empty). It becomes the most recently used; then the cache is
// trimmed. The caller holds a pin on `id`.
void use(const std::string& id, int64_t size, const std::string& servicePath);

// `servicePath` was committed with `ids`: blocks counted for that path that
// it no longer lists go first when the cache is trimmed.
void listed(const std::string& servicePath, const std::vector<std::string>& ids);
// `servicePath` (a file, or a folder with everything below it) was deleted:
// its blocks go first.
void removed(const std::string& servicePath);
// `from` was renamed to `to`: blocks of a replaced `to` go first, those of
// `from` now belong to `to`.
void renamed(const std::string& from, const std::string& to);

// Evicts until the counted bytes are within the limit or only pinned files
// are left. Returns the bytes removed.
int64_t trim();

}  // namespace block_cache

namespace block_cache_testing {
int pins(const std::string& id);
bool counted(const std::string& id);
}  // namespace block_cache_testing

}  // namespace tarvik
