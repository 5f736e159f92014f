// File content against the local service: the slots driven directly after
// a sign-in, and a model-based exerciser on a real FUSE mount of the drive
// (random writes, reads, truncates and reopens across block boundaries,
// compared with an in-memory copy; then several files written by threads
// at once).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cache/block_cache.h"
#include "cache/block_reader.h"
#include "cache/block_writer.h"
#include "cache/file_context.h"
#include "cache/worker_pools.h"
#include "core/library_state.h"
#include "cloud/cloud_table.h"
#include "drive/decas_frame.h"
#include "cloud/namespace_ops.h"
#include "local_service.h"
#include "mount_points.h"
#include "tarvik.h"
#include "webapi/block_id.h"
#include "webapi/envelope.h"
#include "webapi/service_methods.h"
#include "private_dirs.h"
#include "drive_mount.h"

namespace tarvik {
namespace {

constexpr int64_t B = BLOCK_SIZE;

std::string pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (size_t k = 0; k < size; ++k) {
    x = x * 1103515245u + 12345u;
    s[k] = static_cast<char>(x >> 24);
  }
  return s;
}

void quietStatus(int32_t, const char*) {}

class ServiceContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvik_test::usePrivateDirectories();
    service_ = tarvik_test::LocalService::start();
    ASSERT_TRUE(service_);
    setenv("CURL_CA_BUNDLE", service_->caFile().c_str(), 1);
    ASSERT_EQ(0, tarvik_init(service_->url().c_str(), "en", std::getenv("TARVIK_TEST_LOG") != nullptr, quietStatus));
    ASSERT_FALSE(isErrorResult(api::pretestLogin(service_->demoCorp())));
    ASSERT_FALSE(isErrorResult(
        api::login(service_->demoCorp(), service_->demoUser(), service_->demoPassword())));
    ASSERT_EQ(0, tarvik_clearCache());
    home_ = "/" + service_->demoUser();
  }
  void TearDown() override { service_.reset(); }

  // Commits `data` as drive file /Home/<name> through the slots.
  void putFile(const std::string& name, const std::string& data) {
    DecasHandle h;
    h.setPath("/Home/" + name);
    h.openFlags = OPEN_WRITE | OPEN_CREATE | OPEN_TRUNCATE;
    ASSERT_EQ(0, cloud_open(h.path().c_str(), &h));
    ASSERT_EQ(static_cast<int>(data.size()),
              cloud_write(h.path().c_str(), data.data(), data.size(), 0, true, &h));
    ASSERT_EQ(0, cloud_flush(h.path().c_str(), &h));
    ASSERT_EQ(0, cloud_close(h.path().c_str(), &h));
  }
  JsonPtr blockIds(const std::string& name) {
    return api::pretestDownloadFile(home_ + "/" + name)->member("blockIds");
  }

  std::unique_ptr<tarvik_test::LocalService> service_;
  std::string home_;
};

TEST_F(ServiceContentTest, WritesCommitAndReadBack) {
  ASSERT_EQ(0, cloud_init(0, 0));
  const std::string data = pattern(20 * 1024 * 1024, 1);
  putFile("twenty.bin", data);
  JsonPtr ids = blockIds("twenty.bin");
  ASSERT_EQ(3u, ids->count());
  EXPECT_EQ(20971520, api::getResourceDetail(home_ + "/twenty.bin")->member("size")->number());

  // Cold: only the service has the blocks.
  ASSERT_EQ(0, tarvik_clearCache());
  DecasHandle h;
  h.setPath("/Home/twenty.bin");
  h.openFlags = OPEN_READ;
  ASSERT_EQ(0, cloud_open(h.path().c_str(), &h));
  char ten[10];
  ASSERT_EQ(10, cloud_read(h.path().c_str(), ten, 10, B - 8, true, &h));
  EXPECT_EQ(data.substr(B - 8, 10), std::string(ten, 10));
  ASSERT_EQ(8, cloud_read(h.path().c_str(), ten, 10, B - 8, false, &h));
  std::string all(data.size(), '\0');
  ASSERT_EQ(static_cast<int>(data.size()),
            cloud_read(h.path().c_str(), &all[0], all.size(), 0, true, &h));
  EXPECT_TRUE(all == data);
  ASSERT_EQ(0, cloud_close(h.path().c_str(), &h));

  // One byte into the middle: the cached block stays, a new id is committed.
  const std::string first = ids->element(0)->text();
  struct stat before;
  ASSERT_EQ(0, ::stat(blockFilePath(first).c_str(), &before));
  DecasHandle w;
  w.setPath("/Home/twenty.bin");
  w.openFlags = OPEN_READ | OPEN_WRITE;
  ASSERT_EQ(0, cloud_open(w.path().c_str(), &w));
  ASSERT_EQ(1, cloud_write(w.path().c_str(), "#", 1, 1000, false, &w));
  ASSERT_EQ(0, cloud_flush(w.path().c_str(), &w));
  ASSERT_EQ(0, cloud_close(w.path().c_str(), &w));
  struct stat after;
  ASSERT_EQ(0, ::stat(blockFilePath(first).c_str(), &after));
  EXPECT_EQ(before.st_mtime, after.st_mtime);
  EXPECT_EQ(before.st_size, after.st_size);
  JsonPtr newIds = blockIds("twenty.bin");
  ASSERT_EQ(3u, newIds->count());
  EXPECT_NE(first, newIds->element(0)->text());
  EXPECT_EQ(ids->element(1)->text(), newIds->element(1)->text());
  cloud_exit(0);
}

