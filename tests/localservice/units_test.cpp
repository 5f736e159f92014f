// In-process tests of the pieces behind the web API.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "api_client.h"
#include "config.h"
#include "faults.h"
#include "messages.h"
#include "store.h"
#include "util.h"

using namespace ambermoor;

TEST(BlockIds, KnownDigestsAndParsing) {
  EXPECT_EQ(lstest::blockIdOf(""), "2jmj7l5rSw0yVb_vlWAYkK_YBwk#0");
  EXPECT_EQ(lstest::blockIdOf("abc"), "qZk-NkcGgWq6PiVxeFDCbJzQ2J0#3");
  std::int64_t len = 0;
  EXPECT_TRUE(parseBlockId("qZk-NkcGgWq6PiVxeFDCbJzQ2J0#3", &len));
  EXPECT_EQ(len, 3);
  EXPECT_TRUE(parseBlockId("qZk-NkcGgWq6PiVxeFDCbJzQ2J0#8388608", &len));
  EXPECT_FALSE(parseBlockId("qZk-NkcGgWq6PiVxeFDCbJzQ2J0#8388609", &len));  // above BLOCK_SIZE
  EXPECT_FALSE(parseBlockId("qZk-NkcGgWq6PiVxeFDCbJzQ2J0#", &len));
  EXPECT_FALSE(parseBlockId("qZk-NkcGgWq6PiVxeFDCbJzQ2J0#03", &len));
  EXPECT_FALSE(parseBlockId("qZk+NkcGgWq6PiVxeFDCbJzQ2J0#3", &len));  // not URL-safe
  EXPECT_FALSE(parseBlockId("../../etc/passwd#3", &len));
  EXPECT_FALSE(parseBlockId("", &len));
}

TEST(ServicePaths, AcceptsPlainPathsOnly) {
  EXPECT_TRUE(isValidServicePath("/alice"));
  EXPECT_TRUE(isValidServicePath("/!alice/a b/c.txt"));
  EXPECT_FALSE(isValidServicePath(""));
  EXPECT_FALSE(isValidServicePath("/"));
  EXPECT_FALSE(isValidServicePath("alice"));
  EXPECT_FALSE(isValidServicePath("/alice/"));
  EXPECT_FALSE(isValidServicePath("/alice//x"));
  EXPECT_FALSE(isValidServicePath("/alice/../bob"));
  EXPECT_FALSE(isValidServicePath("/alice/./x"));
  EXPECT_FALSE(isValidServicePath(std::string("/alice/a\0b", 10)));
  EXPECT_FALSE(isValidServicePath("/alice/a\nb"));
  EXPECT_FALSE(isValidServicePath("/" + std::string(5000, 'a')));
  EXPECT_TRUE(isWithin("/a/b", "/a"));
  EXPECT_FALSE(isWithin("/ab", "/a"));
  EXPECT_EQ(parentOf("/a/b"), "/a");
  EXPECT_EQ(parentOf("/a"), "");
}

TEST(Config, ParsesAccountsAndShares) {
  auto cfg = parseConfigText(R"({"sessionTimeoutSeconds": 60,
    "companies": [{"corpId": "acme", "users": [
      {"userId": "alice", "password": "a", "contractCapacity": 1000},
      {"userId": "bob", "password": "b", "requiredPassword": true}]}],
    "sharedFolders": [{"corpId": "acme", "path": "/Projects", "owner": "alice",
      "members": [{"userId": "bob", "rights": "read"}]}]})");
  ASSERT_EQ(cfg.users.size(), 2u);
  EXPECT_EQ(cfg.users[0].contractCapacity, 1000);
  EXPECT_TRUE(cfg.users[1].requiredPassword);
  EXPECT_EQ(cfg.sessionTimeoutSeconds, 60);
  ASSERT_EQ(cfg.shares.size(), 1u);
  EXPECT_TRUE(cfg.shares[0].members.at("alice"));
  EXPECT_FALSE(cfg.shares[0].members.at("bob"));
}

TEST(Config, RejectsBadInputWithAReason) {
  const char* bad[] = {
      "not json",
      "[]",
      R"({"companies": [{"corpId": "a"}]})",
      R"({"companies": [{"corpId": "a", "users": [{"userId": "u"}]}]})",
      R"({"companies": [{"corpId": "a/b", "users": []}]})",
      R"({"companies": [{"corpId": "a", "users": [{"userId": "u", "password": "p"},
                                                 {"userId": "u", "password": "q"}]}]})",
      R"({"companies": [{"corpId": "a", "users": [{"userId": "u", "password": "p"}]}],
          "sharedFolders": [{"corpId": "a", "path": "/x/y", "owner": "u"}]})",
      R"({"companies": [{"corpId": "a", "users": [{"userId": "u", "password": "p"}]}],
          "sharedFolders": [{"corpId": "a", "path": "/u", "owner": "u"}]})",
      R"({"companies": [{"corpId": "a", "users": [{"userId": "u", "password": "p"}]}],
          "sharedFolders": [{"corpId": "a", "path": "/s", "owner": "nobody"}]})",
      R"({"sessionTimeoutSeconds": -1})",
  };
  for (const char* text : bad) EXPECT_THROW(parseConfigText(text), std::invalid_argument) << text;
}

