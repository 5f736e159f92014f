// Read side against the fake service: block boundaries, prefetch, verified
// downloads, sharing of block files, holes and the cache functions.
#include <fcntl.h>
#include <unistd.h>

#include "content_fixture.h"

namespace tarvik_test {
namespace {

constexpr int64_t B = BLOCK_SIZE;

TEST_F(ContentTest, TenBytesAcrossTheFirstBoundary) {
  const std::string data = pattern(B + 100, 1);
  DecasHandle* h = openExisting("a", data, OPEN_READ);
  char buf[10];
  EXPECT_EQ(10, cloud_read(h->path().c_str(), buf, 10, B - 8, true, h));
  EXPECT_EQ(data.substr(B - 8, 10), std::string(buf, 10));
  // Not synchronous: only the bytes of the first block.
  EXPECT_EQ(8, cloud_read(h->path().c_str(), buf, 10, B - 8, false, h));
  EXPECT_EQ(data.substr(B - 8, 8), std::string(buf, 8));
}

TEST_F(ContentTest, ReadsBeyondTheEndReturnNothing) {
  const std::string data = pattern(100, 2);
  DecasHandle* h = openExisting("a", data, OPEN_READ);
  char buf[64];
  EXPECT_EQ(0, cloud_read(h->path().c_str(), buf, sizeof buf, B, true, h));
  EXPECT_EQ(0, cloud_read(h->path().c_str(), buf, sizeof buf, 100, true, h));
  EXPECT_EQ(10, cloud_read(h->path().c_str(), buf, sizeof buf, 90, true, h));
  EXPECT_EQ(-DECAS_EINVAL, cloud_read(h->path().c_str(), buf, sizeof buf, -1, true, h));
}

TEST_F(ContentTest, PrefetchOnlyInsideABlockAndOnce) {
  const std::string data = pattern(4 * B, 3);
  const auto ids = fake().putFile(data);
  DecasHandle* h = openIds("a", ids, 4 * B, OPEN_READ);
  char buf[16];
  // At the start of block 0: no prefetch, block 0 only.
  ASSERT_EQ(16, cloud_read(h->path().c_str(), buf, 16, 0, false, h));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(1, fake().totalDownloads());
  // Inside block 0: blocks 1 and 2 are queued, not 3.
  ASSERT_EQ(16, cloud_read(h->path().c_str(), buf, 16, 1, false, h));
  EXPECT_TRUE(eventually([&] { return fake().downloadsOf(ids[1]) == 1 && fake().downloadsOf(ids[2]) == 1; }));
  ASSERT_EQ(16, cloud_read(h->path().c_str(), buf, 16, 1, false, h));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(3, fake().totalDownloads());
  EXPECT_EQ(0, fake().downloadsOf(ids[3]));
  // Prefetched blocks are read without another download.
  ASSERT_EQ(16, cloud_read(h->path().c_str(), buf, 16, 2 * B + 5, false, h));
  EXPECT_EQ(data.substr(2 * B + 5, 16), std::string(buf, 16));
  EXPECT_EQ(1, fake().downloadsOf(ids[2]));
}

TEST_F(ContentTest, CorruptDownloadNeverEntersTheBlockDirectory) {
  const std::string data = pattern(1000, 4);
  DecasHandle* h = openExisting("a", data, OPEN_READ);
  fake().corruptDownloads = true;
  char buf[100];
  EXPECT_LT(cloud_read(h->path().c_str(), buf, sizeof buf, 0, true, h), 0);
  EXPECT_EQ(0u, filesIn(state().blockDir));
  EXPECT_EQ(0u, filesIn(state().tempDir));  // the failed download is removed
  // Once the service sends the right bytes the read works.
  fake().corruptDownloads = false;
  EXPECT_EQ(100, cloud_read(h->path().c_str(), buf, sizeof buf, 0, true, h));
  EXPECT_EQ(data.substr(0, 100), std::string(buf, 100));
  EXPECT_EQ(1u, filesIn(state().blockDir));
}

TEST_F(ContentTest, BlockFileWithWrongSizeIsDownloadedAgain) {
  const std::string data = pattern(5000, 5);
  const auto ids = fake().putFile(data);
  // A truncated block file left behind in the cache.
  {
    FILE* f = std::fopen(blockFilePath(ids[0]).c_str(), "wb");
    std::fwrite(data.data(), 1, 100, f);
    std::fclose(f);
  }
  DecasHandle* h = openIds("a", ids, 5000, OPEN_READ);
  EXPECT_EQ(data, readAll(h, 5000));
  EXPECT_EQ(1, fake().downloadsOf(ids[0]));
  EXPECT_EQ(data, readWholeFile(blockFilePath(ids[0])));
}

TEST_F(ContentTest, SharedBlocksAreDownloadedOnce) {
  const std::string data = pattern(B + 10, 6);
  DecasHandle* a = openExisting("a", data, OPEN_READ);
  EXPECT_EQ(data, readAll(a, B + 10));
  DecasHandle* b = openExisting("b", data, OPEN_READ);
  EXPECT_EQ(data, readAll(b, B + 10));
  closeHandle(a);
  DecasHandle* again = openExisting("a", data, OPEN_READ);
  EXPECT_EQ(data, readAll(again, B + 10));
  EXPECT_EQ(2, fake().totalDownloads());
}

TEST_F(ContentTest, FailedDownloadMapsTheServiceError) {
  // An id the service does not have: its error 50 becomes "no such entry".
  const std::string id = blockIdOf("zz", 2);
  DecasHandle* h = openIds("a", {id}, 2, OPEN_READ);
  char buf[2];
  EXPECT_EQ(-DECAS_ENOENT, cloud_read(h->path().c_str(), buf, 2, 0, true, h));
}

TEST_F(ContentTest, InvalidBlockListsAreRefused) {
  for (const char* list : {"[\"abc\"]", "[\"abc#9999999999\"]", "[\"../x#1\"]", "[5]"}) {
    JsonPtr pretest = json::parse(std::string("{\"token\":\"dl\",\"blockIds\":") + list + "}");
    DecasHandle h;
    h.setPath("/Home/x");
    h.openFlags = OPEN_READ;
    StatRecord record{ENTRY_FILE, 1, -1, 0, 0};
    EXPECT_EQ(-DECAS_EINVAL, contentOpen("/u/x", &h, record, false, pretest, "", false)) << list;
  }
}

TEST_F(ContentTest, FstatAddsUpTheBlocksWhenStale) {
  const std::string data = pattern(B + 10, 7);
  DecasHandle* h = openExisting("a", data, OPEN_READ | OPEN_WRITE);
  EXPECT_EQ(B + 10, fstatSize(h));
  ASSERT_EQ(5, contentWrite(h->path().c_str(), "hello", 5, B + 8, false, h));
  EXPECT_EQ(B + 13, fstatSize(h));
  EXPECT_FALSE(h->fileContext->sizeStale.load());
}

TEST_F(ContentTest, CommandFileAndDirectoryHandles) {
  DecasHandle cmd;
  cmd.setPath("/__system__/__cmd__");
  cmd.fileContext = makeCommandFileContext();
  char buf[4];
  EXPECT_EQ(0, cloud_read(cmd.path().c_str(), buf, 4, 0, true, &cmd));
  StatRecord st{ENTRY_FILE, 77, 1, 2, 3};
  EXPECT_EQ(0, contentFstat(cmd.path().c_str(), &st, &cmd));
  EXPECT_EQ(77, st.size);  // untouched
  EXPECT_EQ(0, cloud_ftruncate(cmd.path().c_str(), 10, &cmd));
  EXPECT_EQ(0, cloud_flush(cmd.path().c_str(), &cmd));

  DecasHandle dir;
  dir.setPath("/Home/d");
  dir.state = HANDLE_DIRECTORY;
  StatRecord rec{ENTRY_DIRECTORY, 0, -1, 42, 7};
  dir.fileContext = makeDirectoryContext("/u/d", std::make_shared<MetaCache>(rec));
  EXPECT_EQ(0, contentFstat(dir.path().c_str(), &st, &dir));
  EXPECT_EQ(42, st.mtime);
  EXPECT_EQ(ENTRY_DIRECTORY, st.type);
}

TEST_F(ContentTest, CacheUsageAndClear) {
  int64_t bytes = -5;
  EXPECT_EQ(0, tarvik_getCacheUsage(&bytes));
  EXPECT_EQ(0, bytes);
  const std::string data = pattern(3000, 8);
  DecasHandle* h = openExisting("a", data, OPEN_READ);
  readAll(h, 3000);
  EXPECT_EQ(0, tarvik_getCacheUsage(&bytes));
  EXPECT_EQ(3000, bytes);
  EXPECT_EQ(3000, block_cache::usedBytes());
  // The open reader holds its block: it stays until the file is closed.
  EXPECT_EQ(0, tarvik_clearCache());
  EXPECT_EQ(3000, block_cache::usedBytes());
  closeHandle(h);
  EXPECT_EQ(0, tarvik_clearCache());
  EXPECT_EQ(0, tarvik_getCacheUsage(&bytes));
  EXPECT_EQ(0, bytes);
  // The block cache's count follows the clearing, or its limit would be
  // kept against files that are gone.
  EXPECT_EQ(0, block_cache::usedBytes());
  struct stat st;
  EXPECT_EQ(0, ::stat(state().blockDir.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(ContentTest, ConcurrentReadersOfOneBlockDownloadItOnce) {
  const std::string data = pattern(2 * B, 9);
  const auto ids = fake().putFile(data);
  DecasHandle* h = openIds("a", ids, 2 * B, OPEN_READ);
  std::vector<std::thread> readers;
  std::atomic<int> bad{0};
  for (int t = 0; t < 6; ++t) {
    readers.emplace_back([&, t] {
      std::string buf(4096, '\0');
      for (int k = 0; k < 50; ++k) {
        const int64_t off = (static_cast<int64_t>(t) * 7919 + k * 104729) % (2 * B - 4096);
        if (cloud_read(h->path().c_str(), &buf[0], 4096, off, true, h) != 4096 ||
            buf != data.substr(off, 4096)) {
          bad++;
        }
      }
    });
  }
  for (auto& r : readers) r.join();
  EXPECT_EQ(0, bad.load());
  EXPECT_EQ(1, fake().downloadsOf(ids[0]));
  EXPECT_EQ(1, fake().downloadsOf(ids[1]));
}

}  // namespace
}  // namespace tarvik_test
