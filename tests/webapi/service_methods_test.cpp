// The method catalogue against a scripted server: names, forms, parameters
// in order, session bookkeeping, the downloadBlock check, client
// certificates in the handshake.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/library_state.h"
#include "scripted_server.h"
#include "test_pki.h"
#include "webapi/block_id.h"
#include "webapi/error_table.h"
#include "webapi/service_methods.h"
#include "webapi_test_env.h"
#include "wincrypt.h"

using namespace webapi_test;
namespace api = tarvik::api;
using tarvik::JsonPtr;

namespace {

class MethodsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    useService(server.baseUrl());
    server.setDefault(Answer{200, R"({"result":true})"});
  }
  RequestSeen only() {
    auto seen = server.requests();
    EXPECT_EQ(seen.size(), 1u);
    return seen.empty() ? RequestSeen{} : seen.back();
  }
  ScriptedServer server;
};

struct Case {
  const char* name;
  std::function<void()> call;
  const char* method;  // "GET" or "POST"
  const char* body;    // URL-encoded body ("" for GET)
};

TEST_F(MethodsTest, EveryUrlEncodedAndGetMethodSendsItsParametersInOrder) {
  const Case cases[] = {
      {"getErrorMessages", [] { api::getErrorMessages(); }, "GET", ""},
      {"getPKIInfo", [] { api::getPKIInfo(); }, "GET", ""},
      {"pretestLogin", [] { api::pretestLogin("corp"); }, "POST", "corpId=corp"},
      {"logout", [] { api::logout(); }, "GET", ""},
      {"keepSession", [] { api::keepSession(); }, "GET", ""},
      {"getAnnouncement", [] { api::getAnnouncement(true); }, "POST", "force=true"},
      {"markReadCurrentAnnouncement", [] { api::markReadCurrentAnnouncement(); }, "GET", ""},
      {"getLoginUserInfo", [] { api::getLoginUserInfo(); }, "GET", ""},
      {"getEntries", [] { api::getEntries("/a b/c"); }, "POST", "path=%2Fa%20b%2Fc"},
      {"getSharedEntries", [] { api::getSharedEntries(); }, "GET", ""},
      {"checkPermission", [] { api::checkPermission("/f", -2); }, "POST", "path=%2Ff&op=-2"},
      {"getResourceDetail", [] { api::getResourceDetail("/f"); }, "POST", "path=%2Ff&lite=true"},
      {"makeDirectory", [] { api::makeDirectory("/d"); }, "POST", "path=%2Fd&memo="},
      {"moveResource", [] { api::moveResource("/s", "/d", false); }, "POST",
       "srcPath=%2Fs&dstPath=%2Fd&force=true&overwrite=false"},
      {"moveToTrash", [] { api::moveToTrash("/t"); }, "POST", "path=%2Ft"},
      {"removeResource", [] { api::removeResource("/r"); }, "POST", "path=%2Fr"},
      {"lockResource", [] { api::lockResource("/l", 4321); }, "POST",
       "path=%2Fl&type=2&processId=4321"},
      {"unlockResource", [] { api::unlockResource("/l", nullptr); }, "POST", "path=%2Fl"},
      {"pretestDownloadFile", [] { api::pretestDownloadFile("/f"); }, "POST", "path=%2Ff"},
      {"pretestUploadFile", [] { api::pretestUploadFile("/f"); }, "POST", "path=%2Ff&force=true"},
      {"copyResource", [] { api::copyResource("/s", "/d"); }, "POST", "srcPath=%2Fs&dstPath=%2Fd"},
      {"emptyTrash", [] { api::emptyTrash(); }, "GET", ""},
  };
  size_t n = 0;
  for (const Case& c : cases) {
    c.call();
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), ++n) << c.name;
    EXPECT_EQ(seen.back().path, std::string("/api/") + c.name);
    EXPECT_EQ(seen.back().method, c.method) << c.name;
    EXPECT_EQ(seen.back().body, c.body) << c.name;
    EXPECT_NE(seen.back().target.find("&requestid=" + std::to_string(n - 1)), std::string::npos);
  }
  EXPECT_TRUE(StatusRecorder::take().empty());
}

