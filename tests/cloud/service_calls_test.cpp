// The service calls each common operation costs on a mounted drive, counted
// by the local service (admin/stats), and what the drive shows right after a
// change made through it or by someone else on the service. The counts are
// the contract of the README's table of calls per operation.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <picojson.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cache/stat_cache.h"
#include "cloud/cloud_table.h"
#include "drive/decas_frame.h"
#include "optable/decas.h"
#include "local_service.h"
#include "mount_points.h"
#include "private_dirs.h"
#include "tarvik.h"
#include "webapi/block_id.h"
#include "webapi/envelope.h"
#include "webapi/json.h"
#include "webapi/service_methods.h"

namespace tarvik {
namespace {

using Calls = std::map<std::string, int>;

bool fuseAvailable() {
  return access("/dev/fuse", R_OK | W_OK) == 0 && access("/usr/bin/fusermount3", X_OK) == 0;
}

std::string describe(const Calls& calls) {
  std::string text;
  for (const auto& [method, n] : calls) text += method + "=" + std::to_string(n) + " ";
  return text.empty() ? "(none)" : text;
}

class ServiceCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fuseAvailable()) GTEST_SKIP() << "FUSE is not available here";
    tarvik_test::usePrivateDirectories();
    service_ = tarvik_test::LocalService::start();
    ASSERT_TRUE(service_);
    setenv("CURL_CA_BUNDLE", service_->caFile().c_str(), 1);
    ASSERT_EQ(tarvik_init(service_->url().c_str(), "en", false, nullptr), 0);
    ASSERT_FALSE(isErrorResult(api::pretestLogin(service_->demoCorp())));
    ASSERT_FALSE(isErrorResult(
        api::login(service_->demoCorp(), service_->demoUser(), service_->demoPassword())));
    home_ = "/" + service_->demoUser();
    char dir[] = "/tmp/tarvik-calls-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    mnt_ = dir;
    decas_setTableFiller(cloud_fillOperationTable);
    ASSERT_EQ(decas_main(mnt_, DECAS_OPTION_NETWORK, false, false), 0);
    for (int i = 0; i < 500 && !dokan::IsMountPoint(mnt_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(dokan::IsMountPoint(mnt_)) << "the drive did not mount";
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) decas_exit();
    if (!mnt_.empty()) {
      if (dokan::IsMountPoint(mnt_)) std::system(("fusermount3 -u -z " + mnt_).c_str());
      rmdir(mnt_.c_str());
    }
    service_.reset();
  }

  // The calls since the last take, by method; counting starts anew.
  Calls take() {
    JsonPtr stats = json::parse(service_->admin("/admin/stats", R"({"reset": true})"));
    Calls calls;
    JsonPtr byMethod = stats->member("calls");
    EXPECT_TRUE(byMethod->isObject()) << stats->serialize();
    if (!byMethod->isObject()) return calls;
    for (const auto& [method, n] : byMethod->value().get<picojson::object>()) {
      calls[method] = static_cast<int>(n.get<double>());
    }
    return calls;
  }
  int total(const Calls& calls) {
    int n = 0;
    for (const auto& entry : calls) n += entry.second;
    return n;
  }

