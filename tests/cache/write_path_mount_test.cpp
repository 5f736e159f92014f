// The write path on a real mount against the local service, as programs
// use it: a failed write after fsync, a file far larger than the cache
// limit rewritten at its start, several descriptors on one file (appenders,
// a reader opened first, a truncating save while another writer is open),
// a service restart in the middle of a copy and of a reader, and commits
// that meet server errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/block_cache.h"
#include "service_fixture.h"

namespace tarvik {
namespace {

class WritePathMountTest : public MountedContentTest {
 protected:
  void TearDown() override {
    block_cache::setLimit(-1);
    MountedContentTest::TearDown();
  }

  // Size of /Home/<name> on the service, -1 when it has no such file.
  int64_t serviceSize(const std::string& name) {
    JsonPtr detail = api::getResourceDetail(home_ + "/" + name, api::skipNotFound);
    if (isErrorResult(detail)) return -1;
    return static_cast<int64_t>(detail->member("size")->number());
  }

  // Everything the service has for /Home/<name>, read through a fresh open
  // with an empty cache.
  std::string serviceContent(const std::string& name) {
    EXPECT_EQ(0, tarvik_clearCache());
    return readFile(at(name));
  }

  static void writeAll(int fd, const std::string& data, off_t off) {
    ASSERT_EQ(static_cast<ssize_t>(data.size()), ::pwrite(fd, data.data(), data.size(), off))
        << strerror(errno);
  }
};

TEST_F(WritePathMountTest, FailedWriteAfterFsyncKeepsTheFileAndCloseReportsIt) {
  const std::string data = pattern(1000000, 3);
  int fd = ::open(at("db").c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0) << strerror(errno);
  writeAll(fd, data, 0);
  ASSERT_EQ(0, ::fsync(fd)) << strerror(errno);
  writeAll(fd, "tail", static_cast<off_t>(data.size()));
  // Beyond the largest file the drive stores.
  EXPECT_EQ(-1, ::pwrite(fd, "y", 1, off_t{1} << 41));
  EXPECT_EQ(EFBIG, errno);
  // The close commits what was written and still says that a write failed.
  EXPECT_EQ(-1, ::close(fd));
  // The drive is taken down (which signs out), so every release has run.
  drive_.unmount();
  ASSERT_FALSE(isErrorResult(
      api::login(service_->demoCorp(), service_->demoUser(), service_->demoPassword())));
  EXPECT_EQ(static_cast<int64_t>(data.size() + 4), serviceSize("db"));
  ASSERT_TRUE(drive_.mount("tarvik-write-path-"));
  mnt_ = drive_.dir();
  EXPECT_TRUE(serviceContent("db") == data + "tail");
}

TEST_F(WritePathMountTest, FileFourTimesTheCacheLimitIsRewrittenAtItsStart) {
  block_cache::setLimit(16 << 20);
  const std::string data = pattern(64 << 20, 4);
  int fd = ::open(at("big.img").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << strerror(errno);
  for (size_t off = 0; off < data.size(); off += 1 << 20) {
    writeAll(fd, data.substr(off, 1 << 20), static_cast<off_t>(off));
  }
  // The first blocks were uploaded long ago and are not committed yet.
  writeAll(fd, "HDR", 0);
  std::string expected = data;
  expected.replace(0, 3, "HDR");
  std::string back(expected.size(), '\0');
  ASSERT_EQ(static_cast<ssize_t>(back.size()), ::pread(fd, &back[0], back.size(), 0))
      << strerror(errno);
  EXPECT_TRUE(back == expected);
  ASSERT_EQ(0, ::close(fd)) << strerror(errno);
  // Committed, the blocks may be evicted; the file still reads back whole.
  EXPECT_LE(block_cache::usedBytes(), int64_t{16} << 20);
  fd = ::open(at("big.img").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  writeAll(fd, "MID", 40 << 20);
  expected.replace(40 << 20, 3, "MID");
  ASSERT_EQ(0, ::close(fd)) << strerror(errno);
  EXPECT_TRUE(serviceContent("big.img") == expected);
}

TEST_F(WritePathMountTest, DescriptorsOnOneFileShareItsContent) {
  // Two appenders: every line lands at the end, none is lost.
  const std::string log = at("log");
  int a = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  int b = ::open(log.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_EQ(5, ::write(a, "AAAA\n", 5));
  ASSERT_EQ(5, ::write(b, "BBBB\n", 5));
  ASSERT_EQ(5, ::write(a, "CCCC\n", 5));
  ASSERT_EQ(0, ::close(a));
  ASSERT_EQ(5, ::write(b, "DDDD\n", 5));
  ASSERT_EQ(0, ::close(b));
  EXPECT_EQ("AAAA\nBBBB\nCCCC\nDDDD\n", serviceContent("log"));

  // A reader opened before an appending writer sees what it appends.
  int reader = ::open(log.c_str(), O_RDONLY);
  int writer = ::open(log.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(reader, 0);
  ASSERT_GE(writer, 0);
  const std::string more = pattern(2000, 5);
  ASSERT_EQ(2000, ::write(writer, more.data(), more.size()));
  std::string seen(2000, '\0');
  EXPECT_EQ(2000, ::pread(reader, &seen[0], seen.size(), 20));
  EXPECT_TRUE(seen == more);
  ASSERT_EQ(0, ::close(writer));
  ASSERT_EQ(0, ::close(reader));

  // A save that truncates while another writer is still open keeps its
  // content when the other closes later.
  int older = ::open(at("doc").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(older, 0);
  writeAll(older, std::string(100, 'o'), 0);
  int save = ::open(at("doc").c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(save, 0);
  writeAll(save, "0123456789", 0);
  ASSERT_EQ(0, ::close(save));
  ASSERT_EQ(0, ::close(older));
  EXPECT_EQ("0123456789", serviceContent("doc"));
}

TEST_F(WritePathMountTest, ConcurrentAppendersKeepEveryLineWhileOthersStatTheFile) {
  // Lines of sizes that do not end on pages, some longer than a page (the
  // kernel sends those in parts), appended by several descriptors at once
  // while the file's size is asked for all the time.
  const std::string log = at("shared.log");
  constexpr int kWriters = 4;
  constexpr int kLines = 120;
  const size_t sizes[] = {1, 37, 4095, 4097, 9001, 15000, 700};
  auto line = [&](int w, int k) {
    std::string body = pattern(sizes[(w * 3 + k) % 7], static_cast<uint32_t>(w * 1000 + k));
    for (char& c : body) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
    return "w" + std::to_string(w) + " s" + std::to_string(k) + " " + body + "\n";
  };
  int first = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(first, 0) << strerror(errno);
  ASSERT_EQ(0, ::close(first));
  std::atomic<int> running{kWriters};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      int fd = ::open(log.c_str(), O_WRONLY | O_APPEND);
      if (fd < 0) failures++;
      for (int k = 0; fd >= 0 && k < kLines; ++k) {
        const std::string text = line(w, k);
        if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) failures++;
      }
      if (fd >= 0 && ::close(fd) != 0) failures++;
      running--;
    });
  }
  threads.emplace_back([&] {
    int fd = ::open(log.c_str(), O_RDONLY);
    struct stat st;
    while (running.load() > 0) {
      if (::fstat(fd, &st) != 0 || ::stat(log.c_str(), &st) != 0) failures++;
    }
    ::close(fd);
  });
  for (std::thread& t : threads) t.join();
  ASSERT_EQ(0, failures.load());

  size_t expectedSize = 0;
  std::map<std::string, int> wanted;
  for (int w = 0; w < kWriters; ++w) {
    for (int k = 0; k < kLines; ++k) {
      const std::string text = line(w, k);
      expectedSize += text.size();
      wanted[text.substr(0, text.size() - 1)] = 0;
    }
  }
  for (const std::string& content : {readFile(log), serviceContent("shared.log")}) {
    EXPECT_EQ(expectedSize, content.size());
    std::map<std::string, int> seen = wanted;
    std::istringstream in(content);
    int strange = 0;
    for (std::string l; std::getline(in, l);) {
      auto it = seen.find(l);
      if (it == seen.end()) {
        strange++;
      } else {
        it->second++;
      }
    }
    EXPECT_EQ(0, strange) << "lines that were never written";
    int missing = 0;
    for (const auto& [text, count] : seen) missing += count != 1;
    EXPECT_EQ(0, missing) << "lines missing or repeated";
  }
}

TEST_F(WritePathMountTest, ServiceRestartDuringACopyAndARead) {
  const std::string data = pattern(40 << 20, 6);
  int fd = ::open(at("copy.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  writeAll(fd, data.substr(0, 20 << 20), 0);
  // The restarted service no longer knows the tokens it gave out.
  service_->restart();
  writeAll(fd, data.substr(20 << 20), 20 << 20);
  EXPECT_EQ(0, ::close(fd)) << strerror(errno);
  EXPECT_TRUE(serviceContent("copy.bin") == data);

  int reader = ::open(at("copy.bin").c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);
  char first[100];
  ASSERT_EQ(100, ::pread(reader, first, sizeof first, 0));
  service_->restart();
  ASSERT_EQ(0, tarvik_clearCache());
  std::string back(data.size(), '\0');
  EXPECT_EQ(static_cast<ssize_t>(back.size()), ::pread(reader, &back[0], back.size(), 0))
      << strerror(errno);
  EXPECT_TRUE(back == data);
  ASSERT_EQ(0, ::close(reader));
}

TEST_F(WritePathMountTest, CommitThatMeetsServerErrorsSucceedsWithTheRightContent) {
  int fd = ::open(at("over.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  writeAll(fd, "old content\n", 0);
  ASSERT_EQ(0, ::close(fd));
  service_->admin("/admin/fault", R"({"kind":"http500","method":"uploadFile","count":4})");
  fd = ::open(at("over.txt").c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  writeAll(fd, "new content\n", 0);
  EXPECT_EQ(0, ::close(fd)) << strerror(errno);
  EXPECT_EQ("new content\n", serviceContent("over.txt"));

  // A dropped connection and the maintenance page on a new file's commit.
  service_->admin("/admin/fault", R"({"kind":"drop","method":"uploadFile"})");
  service_->admin("/admin/fault", R"({"kind":"maintenance","method":"uploadFile"})");
  fd = ::open(at("new.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0) << strerror(errno);
  writeAll(fd, "fresh\n", 0);
  EXPECT_EQ(0, ::close(fd)) << strerror(errno);
  EXPECT_EQ("fresh\n", serviceContent("new.txt"));
}

TEST_F(WritePathMountTest, SqliteTransactionsRideThroughServiceRestarts) {
  if (std::system("command -v sqlite3 >/dev/null") != 0) GTEST_SKIP() << "sqlite3 is missing";
  for (const std::string mode : {"DELETE", "WAL"}) {
    SCOPED_TRACE(mode);
    const std::string db = at("rows-" + mode + ".db");
    // One program keeps the database open across both restarts. The pipe
    // is close-on-exec, or the restarted service would hold it open.
    FILE* sql = ::popen(("sqlite3 -bail '" + db + "' >/dev/null").c_str(), "we");
    ASSERT_NE(sql, nullptr);
    std::fprintf(sql, "PRAGMA journal_mode=%s;\nCREATE TABLE t(k INTEGER PRIMARY KEY, v TEXT);\n",
                 mode.c_str());
    for (int tx = 0; tx < 20; ++tx) {
      if (tx == 7 || tx == 14) {
        std::fflush(sql);
        service_->restart();
      }
      std::fprintf(sql, "BEGIN;\n");
      for (int row = 0; row < 100; ++row) {
        std::fprintf(sql, "INSERT INTO t VALUES(%d, printf('%%.500c', 'x'));\n", tx * 100 + row);
      }
      std::fprintf(sql, "COMMIT;\n");
    }
    ASSERT_EQ(0, ::pclose(sql)) << "sqlite3 reported an error";
  }
  // Everything committed is on the service: read back through a new mount
  // with an empty cache.
  drive_.unmount();
  ASSERT_FALSE(isErrorResult(
      api::login(service_->demoCorp(), service_->demoUser(), service_->demoPassword())));
  ASSERT_EQ(0, tarvik_clearCache());
  ASSERT_TRUE(drive_.mount("tarvik-write-path-"));
  mnt_ = drive_.dir();
  for (const std::string mode : {"DELETE", "WAL"}) {
    const std::string out = std::string(std::getenv("HOME")) + "/sqlite-" + mode + ".out";
    const std::string query = "sqlite3 '" + at("rows-" + mode + ".db") +
                              "' 'PRAGMA integrity_check; SELECT count(*) FROM t;' > '" + out + "'";
    ASSERT_EQ(0, std::system(query.c_str())) << mode;
    EXPECT_EQ("ok\n2000\n", readFile(out)) << mode;
    ::unlink(out.c_str());
  }
}

}  // namespace
}  // namespace tarvik
