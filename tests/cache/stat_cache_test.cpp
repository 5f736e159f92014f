// The stat cache: what it answers, for how long, and what a change through
// the drive makes it forget.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cache/stat_cache.h"

namespace tarvik {
namespace {

int64_t g_now = 0;
int64_t testClock() { return g_now; }

class StatCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 1000000000;
    setStatCacheClockForTesting(&testClock);
    statCacheClear();
  }
  void TearDown() override {
    statCacheClear();
    setStatCacheClockForTesting(nullptr);
  }
  static StatRecord file(int64_t size) { return StatRecord{ENTRY_FILE, size, -1, 5, -1}; }
  StatAnswer ask(const std::string& path, int64_t* size = nullptr) {
    StatRecord r{};
    const StatAnswer a = statCacheLookup(path, &r);
    if (size) *size = a == StatAnswer::kFound ? r.size : -1;
    return a;
  }
};

TEST_F(StatCacheTest, AListingAnswersItsNamesAndTheirAbsenceUntilItExpires) {
  statCachePutListing("/u/d", {{"a", file(1)}, {"b", file(2)}}, statCacheTicket());
  int64_t size = 0;
  EXPECT_EQ(ask("/u/d/b", &size), StatAnswer::kFound);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(ask("/u/d/c"), StatAnswer::kMissing);
  EXPECT_EQ(ask("/u/d/a/x"), StatAnswer::kUnknown);  // below an entry: another folder
  EXPECT_EQ(ask("/u/other"), StatAnswer::kUnknown);
  g_now += kStatCacheMicroseconds - 1;
  EXPECT_EQ(ask("/u/d/a"), StatAnswer::kFound);
  EXPECT_EQ(ask("/u/d/c"), StatAnswer::kMissing);
  g_now += 1;
  EXPECT_EQ(ask("/u/d/a"), StatAnswer::kUnknown);
  EXPECT_EQ(ask("/u/d/c"), StatAnswer::kUnknown);
}

TEST_F(StatCacheTest, AChangeForgetsTheNameItsSubtreeAndTheFolderListingsCompleteness) {
  statCachePutListing("/u", {{"d", StatRecord{ENTRY_DIRECTORY, 0, -1, 5, -1}}, {"f", file(1)}},
                      statCacheTicket());
  statCachePutListing("/u/d", {{"a", file(1)}}, statCacheTicket());
  statCachePutListing("/u/dd", {{"z", file(1)}}, statCacheTicket());
  statCacheForget("/u/d");
  EXPECT_EQ(ask("/u/d"), StatAnswer::kUnknown);
  EXPECT_EQ(ask("/u/d/a"), StatAnswer::kUnknown);
  EXPECT_EQ(ask("/u/d/new"), StatAnswer::kUnknown);  // its listing is gone too
  EXPECT_EQ(ask("/u/new"), StatAnswer::kMissing);    // the folder's listing still answers
  EXPECT_EQ(ask("/u/f"), StatAnswer::kFound);        // the other names stay
  EXPECT_EQ(ask("/u/dd/z"), StatAnswer::kFound);     // a sibling sharing the prefix stays
  EXPECT_EQ(ask("/u/dd/y"), StatAnswer::kMissing);

  // A created name missing from an older listing is not reported missing,
  // also once the mark of the change is older than a later listing.
  statCachePutListing("/u/dd", {{"z", file(1)}}, statCacheTicket());
  statCacheForget("/u/dd/y");
  EXPECT_EQ(ask("/u/dd/y"), StatAnswer::kUnknown);
  g_now += kStatCacheMicroseconds / 2;
  statCachePutListing("/u/dd", {{"z", file(1)}}, statCacheTicket());
  g_now += kStatCacheMicroseconds / 2 + 1;
  EXPECT_EQ(ask("/u/dd/y"), StatAnswer::kUnknown);
  EXPECT_EQ(ask("/u/dd/w"), StatAnswer::kMissing);
}

TEST_F(StatCacheTest, AListingIsRepeatedOnlyWhileNothingInItChangedThroughTheDrive) {
  std::vector<std::pair<std::string, StatRecord>> got;
  EXPECT_FALSE(statCacheListing("/u/d", &got));
  statCachePutListing("/u/d", {{"b", file(2)}, {"a", file(1)}}, statCacheTicket());
  statCachePutListing("/u/d/sub", {{"x", file(1)}}, statCacheTicket());
  ASSERT_TRUE(statCacheListing("/u/d", &got));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].first, "b");  // in the service's order
  EXPECT_EQ(got[1].second.size, 1);
  statCacheForget("/u/d/c");  // created in it
  EXPECT_FALSE(statCacheListing("/u/d", &got));
  EXPECT_TRUE(statCacheListing("/u/d/sub", &got));
  statCacheForget("/u/d");  // the folder itself moved or deleted: below goes too
  EXPECT_FALSE(statCacheListing("/u/d/sub", &got));

  statCachePutListing("/u/e", {{"a", file(1)}}, statCacheTicket());
  g_now += kStatCacheMicroseconds;
  EXPECT_FALSE(statCacheListing("/u/e", &got));
  statCacheMadeFolder("/u/e/new", statCacheTicket());
  ASSERT_TRUE(statCacheListing("/u/e/new", &got));
  EXPECT_TRUE(got.empty());
}

TEST_F(StatCacheTest, AFolderMadeThroughTheDriveIsEmptyUnlessSomethingChangedMeanwhile) {
  uint64_t ticket = statCacheTicket();
  statCacheMadeFolder("/u/new", ticket);
  EXPECT_EQ(ask("/u/new/a"), StatAnswer::kMissing);
  EXPECT_EQ(ask("/u/new"), StatAnswer::kUnknown);  // the folder itself is looked up
  statCacheForget("/u/new/a");                      // created in it
  EXPECT_EQ(ask("/u/new/a"), StatAnswer::kUnknown);
  EXPECT_EQ(ask("/u/new/b"), StatAnswer::kMissing);

  ticket = statCacheTicket();
  statCacheForget("/u/other/x");  // a change while the folder was made
  statCacheMadeFolder("/u/other", ticket);
  EXPECT_EQ(ask("/u/other/x"), StatAnswer::kUnknown);
  EXPECT_EQ(ask("/u/other/y"), StatAnswer::kUnknown);
}

TEST_F(StatCacheTest, AnAnswerFromBeforeAChangeIsNotKept) {
  const uint64_t ticket = statCacheTicket();
  statCacheForget("/u/x");  // a change made while the look-up ran
  StatRecord old = file(3);
  statCachePut("/u/x", &old, ticket);
  statCachePutListing("/u", {{"x", file(3)}}, ticket);
  EXPECT_EQ(ask("/u/x"), StatAnswer::kUnknown);
  EXPECT_EQ(ask("/u/y"), StatAnswer::kUnknown);

  statCachePut("/u/x", nullptr, statCacheTicket());
  EXPECT_EQ(ask("/u/x"), StatAnswer::kMissing);
  StatRecord now = file(4);
  statCachePut("/u/x", &now, statCacheTicket());
  int64_t size = 0;
  EXPECT_EQ(ask("/u/x", &size), StatAnswer::kFound);
  EXPECT_EQ(size, 4);
}

}  // namespace
}  // namespace tarvik
