#include "log/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/scoped_lock.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvik-log-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/test.log";
  }
  void TearDown() override {
    tarvik::log::stop();
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
  std::string path_;
};

TEST_F(LogTest, PrefixPadsThreadIdToSixAndUsesLabels) {
  const std::string debug = tarvik::log::formatPrefix(1234, tarvik::log::kDebug);
  EXPECT_TRUE(std::regex_match(debug, std::regex(R"(\[\d\d:\d\d:\d\d\.\d{3};1234  ;DEBUG\]: )"))) << debug;
  const std::string warn = tarvik::log::formatPrefix(7, tarvik::log::kWarning);
  EXPECT_NE(warn.find(";7     ; WARN]: "), std::string::npos) << warn;
  const std::string longId = tarvik::log::formatPrefix(12345678, tarvik::log::kInfo);
  EXPECT_NE(longId.find(";12345678; INFO]: "), std::string::npos) << longId;
  EXPECT_NE(tarvik::log::formatPrefix(1, tarvik::log::kNotice).find(";1     ;]: "), std::string::npos);
  EXPECT_STREQ(tarvik::log::label(tarvik::log::kAlert), "FATAL");
  EXPECT_STREQ(tarvik::log::label(tarvik::log::kError), "ERROR");
  EXPECT_STREQ(tarvik::log::label(tarvik::log::kEmergency), "");
  EXPECT_STREQ(tarvik::log::label(tarvik::log::kCritical), "");
}

TEST_F(LogTest, WritesWholeLinesWithCrLfAndNumbers) {
  ASSERT_TRUE(tarvik::log::start(path_, true));
  TLOG_WARN("curl retry> res = ", 0, ", code = ", 500);
  TLOG_DEBUG("negative ", -42, " big ", static_cast<int64_t>(1) << 40);
  tarvik::log::writef(tarvik::log::kError, "decas_main type=%d, debug=%d", 16, 0);
  tarvik::log::stop();
  const std::string text = readFile(path_);
  const std::regex line(R"(\[\d\d:\d\d:\d\d\.\d{3};\d+ *; WARN\]: curl retry> res = 0, code = 500\r\n)"
                        R"(\[\d\d:\d\d:\d\d\.\d{3};\d+ *;DEBUG\]: negative -42 big 1099511627776\r\n)"
                        R"(\[\d\d:\d\d:\d\d\.\d{3};\d+ *;ERROR\]: decas_main type=16, debug=0\r\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LogTest, OffWritesNothingAndEvaluatesNothing) {
  ASSERT_TRUE(tarvik::log::start(path_, false));
  int evaluated = 0;
  auto piece = [&] {
    ++evaluated;
    return "x";
  };
  TLOG_ERROR("never ", piece());
  tarvik::log::writeLine(tarvik::log::kAlert, "never");
  EXPECT_EQ(evaluated, 0);
  EXPECT_FALSE(tarvik::log::isEnabled(tarvik::log::kAlert));
  EXPECT_NE(access(path_.c_str(), F_OK), 0) << "no file may be created when logging is off";
}

TEST_F(LogTest, RestartOpensNewFileAndStopsOld) {
  ASSERT_TRUE(tarvik::log::start(path_, true));
  TLOG_INFO("first");
  const std::string second = dir_ + "/second.log";
  ASSERT_TRUE(tarvik::log::start(second, true));
  TLOG_INFO("second");
  tarvik::log::stop();
  TLOG_INFO("after stop");
  EXPECT_NE(readFile(path_).find("first"), std::string::npos);
  EXPECT_EQ(readFile(path_).find("second"), std::string::npos);
  EXPECT_NE(readFile(second).find("second"), std::string::npos);
  EXPECT_EQ(readFile(second).find("after stop"), std::string::npos);
  unlink(second.c_str());
}

// Starts within one microsecond (or after the clock went back) must not
// write into an earlier start's file.
TEST_F(LogTest, FileNameSkipsMicrosecondsAlreadyTaken) {
  EXPECT_EQ(tarvik::log::freeFileName(dir_, 100), dir_ + "/100.log");
  for (const char* taken : {"/100.log", "/101.log", "/103.log"}) {
    std::ofstream(dir_ + taken) << "earlier start";
  }
  EXPECT_EQ(tarvik::log::freeFileName(dir_, 100), dir_ + "/102.log");
  EXPECT_EQ(tarvik::log::freeFileName(dir_, 103), dir_ + "/104.log");
  EXPECT_EQ(tarvik::log::freeFileName(dir_, 99), dir_ + "/99.log");
  for (const char* taken : {"/100.log", "/101.log", "/103.log"}) unlink((dir_ + taken).c_str());
}

TEST_F(LogTest, UnopenableFileFailsStartAndWritesNothing) {
  EXPECT_FALSE(tarvik::log::start(dir_ + "/missing/dir/x.log", true));
  EXPECT_FALSE(tarvik::log::isEnabled());
}

TEST_F(LogTest, ManyThreadsNeverInterleaveLines) {
  ASSERT_TRUE(tarvik::log::start(path_, true));
  constexpr int kThreads = 8;
  constexpr int kLines = 2000;
  const std::string payload(200, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) TLOG_DEBUG("t", t, " i", i, " ", payload, " end");
    });
  }
  for (auto& th : threads) th.join();
  tarvik::log::stop();
  std::istringstream in(readFile(path_));
  const std::regex line(R"(\[\d\d:\d\d:\d\d\.\d{3};\d+ *;DEBUG\]: t\d i\d+ p{200} end\r)");
  std::string l;
  int count = 0;
  std::vector<int> perThread(kThreads, 0);
  while (std::getline(in, l)) {
    ASSERT_TRUE(std::regex_match(l, line)) << "broken line: " << l;
    ++perThread[l[l.find("]: t") + 4] - '0'];
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
  for (int n : perThread) EXPECT_EQ(n, kLines);
}

TEST_F(LogTest, ScopedLockWritesLockAndUnlockLines) {
  ASSERT_TRUE(tarvik::log::start(path_, true));
  std::mutex m;
  { tarvik::ScopedLock guard(m); }
  tarvik::log::stop();
  const std::string id = std::to_string(tarvik::log::identity(&m));
  const std::string text = readFile(path_);
  const size_t lock = text.find("lock mutex: " + id);
  const size_t unlock = text.find("unlock mutex: " + id);
  ASSERT_NE(lock, std::string::npos);
  ASSERT_NE(unlock, std::string::npos);
  EXPECT_LT(lock, unlock);
  EXPECT_TRUE(m.try_lock());
  m.unlock();
}

TEST_F(LogTest, BailoutWritesStampedLineToFileInCurrentDirectory) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  tarvik::log::bailout("");
  tarvik::log::bailout("failed to elicit time");
  const std::string text = readFile(dir_ + "/logging-bailout.txt");
  ASSERT_EQ(chdir(cwd), 0);
  unlink((dir_ + "/logging-bailout.txt").c_str());
  const std::regex expected(R"(\d{8}-\d{6}\.\d{3}: Unspecified failure\r\n\d{8}-\d{6}\.\d{3}: failed to elicit time\r\n)");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

}  // namespace
