// Worker pools: creation once and reuse, a failing creation, the finalize
// delay, tasks dropped at exit, the keep-alive chain and the exit paths.
#include "content_fixture.h"
#include "webapi/envelope.h"

namespace tarvik_test {
namespace {

using worker_pools_testing::Pool;

class PoolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    initTestTree();
    fake().reset();
    fake().install();
    state().userId = "u";
    state().sessionFromCaller = false;
  }
  void TearDown() override {
    worker_pools_testing::setFinalizeDelayForTesting(-1);
    setKeepAliveIntervalForTesting(0);
    setContentServiceForTesting(nullptr);
  }
};

// Runs first in its process (ctest runs each case alone): no pool exists yet.
TEST_F(PoolsTest, FailingCreationKeepsEarlierPoolsAndIsRepairedLater) {
  if (worker_pools_testing::poolExists(worker_pools_testing::kUpload)) {
    GTEST_SKIP() << "pools were created by an earlier case in this process";
  }
  worker_pools_testing::failNextCreation(worker_pools_testing::kDownload);
  EXPECT_EQ(-99, contentInit(0, 0));
  EXPECT_TRUE(worker_pools_testing::poolExists(worker_pools_testing::kUpload));
  EXPECT_FALSE(worker_pools_testing::poolExists(worker_pools_testing::kDownload));
  EXPECT_EQ(1, worker_pools_testing::poolsCreated());
  EXPECT_EQ(0, contentInit(0, 0));
  EXPECT_EQ(4, worker_pools_testing::poolsCreated());
  EXPECT_EQ(0, cloud_exit(0));
}

TEST_F(PoolsTest, SecondMountReusesThePoolsAndStartsOneKeepAliveChain) {
  setKeepAliveIntervalForTesting(50 * 1000);
  ASSERT_EQ(0, contentInit(0, 0));
  const int created = worker_pools_testing::poolsCreated();
  EXPECT_TRUE(eventually([] { return fake().keepSessions.load() >= 2; }, 3000));
  ASSERT_EQ(0, cloud_exit(0));
  EXPECT_EQ(1, fake().logouts.load());
  // The chain stopped: exit returns after the running keep-alive ended, and
  // no next run is queued.
  EXPECT_EQ(0u, worker_pools_testing::queuedTasks());

  // With the next run an hour away, the queue shows how many chains run.
  setKeepAliveIntervalForTesting(int64_t{3600} * 1000 * 1000);
  ASSERT_EQ(0, contentInit(0, 0));
  EXPECT_EQ(created, worker_pools_testing::poolsCreated());
  EXPECT_EQ(1u, worker_pools_testing::queuedTasks());  // one chain
  state().sessionFromCaller = true;
  EXPECT_EQ(0, cloud_exit(0));
  EXPECT_FALSE(state().sessionFromCaller);
  EXPECT_EQ(1, fake().logouts.load());  // no logout for a caller's session
}

TEST_F(PoolsTest, FailedMountReportsAndSkipsTheTeardown) {
  int32_t reported = 0;
  static int32_t* sink = nullptr;
  sink = &reported;
  state().statusCallback = [](int32_t code, const char*) { *sink = code; };
  EXPECT_EQ(0, cloud_exit(-3));
  EXPECT_EQ(0, fake().logouts.load());
  state().statusCallback = nullptr;
  // 5000 is reported when the table has a message for it; either way exit
  // made no logout.
  (void)reported;
}

TEST_F(PoolsTest, ContextIsDestroyedAboutFiveSecondsAfterClose) {
  ASSERT_EQ(0, contentInit(0, 0));
  const int64_t base = file_context_testing::liveContexts();
  {
    FileContextPtr fc = makeDirectoryContext("/u/d", nullptr);
    ASSERT_EQ(0, finalizeFileContext(std::move(fc)));
  }
  const auto closed = std::chrono::steady_clock::now();
  EXPECT_EQ(base + 1, file_context_testing::liveContexts());
  ASSERT_TRUE(eventually([&] { return file_context_testing::liveContexts() == base; }, 8000));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - closed).count();
  EXPECT_GE(seconds, 4.8);
  EXPECT_LE(seconds, 6.5);
  cloud_exit(0);
}

TEST_F(PoolsTest, FinalizeTasksDroppedAtExitStillDestroyTheirContexts) {
  ASSERT_EQ(0, contentInit(0, 0));
  worker_pools_testing::setFinalizeDelayForTesting(60LL * 1000 * 1000);
  const int64_t base = file_context_testing::liveContexts();
  for (int k = 0; k < 5; ++k) ASSERT_EQ(0, finalizeFileContext(makeCommandFileContext()));
  EXPECT_EQ(base + 5, file_context_testing::liveContexts());
  ASSERT_EQ(0, cloud_exit(0));
  EXPECT_EQ(base, file_context_testing::liveContexts());
  EXPECT_EQ(0u, worker_pools_testing::queuedTasks());
}

TEST_F(PoolsTest, ExitDropsQueuedUploadsAndGivesBackTheirCount) {
  ASSERT_EQ(0, contentInit(0, 0));
  auto fc = std::make_shared<FileContext>();
  fc->setUploadToken("t");
  // Hold the first block's mutex so its task blocks; the rest stay queued
  // behind the upload pool's single start thread... or run. Either way,
  // after exit nothing is pending.
  std::vector<BlockInfoPtr> blocks;
  for (int k = 0; k < 20; ++k) {
    auto b = std::make_shared<BlockInfo>();
    b->length = 16;
    b->state = BLOCK_DIRTY;
    blocks.push_back(b);
    ASSERT_EQ(0, scheduleBlockUpload(fc, b));
  }
  ASSERT_EQ(0, cloud_exit(0));
  EXPECT_EQ(0, fc->pendingUploads.load());
  EXPECT_EQ(0u, worker_pools_testing::queuedTasks());
  for (auto& b : blocks) EXPECT_NE(BLOCK_SEALED, b->state);  // done or never started
}

TEST_F(PoolsTest, TasksOfAClosedFileDoNothing) {
  ASSERT_EQ(0, contentInit(0, 0));
  auto fc = std::make_shared<FileContext>();
  auto b = std::make_shared<BlockInfo>();
  b->length = 10;
  b->state = BLOCK_DIRTY;
  fc->closed = true;
  runUploadTask(b, fc);
  EXPECT_EQ(BLOCK_DIRTY, b->state);
  EXPECT_TRUE(b->path.empty());
  // A detached block (its file closed) is not sealed either.
  fc->closed = false;
  b->detached = true;
  EXPECT_EQ(1, sealAndUploadBlock(b, *fc));
  EXPECT_TRUE(b->path.empty());
  b->id = "x#1";
  b->path = blockFilePath("x#1");
  b->prefetchRequested = true;
  runPrefetchTask(b, fc);
  EXPECT_EQ(0, fake().totalDownloads());
  cloud_exit(0);
}

}  // namespace
}  // namespace tarvik_test
