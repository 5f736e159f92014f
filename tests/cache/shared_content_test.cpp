// Content that must survive what happens around it: opens of one path that
// share their blocks, uploaded blocks that stay until a commit lists them,
// private copies that go as soon as nothing refers to them, a cache clear
// that spares data not yet on the service, tokens that the service stopped
// knowing, and write failures reported at the flush.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "cache/block_cache.h"
#include "cache/block_writer.h"
#include "cache/file_context.h"
#include "cache/service_tokens.h"
#include "cache/upload_journal.h"
#include "cache/waiting_uploads.h"
#include "content_fixture.h"
#include "core/directories.h"
#include "core/library_state.h"
#include "tarvik.h"

namespace tarvik_test {
namespace {

using namespace tarvik;
constexpr int64_t B = BLOCK_SIZE;

class SharedContentTest : public ContentTest {
 protected:
  void TearDown() override {
    block_cache::setLimit(-1);
    service_tokens_testing::setCommitPause(nullptr);
    ContentTest::TearDown();
  }
  int write(DecasHandle* h, const std::string& data, int64_t off) {
    return contentWrite(h->path().c_str(), data.data(), data.size(), off, true, h);
  }
  std::string read(DecasHandle* h, int64_t off, size_t len) {
    std::string out(len, '\0');
    const int n = cloud_read(h->path().c_str(), &out[0], len, off, true, h);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
  }
};

TEST_F(SharedContentTest, OpensOfOnePathShareOneContent) {
  DecasHandle* first = openNew("s.txt", OPEN_READ | OPEN_WRITE);
  DecasHandle* second = openNew("s.txt", OPEN_READ | OPEN_WRITE);
  ASSERT_EQ(first->fileContext, second->fileContext);
  ASSERT_EQ(5, write(first, "AAAA\n", 0));
  ASSERT_EQ(5, write(second, "BBBB\n", 5));
  EXPECT_EQ("AAAA\nBBBB\n", read(second, 0, 100));
  EXPECT_EQ(10, fstatSize(first));
  // The first close keeps the content for the other open; the last commits
  // what both wrote.
  ASSERT_EQ(0, cloud_flush(first->path().c_str(), first));
  closeHandle(first);
  EXPECT_FALSE(second->fileContext->closed.load());
  ASSERT_EQ(5, write(second, "CCCC\n", 10));
  ASSERT_EQ(0, cloud_flush(second->path().c_str(), second));
  closeHandle(second);
  EXPECT_EQ("AAAA\nBBBB\nCCCC\n", fake().committedContent(uploadTokenFor("s.txt")));
  EXPECT_FALSE(isFileOpen("/u/s.txt"));
  // A later open starts on its own.
  DecasHandle* later = openExisting("s.txt", "x", OPEN_READ);
  EXPECT_EQ("x", read(later, 0, 10));
}

TEST_F(SharedContentTest, UploadedBlocksStayUntilTheCommitListsThem) {
  block_cache::setLimit(B);  // room for one block
  DecasHandle* h = openNew("big", OPEN_READ | OPEN_WRITE);
  const std::string data = pattern(4 * B + 10, 11);
  ASSERT_EQ(static_cast<int>(data.size()), write(h, data, 0));
  // Blocks 0 to 2 were sealed and uploaded; none may be evicted yet.
  ASSERT_EQ(3, write(h, "HDR", 0));
  std::string expected = data;
  expected.replace(0, 3, "HDR");
  EXPECT_TRUE(read(h, 0, data.size()) == expected);
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  // Committed, they may go; a read fetches them back with a download token
  // this new file never had.
  block_cache::setLimit(0);
  EXPECT_LE(block_cache::usedBytes(), B);  // the block a reader holds open
  EXPECT_TRUE(read(h, 0, data.size()) == expected);
  EXPECT_GT(fake().pretests.load(), 0);
}

TEST_F(SharedContentTest, PrivateCopiesGoWhenNothingRefersToThem) {
  const std::string tmp = state().tempDir;
  const size_t before = filesIn(tmp);
  for (int round = 0; round < 5; ++round) {
    DecasHandle* h = openNew("t" + std::to_string(round), OPEN_READ | OPEN_WRITE);
    ASSERT_EQ(static_cast<int>(B / 2), write(h, pattern(B / 2, round), 0));
    EXPECT_EQ(B / 2, block_cache::privateBytes());
    ASSERT_EQ(0, cloud_ftruncate(h->path().c_str(), 0, h));
    EXPECT_EQ(0, block_cache::privateBytes());
    EXPECT_EQ(before, filesIn(tmp));
    ASSERT_EQ(static_cast<int>(B / 4), write(h, pattern(B / 4, round + 9), 0));
    // A failed commit keeps the copy only while the file's content lives.
    fake().failUploadFile = 1;
    EXPECT_NE(0, cloud_flush(h->path().c_str(), h));
    closeHandle(h);
  }
  EXPECT_TRUE(eventually([&] { return file_context_testing::liveContexts() == 0; }));
  EXPECT_EQ(0, block_cache::privateBytes());
  EXPECT_EQ(before, filesIn(tmp));
}

TEST_F(SharedContentTest, ClearCacheSparesBlocksNotYetOnTheService) {
  const std::string data = pattern(B + 100, 12);
  DecasHandle* h = openNew("wait", OPEN_READ | OPEN_WRITE);
  fake().failUploadBlock = 100;
  // Block 0 is sealed when the write enters block 1; its upload fails, but
  // the bytes are written.
  ASSERT_EQ(static_cast<int>(data.size()), write(h, data, 0));
  const size_t sealed = filesIn(state().blockDir);
  ASSERT_EQ(1u, sealed);
  ASSERT_EQ(0, tarvik_clearCache());
  EXPECT_EQ(sealed, filesIn(state().blockDir));
  fake().failUploadBlock = 0;
  ASSERT_EQ(0, cloud_flush(h->path().c_str(), h));
  EXPECT_TRUE(fake().committedContent(uploadTokenFor("wait")) == data);
}

TEST_F(SharedContentTest, AFailedWriteIsReportedByTheNextFlushAfterTheCommit) {
  DecasHandle* h = openNew("f", OPEN_READ | OPEN_WRITE);
  ASSERT_EQ(4, write(h, "data", 0));
  EXPECT_EQ(STATUS_FILE_TOO_LARGE, write(h, "y", int64_t{1} << 41));
  EXPECT_EQ(STATUS_FILE_TOO_LARGE, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ("data", fake().committedContent(uploadTokenFor("f")));
  EXPECT_EQ(0, cloud_flush(h->path().c_str(), h));  // reported once
  // A flush whose commit fails keeps the failure for the next one.
  EXPECT_EQ(STATUS_FILE_TOO_LARGE, write(h, "y", int64_t{1} << 41));
  fake().failUploadFile = 1;
  EXPECT_EQ(-DECAS_ENOSPC, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ(STATUS_FILE_TOO_LARGE, cloud_flush(h->path().c_str(), h));
}

TEST_F(SharedContentTest, RefusedTokensAreRenewedForUploadsCommitsAndDownloads) {
  const std::string data = pattern(3 * B, 13);
  DecasHandle* w = openNew("r.bin", OPEN_READ | OPEN_WRITE);
  ASSERT_EQ(static_cast<int>(B), write(w, data.substr(0, B), 0));
  fake().forgetTokens();  // as a restart of the service
  ASSERT_EQ(static_cast<int>(2 * B), write(w, data.substr(B), B));
  ASSERT_EQ(0, cloud_flush(w->path().c_str(), w));
  closeHandle(w);
  EXPECT_TRUE(fake().committedContent(uploadTokenFor("r.bin")) == data);

  DecasHandle* r = openIds("r.bin", fake().commits(uploadTokenFor("r.bin")).back(),
                           static_cast<int64_t>(data.size()), OPEN_READ);
  ASSERT_EQ(0, tarvik_clearCache());
  fake().forgetTokens();
  EXPECT_TRUE(read(r, 0, data.size()) == data);
}

TEST_F(SharedContentTest, CommitRoundsStopAtAnswersThatCannotPass) {
  EXPECT_TRUE(failureMayPass(1001));
  EXPECT_TRUE(failureMayPass(1002));
  EXPECT_FALSE(failureMayPass(77));
  static int pauses = 0;
  pauses = 0;
  service_tokens_testing::setCommitPause([](int) { ++pauses; });
  DecasHandle* h = openNew("q", OPEN_READ | OPEN_WRITE);
  ASSERT_EQ(3, write(h, "abc", 0));
  // A quota answer is final: no further round, the failure reaches the flush.
  fake().failUploadFile = 1;
  EXPECT_EQ(-DECAS_ENOSPC, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ(0, pauses);
  EXPECT_EQ(0, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ("abc", fake().committedContent(uploadTokenFor("q")));

  // The service restarts during a close: the block's upload goes again
  // after a pause of each round, and the close succeeds.
  ASSERT_EQ(3, write(h, "def", 3));
  fake().dropUploadBlock = 2;
  EXPECT_EQ(0, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ(2, pauses);
  EXPECT_EQ("abcdef", fake().committedContent(uploadTokenFor("q")));
  // Down for longer than the rounds: the close reports it.
  ASSERT_EQ(3, write(h, "ghi", 6));
  fake().dropUploadBlock = kCommitRounds;
  EXPECT_NE(0, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ(2 + kCommitRounds - 1, pauses);
  fake().dropUploadBlock = 0;
  EXPECT_EQ(0, cloud_flush(h->path().c_str(), h));
  EXPECT_EQ("abcdefghi", fake().committedContent(uploadTokenFor("q")));
  EXPECT_FALSE(journal::find("/u/q", nullptr));
}

}  // namespace
}  // namespace tarvik_test

namespace tarvik_test {
namespace {

TEST_F(SharedContentTest, AFailedCommitIsKeptAndCommittedLaterOrBesideAChangedFile) {
  // The passes here are the test's own: a background pass between the end of
  // the outage and the other client's commit would find no file yet and
  // commit ours under its own name.
  stopWaitingRetries();
  // The service takes no commit now: the content is kept on disk.
  DecasHandle* h = openNew("w.txt", OPEN_READ | OPEN_WRITE);
  ASSERT_EQ(7, write(h, "waiting", 0));
  fake().failUploadFile = 100;
  EXPECT_NE(0, cloud_flush(h->path().c_str(), h));
  closeHandle(h);
  journal::Entry entry;
  ASSERT_TRUE(journal::find("/u/w.txt", &entry));
  EXPECT_EQ(7, entry.size);
  StatRecord record{ENTRY_FILE, 0, 0, 0, 0};
  EXPECT_TRUE(waitingRecord("/u/w.txt", &record));
  EXPECT_EQ(7, record.size);
  // The cache may be cleared meanwhile; the journal keeps its blocks.
  ASSERT_EQ(0, tarvik_clearCache());
  EXPECT_EQ(1, retryWaitingNow());  // still refused
  fake().failUploadFile = 0;
  EXPECT_EQ(0, retryWaitingNow());
  EXPECT_EQ("waiting", fake().committedContent(uploadTokenFor("w.txt")));
  EXPECT_FALSE(journal::find("/u/w.txt", nullptr));

  // The service restarts while a waiting file goes up: its token is
  // refused, and the file goes again under a new one.
  DecasHandle* t = openNew("t.txt", OPEN_READ | OPEN_WRITE);
  ASSERT_EQ(5, write(t, "token", 0));
  fake().failUploadFile = 100;
  EXPECT_NE(0, cloud_flush(t->path().c_str(), t));
  closeHandle(t);
  fake().failUploadFile = 0;
  fake().restartAtUploadFile = 1;
  EXPECT_EQ(0, retryWaitingNow());
  EXPECT_EQ("token", fake().committedContent(uploadTokenFor("t.txt")));
  EXPECT_FALSE(journal::find("/u/t.txt", nullptr)) << "the file is not given up";
  fake().generation = 0;  // the fixture's tokens are of the first generation

  // Another client commits the file while ours waits: ours goes beside it.
  DecasHandle* c = openNew("c.txt", OPEN_READ | OPEN_WRITE);
  ASSERT_EQ(4, write(c, "mine", 0));
  fake().failUploadFile = 100;
  EXPECT_NE(0, cloud_flush(c->path().c_str(), c));
  closeHandle(c);
  fake().failUploadFile = 0;
  ASSERT_EQ(0, contentService().uploadFile(uploadTokenFor("c.txt"), fake().putFile("theirs")));
  EXPECT_EQ(0, retryWaitingNow());
  EXPECT_EQ("theirs", fake().committedContent(uploadTokenFor("c.txt")));
  const std::string conflict = conflictPath("/u/c.txt", 0).substr(3);
  EXPECT_NE(std::string::npos, conflict.find("c (conflict "));
  bool found = false;
  for (const auto& name : {conflictPath("/u/c.txt", time(nullptr)), conflictPath("/u/c.txt", time(nullptr) - 1)}) {
    if (fake().committedContent("up:" + name.substr(3)) == "mine") found = true;
  }
  EXPECT_TRUE(found) << "the waiting version is under its conflict name";
}

TEST_F(SharedContentTest, AnUnmountPastItsWaitKeepsOpenContentWithoutAskingTheService) {
  stopWaitingRetries();  // the passes are the test's own
  DecasHandle* h = openNew("late.txt", OPEN_READ | OPEN_WRITE);
  ASSERT_EQ(4, write(h, "late", 0));
  DecasHandle* done = openNew("done.txt", OPEN_READ | OPEN_WRITE);
  ASSERT_EQ(4, write(done, "done", 0));
  ASSERT_EQ(0, cloud_flush(done->path().c_str(), done));
  const int pretests = fake().pretests.load();
  h->state |= HANDLE_KEEP_FOR_LATER;
  done->state |= HANDLE_KEEP_FOR_LATER;
  EXPECT_NE(0, cloud_flush(h->path().c_str(), h)) << "the file is not on the service";
  EXPECT_EQ(0, cloud_flush(done->path().c_str(), done)) << "the service has all of it";
  EXPECT_EQ(pretests, fake().pretests.load());
  EXPECT_EQ("", fake().committedContent(uploadTokenFor("late.txt")));
  journal::Entry entry;
  ASSERT_TRUE(journal::find("/u/late.txt", &entry));
  EXPECT_FALSE(entry.final);
  EXPECT_FALSE(journal::find("/u/done.txt", nullptr));
  closeHandle(h);
  closeHandle(done);
  EXPECT_EQ(0, retryWaitingNow());
  EXPECT_EQ("late", fake().committedContent(uploadTokenFor("late.txt")));
}

TEST_F(SharedContentTest, AFileKeptAfterAPassThatFoundNothingIsRetriedWithinSeconds) {
  // The background retries restart and find nothing: their pause is the
  // longest one now.
  stopWaitingRetries();
  const int passes = waiting_uploads_testing::loopPasses();
  startWaitingRetries();
  ASSERT_TRUE(eventually([&] { return waiting_uploads_testing::loopPasses() > passes; }));
  // A file is kept while it is still open; its first retry skips it and
  // the next ones must come after the short pauses, not the long one.
  DecasHandle* h = openNew("soon.txt", OPEN_READ | OPEN_WRITE);
  ASSERT_EQ(4, write(h, "soon", 0));
  fake().failUploadFile = 100;
  EXPECT_NE(0, cloud_flush(h->path().c_str(), h));
  closeHandle(h);
  ASSERT_TRUE(journal::find("/u/soon.txt", nullptr));
  // One background retry of the closed file still fails; the next one,
  // a few seconds later at most, must take it.
  const int failuresLeft = fake().failUploadFile.load();
  ASSERT_TRUE(eventually([&] { return fake().failUploadFile.load() < failuresLeft; }, 20000));
  fake().failUploadFile = 0;
  EXPECT_TRUE(eventually([] { return !journal::find("/u/soon.txt", nullptr); }, 20000))
      << "the waiting file is not held back by the pause after the empty pass";
  EXPECT_EQ("soon", fake().committedContent(uploadTokenFor("soon.txt")));
}

TEST(ConflictPath, KeepsTheExtensionAndTheFolder) {
  const std::string p = conflictPath("/u/d/report.final.pdf", 0);
  EXPECT_EQ(0u, p.rfind("/u/d/report.final (conflict ", 0));
  EXPECT_EQ(".pdf", p.substr(p.size() - 4));
  const std::string dot = conflictPath("/u/.bashrc", 0);
  EXPECT_EQ(")", dot.substr(dot.size() - 1));  // a leading dot is no extension
}

}  // namespace
}  // namespace tarvik_test