TEST_F(ServiceContentTest, CorruptedDownloadIsNeverRenamedIntoPlace) {
  ASSERT_EQ(0, cloud_init(0, 0));
  const std::string data = pattern(100000, 2);
  putFile("c.bin", data);
  ASSERT_EQ(0, tarvik_clearCache());
  service_->admin("/admin/fault", R"({"kind":"corruptBlock"})");
  DecasHandle h;
  h.setPath("/Home/c.bin");
  h.openFlags = OPEN_READ;
  ASSERT_EQ(0, cloud_open(h.path().c_str(), &h));
  char buf[100];
  EXPECT_LT(cloud_read(h.path().c_str(), buf, sizeof buf, 0, true, &h), 0);
  int64_t usage = -1;
  ASSERT_EQ(0, tarvik_getCacheUsage(&usage));
  EXPECT_EQ(0, usage);
  EXPECT_EQ(100, cloud_read(h.path().c_str(), buf, sizeof buf, 0, true, &h));
  EXPECT_EQ(data.substr(0, 100), std::string(buf, 100));
  ASSERT_EQ(0, cloud_close(h.path().c_str(), &h));
  cloud_exit(0);
}

class MountedContentTest : public ServiceContentTest {
 protected:
  void SetUp() override {
    if (!tarvik_test::fuseAvailable()) {
      GTEST_SKIP() << "FUSE is not available here (/dev/fuse or fusermount3 missing)";
    }
    ServiceContentTest::SetUp();
    ASSERT_TRUE(drive_.mount("tarvik-content-")) << "the drive did not mount";
    mnt_ = drive_.dir();
  }
  void TearDown() override {
    drive_.unmount();
    ServiceContentTest::TearDown();
  }
  std::string at(const std::string& name) { return mnt_ + "/Home/" + name; }

  static std::string readFile(const std::string& path) {
    std::string out;
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return "<open failed>";
    char buf[1 << 16];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return out;
  }

  tarvik_test::DriveMount drive_;
  std::string mnt_;
};

// Random operations on three files, each checked against a model.
TEST_F(MountedContentTest, ModelBasedExerciser) {
  std::mt19937_64 rng(20240607);
  constexpr int kFiles = 3;
  constexpr int kOps = 3000;
  std::vector<std::string> model(kFiles);
  std::vector<int> fds(kFiles, -1);
  auto name = [](int f) { return "model" + std::to_string(f) + ".bin"; };
  for (int f = 0; f < kFiles; ++f) {
    fds[f] = ::open(at(name(f)).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fds[f], 0) << errno;
  }
  // Offsets cluster around block boundaries, where the faults would be.
  auto offset = [&](size_t limit) -> int64_t {
    const int64_t boundary = static_cast<int64_t>(rng() % 4) * B;
    const int64_t jitter = static_cast<int64_t>(rng() % 200000) - 100000;
    int64_t off = std::max<int64_t>(0, boundary + jitter);
    if (rng() % 4 == 0) off = limit ? static_cast<int64_t>(rng() % (limit + 1)) : 0;
    return off;
  };
  for (int op = 0; op < kOps; ++op) {
    const int f = static_cast<int>(rng() % kFiles);
    std::string& m = model[f];
    const int kind = static_cast<int>(rng() % 100);
    SCOPED_TRACE("op " + std::to_string(op) + " kind " + std::to_string(kind));
    if (kind < 45) {  // write
      const int64_t off = offset(m.size());
      const size_t len = 1 + rng() % 70000;
      const std::string data = pattern(len, static_cast<uint32_t>(op));
      ASSERT_EQ(static_cast<ssize_t>(len), ::pwrite(fds[f], data.data(), len, off)) << errno;
      if (m.size() < off + len) m.resize(off + len, '\0');
      m.replace(off, len, data);
    } else if (kind < 80) {  // read
      const int64_t off = offset(m.size());
      const size_t len = 1 + rng() % 70000;
      std::string buf(len, '\0');
      const ssize_t n = ::pread(fds[f], &buf[0], len, off);
      const size_t expect = off >= static_cast<int64_t>(m.size()) ? 0 : std::min(len, m.size() - off);
      ASSERT_EQ(static_cast<ssize_t>(expect), n) << errno;
      ASSERT_TRUE(buf.compare(0, expect, m, std::min<size_t>(off, m.size()), expect) == 0);
    } else if (kind < 88) {  // truncate
      const int64_t size = offset(m.size());
      ASSERT_EQ(0, ::ftruncate(fds[f], size)) << errno;
      m.resize(size, '\0');
    } else if (kind < 96) {  // reopen: commits, then reads the service's copy
      ASSERT_EQ(0, ::close(fds[f])) << errno;
      fds[f] = ::open(at(name(f)).c_str(), O_RDWR);
      ASSERT_GE(fds[f], 0) << errno;
      struct stat st;
      ASSERT_EQ(0, ::fstat(fds[f], &st));
      ASSERT_EQ(static_cast<off_t>(m.size()), st.st_size);
    } else {  // whole-file check through a second handle
      ASSERT_EQ(0, ::fsync(fds[f])) << errno;
      ASSERT_TRUE(readFile(at(name(f))) == m);
    }
  }
  for (int f = 0; f < kFiles; ++f) {
    ASSERT_EQ(0, ::close(fds[f]));
    EXPECT_TRUE(readFile(at(name(f))) == model[f]) << name(f);
    JsonPtr detail = api::getResourceDetail(home_ + "/" + name(f));
    EXPECT_EQ(static_cast<double>(model[f].size()), detail->member("size")->number());
  }
}