TEST_F(MethodsTest, AnnouncementWithoutForceSendsFalse) {
  api::getAnnouncement(false);
  EXPECT_EQ(only().body, "force=false");
}

TEST_F(MethodsTest, MoveWithOverwrite) {
  api::moveResource("/s", "/d", true);
  EXPECT_EQ(only().body, "srcPath=%2Fs&dstPath=%2Fd&force=true&overwrite=true");
}

TEST_F(MethodsTest, PretestLoginStoresArrayidOnlyOnSuccess) {
  server.queue(Answer{200, R"({"result":{"arrayid":"AR1"}})"});
  EXPECT_FALSE(tarvik::isErrorResult(api::pretestLogin("c")));
  EXPECT_EQ(tarvik::state().arrayid, "AR1");
  server.queue(Answer{200, R"({"error":{"code":3,"args":[]}})"});
  EXPECT_TRUE(tarvik::isErrorResult(api::pretestLogin("c")));
  EXPECT_EQ(tarvik::state().arrayid, "AR1");
  api::keepSession();
  EXPECT_NE(server.requests().back().target.find("&arrayid=AR1&requestid="), std::string::npos);
}

TEST_F(MethodsTest, LoginStoresTheSessionAndNeverLogsThePassword) {
  LogCapture log;
  server.queue(Answer{200, R"({"result":{"jsessionid":"JS1"}})"});
  EXPECT_FALSE(tarvik::isErrorResult(api::login("corpA", "userB", "pa ss&word")));
  EXPECT_EQ(only().body, "corpId=corpA&userId=userB&password=pa%20ss%26word&pki=false");
  tarvik::LibraryState& st = tarvik::state();
  EXPECT_EQ(st.jsessionid, "JS1");
  EXPECT_EQ(st.corpId, "corpA");
  EXPECT_EQ(st.userId, "userB");
  const std::string text = log.text();
  EXPECT_NE(text.find("corpId:corpA"), std::string::npos);
  EXPECT_NE(text.find("userId:userB"), std::string::npos);
  EXPECT_EQ(text.find("pa ss&word"), std::string::npos);
  EXPECT_EQ(text.find("pa%20ss"), std::string::npos);

  // A failed login keeps the earlier session values.
  server.queue(Answer{200, R"({"error":{"code":3,"args":[]}})"});
  EXPECT_TRUE(tarvik::isErrorResult(api::login("other", "other", "x")));
  EXPECT_EQ(st.jsessionid, "JS1");
  EXPECT_EQ(st.corpId, "corpA");
  EXPECT_EQ(st.userId, "userB");
}

TEST_F(MethodsTest, LockResultIsLogged) {
  LogCapture log;
  api::lockResource("/l", 1);
  EXPECT_EQ(log.lines("lockResource result=true"), 1);
}

TEST_F(MethodsTest, UnlockSkipsError999WithTheCloseHandler) {
  tarvik::state().errorTable->insert(
      tarvik::json::parse(R"({"code":999,"ja":"j","en":"in use"})"));
  tarvik::state().errorTable->insert(
      tarvik::json::parse(R"({"code":50,"ja":"j","en":"other"})"));
  LogCapture log;
  server.queue(Answer{200, R"({"error":{"code":999,"args":[]}})"});
  EXPECT_TRUE(tarvik::isErrorResult(api::unlockResource("/l", &api::skipError999)));
  EXPECT_TRUE(StatusRecorder::take().empty());
  EXPECT_EQ(log.lines("E999 Skipped. msg=in use"), 1);
  server.queue(Answer{200, R"({"error":{"code":50,"args":[]}})"});
  api::unlockResource("/l", &api::skipError999);
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0], std::make_pair(50, std::string("other")));
}

