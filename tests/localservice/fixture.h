// Shared set-up of the HTTPS tests: one service with a configuration of
// company "acme" (alice with a small quota, bob, carol; "/Projects" shared
// read-only with alice and read-write with carol; SAML sign-in for alice and
// for zed, who has no service account) plus the demo companies.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "api_client.h"
#include "local_service.h"
#include <httplib.h>

namespace lstest {

constexpr std::int64_t kAliceQuota = 300000;

inline std::string writeConfig(const std::string& dir) {
  std::filesystem::create_directories(dir);
  std::string path = dir + "/config.json";
  std::ofstream(path) << R"({
    "companies": [{"corpId": "acme", "users": [
      {"userId": "alice", "password": "alice-pw", "contractCapacity": 300000},
      {"userId": "bob", "password": "bob-pw"},
      {"userId": "carol", "password": "carol-pw", "requiredPassword": true}],
      "saml": {"enabled": true, "singleLogout": false, "idpUsers": [
      {"userId": "alice", "password": "alice-idp"}, {"userId": "zed", "password": "zed-idp"}]}}],
    "sharedFolders": [{"corpId": "acme", "path": "/Projects", "owner": "bob",
      "members": [{"userId": "alice", "rights": "read"},
                  {"userId": "carol", "rights": "readwrite"}]}]})";
  return path;
}

class ServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    curl_global_init(CURL_GLOBAL_ALL);
    configDir_ = new std::string(std::filesystem::temp_directory_path() /
                                 ("ls-cfg-" + std::to_string(::getpid())));
    tarvik_test::LocalServiceOptions o;
    o.configFile = writeConfig(*configDir_);
    svc_ = tarvik_test::LocalService::start(o).release();
  }
  static void TearDownTestSuite() {
    delete svc_;
    svc_ = nullptr;
    std::filesystem::remove_all(*configDir_);
    delete configDir_;
  }
  void SetUp() override { svc_->admin("/admin/reset", "{}"); }

  static tarvik_test::LocalService& svc() { return *svc_; }
  static ApiClient client() { return ApiClient(svc_->url(), svc_->caFile()); }
  static ApiClient as(const std::string& user) {
    ApiClient c = client();
    c.signIn("acme", user, user + "-pw");
    return c;
  }
  static ApiClient demo() {
    ApiClient c = client();
    c.signIn(svc_->demoCorp(), svc_->demoUser(), svc_->demoPassword());
    return c;
  }
  // A fresh folder name per test, so tests sharing the service never collide.
  static std::string unique(const std::string& stem) {
    static int n = 0;
    return stem + "-" + std::to_string(++n);
  }

  static tarvik_test::LocalService* svc_;
  static std::string* configDir_;
};

inline tarvik_test::LocalService* ServiceTest::svc_ = nullptr;
inline std::string* ServiceTest::configDir_ = nullptr;

}  // namespace lstest
