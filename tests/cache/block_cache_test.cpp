// The block cache under its limit: eviction order, pins of blocks in use,
// blocks left by an earlier run, and readers racing the eviction.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "cache/byte_size.h"
#include "content_fixture.h"

namespace tarvik_test {
namespace {

bool cached(const std::string& id) { return !isMissingFile(blockFilePath(id)); }

class BlockCacheTest : public ContentTest {
 protected:
  void TearDown() override {
    ContentTest::TearDown();
    block_cache::setLimit(INT64_MAX);
  }
  // A file of one block of `size` bytes, read completely through a handle
  // that stays open.
  DecasHandle* openAndRead(const std::string& name, size_t size, uint32_t seed, std::string* id) {
    const std::string data = pattern(size, seed);
    *id = fake().putFile(data)[0];
    DecasHandle* h = openIds(name, {*id}, static_cast<int64_t>(size), OPEN_READ);
    EXPECT_EQ(data, readAll(h, static_cast<int64_t>(size)));
    return h;
  }
};

TEST_F(BlockCacheTest, OpenBlocksStayAndClosedOnesGoLeastRecentlyUsedFirst) {
  block_cache::setLimit(2500);
  std::string a, b, c;
  DecasHandle* ha = openAndRead("a", 1000, 1, &a);
  DecasHandle* hb = openAndRead("b", 1000, 2, &b);
  DecasHandle* hc = openAndRead("c", 1000, 3, &c);
  // All three are open: over the limit, nothing may go.
  EXPECT_EQ(3000, block_cache::usedBytes());
  EXPECT_TRUE(cached(a) && cached(b) && cached(c));

  closeHandle(ha);  // a, the least recently used, goes as soon as it is free
  EXPECT_FALSE(cached(a));
  EXPECT_EQ(2000, block_cache::usedBytes());

  // Read again, it is downloaded again and becomes the most recent.
  DecasHandle* again = openIds("a", {a}, 1000, OPEN_READ);
  EXPECT_EQ(pattern(1000, 1), readAll(again, 1000));
  EXPECT_EQ(2, fake().downloadsOf(a));
  closeHandle(hb);  // over the limit again: b is the oldest, and free
  EXPECT_FALSE(cached(b));
  closeHandle(again);
  closeHandle(hc);
  EXPECT_TRUE(cached(a) && cached(c));
  EXPECT_EQ(2000, block_cache::usedBytes());
  EXPECT_EQ(0, block_cache_testing::pins(a) + block_cache_testing::pins(c));
}

TEST_F(BlockCacheTest, ReplacedAndDeletedFilesGoFirst) {
  std::string old;
  closeHandle(openAndRead("old", 1000, 4, &old));  // the oldest block
  // A file written twice: its first version is no longer listed by it.
  DecasHandle* w = openNew("doc", OPEN_WRITE);
  const std::string v1 = pattern(1000, 5), v2 = pattern(1000, 6);
  ASSERT_EQ(1000, contentWrite(w->path().c_str(), v1.data(), 1000, 0, true, w));
  ASSERT_EQ(0, cloud_flush(w->path().c_str(), w));
  ASSERT_EQ(1000, contentWrite(w->path().c_str(), v2.data(), 1000, 0, true, w));
  ASSERT_EQ(0, cloud_flush(w->path().c_str(), w));
  closeHandle(w);
  const std::string id1 = blockIdOf(v1.data(), 1000), id2 = blockIdOf(v2.data(), 1000);
  std::string gone;
  closeHandle(openAndRead("gone", 1000, 7, &gone));  // the newest block
  block_cache::removed("/u/gone");                 // deleted: goes before older ones

  block_cache::setLimit(2000);
  EXPECT_FALSE(cached(id1));
  EXPECT_FALSE(cached(gone));
  EXPECT_TRUE(cached(old) && cached(id2));
  // Then least recently used: the untouched old block before the current version.
  block_cache::setLimit(1000);
  EXPECT_FALSE(cached(old));
  EXPECT_TRUE(cached(id2));
}

TEST_F(BlockCacheTest, SealedBlockStaysUntilTheServiceHasIt) {
  block_cache::setLimit(0);
  DecasHandle* h = openNew("s", OPEN_WRITE | OPEN_READ);
  const std::string data = pattern(3000, 8);
  const std::string id = blockIdOf(data.data(), data.size());
  ASSERT_EQ(3000, contentWrite(h->path().c_str(), data.data(), 3000, 0, true, h));
  fake().failUploadBlock = 1;
  EXPECT_LT(cloud_flush(h->path().c_str(), h), 0);
  // The sealed file is the only copy: a limit of 0 must not remove it.
  EXPECT_EQ(BLOCK_SEALED, h->fileContext->blocks[0]->state);
  EXPECT_TRUE(cached(id));
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ(data, fake().committedContent(uploadTokenFor("s")));
  EXPECT_FALSE(cached(id));  // uploaded: free to go
  EXPECT_EQ(data, readAll(h, 3000));  // and downloaded again when read
}

TEST_F(BlockCacheTest, BlocksOfAnEarlierRunCountOldestFirst) {
  const std::string dir = state().blockDir;
  for (int k = 0; k < 4; ++k) {
    const std::string path = dir + "/earlier" + std::to_string(k);
    std::ofstream(path) << std::string(1000, 'x');
    // k = 0 is the oldest.
    struct timeval times[2] = {{1000 + k, 0}, {1000 + k, 0}};
    ASSERT_EQ(0, ::utimes(path.c_str(), times));
  }
  block_cache::rescan();
  EXPECT_EQ(4000, block_cache::usedBytes());
  block_cache::setLimit(2500);
  EXPECT_TRUE(isMissingFile(dir + "/earlier0"));
  EXPECT_TRUE(isMissingFile(dir + "/earlier1"));
  EXPECT_FALSE(isMissingFile(dir + "/earlier2"));
  EXPECT_EQ(2000, block_cache::usedBytes());
  int64_t usage = 0;
  ASSERT_EQ(0, tarvik_getCacheUsage(&usage));
  EXPECT_EQ(2000, usage);
}

// Readers of several files while the cache holds less than one of each: no
// read may fail or see wrong bytes because a block went under it.
TEST_F(BlockCacheTest, ReadersRacingTheEvictionReadEveryByte) {
  constexpr int kFiles = 6;
  constexpr size_t kSize = 64 * 1024;
  std::vector<std::vector<std::string>> ids(kFiles);
  for (int f = 0; f < kFiles; ++f) ids[f] = fake().putFile(pattern(kSize, 100 + f));
  block_cache::setLimit(2 * kSize);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 30; ++round) {
        const int f = (t + round) % kFiles;
        auto h = std::make_unique<DecasHandle>();
        h->setPath("/Home/r" + std::to_string(f));
        h->openFlags = OPEN_READ;
        StatRecord record{ENTRY_FILE, static_cast<int64_t>(kSize), -1, 1000, 1000};
        std::string list = "\"" + ids[f][0] + "\"";
        JsonPtr pretest = json::parse("{\"token\":\"dl\",\"blockIds\":[" + list + "]}");
        if (contentOpen("/u/r" + std::to_string(f), h.get(), record, false, pretest, "", false) != 0) {
          failures++;
          continue;
        }
        std::string out(kSize, '\0');
        if (cloud_read(h->path().c_str(), &out[0], kSize, 0, true, h.get()) !=
                static_cast<int>(kSize) ||
            out != pattern(kSize, 100 + f)) {
          failures++;
        }
        closeHandle(h.get());
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_LE(block_cache::usedBytes(), static_cast<int64_t>(2 * kSize));
}

TEST(ByteSizeTest, ReadsSizesAsPeopleWriteThem) {
  const std::pair<const char*, int64_t> good[] = {
      {"0", 0}, {"1048576", 1048576}, {"64k", 65536}, {"512M", 512ll << 20},
      {"10G", 10ll << 30}, {"10GiB", 10ll << 30}, {"2TB", 2ll << 40}, {"7b", 7}};
  for (const auto& g : good) {
    int64_t v = -1;
    EXPECT_TRUE(parseByteSize(g.first, &v)) << g.first;
    EXPECT_EQ(g.second, v) << g.first;
  }
  for (const char* bad : {"", "G", "-1", "1.5G", "10X", "10 G", "99999999999999999999",
                          "9000000000T"}) {
    int64_t v = 0;
    EXPECT_FALSE(parseByteSize(bad, &v)) << bad;
  }
}

// A second drive process using the same block directory (it holds the
// cache's lock) may need any block file there: this process then evicts
// nothing, and trims to its limit again once the other one has ended.
TEST_F(BlockCacheTest, AnotherProcessOfTheCacheKeepsEveryBlock) {
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const std::string lockPath = block_cache::lockFilePath();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only async-signal-safe calls in the child of a threaded process.
    ::close(release[1]);
    ::close(ready[0]);
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT, 0600);
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    const char ok = (fd >= 0 && ::fcntl(fd, F_SETLK, &fl) == 0) ? 'y' : 'n';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
    char c;
    while (::read(release[0], &c, 1) > 0) {
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(ok, 'y');

  block_cache::setLimit(1500);
  std::string a, b, c;
  closeHandle(openAndRead("a", 1000, 11, &a));
  closeHandle(openAndRead("b", 1000, 12, &b));
  closeHandle(openAndRead("c", 1000, 13, &c));
  EXPECT_TRUE(cached(a) && cached(b) && cached(c));
  EXPECT_EQ(0, block_cache::trim());

  ::close(release[1]);  // the other process ends and its lock with it
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(2000, block_cache::trim());
  EXPECT_FALSE(cached(a) || cached(b));
  EXPECT_TRUE(cached(c));
}

}  // namespace
}  // namespace tarvik_test
