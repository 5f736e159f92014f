// The decas frame: entry lines, busy counters, the open-file set, exit,
// decas_main with its options and mount attempts, and the status table.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "dokan_test_driver.h"
#include "drive/decas_frame.h"
#include "memory_table.h"
#include "log_capture.h"

using namespace tarvik;
using tarvik_test::LogCapture;

namespace {

void FillWithoutCopy(OperationTable* t) {
  memtable::fill(t);
  t->copy = nullptr;
}

class Frame : public ::testing::Test {
 protected:
  void SetUp() override {
    memtable::state().reset();
    decas_testing::setWaitUnitMilliseconds(20);
    decas_setTableFiller(memtable::fill);
  }
  void TearDown() override {
    decas_exit();
    decas_testing::setWaitUnitMilliseconds(1000);
  }
  // Starts the frame in-process; the driver stands in for the kernel.
  void mount() {
    ASSERT_EQ(decas_main("/mnt/frame", DECAS_OPTION_NETWORK, false, false), 0);
    ASSERT_TRUE(driver.waitMounted());
  }
  std::unique_ptr<DecasHandle> openFile(const std::string& path, OpenFlags flags) {
    memtable::state().put(path, "content");
    auto h = std::make_unique<DecasHandle>();
    h->setPath(path);
    h->openFlags = flags;
    EXPECT_EQ(decas_open(path.c_str(), h.get()), 0);
    return h;
  }

  dokan::TestDriver driver;
};

TEST(FrameStatus, Win32Translation) {
  EXPECT_EQ(statusToWin32(0), 0);
  for (int c : {2, 720002, 720003, 720018, 720110}) EXPECT_EQ(statusToWin32(c), 2) << c;
  for (int c : {13, 720005, 720016, 720032, 720033, 720065, 720082, 720083, 720108, 720158, 720167})
    EXPECT_EQ(statusToWin32(c), 5) << c;
  for (int c : {17, 720080, 720183}) EXPECT_EQ(statusToWin32(c), 183) << c;
  EXPECT_EQ(statusToWin32(20), 267);
  EXPECT_EQ(statusToWin32(22), 123);
  EXPECT_EQ(statusToWin32(28), 112);
  EXPECT_EQ(statusToWin32(DECAS_STATUS_RESOURCE_LOCKED), 32);
  EXPECT_EQ(statusToWin32(-1), 1);
  EXPECT_EQ(statusToWin32(1), 1);
  EXPECT_EQ(statusToWin32(720087), 87);  // other operating-system errors
  EXPECT_EQ(statusToWin32(720145), 145);
  EXPECT_EQ(statusToWin32(21), 1);  // no negative Win32 codes
}

TEST_F(Frame, WithoutFillerMainFails) {
  decas_setTableFiller(nullptr);
  EXPECT_EQ(decas_main("/mnt/frame", 16, false, false), -99);
  EXPECT_EQ(driver.mainCalls(), 0);
}

TEST_F(Frame, FailedInitIsReturnedAndDokanNotStarted) {
  memtable::state().initResult = -13;
  EXPECT_EQ(decas_main("/mnt/frame", 16, false, false), -13);
  EXPECT_EQ(driver.mainCalls(), 0);
}

TEST_F(Frame, MainFillsTheDokanOptions) {
  LogCapture log;
  mount();
  DOKAN_OPTIONS& o = driver.options();
  EXPECT_EQ(o.Version, 130);
  EXPECT_EQ(o.ThreadCount, 5);
  EXPECT_EQ(o.Options, 16u);
  EXPECT_EQ(o.Timeout, 300000u);
  EXPECT_EQ(o.GlobalContext, 0u);
  EXPECT_EQ(o.UNCName, nullptr);
  EXPECT_EQ(driver.mountPoint(), u"\\mnt\\frame");
  EXPECT_EQ(driver.ops().FindFilesWithPattern, nullptr);
  EXPECT_NE(driver.ops().ZwCreateFile, nullptr);
  EXPECT_EQ(memtable::state().count("init"), 1);
  EXPECT_EQ(log.count("DOKAN||| decas_main type=16, debug=0, blocking=0"), 1);
  EXPECT_EQ(log.count("DOKAN||| decas_main thread count=5, timeout=300000, options=0x10"), 1);
  EXPECT_EQ(decas_exit(), 0);
  // The Unmounted callback ran the frame's exit(0) once.
  auto exits = memtable::state().callsOf("exit");
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].a, "0");
  EXPECT_EQ(decas_exit(), -1);  // nothing mounted any more
}

