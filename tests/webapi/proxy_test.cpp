// Requests through HTTP CONNECT and SOCKS5 proxies, with and without proxy
// credentials; unreachable proxies; switching the proxy off.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include "core/library_state.h"
#include "scripted_server.h"
#include "test_proxies.h"
#include "webapi/service_methods.h"
#include "webapi/transport.h"
#include "webapi_test_env.h"

using namespace webapi_test;
namespace api = tarvik::api;

namespace {

constexpr int kHttp = 0;
constexpr int kSocks5 = 5;
constexpr int kSocks5Hostname = 7;

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    useService(server.baseUrl());
    server.setDefault(Answer{200, R"({"result":{"ok":1}})"});
  }
  void TearDown() override { tarvik_setProxy("", 0, 0, "", ""); }
  bool callSucceeds() {
    tarvik::JsonPtr r = api::keepSession();
    return !tarvik::isErrorResult(r) && r->member("ok")->number() == 1;
  }
  ScriptedServer server;
};

TEST_F(ProxyTest, HttpConnectProxyWithoutCredentials) {
  TestProxy proxy(TestProxy::Kind::kHttpConnect);
  tarvik_setProxy("127.0.0.1", proxy.port(), kHttp, "", "");
  EXPECT_TRUE(callSucceeds());
  EXPECT_EQ(proxy.tunnels(), 1);
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(ProxyTest, HttpConnectProxyWithCredentialsKeepsThePasswordOutOfTheLog) {
  LogCapture log(/*curlTrace=*/true);
  TestProxy proxy(TestProxy::Kind::kHttpConnect, "puser", "ppass-secret");
  tarvik_setProxy("127.0.0.1", proxy.port(), kHttp, "puser", "ppass-secret");
  EXPECT_TRUE(callSucceeds());
  EXPECT_EQ(proxy.tunnels(), 1);
  EXPECT_EQ(log.lines("proxy user = puser, passlen = 12"), 1);
  const std::string text = log.text();
  EXPECT_EQ(text.find("ppass-secret"), std::string::npos);
  EXPECT_EQ(text.find("cHVzZXI6cHBhc3Mtc2VjcmV0"), std::string::npos);  // base64 of user:pass
}

TEST_F(ProxyTest, HttpProxyRefusesWrongCredentials) {
  TestProxy proxy(TestProxy::Kind::kHttpConnect, "puser", "right");
  tarvik_setProxy("127.0.0.1", proxy.port(), kHttp, "puser", "wrong");
  tarvik::TransferRequest r;
  r.url = server.baseUrl() + "api/x";
  const int rc = tarvik::performTransfer(r);
  EXPECT_NE(rc, 0);
  EXPECT_GE(proxy.refusals(), 1);
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(ProxyTest, Socks5ProxyWithoutCredentials) {
  TestProxy proxy(TestProxy::Kind::kSocks5);
  tarvik_setProxy("127.0.0.1", proxy.port(), kSocks5, "", "");
  EXPECT_TRUE(callSucceeds());
  EXPECT_EQ(proxy.tunnels(), 1);
}

TEST_F(ProxyTest, Socks5ProxyWithCredentialsAndNameResolutionByTheProxy) {
  TestProxy proxy(TestProxy::Kind::kSocks5, "suser", "spass");
  tarvik_setProxy("127.0.0.1", proxy.port(), kSocks5Hostname, "suser", "spass");
  tarvik::state().apiBase = "https://localhost:" + std::to_string(server.port()) + "/api/";
  EXPECT_TRUE(callSucceeds());
  EXPECT_EQ(proxy.tunnels(), 1);
}

TEST_F(ProxyTest, Socks5ProxyRefusesWrongCredentials) {
  TestProxy proxy(TestProxy::Kind::kSocks5, "suser", "spass");
  tarvik_setProxy("127.0.0.1", proxy.port(), kSocks5, "suser", "nope");
  tarvik::TransferRequest r;
  r.url = server.baseUrl() + "api/x";
  EXPECT_NE(tarvik::performTransfer(r), 0);
  EXPECT_EQ(proxy.refusals(), 1);
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(ProxyTest, UnreachableProxyIs1001WithCurlResult) {
  tarvik_setProxy("127.0.0.1", refusedPort(), kHttp, "", "");
  tarvik::JsonPtr r = api::keepSession();
  EXPECT_EQ(tarvik::errorCode(r), 1001);
  EXPECT_EQ(r->member("error")->member("args")->element(0)->text(),
            std::to_string(CURLE_COULDNT_CONNECT));
  EXPECT_EQ(server.requestCount(), 0u);
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].second, "Communication error has occurred.(7)");
}

TEST_F(ProxyTest, EmptyHostTurnsTheProxyOffAgain) {
  TestProxy proxy(TestProxy::Kind::kHttpConnect);
  tarvik_setProxy("127.0.0.1", proxy.port(), kHttp, "", "");
  EXPECT_TRUE(callSucceeds());
  tarvik_setProxy("", 0, kHttp, "", "");
  // Even a proxy named in the environment is not used.
  setenv("https_proxy", ("http://127.0.0.1:" + std::to_string(refusedPort())).c_str(), 1);
  EXPECT_TRUE(callSucceeds());
  unsetenv("https_proxy");
  EXPECT_EQ(proxy.tunnels(), 1);
  EXPECT_EQ(server.requestCount(), 2u);
}

}  // namespace
