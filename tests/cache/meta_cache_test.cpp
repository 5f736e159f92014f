// The metadata cache: lifetimes of holders and entries, weak ownership,
// snapshots, newest mtimes, and consistency of shared records under
// concurrent updates.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "cache/meta_cache.h"

namespace tarvik {
namespace {

using meta_cache_testing::entryCount;
using meta_cache_testing::hasHolder;
using meta_cache_testing::holderCount;

StatRecord fileRecord(int64_t size, int64_t mtime) { return StatRecord{ENTRY_FILE, size, -1, mtime, -1}; }

class MetaCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(metaCacheInit(), 0); }
};

TEST_F(MetaCacheTest, LookupWithoutRecordLeavesAnEmptyHolder) {
  EXPECT_EQ(obtainMetaCache("/u/a/b.txt", nullptr), nullptr);
  EXPECT_TRUE(hasHolder("/u/a"));
  EXPECT_EQ(entryCount("/u/a"), 0u);
  // Keys split at the last "/": "/x" lives in the holder of "".
  EXPECT_EQ(obtainMetaCache("/x", nullptr), nullptr);
  EXPECT_TRUE(hasHolder(""));
  purgeMetaCache("/u/a");
  EXPECT_FALSE(hasHolder("/u/a"));
}

TEST_F(MetaCacheTest, OpensOfOnePathShareOneCache) {
  StatRecord r = fileRecord(10, 100);
  MetaCachePtr first = obtainMetaCache("/u/f", &r);
  ASSERT_TRUE(first);
  StatRecord other = fileRecord(99, 999);
  MetaCachePtr second = obtainMetaCache("/u/f", &other);  // the live one wins over the record
  EXPECT_EQ(first, second);
  first->setSizeAndMtime(4096, 200);
  EXPECT_EQ(obtainMetaCache("/u/f", nullptr)->record().size, 4096);
  EXPECT_EQ(second->mtime(), 200);
  // Names are compared byte-wise: a different case is a different entry.
  EXPECT_EQ(obtainMetaCache("/u/F", nullptr), nullptr);
}

TEST_F(MetaCacheTest, EntryExpiresWithItsLastHolderAndIsReplaced) {
  StatRecord r = fileRecord(1, 1);
  obtainMetaCache("/u/f", &r);  // nobody keeps it
  EXPECT_EQ(obtainMetaCache("/u/f", nullptr), nullptr);
  EXPECT_EQ(entryCount("/u"), 1u);  // expired, still there until a purge
  StatRecord fresh = fileRecord(7, 7);
  MetaCachePtr again = obtainMetaCache("/u/f", &fresh);
  EXPECT_EQ(again->size(), 7);
  EXPECT_EQ(obtainMetaCache("/u/f", nullptr), again);  // later opens find the replacement
  EXPECT_EQ(entryCount("/u"), 1u);
}

TEST_F(MetaCacheTest, RemoveOnlyLiveEntries) {
  StatRecord r = fileRecord(1, 1);
  MetaCachePtr held = obtainMetaCache("/u/f", &r);
  obtainMetaCache("/u/gone", &r);
  EXPECT_FALSE(removeMetaCache("/u/gone"));  // expired: not removed, stays until purge
  EXPECT_EQ(entryCount("/u"), 2u);
  EXPECT_FALSE(removeMetaCache("/nowhere/f"));
  EXPECT_TRUE(removeMetaCache("/u/f"));
  EXPECT_FALSE(removeMetaCache("/u/f"));
  // The holder of a removed cache still updates it, but lookups no longer find it.
  held->setSize(55);
  EXPECT_EQ(obtainMetaCache("/u/f", nullptr), nullptr);
  StatRecord fromService = fileRecord(3, 3);
  MetaCachePtr rebuilt = obtainMetaCache("/u/f", &fromService);
  EXPECT_NE(rebuilt, held);
  EXPECT_EQ(rebuilt->size(), 3);
}