TEST_F(Frame, DebugAddsDebugAndStderrOptions) {
  mount();
  decas_exit();
  ASSERT_EQ(decas_main("/mnt/frame", 16, true, false), 0);
  ASSERT_TRUE(driver.waitMounted());
  EXPECT_EQ(driver.options().Options, 16u | 3u);
}

TEST_F(Frame, DriverInstallErrorIsTriedFifteenTimes) {
  LogCapture log;
  driver.failNextMains(std::deque<int>(15, -3));
  EXPECT_EQ(decas_main("/mnt/frame", 16, false, true), 0);
  EXPECT_EQ(driver.mainCalls(), 15);
  EXPECT_EQ(log.count("DOKAN||| waiting for mount#-3,"), 14);
  EXPECT_EQ(log.count("DOKAN||| !mount fail: -3"), 1);
  auto exits = memtable::state().callsOf("exit");
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].a, "-3");
}

TEST_F(Frame, DriverInstallErrorThenSuccessMounts) {
  driver.failNextMains({-3, -3});
  mount();
  EXPECT_EQ(driver.mainCalls(), 3);
  EXPECT_EQ(memtable::state().count("exit"), 0);
}

TEST_F(Frame, OtherMountFailureEndsAtOnce) {
  driver.failNextMains({-5});
  EXPECT_EQ(decas_main("/mnt/frame", 16, false, true), 0);
  EXPECT_EQ(driver.mainCalls(), 1);
  ASSERT_EQ(memtable::state().count("exit"), 1);
  EXPECT_EQ(memtable::state().callsOf("exit")[0].a, "-5");
  // The failed mount leaves nothing behind: a new mount works.
  mount();
}

TEST_F(Frame, EntryLinesCarryPathStatusAndContext) {
  LogCapture log;
  mount();
  StatRecord st{};
  EXPECT_EQ(decas_stat("/nothing", &st), -2);
  EXPECT_EQ(log.count("stat-in \t: /nothing"), 1);
  EXPECT_EQ(log.count("stat-out\t: -2"), 1);
  EXPECT_EQ(decas_rename("/a", "/b", false), -2);
  EXPECT_EQ(log.count("rename-in \t: /a -> /b"), 1);
  auto h = openFile("/f", OPEN_READ);
  EXPECT_EQ(log.count(">openfis size = 1"), 1);
  EXPECT_EQ(log.count("open-out\t: 0@0"), 1);
  char buf[4];
  EXPECT_EQ(decas_read("/f", buf, sizeof buf, 2, true, h.get()), 4);
  EXPECT_EQ(log.count("read-in \t: /f(size = 4, off = 2, sync = 1)@0"), 1);
  EXPECT_EQ(decas_ftruncate("/f", 3, h.get()), 0);
  EXPECT_EQ(log.count("ftruncate-in \t: /f(3)@0"), 1);
  int64_t capacity = 0, free = 0;
  EXPECT_EQ(decas_statfs(&capacity, &free), 0);
  EXPECT_EQ(log.count("statfs-out\t: capa = " + std::to_string(capacity)), 1);
  EXPECT_EQ(decas_close("/f", h.get()), 0);
  EXPECT_EQ(h->busy.load(), 0);
}

TEST_F(Frame, CloseTwiceIsAlreadyClosed) {
  LogCapture log;
  mount();
  auto h = openFile("/f", OPEN_READ);
  EXPECT_EQ(decas_openFileCount(), 1u);
  EXPECT_EQ(decas_close("/f", h.get()), 0);
  EXPECT_EQ(decas_close("/f", h.get()), 0);
  EXPECT_EQ(log.count(">already closed"), 1);
  EXPECT_EQ(memtable::state().count("close"), 1);
  EXPECT_EQ(decas_openFileCount(), 0u);
}