TEST_F(MethodsTest, UploadBlockSendsTheFileAsMultipart) {
  const std::string dir = scratchDir();
  writeFile(dir + "/blk", "block content");
  const std::string id = tarvik::blockIdOfFile(dir + "/blk");
  api::uploadBlock("UT", id, dir + "/blk");
  RequestSeen seen = only();
  EXPECT_EQ(seen.parts["token"].content, "UT");
  EXPECT_EQ(seen.parts["blockId"].content, id);
  EXPECT_EQ(seen.parts["filedata"].filename, "data.dat");
  EXPECT_EQ(seen.parts["filedata"].content, "block content");
}

TEST_F(MethodsTest, UploadFileSendsTheIdListText) {
  api::uploadFile("UT", {"a#1", "b#2"});
  RequestSeen seen = only();
  EXPECT_EQ(seen.parts["token"].content, "UT");
  EXPECT_EQ(seen.parts["blockIds"].content, "[ \"a#1\",\"b#2\"]");
  EXPECT_EQ(seen.parts["memo"].content, "");
  EXPECT_EQ(seen.parts["force"].content, "true");
  EXPECT_EQ(api::blockIdsText({}), "[]");
  EXPECT_EQ(api::blockIdsText({"x"}), "[ \"x\"]");
}

TEST_F(MethodsTest, DownloadBlockAcceptsMatchingBytes) {
  const std::string content(70000, 'k');
  server.queue(Answer{200, content, "application/octet-stream"});
  const std::string id = tarvik::blockIdOf(content.data(), content.size());
  const std::string dest = scratchDir() + "/blk";
  EXPECT_EQ(api::downloadBlock("DT", id, dest), 0);
  EXPECT_EQ(only().body, "token=DT&blockId=" + id.substr(0, id.find('#')) + "%23" +
                             std::to_string(content.size()));
  EXPECT_TRUE(readFile(dest) == content);
}

TEST_F(MethodsTest, DownloadBlockRejectsOtherBytesAndRemovesThem) {
  LogCapture log;
  const std::string expected = tarvik::blockIdOf("good", 4);
  server.queue(Answer{200, "evil", "application/octet-stream"});
  const std::string dest = scratchDir() + "/blk";
  EXPECT_EQ(api::downloadBlock("DT", expected, dest), -1);
  EXPECT_EQ(log.lines("download block error: expected " + expected + " but was " +
                      tarvik::blockIdOf("evil", 4)),
            1);
  EXPECT_NE(::access(dest.c_str(), F_OK), 0);
  EXPECT_TRUE(StatusRecorder::take().empty());
}

TEST_F(MethodsTest, DownloadBlockTransportFailureIsReturnedAndReported) {
  server.setDefault(Answer{404, "no", "text/plain"});
  const std::string dest = scratchDir() + "/blk";
  EXPECT_EQ(api::downloadBlock("DT", "x#1", dest), 404);
  EXPECT_NE(::access(dest.c_str(), F_OK), 0);
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].first, 1001);
}

TEST(ClientCertificate, IsPresentedInTheHandshakeAndSetsPki) {
  ScriptedServer server(ScriptedServer::Options{true, false});
  useService(server.baseUrl());
  server.setDefault(Answer{200, R"({"result":{"jsessionid":"J"}})"});
  PCCERT_CONTEXT cert = win32::CertCreateContextFromPemFile(pki().clientPem);
  ASSERT_NE(cert, nullptr);
  tarvik_setCertificate(cert);
  EXPECT_FALSE(tarvik::isErrorResult(api::login("c", "u", "p")));
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].clientCertificate);
  EXPECT_EQ(seen[0].clientCommonName, pki().clientSubjectCN);
  EXPECT_EQ(seen[0].body, "corpId=c&userId=u&password=p&pki=true");
  tarvik_setCertificate(nullptr);
  CertFreeCertificateContext(cert);

  // Without a certificate the server refuses the handshake: 1001.
  JsonPtr r = api::getPKIInfo();
  EXPECT_EQ(tarvik::errorCode(r), 1001);
  EXPECT_EQ(server.requests().size(), 1u);
}

}  // namespace