TEST_F(MetaCacheTest, PurgeSweepsExpiredAndDropsEmptyHolder) {
  StatRecord r = fileRecord(1, 1);
  MetaCachePtr live = obtainMetaCache("/u/live", &r);
  obtainMetaCache("/u/dead", &r);
  obtainMetaCache("/u/sub/deeper", &r);
  purgeMetaCache("/u");
  EXPECT_EQ(entryCount("/u"), 1u);
  EXPECT_TRUE(hasHolder("/u/sub"));  // only the folder itself is purged
  live.reset();
  purgeMetaCache("/u");
  EXPECT_FALSE(hasHolder("/u"));
  purgeMetaCache("/never-seen");  // nothing to do, no failure
}

TEST_F(MetaCacheTest, SnapshotHoldsLiveEntriesInNameOrderAndKeepsThemAlive) {
  StatRecord r = fileRecord(1, 1);
  MetaCachePtr b = obtainMetaCache("/u/b", &r);
  MetaCachePtr a = obtainMetaCache("/u/a", &r);
  obtainMetaCache("/u/expired", &r);
  auto snap = snapshotMetaCache("/u");
  ASSERT_EQ(snap.size(), 2u);
  EXPECT_EQ(snap.begin()->first, "a");
  a.reset();
  b.reset();
  EXPECT_TRUE(obtainMetaCache("/u/a", nullptr));  // the snapshot keeps it alive
  snap.clear();
  EXPECT_FALSE(obtainMetaCache("/u/a", nullptr));
  EXPECT_TRUE(snapshotMetaCache("/none").empty());
}

TEST_F(MetaCacheTest, NewestMtimeTakesTheNewestOpenChild) {
  StatRecord older = fileRecord(1, 100);
  StatRecord newer = fileRecord(1, 500);
  MetaCachePtr o = obtainMetaCache("/u/d/old", &older);
  EXPECT_EQ(newestMtime("/u/d", 300), 300);
  MetaCachePtr n = obtainMetaCache("/u/d/new", &newer);
  EXPECT_EQ(newestMtime("/u/d", 300), 500);
  EXPECT_EQ(newestMtime("/u/d", 900), 900);
  // Signed comparison: a negative (unknown) child never wins.
  n->setMtime(-1);
  EXPECT_EQ(newestMtime("/u/d", 0), 100);
  EXPECT_EQ(newestMtime("/u/empty", 42), 42);
}

TEST_F(MetaCacheTest, InitStartsANewEmptyDirectory) {
  StatRecord r = fileRecord(1, 1);
  MetaCachePtr kept = obtainMetaCache("/u/f", &r);
  ASSERT_EQ(metaCacheInit(), 0);
  EXPECT_EQ(holderCount(), 0u);
  EXPECT_EQ(obtainMetaCache("/u/f", nullptr), nullptr);
  EXPECT_EQ(kept->size(), 1);  // contexts of the old mount keep theirs
}

// Writers update size and mtime together while readers copy the record; a
// copy must never mix two updates (size and mtime always belong together).
TEST_F(MetaCacheTest, RecordCopiesNeverMixTwoUpdates) {
  StatRecord r = fileRecord(0, 0);
  MetaCachePtr shared = obtainMetaCache("/u/f", &r);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      for (int64_t i = 1; i < 20000; ++i) shared->setSizeAndMtime(i * 2 + w, (i * 2 + w) * 1000);
    });
  }
  for (int rd = 0; rd < 2; ++rd) {
    threads.emplace_back([&] {
      while (!stop) {
        StatRecord copy = shared->record();
        if (copy.mtime != copy.size * 1000) ++torn;
      }
    });
  }
  // Lookups and purges from other threads run beside the record traffic.
  threads.emplace_back([&] {
    StatRecord other = fileRecord(1, 1);
    for (int i = 0; i < 2000; ++i) {
      MetaCachePtr m = obtainMetaCache("/u/f", nullptr);
      EXPECT_EQ(m, shared);
      MetaCachePtr tmp = obtainMetaCache("/u/tmp" + std::to_string(i % 7), &other);
      snapshotMetaCache("/u");
      purgeMetaCache("/u");
    }
  });
  threads[0].join();
  threads[1].join();
  threads.back().join();
  stop = true;
  threads[2].join();
  threads[3].join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace tarvik
