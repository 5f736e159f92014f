// The method catalogue against the local service: every method called and
// its result read; injected faults; certificate sign-in on the certificate
// host.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "core/library_state.h"
#include "local_service.h"
#include "tarvik.h"
#include "webapi/block_id.h"
#include "webapi/error_table.h"
#include "webapi/service_methods.h"
#include "webapi_test_env.h"
#include "wincrypt.h"

using namespace webapi_test;
namespace api = tarvik::api;
using tarvik::JsonPtr;
using tarvik::isErrorResult;

namespace {

class LocalServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service = tarvik_test::LocalService::start();
    setenv("CURL_CA_BUNDLE", service->caFile().c_str(), 1);
    useService(service->url());
    ASSERT_EQ(tarvik_init(service->url().c_str(), "en", false, &StatusRecorder::callback), 0);
    home = "/" + service->demoUser();
  }
  void TearDown() override {
    tarvik_setCertificate(nullptr);
    service.reset();
  }
  void signIn() {
    JsonPtr pre = api::pretestLogin(service->demoCorp());
    ASSERT_FALSE(isErrorResult(pre));
    JsonPtr in = api::login(service->demoCorp(), service->demoUser(), service->demoPassword());
    ASSERT_FALSE(isErrorResult(in)) << in->serialize();
    ASSERT_FALSE(tarvik::state().jsessionid.empty());
  }
  bool hasEntry(const JsonPtr& list, const std::string& name) {
    for (size_t i = 0; i < list->count(); ++i) {
      if (list->element(i)->member("name")->text() == name) return true;
    }
    return false;
  }
  std::unique_ptr<tarvik_test::LocalService> service;
  std::string home;
};

TEST_F(LocalServiceTest, EveryMethodOfTheCatalogue) {
  // getErrorMessages ran in tarvik_init: the service's table joined ours.
  EXPECT_GT(tarvik::state().errorTable->size(), 5u);
  signIn();
  EXPECT_FALSE(tarvik::state().arrayid.empty());

  JsonPtr info = api::getLoginUserInfo();
  ASSERT_FALSE(isErrorResult(info));
  EXPECT_TRUE(info->member("contractCapacity")->isNumber());
  EXPECT_TRUE(info->member("usage")->isNumber());

  JsonPtr ann = api::getAnnouncement(true);
  ASSERT_FALSE(isErrorResult(ann));
  EXPECT_TRUE(ann->member("announcement")->isString());
  EXPECT_TRUE(ann->member("modified")->isNumber());
  EXPECT_FALSE(isErrorResult(api::markReadCurrentAnnouncement()));
  EXPECT_FALSE(isErrorResult(api::keepSession()));

  JsonPtr entries = api::getEntries(home);
  ASSERT_TRUE(entries->isArray());
  EXPECT_TRUE(hasEntry(entries, "Welcome.txt"));
  EXPECT_TRUE(hasEntry(entries, "Documents"));
  JsonPtr shared = api::getSharedEntries();
  ASSERT_TRUE(shared->isArray()) << shared->serialize();

  const std::string welcome = home + "/Welcome.txt";
  JsonPtr permitted = api::checkPermission(welcome, 0);
  ASSERT_FALSE(isErrorResult(permitted));
  EXPECT_TRUE(permitted->isBool());
  JsonPtr detail = api::getResourceDetail(welcome);
  ASSERT_FALSE(isErrorResult(detail));
  EXPECT_EQ(detail->member("size")->number(),
            std::string("Welcome to the local storage service.\n").size());
  EXPECT_NE(detail->member("kind")->number(), 3);
  EXPECT_GT(detail->member("mtime")->number(), 0);

  // Upload a file of two blocks' worth of content in one short block.
  const std::string folder = home + "/WebapiTest";
  ASSERT_FALSE(isErrorResult(api::makeDirectory(folder)));
  const std::string file = folder + "/data.bin";
  JsonPtr upToken = api::pretestUploadFile(file);
  ASSERT_FALSE(isErrorResult(upToken));
  ASSERT_TRUE(upToken->isString());
  const std::string dir = scratchDir();
  std::string content(1000000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 31) >> 3);
  writeFile(dir + "/block", content);
  const std::string id = tarvik::blockIdOfFile(dir + "/block");
  ASSERT_FALSE(isErrorResult(api::uploadBlock(upToken->text(), id, dir + "/block")));
  JsonPtr committed = api::uploadFile(upToken->text(), {id});
  ASSERT_FALSE(isErrorResult(committed)) << committed->serialize();

  JsonPtr down = api::pretestDownloadFile(file);
  ASSERT_FALSE(isErrorResult(down));
  ASSERT_EQ(down->member("blockIds")->count(), 1u);
  EXPECT_EQ(down->member("blockIds")->element(0)->text(), id);
  const std::string token = down->member("token")->text();
  EXPECT_EQ(api::downloadBlock(token, id, dir + "/down"), 0);
  EXPECT_TRUE(readFile(dir + "/down") == content);

  // An injected corruption is caught and leaves nothing behind.
  service->admin("/admin/fault", R"({"kind":"corruptBlock"})");
  EXPECT_EQ(api::downloadBlock(token, id, dir + "/bad"), -1);
  EXPECT_NE(::access((dir + "/bad").c_str(), F_OK), 0);

  JsonPtr locked = api::lockResource(file, static_cast<int>(getpid()));
  ASSERT_FALSE(isErrorResult(locked));
  EXPECT_TRUE(locked->boolean());
  EXPECT_FALSE(isErrorResult(api::unlockResource(file, &api::skipError999)));

  const std::string copy = folder + "/copy.bin";
  const std::string moved = folder + "/moved.bin";
  ASSERT_FALSE(isErrorResult(api::copyResource(file, copy)));
  ASSERT_FALSE(isErrorResult(api::moveResource(copy, moved, false)));
  EXPECT_TRUE(hasEntry(api::getEntries(folder), "moved.bin"));
  ASSERT_FALSE(isErrorResult(api::moveToTrash(moved)));
  EXPECT_FALSE(hasEntry(api::getEntries(folder), "moved.bin"));
  JsonPtr trash = api::getEntries("/!" + service->demoUser());
  EXPECT_TRUE(hasEntry(trash, "moved.bin")) << trash->serialize();
  ASSERT_FALSE(isErrorResult(api::emptyTrash()));
  EXPECT_EQ(api::getEntries("/!" + service->demoUser())->count(), 0u);
  ASSERT_FALSE(isErrorResult(api::removeResource(file)));
  EXPECT_TRUE(isErrorResult(api::getResourceDetail(file)));

  EXPECT_FALSE(isErrorResult(api::logout()));
  // Only the deliberate miss above was reported.
  auto statuses = StatusRecorder::take();
  EXPECT_LE(statuses.size(), 1u);
}

