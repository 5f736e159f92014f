// Block content over HTTPS: upload checks, commit rules, token coverage,
// multi-block files and concurrent transfers.
#include <atomic>
#include <thread>

#include "fixture.h"

using namespace lstest;

class Content : public ServiceTest {};

namespace {
std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 17) ^ (i >> 9));
  return s;
}
}  // namespace

TEST_F(Content, MultiBlockRoundTripAndEmptyFile) {
  ApiClient c = demo();
  std::string data = pattern(8 * 1024 * 1024 + 1000, 1);
  ASSERT_FALSE(c.putFile("/demo/two-blocks.bin", data).isError());
  Reply t = c.post("pretestDownloadFile", {{"path", "/demo/two-blocks.bin"}});
  ASSERT_EQ(t.result().get("blockIds").get<picojson::array>().size(), 2u);
  EXPECT_EQ(c.getFile("/demo/two-blocks.bin"), data);
  Reply d = c.post("getResourceDetail", {{"path", "/demo/two-blocks.bin"}, {"lite", "true"}});
  EXPECT_EQ(d.result().get("size").get<double>(), static_cast<double>(data.size()));

  // An empty file: uploadFile with "[]".
  Reply tok = c.post("pretestUploadFile", {{"path", "/demo/empty"}, {"force", "true"}});
  Reply up = c.multipart("uploadFile", {{"token", tok.result().get<std::string>()},
                                        {"blockIds", "[]"}, {"memo", ""}, {"force", "true"}});
  ASSERT_FALSE(up.isError()) << up.body;
  EXPECT_EQ(c.getFile("/demo/empty"), "");
  EXPECT_EQ(c.post("pretestDownloadFile", {{"path", "/demo"}}).code(), 8);  // a folder
}

TEST_F(Content, UploadBlockChecksDigestAndLength) {
  ApiClient c = demo();
  std::string token = c.post("pretestUploadFile", {{"path", "/demo/checked"}, {"force", "true"}})
                          .result().get<std::string>();
  std::string data = "some block content";
  std::string other = "other block content";
  // Wrong content for the id, and right content with a wrong length.
  EXPECT_EQ(c.multipart("uploadBlock", {{"token", token}, {"blockId", blockIdOf(other)}}, &data).code(), 8);
  std::string id = blockIdOf(data);
  std::string wrongLength = id.substr(0, 28) + "99";
  EXPECT_EQ(c.multipart("uploadBlock", {{"token", token}, {"blockId", wrongLength}}, &data).code(), 8);
  EXPECT_EQ(c.multipart("uploadBlock", {{"token", token}, {"blockId", "../x#1"}}, &data).code(), 8);
  EXPECT_EQ(c.multipart("uploadBlock", {{"token", token}, {"blockId", id}}).code(), 8);  // no filedata
  EXPECT_EQ(c.multipart("uploadBlock", {{"token", "bogus"}, {"blockId", id}}, &data).code(), 8);
  // The mismatching upload left nothing to commit.
  Reply bad = c.multipart("uploadFile", {{"token", token}, {"blockIds", "[ \"" + blockIdOf(other) + "\"]"},
                                         {"memo", ""}, {"force", "true"}});
  EXPECT_EQ(bad.code(), 8);
  EXPECT_EQ(c.post("getResourceDetail", {{"path", "/demo/checked"}, {"lite", "true"}}).code(), 50);
  ASSERT_FALSE(c.multipart("uploadBlock", {{"token", token}, {"blockId", id}}, &data).isError());
  ASSERT_FALSE(c.multipart("uploadFile", {{"token", token}, {"blockIds", "[ \"" + id + "\"]"},
                                          {"memo", ""}, {"force", "true"}}).isError());
  EXPECT_EQ(c.getFile("/demo/checked"), data);
}