TEST(CommandLine, OptionsAndErrors) {
  const char* ok[] = {"x", "--data", "/tmp/d", "--port", "0", "--demo", "--session-timeout", "5"};
  auto cl = parseCommandLine(8, const_cast<char**>(ok));
  EXPECT_EQ(cl.dataDir, "/tmp/d");
  EXPECT_EQ(cl.port, 0);
  EXPECT_TRUE(cl.demo);
  EXPECT_EQ(cl.sessionTimeoutSeconds, 5);
  const char* badPort[] = {"x", "--port", "70000"};
  EXPECT_THROW(parseCommandLine(3, const_cast<char**>(badPort)), std::invalid_argument);
  const char* missing[] = {"x", "--data"};
  EXPECT_THROW(parseCommandLine(2, const_cast<char**>(missing)), std::invalid_argument);
  const char* unknown[] = {"x", "--frobnicate"};
  EXPECT_THROW(parseCommandLine(2, const_cast<char**>(unknown)), std::invalid_argument);
  const char* cert[] = {"x", "issue-client-cert", "--data", "d"};
  EXPECT_THROW(parseCommandLine(4, const_cast<char**>(cert)), std::invalid_argument);
}

TEST(FaultTable, ParseAndTakeInOrder) {
  FaultTable t;
  t.add(FaultTable::parse(R"({"kind":"error","method":"getEntries","code":66,"count":2})"));
  t.add(FaultTable::parse(R"({"kind":"corruptBlock"})"));
  t.add(FaultTable::parse(R"({"kind":"http500"})"));
  auto f = t.take("getEntries");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->kind, "error");
  EXPECT_EQ(f->code, 66);
  // corruptBlock is skipped for other methods; http500 applies to any.
  auto g = t.take("keepSession");
  ASSERT_TRUE(g);
  EXPECT_EQ(g->kind, "http500");
  EXPECT_EQ(t.take("downloadBlock")->kind, "corruptBlock");
  EXPECT_EQ(t.take("getEntries")->kind, "error");
  EXPECT_FALSE(t.take("getEntries"));
  EXPECT_THROW(FaultTable::parse(R"({"kind":"meteor"})"), std::invalid_argument);
  EXPECT_THROW(FaultTable::parse(R"({"kind":"delay"})"), std::invalid_argument);
  EXPECT_THROW(FaultTable::parse(R"({"kind":"error"})"), std::invalid_argument);
  EXPECT_THROW(FaultTable::parse(R"({"kind":"http500","count":0})"), std::invalid_argument);
  EXPECT_THROW(FaultTable::parse("[]"), std::invalid_argument);
}

TEST(Messages, EveryCodeInBothLanguagesWithPlaceholders) {
  std::set<int> codes;
  for (const auto& m : errorMessages()) {
    codes.insert(m.code);
    EXPECT_GT(std::string(m.ja).size(), 0u) << m.code;
    EXPECT_GT(std::string(m.en).size(), 0u) << m.code;
  }
  for (int c : {1, 3, 8, 9, 50, 51, 52, 66, 77, 150, 151, 152, 999, 1001, 1002, 1003, 1004, 1005,
                5000})
    EXPECT_TRUE(codes.count(c)) << c;
  for (const auto& m : errorMessages())
    if (m.code == 1001) {
      EXPECT_STREQ(m.en, "Communication error has occurred.({0})");
    }
  picojson::value v;
  ASSERT_EQ(picojson::parse(v, errorMessagesJson()), "");
  ASSERT_TRUE(v.is<picojson::array>());
  EXPECT_EQ(v.get<picojson::array>().size(), errorMessages().size());
}

TEST(Store, TreeRangeDoesNotCatchSiblingsWithLongerNames) {
  auto dir = std::filesystem::temp_directory_path() / ("ls-store-" + randomToken(4));
  std::filesystem::create_directories(dir);
  {
    Store s((dir / "m.sqlite").string());
    s.transaction([&] {
      for (const char* p : {"/u", "/u/a", "/u/a/x", "/u/a b", "/u/a0", "/u/a-"}) {
        Entry e;
        e.path = p;
        e.name = baseName(p);
        e.kind = kKindFolder;
        e.owner = "u";
        s.insert("c", e);
      }
    });
    auto tree = s.transaction([&] { return s.tree("c", "/u/a"); });
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree[0].path, "/u/a");
    EXPECT_EQ(tree[1].path, "/u/a/x");
    EXPECT_EQ(s.transaction([&] { return s.removeTree("c", "/u/a"); }), 2);
    EXPECT_EQ(s.transaction([&] { return s.children("c", "/u"); }).size(), 3u);
    // A failing transaction leaves nothing behind.
    EXPECT_THROW(s.transaction([&] {
      s.removeTree("c", "/u");
      throw std::runtime_error("abort");
    }), std::runtime_error);
    EXPECT_TRUE(s.transaction([&] { return s.get("c", "/u/a b"); }));
  }
  std::filesystem::remove_all(dir);
}
