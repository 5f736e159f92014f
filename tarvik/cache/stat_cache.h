// What the service said about names moments ago: records from folder
// listings and from single look-ups, and names a look-up found missing, each
// kept for as long as the kernel keeps attributes (kStatCacheSeconds). A
// stat of a name listed moments ago, and the look-up the kernel makes
// before it creates a file, then cost no service call of their own.
//
// Freshness: every change made through the drive forgets what it touches
// before and after it reaches the service (the name, and everything below
// it for folders), so the drive never answers from what it changed itself.
// A change made on the service by someone else shows once the entry is
// older than kStatCacheSeconds, like the kernel's own attribute cache.
//
// A complete listing of a folder also tells which names are missing there:
// until it expires, a name the listing lacks is answered as missing, except
// names changed through the drive since.
//
// Threads: any; one mutex, held for each call only, never across a call out.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "optable/decas.h"

namespace tarvik {

// How long an entry is used: the kernel's attribute and entry timeout.
constexpr int64_t kStatCacheMicroseconds = 1000 * 1000;

enum class StatAnswer { kUnknown, kFound, kMissing };

// The cached answer for the service path `path`; fills `out` when kFound.
StatAnswer statCacheLookup(const std::string& path, StatRecord* out);
// Taken before a service call whose answer is to be put: an answer is kept
// only when no change through the drive was made while the call ran (it may
// describe the name from before the change).
uint64_t statCacheTicket();
// A look-up's answer: `record` of the entry, or nullptr when it is missing.
void statCachePut(const std::string& path, const StatRecord* record, uint64_t ticket);
// A folder's complete listing, in the service's order. A folder listed
// moments ago is listed again from it, until a change through the drive
// touches a name in it.
bool statCacheListing(const std::string& folder,
                      std::vector<std::pair<std::string, StatRecord>>* out);
// A folder's complete listing: every entry by name.
void statCachePutListing(const std::string& folder,
                         const std::vector<std::pair<std::string, StatRecord>>& entries,
                         uint64_t ticket);
// Forgets `path` and everything below it (a change through the drive): the
// name is unknown until looked up again, also to its folder's listing.
void statCacheForget(const std::string& path);
// `folder` was just made through the drive, with `ticket` taken before: it
// is known to be empty when nothing changed through the drive meanwhile.
void statCacheMadeFolder(const std::string& folder, uint64_t ticket);
// Forgets everything (a new mount).
void statCacheClear();

// The clock entries age by (tests move it).
void setStatCacheClockForTesting(int64_t (*clock)());

}  // namespace tarvik