TEST_F(Content, UploadFileRejectsBlocksItDoesNotHold) {
  ApiClient c = demo(), intruder = demo();
  std::string secret = "secret content of somebody";
  ASSERT_FALSE(c.putFile("/demo/secret", secret).isError());
  // Knowing a block id is not enough to claim its content.
  std::string t = intruder.post("pretestUploadFile", {{"path", "/demo/claim"}, {"force", "true"}})
                      .result().get<std::string>();
  EXPECT_EQ(intruder.multipart("uploadFile", {{"token", t}, {"blockIds", "[ \"" + blockIdOf(secret) + "\"]"},
                                              {"memo", ""}, {"force", "true"}}).code(), 8);
  EXPECT_EQ(intruder.multipart("uploadFile", {{"token", t}, {"blockIds", "not json"},
                                              {"memo", ""}, {"force", "true"}}).code(), 8);
  // A short block in the middle would shift every later offset.
  std::string a = "short", b = "tail";
  intruder.multipart("uploadBlock", {{"token", t}, {"blockId", blockIdOf(a)}}, &a);
  intruder.multipart("uploadBlock", {{"token", t}, {"blockId", blockIdOf(b)}}, &b);
  EXPECT_EQ(intruder.multipart("uploadFile", {{"token", t},
                {"blockIds", "[ \"" + blockIdOf(a) + "\",\"" + blockIdOf(b) + "\"]"},
                {"memo", ""}, {"force", "true"}}).code(), 8);
  // Rewriting a file may keep the blocks it already has.
  std::string first = pattern(8 * 1024 * 1024, 2), second = "changed tail";
  ASSERT_FALSE(c.putFile("/demo/rewrite", first + "old tail").isError());
  std::string t2 = c.post("pretestUploadFile", {{"path", "/demo/rewrite"}, {"force", "true"}})
                       .result().get<std::string>();
  ASSERT_FALSE(c.multipart("uploadBlock", {{"token", t2}, {"blockId", blockIdOf(second)}}, &second).isError());
  ASSERT_FALSE(c.multipart("uploadFile", {{"token", t2},
                {"blockIds", "[ \"" + blockIdOf(first) + "\",\"" + blockIdOf(second) + "\"]"},
                {"memo", ""}, {"force", "true"}}).isError());
  EXPECT_EQ(c.getFile("/demo/rewrite"), first + second);
}

TEST_F(Content, DownloadNeedsATokenThatCoversTheBlock) {
  ApiClient c = demo(), other = demo();
  ASSERT_FALSE(c.putFile("/demo/a", "content a").isError());
  ASSERT_FALSE(c.putFile("/demo/b", "content b").isError());
  std::string ta = c.post("pretestDownloadFile", {{"path", "/demo/a"}}).result().get("token").get<std::string>();
  Reply ok = c.post("downloadBlock", {{"token", ta}, {"blockId", blockIdOf("content a")}});
  EXPECT_EQ(ok.body, "content a");
  EXPECT_EQ(c.post("downloadBlock", {{"token", ta}, {"blockId", blockIdOf("content b")}}).code(), 8);
  EXPECT_EQ(other.post("downloadBlock", {{"token", ta}, {"blockId", blockIdOf("content a")}}).code(), 8);
  EXPECT_EQ(c.post("downloadBlock", {{"token", ta}, {"blockId", "x"}}).code(), 8);
  c.get("logout");
  c.jsessionid.clear();
  EXPECT_EQ(c.post("downloadBlock", {{"token", ta}, {"blockId", blockIdOf("content a")}}).code(), 1);
}

TEST_F(Content, ConcurrentUploadsAndDownloads) {
  const int kThreads = 6;
  ApiClient setup = demo();
  std::string shared = pattern(8 * 1024 * 1024 + 4096, 9);
  ASSERT_FALSE(setup.putFile("/demo/shared.bin", shared).isError());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      try {
        ApiClient c = demo();
        std::string mine = pattern(1024 * 1024 + static_cast<std::size_t>(i), static_cast<unsigned>(i + 20));
        std::string path = "/demo/par-" + std::to_string(i);
        for (int round = 0; round < 3; ++round) {
          if (c.putFile(path, mine).isError()) ++failures;
          if (c.getFile(path) != mine) ++failures;
          if (c.getFile("/demo/shared.bin") != shared) ++failures;
        }
      } catch (const std::exception&) {
        ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  Reply l = setup.post("getEntries", {{"path", "/demo"}});
  int found = 0;
  for (const auto& e : l.result().get<picojson::array>())
    if (e.get("name").get<std::string>().rfind("par-", 0) == 0) ++found;
  EXPECT_EQ(found, kThreads);
}
