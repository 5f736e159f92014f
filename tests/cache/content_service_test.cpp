// File content against the local service: the slots driven directly after
// a sign-in, and model-based exercisers on a real FUSE mount of the drive
// (random writes, reads, truncates and reopens across block boundaries,
// compared with an in-memory copy; once more with files up to 64 MiB under a
// 16 MiB block cache, reopened in every mode and with two descriptors on a
// file; then several files written by threads at once).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
#include "cache/upload_journal.h"
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
#include "service_fixture.h"

namespace tarvik {
namespace {

// Operations of the large-file exerciser: about a minute in a Release build.
constexpr int kLargeOps = 1200;

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

TEST_F(ServiceContentTest, CorruptedDownloadIsNeverRenamedIntoPlaceAndIsFetchedAgain) {
  ASSERT_EQ(0, cloud_init(0, 0));
  const std::string data = pattern(100000, 2);
  putFile("c.bin", data);
  ASSERT_EQ(0, tarvik_clearCache());
  service_->admin("/admin/fault", R"({"kind":"corruptBlock"})");
  DecasHandle h;
  h.setPath("/Home/c.bin");
  h.openFlags = OPEN_READ;
  ASSERT_EQ(0, cloud_open(h.path().c_str(), &h));
  // The corrupted answer is dropped and the block fetched once more (with
  // a new token): the reader gets the right bytes.
  char buf[100];
  EXPECT_EQ(100, cloud_read(h.path().c_str(), buf, sizeof buf, 0, true, &h));
  EXPECT_EQ(data.substr(0, 100), std::string(buf, 100));
  ASSERT_EQ(0, cloud_close(h.path().c_str(), &h));
  cloud_exit(0);
}

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

// The same model with large files and a small block cache: files up to
// 64 MiB while the cache holds 16 MiB, so blocks of open files are evicted
// and fetched again; descriptors are closed and reopened between operations
// (O_RDWR, O_RDWR|O_APPEND with an append, O_TRUNC), a second descriptor is
// open on a file at times (written through one, read through the other),
// and headers are rewritten after the body was written.
class LargeFileExerciser {
 public:
  LargeFileExerciser(const std::string& dir, uint64_t seed) : rng_(seed) {
    for (int f = 0; f < kFiles; ++f) files_[f].path = dir + "/large" + std::to_string(f) + ".bin";
  }

  void run(int ops) {
    for (auto& m : files_) {
      m.fd = ::open(m.path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(m.fd, 0) << errno;
    }
    for (int op = 0; op < ops; ++op) {
      File& m = files_[rng_() % kFiles];
      const int kind = static_cast<int>(rng_() % 100);
      SCOPED_TRACE("op " + std::to_string(op) + " kind " + std::to_string(kind) + " on " + m.path +
                   " (size " + std::to_string(m.model.size()) + ")");
      if (kind < 27) write(m, op);
      else if (kind < 37) grow(m, op);
      else if (kind < 62) read(m);
      else if (kind < 65) truncate(m);
      else if (kind < 75) reopen(m, op);
      else if (kind < 84) toggleSecond(m);
      else if (kind < 93) rewriteHeader(m, op);
      else checkWhole(m);
      if (::testing::Test::HasFatalFailure()) return;
    }
    for (auto& m : files_) {
      if (m.second >= 0) {
        ASSERT_EQ(0, ::close(m.second)) << errno;
      }
      ASSERT_EQ(0, ::close(m.fd)) << errno;
      const std::string got = wholeFile(m.path);
      ASSERT_TRUE(got == m.model) << m.path << ": " << difference(got, m.model, 0);
    }
  }

  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const auto& m : files_) out.push_back(m.path);
    return out;
  }

 private:
  static constexpr int kFiles = 3;
  static constexpr int64_t kMax = 64 << 20;
  struct File {
    std::string path, model;
    int fd = -1;            // opened O_RDWR, with O_APPEND when `append`
    bool append = false;
    int second = -1;        // another descriptor on the file, or -1
    bool secondWrites = false;
  };