TEST_F(LocalServiceTest, WrongPasswordKeepsTheArrayidAndIsReported) {
  ASSERT_FALSE(isErrorResult(api::pretestLogin(service->demoCorp())));
  const std::string arrayid = tarvik::state().arrayid;
  JsonPtr in = api::login(service->demoCorp(), service->demoUser(), "wrong password");
  EXPECT_TRUE(isErrorResult(in));
  EXPECT_EQ(tarvik::state().arrayid, arrayid);
  EXPECT_TRUE(tarvik::state().jsessionid.empty());
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].first, tarvik::errorCode(in));
  EXPECT_FALSE(statuses[0].second.empty());
}

TEST_F(LocalServiceTest, InjectedMaintenanceAndServerErrors) {
  signIn();
  service->admin("/admin/fault", R"({"kind":"maintenance","method":"keepSession"})");
  EXPECT_EQ(tarvik::errorCode(api::keepSession()), 1002);
  service->admin("/admin/fault", R"({"kind":"http500","method":"keepSession","count":3})");
  JsonPtr r = api::keepSession();
  EXPECT_EQ(tarvik::errorCode(r), 1001);
  EXPECT_EQ(r->member("error")->member("args")->element(0)->text(), "500");
  service->admin("/admin/fault", R"({"kind":"http500","method":"keepSession","count":1})");
  EXPECT_FALSE(isErrorResult(api::keepSession()));  // the retry succeeds
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0].second, "Cannot be used as the system is in maintenance.");
  EXPECT_EQ(statuses[1].second, "Communication error has occurred.(500)");
}

