// tarvik_init: log file per call, envelope settings, error table rebuilt from
// the built-in and the fetched messages, request counter reset.
#include <dirent.h>
#include <gtest/gtest.h>

#include <string>

#include "core/library_state.h"
#include "scripted_server.h"
#include "tarvik.h"
#include "webapi/error_table.h"
#include "webapi_test_env.h"

using namespace webapi_test;

namespace {

int logFileCount() {
  int n = 0;
  if (DIR* d = ::opendir(tarvik::state().logDir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0) ++n;
    }
    ::closedir(d);
  }
  return n;
}

const char* kMessages =
    R"({"result":[{"code":1001,"ja":"x","en":"service text"},)"
    R"({"code":60,"ja":"j60","en":"sixty {0}"},{"code":60,"ja":"dup","en":"dup"},)"
    R"({"en":"no code"}]})";

TEST(TarvikInit, BuildsTheTableAndSettings) {
  ScriptedServer server;
  server.queue(Answer{200, kMessages});
  ASSERT_EQ(tarvik_init(server.baseUrl().c_str(), "ja", false, &StatusRecorder::callback), 0);
  tarvik::LibraryState& st = tarvik::state();
  EXPECT_EQ(st.apiBase, server.baseUrl() + "api/");
  EXPECT_EQ(st.language, "ja");
  EXPECT_EQ(st.statusCallback, &StatusRecorder::callback);
  EXPECT_FALSE(st.debug);
  EXPECT_EQ(st.requestCounter.load(), 1u);  // getErrorMessages carried 0
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].path, "/api/getErrorMessages");
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_NE(seen[0].target.find("&requestid=0"), std::string::npos);
  ASSERT_NE(st.errorTable, nullptr);
  EXPECT_EQ(st.errorTable->size(), 9u);
  EXPECT_EQ(st.errorTable->find(1001)->member("en")->text(),
            "Communication error has occurred.({0})");  // built-in wins
  EXPECT_EQ(st.errorTable->find(60)->member("ja")->text(), "j60");  // first one wins
}

TEST(TarvikInit, SecondCallMakesANewLogAndRebuildsEverything) {
  ScriptedServer server;
  server.setDefault(Answer{200, kMessages});
  const int before = logFileCount();
  ASSERT_EQ(tarvik_init(server.baseUrl().c_str(), "en", true, nullptr), 0);
  EXPECT_TRUE(tarvik::state().debug);
  EXPECT_EQ(tarvik::state().statusCallback, &tarvik::builtinStatusCallback);
  tarvik::state().errorTable->insert(tarvik::json::parse(R"({"code":61,"en":"stale"})"));
  ASSERT_EQ(tarvik_init(server.baseUrl().c_str(), "en", true, &StatusRecorder::callback), 0);
  EXPECT_EQ(logFileCount(), before + 2);
  EXPECT_EQ(tarvik::state().errorTable->find(61), nullptr);
  EXPECT_EQ(tarvik::state().requestCounter.load(), 1u);
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[1].target.find("&requestid=0"), std::string::npos);
  tarvik_init(server.baseUrl().c_str(), "en", false, &StatusRecorder::callback);
}

TEST(TarvikInit, NonArrayResultAddsNothingAndSucceeds) {
  ScriptedServer server;
  server.queue(Answer{200, ""});
  EXPECT_EQ(tarvik_init(server.baseUrl().c_str(), "en", false, &StatusRecorder::callback), 0);
  EXPECT_EQ(tarvik::state().errorTable->size(), 8u);
}

TEST(TarvikInit, UnreachableServiceFailsWithTheBuiltInMessage) {
  StatusRecorder::clear();
  const std::string base = "https://127.0.0.1:" + std::to_string(refusedPort()) + "/";
  EXPECT_EQ(tarvik_init(base.c_str(), "en", false, &StatusRecorder::callback), -1);
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0], std::make_pair(1001, std::string("Communication error has occurred.(7)")));
  EXPECT_EQ(tarvik::state().errorTable->size(), 8u);
}

}  // namespace