  std::string at(const std::string& p) { return mnt_ + "/Home" + p; }
  void put(const std::string& p, const std::string& data) {
    const int fd = ::open(at(p).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << p << " errno " << errno;
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::close(fd), 0);
  }
  std::string get(const std::string& p) {
    std::string data;
    FILE* f = std::fopen(at(p).c_str(), "rb");
    if (!f) return "<no such file>";
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    std::fclose(f);
    return data;
  }
  std::vector<std::string> list(const std::string& p) {
    std::vector<std::string> names;
    DIR* d = opendir(at(p).c_str());
    if (!d) return {"<opendir failed>"};
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
  }
  // Size by stat, or -1 when the name is missing.
  long long sizeOf(const std::string& p) {
    struct stat st;
    return ::stat(at(p).c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  }
  // Drops the kernel's cached entries and attributes of the drive, so the
  // next look-up reaches the drive as it does once the kernel's timeout ran.
  void dropKernelCaches() {
    std::FILE* f = std::fopen("/proc/sys/vm/drop_caches", "w");
    if (f) {
      std::fputs("2", f);
      std::fclose(f);
    }
  }

  std::unique_ptr<tarvik_test::LocalService> service_;
  std::string home_;
  std::string mnt_;
  bool mounted_ = false;
};

std::atomic<int64_t> g_clock{0};
int64_t frozenClock() { return g_clock.load(); }

// The stat cache runs on a clock the test moves, so that what is "known"
// (listed or looked up within the cache time) does not depend on how fast
// the machine is; the kernel's own caches are dropped before each count.
TEST_F(ServiceCallsTest, CommonOperationsCostTheCallsTheReadmeStates) {
  g_clock = 1;
  setStatCacheClockForTesting(&frozenClock);
  struct Restore {
    ~Restore() { setStatCacheClockForTesting(nullptr); }
  } restore;
  auto expire = [&] {
    g_clock += 2 * kStatCacheMicroseconds;
    dropKernelCaches();
  };
  ASSERT_EQ(::mkdir(at("/ops").c_str(), 0755), 0);
  for (int i = 0; i < 20; ++i) put("/ops/f" + std::to_string(i), std::string(100 + i, 'x'));

  // `ls -l` of a folder not known: one look-up of the folder and one
  // getEntries; the stats that follow, also when the kernel asks for each
  // entry on its own, are answered from the listing.
  expire();
  take();
  EXPECT_EQ(list("/ops").size(), 20u);
  dropKernelCaches();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(sizeOf("/ops/f" + std::to_string(i)), 100 + i);
  Calls calls = take();
  EXPECT_EQ(calls["getEntries"], 1) << describe(calls);
  EXPECT_EQ(calls["getResourceDetail"], 1) << describe(calls);
  EXPECT_EQ(total(calls), 2) << describe(calls);

  // A new small file in a folder listed moments ago: the look-up before the
  // create is answered from the listing.
  dropKernelCaches();
  put("/ops/new", std::string(4096, 'n'));
  calls = take();
  EXPECT_EQ(calls["pretestUploadFile"], 1) << describe(calls);
  EXPECT_EQ(calls["uploadBlock"], 1) << describe(calls);
  EXPECT_EQ(calls["uploadFile"], 2) << describe(calls);
  EXPECT_EQ(total(calls), 4) << describe(calls);

  // In a folder made through the drive (cp -r): known to be empty. The
  // kernel looks the new folder itself up once.
  ASSERT_EQ(::mkdir(at("/ops/sub").c_str(), 0755), 0);
  put("/ops/sub/x", std::string(4096, 'x'));
  calls = take();
  EXPECT_EQ(calls["makeDirectory"], 1) << describe(calls);
  EXPECT_EQ(calls["getResourceDetail"], 1) << describe(calls);
  EXPECT_EQ(total(calls), 6) << describe(calls);

  // A new name not known: one look-up of it.
  expire();
  EXPECT_EQ(sizeOf("/ops"), sizeOf("/ops"));  // the folder is looked up first
  take();
  put("/ops/other", std::string(4096, 'o'));
  calls = take();
  EXPECT_EQ(calls["getResourceDetail"], 1) << describe(calls);
  EXPECT_EQ(total(calls), 5) << describe(calls);

  // A stat of a name not known: one look-up, then none while it is known.
  expire();
  sizeOf("/ops");
  take();
  EXPECT_EQ(sizeOf("/ops/f3"), 103);
  dropKernelCaches();
  EXPECT_EQ(sizeOf("/ops/f3"), 103);
  calls = take();
  EXPECT_EQ(calls["getResourceDetail"], 1) << describe(calls);
  EXPECT_EQ(total(calls), 1) << describe(calls);

  // Reading a small file not known: a look-up, its block list and its block
  // (none when the block is in the block cache, as here: it was written here).
  expire();
  sizeOf("/ops");
  take();
  EXPECT_EQ(get("/ops/f5"), std::string(105, 'x'));
  calls = take();
  EXPECT_EQ(calls["getResourceDetail"], 1) << describe(calls);
  EXPECT_EQ(calls["pretestDownloadFile"], 1) << describe(calls);
  EXPECT_LE(calls["downloadBlock"], 1) << describe(calls);
  EXPECT_EQ(total(calls), 2 + calls["downloadBlock"]) << describe(calls);

  // A listing repeated at once costs nothing.
  list("/ops");
  take();
  EXPECT_EQ(list("/ops").size(), 23u);
  calls = take();
  EXPECT_EQ(total(calls), 0) << describe(calls);

  // Rename and delete of listed names: the move; the permission check and
  // the removal.
  list("/ops");
  dropKernelCaches();
  take();
  ASSERT_EQ(::rename(at("/ops/f6").c_str(), at("/ops/g6").c_str()), 0);
  calls = take();
  EXPECT_EQ(calls["moveResource"], 1) << describe(calls);
  EXPECT_EQ(total(calls), 1) << describe(calls);
  ASSERT_EQ(::unlink(at("/ops/f7").c_str()), 0);
  calls = take();
  EXPECT_EQ(calls["removeResource"], 1) << describe(calls);
  EXPECT_EQ(calls["checkPermission"], 1) << describe(calls);
  EXPECT_EQ(total(calls), 2) << describe(calls);
}

// What the drive answers from its listings never hides a change made through
// the drive, and a change made on the service by someone else shows once the
// kernel's attribute timeout (1 s) has run.
TEST_F(ServiceCallsTest, ListedNamesNeverShowStaleDataAfterChanges) {
  ASSERT_EQ(::mkdir(at("/fresh").c_str(), 0755), 0);
  put("/fresh/a", "one");
  put("/fresh/b", "two");
  list("/fresh");

  // Through the drive, each at once after a fresh listing.
  put("/fresh/a", "longer content");
  EXPECT_EQ(sizeOf("/fresh/a"), 14);
  list("/fresh");
  ASSERT_EQ(::rename(at("/fresh/b").c_str(), at("/fresh/c").c_str()), 0);
  EXPECT_EQ(sizeOf("/fresh/b"), -1);
  EXPECT_EQ(sizeOf("/fresh/c"), 3);
  list("/fresh");
  ASSERT_EQ(::unlink(at("/fresh/c").c_str()), 0);
  EXPECT_EQ(sizeOf("/fresh/c"), -1);
  EXPECT_EQ(list("/fresh"), std::vector<std::string>{"a"});
  put("/fresh/d", "new");  // missing from the listing, created since
  EXPECT_EQ(sizeOf("/fresh/d"), 3);
  EXPECT_EQ(get("/fresh/d"), "new");
  EXPECT_EQ(list("/fresh").size(), 2u);
  list("/fresh");
  ASSERT_EQ(::mkdir(at("/fresh/sub").c_str(), 0755), 0);
  put("/fresh/sub/x", "in sub");
  EXPECT_EQ(get("/fresh/sub/x"), "in sub");

  // On the service by someone else: a new file, a removed one.
  list("/fresh");
  JsonPtr up = api::pretestUploadFile(home_ + "/fresh/e");
  ASSERT_FALSE(isErrorResult(up));
  ASSERT_FALSE(isErrorResult(api::uploadFile(up->text(), {})));
  ASSERT_FALSE(isErrorResult(api::removeResource(home_ + "/fresh/d")));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool seen = false;
  while (!seen && std::chrono::steady_clock::now() < deadline) {
    seen = sizeOf("/fresh/e") == 0 && sizeOf("/fresh/d") == -1;
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(seen) << "changes made on the service did not show within 10 s: e "
                    << sizeOf("/fresh/e") << ", d " << sizeOf("/fresh/d");
}

// Pages of `path` in the kernel's page cache right after an open (before
// any read through it), or -1 when the file cannot be mapped.
long residentPagesAtOpen(const std::string& path, size_t length) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  long resident = -1;
  if (map != MAP_FAILED) {
    const long page = sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> vec((length + page - 1) / page);
    if (::mincore(map, length, vec.data()) == 0) {
      resident = 0;
      for (unsigned char v : vec) resident += v & 1;
    }
    ::munmap(map, length);
  }
  ::close(fd);
  return resident;
}

// The kernel keeps its pages of a file across opens only while the file's
// block list is the one of its last open: a change made on the service, or
// through the drive, is read afresh.
// Disabled for now: run by ctest (not when run directly) the kernel has no
// pages of the unchanged file at the second open in about half of the runs;
// the cause is not found yet. Run it with --gtest_also_run_disabled_tests.
TEST_F(ServiceCallsTest, DISABLED_KernelKeepsPagesOnlyOfContentUnchangedSinceTheLastOpen) {
  const size_t size = 256 * 1024;
  ASSERT_EQ(::mkdir(at("/k").c_str(), 0755), 0);
  put("/k/a", std::string(size, 'a'));
  ASSERT_EQ(get("/k/a"), std::string(size, 'a'));  // the pages are in the page cache now
  EXPECT_GT(residentPagesAtOpen(at("/k/a"), size), 0) << "unchanged content lost its pages";
  EXPECT_EQ(get("/k/a"), std::string(size, 'a'));

  // Someone else replaces the content on the service (same size).
  const std::string dir = "/tmp/tarvik-calls-block-" + std::to_string(::getpid());
  {
    FILE* f = std::fopen(dir.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string other(size, 'b');
    std::fwrite(other.data(), 1, other.size(), f);
    std::fclose(f);
  }
  JsonPtr up = api::pretestUploadFile(home_ + "/k/a");
  ASSERT_FALSE(isErrorResult(up));
  const std::string id = blockIdOfFile(dir);
  ASSERT_FALSE(isErrorResult(api::uploadBlock(up->text(), id, dir)));
  ASSERT_FALSE(isErrorResult(api::uploadFile(up->text(), {id})));
  std::remove(dir.c_str());
  EXPECT_EQ(get("/k/a"), std::string(size, 'b')) << "an open showed the replaced content";

  // Through the drive: a rewrite in place, then a fresh read.
  {
    const int fd = ::open(at("/k/a").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "cc", 2, 4096), 2);
    ASSERT_EQ(::close(fd), 0);
  }
  std::string expected(size, 'b');
  expected[4096] = expected[4097] = 'c';
  EXPECT_EQ(get("/k/a"), expected);
}

}  // namespace
}  // namespace tarvik