  static std::string difference(const std::string& got, const std::string& want, int64_t base) {
    size_t k = 0;
    while (k < got.size() && k < want.size() && got[k] == want[k]) ++k;
    return "first difference at offset " + std::to_string(base + static_cast<int64_t>(k)) + " (" +
           std::to_string(got.size()) + " bytes read, " + std::to_string(want.size()) + " expected)";
  }
  static std::string wholeFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return "<open failed: " + std::to_string(errno) + ">";
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    std::string out;
    char buf[1 << 16];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return out;
  }
  // Near a block boundary (the file's or the next), or anywhere up to `limit`.
  int64_t offset(size_t limit) {
    const int64_t blocks = static_cast<int64_t>(limit) / B + 1;
    int64_t off = static_cast<int64_t>(rng_() % (blocks + 1)) * B + static_cast<int64_t>(rng_() % 200000) - 100000;
    if (rng_() % 4 == 0) off = static_cast<int64_t>(rng_() % (limit + 1));
    return std::clamp<int64_t>(off, 0, static_cast<int64_t>(limit) + 5000);  // small holes only
  }
  void put(File& m, int fd, const std::string& data, int64_t off) {
    if (fd == m.fd && m.append) {
      off = static_cast<int64_t>(m.model.size());  // O_APPEND: the end, whatever the offset
      ASSERT_EQ(static_cast<ssize_t>(data.size()), ::write(fd, data.data(), data.size())) << errno;
    } else {
      ASSERT_EQ(static_cast<ssize_t>(data.size()), ::pwrite(fd, data.data(), data.size(), off)) << errno;
    }
    if (m.model.size() < off + data.size()) m.model.resize(off + data.size(), '\0');
    m.model.replace(off, data.size(), data);
  }
  void write(File& m, int op) {
    const int fd = (m.second >= 0 && m.secondWrites && rng_() % 2) ? m.second : m.fd;
    const int64_t off = std::min(offset(m.model.size()), kMax - 1);
    const int64_t at = (fd == m.fd && m.append) ? static_cast<int64_t>(m.model.size()) : off;
    const int64_t len = std::min<int64_t>(1 + rng_() % 70000, kMax - at);
    if (len > 0) put(m, fd, pattern(static_cast<size_t>(len), static_cast<uint32_t>(op)), off);
  }
  void grow(File& m, int op) {  // 1 to 16 MiB at the end, in 1 MiB writes
    const int64_t len = std::min<int64_t>(1 + rng_() % (16 << 20), kMax - static_cast<int64_t>(m.model.size()));
    if (len <= 0) return;
    const std::string data = pattern(len, static_cast<uint32_t>(op) * 7 + 1);
    for (int64_t k = 0; k < len && !::testing::Test::HasFatalFailure(); k += 1 << 20)
      put(m, m.fd, data.substr(k, 1 << 20), static_cast<int64_t>(m.model.size()));
  }
  void read(File& m) {
    const int fd = (m.second >= 0 && rng_() % 4) ? m.second : m.fd;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);  // from the drive, not the page cache
    const int64_t off = offset(m.model.size());
    const size_t len = 1 + rng_() % 200000;
    std::string buf(len, '\0');
    const ssize_t n = ::pread(fd, &buf[0], len, off);
    ASSERT_GE(n, 0) << errno;
    buf.resize(static_cast<size_t>(n));
    const size_t size = m.model.size();
    const std::string want = off >= static_cast<int64_t>(size) ? "" : m.model.substr(off, len);
    ASSERT_TRUE(buf == want) << (fd == m.second ? "second descriptor: " : "") << difference(buf, want, off);
  }
  void truncate(File& m) {
    const int64_t size = std::min(offset(m.model.size()), kMax);
    ASSERT_EQ(0, ::ftruncate(m.fd, size)) << errno;
    m.model.resize(size, '\0');
  }
  void reopen(File& m, int op) {  // the close commits
    ASSERT_EQ(0, ::close(m.fd)) << errno;
    const int mode = static_cast<int>(rng_() % 10);
    m.append = mode >= 5 && mode < 9;
    m.fd = ::open(m.path.c_str(), O_RDWR | (m.append ? O_APPEND : 0) | (mode == 9 ? O_TRUNC : 0));
    ASSERT_GE(m.fd, 0) << errno;
    if (mode == 9) m.model.clear();
    struct stat st;
    ASSERT_EQ(0, ::fstat(m.fd, &st));
    ASSERT_EQ(static_cast<off_t>(m.model.size()), st.st_size);
    const int64_t room = kMax - static_cast<int64_t>(m.model.size());
    if (m.append && room > 0)
      put(m, m.fd, pattern(std::min<int64_t>(1 + rng_() % 70000, room), static_cast<uint32_t>(op) * 3 + 2), 0);
  }
  void toggleSecond(File& m) {
    if (m.second >= 0) {
      ASSERT_EQ(0, ::close(m.second)) << errno;
      m.second = -1;
      return;
    }
    m.secondWrites = rng_() % 2;
    m.second = ::open(m.path.c_str(), m.secondWrites ? O_RDWR : O_RDONLY);
    ASSERT_GE(m.second, 0) << errno;
  }
  // The first bytes and a few in the middle, as a program that writes its
  // header last; through a new descriptor when the main one appends.
  void rewriteHeader(File& m, int op) {
    if (m.model.empty()) return;
    const int fd = m.append ? ::open(m.path.c_str(), O_RDWR) : m.fd;
    ASSERT_GE(fd, 0) << errno;
    put(m, fd, pattern(std::min<size_t>(1 + rng_() % 4096, m.model.size()), static_cast<uint32_t>(op) * 5 + 3), 0);
    const int64_t mid = static_cast<int64_t>(rng_() % m.model.size());
    if (!::testing::Test::HasFatalFailure())
      put(m, fd, pattern(std::min<size_t>(1 + rng_() % 512, m.model.size() - mid), static_cast<uint32_t>(op) * 5 + 4), mid);
    if (fd != m.fd) {
      ASSERT_EQ(0, ::close(fd)) << errno;
    }
  }
  void checkWhole(File& m) {
    ASSERT_EQ(0, ::fsync(m.fd)) << errno;
    const std::string got = wholeFile(m.path);
    ASSERT_TRUE(got == m.model) << "new descriptor: " << difference(got, m.model, 0);
  }

  std::mt19937_64 rng_;
  File files_[kFiles];
};

TEST_F(MountedContentTest, ModelBasedExerciserLargeFilesSmallCache) {
  const int64_t before = block_cache::limit();
  block_cache::setLimit(16 << 20);
  struct Restore {
    int64_t limit;
    ~Restore() { block_cache::setLimit(limit); }
  } restore{before};
  LargeFileExerciser exerciser(mnt_ + "/Home", 20240917);
  exerciser.run(kLargeOps);
  if (HasFatalFailure()) return;
  for (const auto& path : exerciser.paths()) {
    struct stat st;
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    const std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(static_cast<double>(st.st_size),
              api::getResourceDetail(home_ + "/" + name)->member("size")->number()) << name;
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
  EXPECT_FALSE(journal::find(home_ + "/over.bin", nullptr)) << "a refused size is not retried";

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