TEST_F(LocalServiceTest, DroppedConnectionsAreRetriedOnlyWhereRepeatingIsHarmless) {
  signIn();
  auto drop = [&](const std::string& method) {
    service->admin("/admin/fault", R"({"kind":"drop","method":")" + method + R"("})");
  };
  const std::string folder = home + "/Dropped";
  ASSERT_FALSE(isErrorResult(api::makeDirectory(folder)));
  const std::string dir = scratchDir();
  writeFile(dir + "/block", "content of the dropped test");
  const std::string id = tarvik::blockIdOfFile(dir + "/block");

  // Reads, tokens and content-addressed blocks go again and succeed.
  drop("getEntries");
  EXPECT_TRUE(hasEntry(api::getEntries(home), "Welcome.txt"));
  drop("getResourceDetail");
  EXPECT_FALSE(isErrorResult(api::getResourceDetail(home + "/Welcome.txt")));
  drop("pretestUploadFile");
  JsonPtr up = api::pretestUploadFile(folder + "/a.txt");
  ASSERT_FALSE(isErrorResult(up));
  drop("uploadBlock");
  EXPECT_FALSE(isErrorResult(api::uploadBlock(up->text(), id, dir + "/block")));
  ASSERT_FALSE(isErrorResult(api::uploadFile(up->text(), {id})));
  drop("pretestDownloadFile");
  JsonPtr down = api::pretestDownloadFile(folder + "/a.txt");
  ASSERT_FALSE(isErrorResult(down));
  drop("downloadBlock");
  EXPECT_EQ(api::downloadBlock(down->member("token")->text(), id, dir + "/down"), 0);
  EXPECT_EQ(readFile(dir + "/down"), "content of the dropped test");
  EXPECT_TRUE(StatusRecorder::take().empty()) << "a retried call reports nothing";

  // A commit of the same block list leaves the same content: it is sent
  // again, and the caller hears nothing of the dropped connection.
  JsonPtr up2 = api::pretestUploadFile(folder + "/c.txt");
  ASSERT_FALSE(isErrorResult(up2));
  ASSERT_FALSE(isErrorResult(api::uploadBlock(up2->text(), id, dir + "/block")));
  drop("uploadFile");
  EXPECT_FALSE(isErrorResult(api::uploadFile(up2->text(), {id})));
  EXPECT_TRUE(StatusRecorder::take().empty()) << "a retried commit reports nothing";

  // A move or delete is sent once: the call fails and says so.
  drop("moveResource");
  JsonPtr moved = api::moveResource(folder + "/a.txt", folder + "/b.txt", false);
  EXPECT_EQ(tarvik::errorCode(moved), 1001);
  drop("removeResource");
  EXPECT_EQ(tarvik::errorCode(api::removeResource(folder + "/a.txt")), 1001);
  auto statuses = StatusRecorder::take();
  ASSERT_EQ(statuses.size(), 2u);
  for (const auto& s : statuses) {
    EXPECT_EQ(s.first, 1001);
    EXPECT_NE(s.second.find("Communication error has occurred.("), std::string::npos);
  }
  // The service never saw the move and the delete (the fault drops the
  // connection first), and neither was sent a second time behind the
  // caller's back; the repeated commit took place.
  JsonPtr listing = api::getEntries(folder);
  EXPECT_TRUE(hasEntry(listing, "a.txt"));
  EXPECT_FALSE(hasEntry(listing, "b.txt"));
  EXPECT_TRUE(hasEntry(listing, "c.txt"));
}

TEST_F(LocalServiceTest, CertificateSignInThroughTheCertificateHost) {
  const std::string pem = service->issueClientCert(service->demoCorp(), service->demoUser());
  PCCERT_CONTEXT cert = win32::CertCreateContextFromPemFile(pem);
  ASSERT_NE(cert, nullptr);
  tarvik_setCertificate(cert);
  ASSERT_EQ(tarvik_init(service->certUrl().c_str(), "en", false, &StatusRecorder::callback), 0);
  JsonPtr pkiInfo = api::getPKIInfo();
  ASSERT_FALSE(isErrorResult(pkiInfo)) << pkiInfo->serialize();
  EXPECT_EQ(pkiInfo->member("corpId")->text(), service->demoCorp());
  EXPECT_EQ(pkiInfo->member("userId")->text(), service->demoUser());
  EXPECT_TRUE(pkiInfo->member("requiredPassword")->isBool());
  signIn();
  EXPECT_FALSE(isErrorResult(api::getEntries(home)));
  tarvik_setCertificate(nullptr);
  CertFreeCertificateContext(cert);

  // Without the certificate the certificate host is closed to us.
  StatusRecorder::clear();
  EXPECT_TRUE(isErrorResult(api::getPKIInfo()));
  EXPECT_EQ(StatusRecorder::take().size(), 1u);
}

}  // namespace