TEST_F(MountedContentTest, ThreadsWriteSeveralFilesAtOnce) {
  constexpr int kFiles = 4;
  std::vector<std::string> contents(kFiles);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int f = 0; f < kFiles; ++f) {
    contents[f] = pattern(2 * B + 4321 * (f + 1), 50 + f);
    threads.emplace_back([&, f] {
      const std::string path = at("par" + std::to_string(f) + ".bin");
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) {
        failures++;
        return;
      }
      const std::string& c = contents[f];
      for (size_t off = 0; off < c.size(); off += 65536) {
        const size_t n = std::min<size_t>(65536, c.size() - off);
        if (::pwrite(fd, c.data() + off, n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) failures++;
      }
      if (::close(fd) != 0) failures++;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  for (int f = 0; f < kFiles; ++f) {
    EXPECT_TRUE(readFile(at("par" + std::to_string(f) + ".bin")) == contents[f]) << f;
  }
}


// The cache limit and the largest file on a real mount: a file overwritten
// again and again keeps the cache under its limit (the replaced versions go
// first), every version reads back whole, and a truncation to an absurd size
// fails with EFBIG at once, one beyond the account's space with ENOSPC, while
// a large sparse one costs no memory or cache for its holes.
TEST_F(MountedContentTest, CacheStaysUnderItsLimitAndHugeSizesFailAtOnce) {
  constexpr int64_t kLimit = 20 << 20;
  setenv(kCacheLimitVariable, "20M", 1);
  block_cache::configureFromEnvironment();
  unsetenv(kCacheLimitVariable);
  ASSERT_EQ(kLimit, block_cache::limit());

  const std::string path = at("over.bin");
  std::string current;
  for (uint32_t v = 0; v < 8; ++v) {
    current = pattern(B, 70 + v);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (size_t off = 0; off < current.size(); off += 1 << 20) {
      ASSERT_EQ(1 << 20, ::pwrite(fd, current.data() + off, 1 << 20, static_cast<off_t>(off)));
    }
    ASSERT_EQ(0, ::close(fd));
    int64_t usage = 0;
    ASSERT_EQ(0, tarvik_getCacheUsage(&usage));
    EXPECT_LE(usage, kLimit) << "after version " << v;
  }
  EXPECT_TRUE(readFile(path) == current);

  // Far beyond the largest file: refused, the file untouched.
  errno = 0;
  EXPECT_EQ(-1, ::truncate(path.c_str(), 999999999999999LL));
  EXPECT_EQ(EFBIG, errno);
  errno = 0;
  EXPECT_EQ(-1, ::truncate(path.c_str(), MAX_FILE_SIZE + 1));
  EXPECT_EQ(EFBIG, errno);
  struct stat st;
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(B, st.st_size);

  // Allowed, but more than the account holds (10 GiB): the service's
  // refusal is truncate's error, not a silent success.
  errno = 0;
  EXPECT_EQ(-1, ::truncate(path.c_str(), int64_t{64} << 30));
  EXPECT_EQ(ENOSPC, errno);
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(B, st.st_size);

  // 8 GiB: holes only; the commit reuses one block of zeros.
  const int64_t big = int64_t{8} << 30;
  ASSERT_EQ(0, ::truncate(path.c_str(), big));
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(big, st.st_size);
  int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char buf[8];
  ASSERT_EQ(8, ::pread(fd, buf, 8, big - 8));
  EXPECT_EQ(std::string(8, '\0'), std::string(buf, 8));
  ASSERT_EQ(8, ::pread(fd, buf, 8, B - 8));
  EXPECT_EQ(current.substr(B - 8), std::string(buf, 8));
  ::close(fd);
  EXPECT_EQ(big, static_cast<int64_t>(
                     api::getResourceDetail(home_ + "/over.bin")->member("size")->number()));
  int64_t usage = 0;
  ASSERT_EQ(0, tarvik_getCacheUsage(&usage));
  EXPECT_LE(usage, kLimit);
  ASSERT_EQ(0, ::unlink(path.c_str()));
}

}  // namespace
}  // namespace tarvik
