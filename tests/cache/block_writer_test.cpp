// Write side against the fake service: early sealing while writing, flush
// and commit, truncation, extension with holes, private copies, dedup and
// upload failures.
#include <sys/stat.h>

#include "content_fixture.h"

namespace tarvik_test {
namespace {

constexpr int64_t B = BLOCK_SIZE;

TEST_F(ContentTest, SynchronousTwentyMiBWriteSealsOnTheWay) {
  DecasHandle* h = openNew("big", OPEN_WRITE);
  const std::string token = uploadTokenFor("big");
  ASSERT_EQ(1u, fake().commits(token).size());  // the empty file at open
  EXPECT_TRUE(fake().commits(token)[0].empty());
  const std::string data = pattern(20 * 1024 * 1024, 11);
  ASSERT_EQ(static_cast<int>(data.size()),
            contentWrite(h->path().c_str(), data.data(), data.size(), 0, true, h));
  // Blocks 0 and 1 went up while the writer moved on.
  EXPECT_EQ(2u, fake().uploadOrder().size());
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  const auto commits = fake().commits(token);
  ASSERT_EQ(2u, commits.size());
  ASSERT_EQ(3u, commits[1].size());
  EXPECT_EQ(data, fake().committedContent(token));
  EXPECT_EQ(20971520, h->fileContext->meta->size());
  EXPECT_TRUE(h->state & HANDLE_CONTENT_UPLOADED);
  EXPECT_TRUE(h->state & HANDLE_NEW);
}

TEST_F(ContentTest, BackgroundUploadsFollowTheWriter) {
  DecasHandle* h = openNew("seq", OPEN_WRITE);
  const std::string token = uploadTokenFor("seq");
  std::vector<std::string> blocks;
  for (int k = 0; k < 5; ++k) {
    blocks.push_back(pattern(B, 20 + k));
    ASSERT_EQ(B, contentWrite(h->path().c_str(), blocks[k].data(), B, k * B, false, h));
  }
  // Entering 1 queued 0, entering 2 queued 0 again, entering 3 and 4 queued
  // 1 and 2: blocks 0, 1 and 2 are uploaded once each, 3 and 4 not yet.
  EXPECT_TRUE(eventually([&] { return fake().uploadOrder().size() == 3; }));
  EXPECT_TRUE(eventually([&] { return h->fileContext->pendingUploads.load() == 0; }));
  for (int k = 0; k < 3; ++k) EXPECT_EQ(1, fake().uploadsOf(blockIdOf(blocks[k].data(), B)));
  EXPECT_EQ(0, fake().uploadsOf(blockIdOf(blocks[3].data(), B)));
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ(5u, fake().uploadOrder().size());
  std::string all;
  for (auto& b : blocks) all += b;
  EXPECT_EQ(all, fake().committedContent(token));
}

TEST_F(ContentTest, OneByteIntoACachedBlockMakesAPrivateCopy) {
  const std::string data = pattern(B + 500, 12);
  const auto ids = fake().putFile(data);
  DecasHandle* h = openIds("a", ids, B + 500, OPEN_READ | OPEN_WRITE);
  ASSERT_EQ(data, readAll(h, B + 500));
  const std::string before = readWholeFile(blockFilePath(ids[0]));
  ASSERT_EQ(1, contentWrite(h->path().c_str(), "X", 1, 4096, false, h));
  EXPECT_EQ(before, readWholeFile(blockFilePath(ids[0])));  // block file untouched
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  std::string expected = data;
  expected[4096] = 'X';
  const auto commit = fake().commits(uploadTokenFor("a")).back();
  ASSERT_EQ(2u, commit.size());
  EXPECT_NE(ids[0], commit[0]);
  EXPECT_EQ(ids[1], commit[1]);
  EXPECT_EQ(1, fake().uploadsOf(commit[0]));
  EXPECT_EQ(0, fake().uploadsOf(ids[1]));  // unchanged blocks are not sent again
  EXPECT_EQ(expected, fake().committedContent(uploadTokenFor("a")));
  EXPECT_EQ(expected, readAll(h, B + 500));
}

TEST_F(ContentTest, Truncations) {
  const std::string data = pattern(10 * 1024 * 1024, 13);
  struct Case {
    int64_t size;
    size_t blocks;
  };
  for (Case c : {Case{B, 1}, Case{B + 1, 2}, Case{0, 0}}) {
    SCOPED_TRACE(c.size);
    const std::string name = "t" + std::to_string(c.size);
    DecasHandle* h = openExisting(name, data, OPEN_READ | OPEN_WRITE);
    ASSERT_EQ(0, cloud_ftruncate(h->path().c_str(), c.size, h));
    EXPECT_EQ(c.size, fstatSize(h));
    ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
    const auto commit = fake().commits(uploadTokenFor(name)).back();
    EXPECT_EQ(c.blocks, commit.size());
    EXPECT_EQ(data.substr(0, c.size), fake().committedContent(uploadTokenFor(name)));
    EXPECT_EQ(c.size, h->fileContext->meta->size());
  }
}

TEST_F(ContentTest, TruncateGrowsWithZeros) {
  const std::string data = pattern(100, 14);
  DecasHandle* h = openExisting("g", data, OPEN_READ | OPEN_WRITE);
  ASSERT_EQ(0, cloud_ftruncate(h->path().c_str(), B + 7, h));
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  std::string expected = data + std::string(B + 7 - 100, '\0');
  EXPECT_EQ(expected, fake().committedContent(uploadTokenFor("g")));
}

TEST_F(ContentTest, OpenWithTruncateCommitsAnEmptyFile) {
  const std::string data = pattern(5000, 15);
  DecasHandle* h = openExisting("e", data, OPEN_WRITE | OPEN_TRUNCATE);
  EXPECT_TRUE(h->fileContext->blocks.empty());
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  const auto commits = fake().commits(uploadTokenFor("e"));
  ASSERT_EQ(1u, commits.size());
  EXPECT_TRUE(commits[0].empty());
  EXPECT_FALSE(h->state & HANDLE_CONTENT_UPLOADED);
  // Nothing changed since: the next flush calls nothing.
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ(1u, fake().commits(uploadTokenFor("e")).size());
}

TEST_F(ContentTest, EqualSealedBlockIsStoredOnce) {
  const std::string data = pattern(3000, 16);
  DecasHandle* a = openExisting("a", data, OPEN_READ);
  readAll(a, 3000);
  ASSERT_EQ(1u, filesIn(state().blockDir));
  DecasHandle* h = openNew("copy", OPEN_WRITE);
  ASSERT_EQ(3000, contentWrite(h->path().c_str(), data.data(), 3000, 0, true, h));
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ(1u, filesIn(state().blockDir));
  EXPECT_EQ(0u, filesIn(state().tempDir));
  EXPECT_EQ(data, fake().committedContent(uploadTokenFor("copy")));
}

TEST_F(ContentTest, ExtendingFarPastTheEndKeepsBlocksAligned) {
  const std::string data = "abc";
  DecasHandle* h = openExisting("x", data, OPEN_READ | OPEN_WRITE);
  const int64_t off = 2 * B + 5;
  ASSERT_EQ(4, contentWrite(h->path().c_str(), "tail", 4, off, false, h));
  std::string expected = data + std::string(off - 3, '\0') + "tail";
  EXPECT_EQ(off + 4, fstatSize(h));
  EXPECT_EQ(expected, readAll(h, off + 4));
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  const auto commit = fake().commits(uploadTokenFor("x")).back();
  ASSERT_EQ(3u, commit.size());
  EXPECT_EQ(B, blockIdLength(commit[0]));
  EXPECT_EQ(B, blockIdLength(commit[1]));
  EXPECT_EQ(9, blockIdLength(commit[2]));
  EXPECT_EQ(expected, fake().committedContent(uploadTokenFor("x")));
  EXPECT_EQ(off + 4, h->fileContext->meta->size());
}

TEST_F(ContentTest, HoleBlockBeforeAWriteIsSealedAsZeros) {
  DecasHandle* h = openNew("holes", OPEN_WRITE | OPEN_READ);
  // Synchronous write at the start of block 2: block 1 (a hole) is sealed.
  const std::string part = pattern(100, 17);
  ASSERT_EQ(100, contentWrite(h->path().c_str(), part.data(), 100, 2 * B, true, h));
  const std::string zeros(B, '\0');
  EXPECT_EQ(1, fake().uploadsOf(blockIdOf(zeros.data(), zeros.size())));
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ(zeros + zeros + part, fake().committedContent(uploadTokenFor("holes")));
}

// Extending a file costs memory for the bytes written, not for the size:
// the blocks between are holes that share one uploaded block of zeros. Sizes
// past the largest file fail at once and leave the file as it was.
TEST_F(ContentTest, HugeSparseExtensionCostsOnlyTheWrittenBlocks) {
  DecasHandle* h = openExisting("huge", "abc", OPEN_READ | OPEN_WRITE);
  EXPECT_EQ(STATUS_FILE_TOO_LARGE, cloud_ftruncate(h->path().c_str(), 999999999999999, h));
  EXPECT_EQ(STATUS_FILE_TOO_LARGE, cloud_ftruncate(h->path().c_str(), MAX_FILE_SIZE + 1, h));
  EXPECT_EQ(STATUS_FILE_TOO_LARGE, contentWrite(h->path().c_str(), "x", 1, MAX_FILE_SIZE, true, h));
  EXPECT_EQ(3, fstatSize(h));
  // The refused write is reported again by the next flush.
  EXPECT_EQ(STATUS_FILE_TOO_LARGE, cloud_flush(h->path().c_str(), h));
  ASSERT_EQ(1u, h->fileContext->blocks.size());

  // The largest file: a write that crosses the end stops there.
  ASSERT_EQ(0, cloud_ftruncate(h->path().c_str(), MAX_FILE_SIZE, h));
  ASSERT_EQ(4, contentWrite(h->path().c_str(), "tail", 10, MAX_FILE_SIZE - 4, true, h));
  EXPECT_EQ(MAX_FILE_SIZE, fstatSize(h));
  const int64_t count = MAX_FILE_SIZE / B;
  ASSERT_EQ(static_cast<size_t>(count), h->fileContext->blocks.size());
  size_t records = 0;
  for (const auto& b : h->fileContext->blocks) records += b ? 1 : 0;
  EXPECT_EQ(2u, records);  // the first and the last block; the rest are holes

  char buf[16];
  ASSERT_EQ(16, cloud_read(h->path().c_str(), buf, 16, 5 * B - 8, true, h));
  EXPECT_EQ(std::string(16, '\0'), std::string(buf, 16));
  ASSERT_EQ(8, cloud_read(h->path().c_str(), buf, 16, MAX_FILE_SIZE - 8, true, h));
  EXPECT_EQ(std::string("\0\0\0\0tail", 8), std::string(buf, 8));

  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  const auto commit = fake().commits(uploadTokenFor("huge")).back();
  ASSERT_EQ(static_cast<size_t>(count), commit.size());
  const std::string zeros(B, '\0');
  const std::string zeroId = blockIdOf(zeros.data(), zeros.size());
  EXPECT_EQ(zeroId, zeroBlockId());
  EXPECT_EQ(1, fake().uploadsOf(zeroId));  // one upload stands for 131 070 holes
  for (int64_t k = 1; k + 1 < count; ++k) ASSERT_EQ(zeroId, commit[k]) << k;
  std::string first = "abc" + std::string(B - 3, '\0');
  EXPECT_EQ(blockIdOf(first.data(), first.size()), commit.front());
  std::string last = std::string(B - 4, '\0') + "tail";
  EXPECT_EQ(blockIdOf(last.data(), last.size()), commit.back());
  EXPECT_EQ(3u, fake().uploadOrder().size());

  // Opened again, the blocks of zeros are holes: read without a download.
  DecasHandle* again = openIds("huge", commit, MAX_FILE_SIZE, OPEN_READ);
  const int before = fake().totalDownloads();
  ASSERT_EQ(16, cloud_read(again->path().c_str(), buf, 16, 7 * B, true, again));
  EXPECT_EQ(std::string(16, '\0'), std::string(buf, 16));
  EXPECT_EQ(before, fake().totalDownloads());
  ASSERT_EQ(8, cloud_read(again->path().c_str(), buf, 8, MAX_FILE_SIZE - 8, true, again));
  EXPECT_EQ(std::string("\0\0\0\0tail", 8), std::string(buf, 8));
}

TEST_F(ContentTest, ZeroByteWriteMarksForCommit) {
  const std::string data = pattern(10, 18);
  DecasHandle* h = openExisting("z", data, OPEN_READ | OPEN_WRITE);
  EXPECT_EQ(0, contentWrite(h->path().c_str(), "", 0, 0, false, h));
  EXPECT_TRUE(h->fileContext->commitNeeded.load());
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ(data, fake().committedContent(uploadTokenFor("z")));
  EXPECT_TRUE(fake().uploadOrder().empty());
}

TEST_F(ContentTest, DeleteOnCloseFlushCommitsNothing) {
  DecasHandle* h = openExisting("d", pattern(10, 19), OPEN_WRITE | OPEN_DELETE_ON_CLOSE);
  ASSERT_EQ(3, contentWrite(h->path().c_str(), "abc", 3, 0, false, h));
  EXPECT_EQ(0, cloud_flush(h->path().c_str(), h));
  EXPECT_TRUE(fake().commits(uploadTokenFor("d")).empty());
}

TEST_F(ContentTest, WriteOnlyOpenKeepsTheRestOfTheFile) {
  const std::string data = pattern(B + 300, 20);
  DecasHandle* h = openExisting("w", data, OPEN_WRITE);
  ASSERT_EQ(2u, h->fileContext->blocks.size());
  ASSERT_EQ(2, contentWrite(h->path().c_str(), "ZZ", 2, B + 10, false, h));
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  std::string expected = data;
  expected.replace(B + 10, 2, "ZZ");
  EXPECT_EQ(expected, fake().committedContent(uploadTokenFor("w")));
}

TEST_F(ContentTest, FailedUploadsAreRetriedByTheNextFlush) {
  DecasHandle* h = openNew("f", OPEN_WRITE);
  const std::string data = pattern(1000, 21);
  ASSERT_EQ(1000, contentWrite(h->path().c_str(), data.data(), 1000, 0, false, h));
  fake().failUploadBlock = 1;
  EXPECT_EQ(-DECAS_ENOENT, cloud_flush(h->path().c_str(), h));  // service code 50
  EXPECT_EQ(BLOCK_SEALED, h->fileContext->blocks[0]->state);
  fake().failUploadFile = 1;
  EXPECT_EQ(-DECAS_ENOSPC, cloud_flush(h->path().c_str(), h));  // service code 77
  EXPECT_TRUE(h->fileContext->commitNeeded.load());
  EXPECT_EQ(0, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ(data, fake().committedContent(uploadTokenFor("f")));
  EXPECT_FALSE(h->fileContext->commitNeeded.load());
}

TEST_F(ContentTest, WriteOfAnUncachedBlockFailsCleanlyWhenTheDownloadFails) {
  const std::string data = pattern(2000, 22);
  const auto ids = fake().putFile(data);
  DecasHandle* h = openIds("c", ids, 2000, OPEN_READ | OPEN_WRITE);
  fake().corruptDownloads = true;
  EXPECT_LT(contentWrite(h->path().c_str(), "Q", 1, 5, false, h), 0);
  // The block still names the service's content.
  EXPECT_EQ(ids[0], h->fileContext->blocks[0]->id);
  EXPECT_EQ(BLOCK_UPLOADED, h->fileContext->blocks[0]->state);
  fake().corruptDownloads = false;
  EXPECT_EQ(data, readAll(h, 2000));
}

TEST_F(ContentTest, ThreadsWritingSeveralFilesAtOnce) {
  constexpr int kFiles = 4;
  std::vector<DecasHandle*> hs;
  for (int f = 0; f < kFiles; ++f) hs.push_back(openNew("p" + std::to_string(f), OPEN_WRITE | OPEN_READ));
  std::vector<std::string> contents(kFiles);
  std::vector<std::thread> threads;
  for (int f = 0; f < kFiles; ++f) {
    threads.emplace_back([&, f] {
      contents[f] = pattern(3 * B + 1234, 100 + f);
      const std::string& c = contents[f];
      for (size_t off = 0; off < c.size(); off += 131072) {
        const size_t n = std::min<size_t>(131072, c.size() - off);
        ASSERT_EQ(static_cast<int>(n), contentWrite(hs[f]->path().c_str(), c.data() + off, n,
                                                   static_cast<int64_t>(off), false, hs[f]));
      }
      ASSERT_EQ(0, cloud_flush(hs[f]->path().c_str(), hs[f]));
    });
  }
  for (auto& t : threads) t.join();
  for (int f = 0; f < kFiles; ++f) {
    EXPECT_EQ(contents[f], fake().committedContent(uploadTokenFor("p" + std::to_string(f))));
    EXPECT_EQ(contents[f], readAll(hs[f], static_cast<int64_t>(contents[f].size())));
  }
}

}  // namespace
}  // namespace tarvik_test