TEST_F(Frame, FailedOpenDoesNotJoinTheSet) {
  mount();
  DecasHandle h;
  h.setPath("/missing");
  EXPECT_EQ(decas_open("/missing", &h), -2);
  EXPECT_EQ(decas_openFileCount(), 0u);
}

TEST_F(Frame, CloseWaitsForARunningRead) {
  LogCapture log;
  mount();
  auto h = openFile("/slow", OPEN_READ);
  memtable::state().readDelayMs = 150;
  std::thread reader([&] {
    char buf[8];
    decas_read("/slow", buf, sizeof buf, 0, true, h.get());
  });
  while (h->busy.load() == 0) std::this_thread::yield();
  EXPECT_EQ(decas_close("/slow", h.get()), 0);
  reader.join();
  // The close reached the table only after the read had returned.
  auto calls = memtable::state().calls;
  int readAt = -1, closeAt = -1;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].op == "read") readAt = static_cast<int>(i);
    if (calls[i].op == "close") closeAt = static_cast<int>(i);
  }
  EXPECT_GE(log.count("waiting for counter \t: /slow@0"), 1);
  EXPECT_GT(closeAt, readAt);
  EXPECT_EQ(h->busy.load(), 0);
}

TEST_F(Frame, ClosedirWaitsForTheCounterToo) {
  LogCapture log;
  mount();
  DecasHandle h;
  h.setPath("/");
  h.state = HANDLE_DIRECTORY;
  ASSERT_EQ(decas_opendir("/", &h), 0);
  h.busy = 1;
  // The counter is released once the close reports that it waits for it.
  std::thread release([&] {
    for (int poll = 0; poll < 2000 && log.count("waiting for counter \t: /@0") == 0; ++poll)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    h.busy = 0;
  });
  EXPECT_EQ(decas_closedir("/", &h), 0);
  release.join();
  EXPECT_GE(log.count("waiting for counter \t: /@0"), 1);
}

TEST_F(Frame, ExitClosesThreeOpenFilesAndFlushesWriters) {
  LogCapture log;
  mount();
  auto a = openFile("/a", OPEN_READ);
  auto b = openFile("/b", OPEN_READ | OPEN_WRITE);
  auto c = openFile("/c", OPEN_READ);
  EXPECT_EQ(decas_openFileCount(), 3u);
  EXPECT_EQ(decas_exitEntry(0), 0);
  EXPECT_EQ(log.count("exclose-in \t: "), 3);
  EXPECT_EQ(log.count("exclose-out\t: 0@0"), 3);
  EXPECT_EQ(memtable::state().count("close"), 3);
  // Only the handle opened for writing is flushed, and before its close.
  auto calls = memtable::state().calls;
  int flushAt = -1, closeOfB = -1, exitAt = -1;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].op == "flush") {
      EXPECT_EQ(calls[i].a, "/b");
      flushAt = static_cast<int>(i);
    }
    if (calls[i].op == "close" && calls[i].a == "/b") closeOfB = static_cast<int>(i);
    if (calls[i].op == "exit") exitAt = static_cast<int>(i);
  }
  EXPECT_EQ(memtable::state().count("flush"), 1);
  EXPECT_LT(flushAt, closeOfB);
  EXPECT_GT(exitAt, closeOfB);
  // A later close of the same handles is not passed on.
  EXPECT_EQ(decas_close("/a", a.get()), 0);
  EXPECT_EQ(memtable::state().count("close"), 3);
}

TEST_F(Frame, EmptyCopySlotIsNotImplemented) {
  LogCapture log;
  decas_setTableFiller(FillWithoutCopy);
  mount();
  EXPECT_EQ(decas_copy("/a", "/b"), -1);
  EXPECT_EQ(log.count("copy is not implementation"), 1);
}

}  // namespace
