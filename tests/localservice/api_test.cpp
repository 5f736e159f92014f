// The web API over real HTTPS: sign-in, sessions, announcements, names,
// trash, locks, permissions, quota, certificates, bad requests, restart.
#include <sys/wait.h>

#include <thread>

#include "fixture.h"

using namespace lstest;
using tarvik_test::LocalService;

class Api : public ServiceTest {};

TEST_F(Api, SignInAndSessionErrors) {
  ApiClient c = client();
  Reply m = c.get("getErrorMessages");  // needs no session
  ASSERT_TRUE(m.result().is<picojson::array>());
  EXPECT_GE(m.result().get<picojson::array>().size(), 15u);

  EXPECT_EQ(c.post("pretestLogin", {{"corpId", "nope"}}).code(), 3);
  EXPECT_THROW(c.signIn("acme", "bob", "wrong"), std::runtime_error);
  // login without a pretestLogin array id is refused as well
  ApiClient raw = client();
  EXPECT_EQ(raw.post("login", {{"corpId", "acme"}, {"userId", "bob"}, {"password", "bob-pw"},
                               {"pki", "false"}}).code(), 3);
  EXPECT_EQ(raw.get("keepSession").code(), 1);
  raw.jsessionid = "forged";
  EXPECT_EQ(raw.get("getLoginUserInfo").code(), 1);

  ApiClient bob = as("bob");
  Reply k = bob.get("keepSession");
  EXPECT_FALSE(k.isError()) << k.body;
  Reply info = bob.get("getLoginUserInfo");
  EXPECT_EQ(info.result().get("userId").get<std::string>(), "bob");
  EXPECT_TRUE(info.result().get("contractCapacity").is<double>());
  EXPECT_TRUE(info.result().get("usage").is<double>());
  EXPECT_FALSE(bob.get("logout").isError());
  EXPECT_EQ(bob.get("keepSession").code(), 1);
}

TEST_F(Api, IdleTimeoutEndsTheSessionAndItsLocks) {
  ApiClient bob = as("bob");
  std::string f = "/bob/" + unique("timeout") + ".txt";
  ASSERT_FALSE(bob.putFile(f, "x").isError());
  ASSERT_FALSE(bob.post("lockResource", {{"path", f}, {"type", "2"}, {"processId", "1"}}).isError());
  svc().admin("/admin/sessionTimeout", R"({"seconds": 1})");
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_EQ(bob.get("keepSession").code(), 1);
  svc().admin("/admin/sessionTimeout", R"({"seconds": 1800})");
  // The lock went with the session: a new session may lock.
  ApiClient again = as("bob");
  EXPECT_FALSE(again.post("lockResource", {{"path", f}, {"type", "2"}, {"processId", "2"}}).isError());
}

TEST_F(Api, AnnouncementsAndReadMarks) {
  svc().admin("/admin/announcement", R"({"text": "Maintenance on Sunday", "modified": 5000000000000})");
  ApiClient bob = as("bob");
  Reply a = bob.post("getAnnouncement", {{"force", "false"}});
  EXPECT_EQ(a.result().get("announcement").get<std::string>(), "Maintenance on Sunday");
  EXPECT_EQ(a.result().get("modified").get<double>(), 5000000000000.0);  // beyond 32 bits
  EXPECT_FALSE(bob.get("markReadCurrentAnnouncement").isError());
  EXPECT_EQ(bob.post("getAnnouncement", {{"force", "false"}}).result().get("announcement")
                .get<std::string>(), "");
  EXPECT_EQ(bob.post("getAnnouncement", {{"force", "true"}}).result().get("announcement")
                .get<std::string>(), "Maintenance on Sunday");
  // another user has not read it; a new announcement is unread again
  EXPECT_EQ(as("alice").post("getAnnouncement", {{"force", "false"}}).result().get("announcement")
                .get<std::string>(), "Maintenance on Sunday");
  svc().admin("/admin/announcement", R"({"text": "New", "modified": 5000000000001})");
  EXPECT_EQ(bob.post("getAnnouncement", {{"force", "false"}}).result().get("announcement")
                .get<std::string>(), "New");
  EXPECT_EQ(bob.post("getAnnouncement", {{"force", "maybe"}}).code(), 8);
}

TEST_F(Api, FoldersListingAndDetails) {
  ApiClient bob = as("bob");
  std::string d = "/bob/" + unique("dir");
  EXPECT_FALSE(bob.post("makeDirectory", {{"path", d}, {"memo", ""}}).isError());
  EXPECT_EQ(bob.post("makeDirectory", {{"path", d}, {"memo", ""}}).code(), 51);
  EXPECT_EQ(bob.post("makeDirectory", {{"path", d + "/no/x"}, {"memo", ""}}).code(), 50);
  EXPECT_EQ(bob.post("makeDirectory", {{"path", "/bob"}, {"memo", ""}}).code(), 51);
  ASSERT_FALSE(bob.putFile(d + "/f.txt", "hello").isError());
  Reply l = bob.post("getEntries", {{"path", d}});
  ASSERT_TRUE(l.result().is<picojson::array>()) << l.body;
  ASSERT_EQ(l.result().get<picojson::array>().size(), 1u);
  const auto& e = l.result().get<picojson::array>()[0];
  EXPECT_EQ(e.get("name").get<std::string>(), "f.txt");
  EXPECT_EQ(e.get("kind").get<double>(), 1);
  EXPECT_EQ(e.get("size").get<double>(), 5);
  EXPECT_GT(e.get("mtime").get<double>(), 1.6e12);  // milliseconds
  Reply det = bob.post("getResourceDetail", {{"path", d}, {"lite", "true"}});
  EXPECT_EQ(det.result().get("kind").get<double>(), 3);
  EXPECT_GT(det.result().get("ctime").get<double>(), 1.6e12);
  EXPECT_EQ(bob.post("getResourceDetail", {{"path", d + "/none"}, {"lite", "true"}}).code(), 50);
  EXPECT_EQ(bob.post("getEntries", {{"path", d + "/f.txt"}}).code(), 8);
  EXPECT_EQ(bob.post("getEntries", {{"path", "/alice"}}).code(), 150);  // not bob's
  EXPECT_EQ(bob.post("removeResource", {{"path", "/bob"}}).code(), 152);
}

TEST_F(Api, TrashKeepsOriginalPathAndEmpties) {
  ApiClient bob = as("bob");
  std::string d = "/bob/" + unique("trash");
  bob.post("makeDirectory", {{"path", d}, {"memo", ""}});
  ASSERT_FALSE(bob.putFile(d + "/a.txt", "one").isError());
  ASSERT_FALSE(bob.post("moveToTrash", {{"path", d + "/a.txt"}}).isError());
  ASSERT_FALSE(bob.putFile(d + "/a.txt", "two").isError());
  ASSERT_FALSE(bob.post("moveToTrash", {{"path", d + "/a.txt"}}).isError());
  Reply t = bob.post("getEntries", {{"path", "/!bob"}});
  std::map<std::string, std::string> origin;
  for (const auto& e : t.result().get<picojson::array>())
    origin[e.get("name").get<std::string>()] = e.get("originalPath").to_str();
  ASSERT_TRUE(origin.count("a.txt"));
  ASSERT_TRUE(origin.count("a.txt (2)"));  // the second one did not overwrite the first
  EXPECT_EQ(origin["a.txt"], d + "/a.txt");
  EXPECT_EQ(bob.post("getResourceDetail", {{"path", "/!bob/a.txt"}, {"lite", "true"}})
                .result().get("originalPath").get<std::string>(), d + "/a.txt");
  // Restore: move back out of the trash; the origin is gone afterwards.
  ASSERT_FALSE(bob.post("moveResource", {{"srcPath", "/!bob/a.txt"}, {"dstPath", d + "/a.txt"},
                                         {"force", "true"}, {"overwrite", "false"}}).isError());
  EXPECT_EQ(bob.getFile(d + "/a.txt"), "one");
  EXPECT_TRUE(bob.post("getResourceDetail", {{"path", d + "/a.txt"}, {"lite", "true"}})
                  .result().get("originalPath").is<picojson::null>());
  EXPECT_EQ(bob.post("moveToTrash", {{"path", "/!bob/a.txt (2)"}}).code(), 8);
  EXPECT_FALSE(bob.get("emptyTrash").isError());
  EXPECT_TRUE(bob.post("getEntries", {{"path", "/!bob"}}).result().get<picojson::array>().empty());
  EXPECT_EQ(bob.post("moveToTrash", {{"path", "/!bob"}}).code(), 152);
}

TEST_F(Api, MoveOverwriteAndCopy) {
  ApiClient bob = as("bob");
  std::string d = "/bob/" + unique("move");
  bob.post("makeDirectory", {{"path", d}, {"memo", ""}});
  bob.putFile(d + "/a", "AAA");
  bob.putFile(d + "/b", "BB");
  auto move = [&](const std::string& s, const std::string& t, const char* ow) {
    return bob.post("moveResource", {{"srcPath", s}, {"dstPath", t}, {"force", "true"},
                                     {"overwrite", ow}});
  };
  EXPECT_EQ(move(d + "/a", d + "/b", "false").code(), 51);
  EXPECT_FALSE(move(d + "/a", d + "/b", "true").isError());
  EXPECT_EQ(bob.getFile(d + "/b"), "AAA");
  EXPECT_EQ(bob.post("getResourceDetail", {{"path", d + "/a"}, {"lite", "true"}}).code(), 50);
  EXPECT_EQ(move(d + "/missing", d + "/c", "false").code(), 50);
  EXPECT_EQ(move(d, d + "/inside", "false").code(), 8);
  EXPECT_EQ(move("/bob", d + "/x", "false").code(), 152);
  // copy of a folder tree
  bob.post("makeDirectory", {{"path", d + "/sub"}, {"memo", ""}});
  bob.putFile(d + "/sub/c", "CCCC");
  EXPECT_FALSE(bob.post("copyResource", {{"srcPath", d + "/sub"}, {"dstPath", d + "/sub2"}}).isError());
  EXPECT_EQ(bob.getFile(d + "/sub2/c"), "CCCC");
  EXPECT_EQ(bob.post("copyResource", {{"srcPath", d + "/sub"}, {"dstPath", d + "/sub2"}}).code(), 51);
  EXPECT_EQ(bob.post("copyResource", {{"srcPath", d + "/sub"}, {"dstPath", d + "/sub/x"}}).code(), 8);
  // folders move with their content
  EXPECT_FALSE(move(d + "/sub", d + "/moved", "false").isError());
  EXPECT_EQ(bob.getFile(d + "/moved/c"), "CCCC");
}

TEST_F(Api, LocksBetweenTwoSessions) {
  ApiClient a = as("bob"), b = as("bob");
  std::string d = "/bob/" + unique("lock");
  a.post("makeDirectory", {{"path", d}, {"memo", ""}});
  ASSERT_FALSE(a.putFile(d + "/f", "data").isError());
  auto lock = [&](ApiClient& c, const std::string& p) {
    return c.post("lockResource", {{"path", p}, {"type", "2"}, {"processId", "4242"}});
  };
  Reply l = lock(a, d + "/f");
  ASSERT_FALSE(l.isError()) << l.body;
  EXPECT_TRUE(l.result().get<bool>());
  EXPECT_FALSE(lock(a, d + "/f").isError());  // again by the holder
  EXPECT_EQ(lock(b, d + "/f").code(), 66);
  EXPECT_EQ(b.putFile(d + "/f", "other").code(), 66);
  EXPECT_EQ(b.post("removeResource", {{"path", d + "/f"}}).code(), 66);
  EXPECT_EQ(b.post("moveToTrash", {{"path", d}}).code(), 66);  // a folder holding a lock
  EXPECT_EQ(b.post("moveResource", {{"srcPath", d + "/f"}, {"dstPath", d + "/g"},
                                    {"force", "true"}, {"overwrite", "false"}}).code(), 66);
  EXPECT_EQ(b.post("unlockResource", {{"path", d + "/f"}}).code(), 999);
  EXPECT_EQ(b.getFile(d + "/f"), "data");  // reading is not refused
  // the holder may still write
  EXPECT_FALSE(a.putFile(d + "/f", "mine").isError());
  EXPECT_FALSE(a.post("unlockResource", {{"path", d + "/f"}}).isError());
  EXPECT_EQ(a.post("unlockResource", {{"path", d + "/f"}}).code(), 999);
  EXPECT_FALSE(lock(b, d + "/f").isError());
  EXPECT_EQ(lock(a, d + "/nothing").code(), 50);
  // locks end with the session
  EXPECT_FALSE(b.get("logout").isError());
  EXPECT_FALSE(lock(a, d + "/f").isError());
}

TEST_F(Api, ReadOnlySharedFolder) {
  ApiClient bob = as("bob"), alice = as("alice"), carol = client();
  carol.signIn("acme", "carol", "carol-pw");
  std::string d = "/Projects/" + unique("p");
  ASSERT_FALSE(bob.post("makeDirectory", {{"path", d}, {"memo", ""}}).isError());
  ASSERT_FALSE(bob.putFile(d + "/plan.txt", "plan").isError());

  Reply s = alice.get("getSharedEntries");
  ASSERT_EQ(s.result().get<picojson::array>().size(), 1u);
  EXPECT_EQ(s.result().get<picojson::array>()[0].get("path").get<std::string>(), "/Projects");
  auto perm = [&](ApiClient& c, const std::string& p, int op) {
    Reply r = c.post("checkPermission", {{"path", p}, {"op", std::to_string(op)}});
    return r.result().is<bool>() && r.result().get<bool>();
  };
  EXPECT_TRUE(perm(alice, d + "/plan.txt", 0));
  EXPECT_FALSE(perm(alice, d + "/plan.txt", 0x4));
  EXPECT_FALSE(perm(alice, d + "/new", 0x2));
  EXPECT_TRUE(perm(carol, d + "/new", 0x2));
  EXPECT_FALSE(perm(carol, "/Projects", 0x4));  // the shared folder itself stays
  EXPECT_FALSE(perm(alice, "/bob/x", 0));
  EXPECT_EQ(alice.post("checkPermission", {{"path", d}, {"op", "x"}}).code(), 8);

  EXPECT_EQ(alice.getFile(d + "/plan.txt"), "plan");
  EXPECT_EQ(alice.post("makeDirectory", {{"path", d + "/x"}, {"memo", ""}}).code(), 151);
  EXPECT_EQ(alice.post("pretestUploadFile", {{"path", d + "/y"}, {"force", "true"}}).code(), 151);
  EXPECT_EQ(alice.post("removeResource", {{"path", d + "/plan.txt"}}).code(), 151);
  EXPECT_EQ(alice.post("moveToTrash", {{"path", d + "/plan.txt"}}).code(), 151);
  EXPECT_EQ(alice.post("copyResource", {{"srcPath", "/alice"}, {"dstPath", d + "/z"}}).code(), 151);
  EXPECT_FALSE(carol.putFile(d + "/carol.txt", "c").isError());
  EXPECT_EQ(alice.post("getEntries", {{"path", "/bob"}}).code(), 150);
  // content of a shared folder counts for its owner, whoever wrote it
  std::string state = svc().admin("/admin/entry",
                                  "{\"corpId\":\"acme\",\"path\":\"" + d + "/carol.txt\"}");
  EXPECT_NE(state.find("\"owner\":\"bob\""), std::string::npos) << state;
}

TEST_F(Api, QuotaIsEnforcedAndUsageFollows) {
  ApiClient alice = as("alice");
  std::string d = "/alice/" + unique("q");
  alice.post("makeDirectory", {{"path", d}, {"memo", ""}});
  std::string big(200000, 'q');
  ASSERT_FALSE(alice.putFile(d + "/one", big).isError());
  double usage = alice.get("getLoginUserInfo").result().get("usage").get<double>();
  EXPECT_GE(usage, 200000);
  EXPECT_EQ(alice.get("getLoginUserInfo").result().get("contractCapacity").get<double>(), kAliceQuota);
  EXPECT_EQ(alice.putFile(d + "/two", big).code(), 77);
  EXPECT_EQ(alice.post("copyResource", {{"srcPath", d + "/one"}, {"dstPath", d + "/copy"}}).code(), 77);
  EXPECT_EQ(alice.get("getLoginUserInfo").result().get("usage").get<double>(), usage);
  // replacing a file counts only the difference
  EXPECT_FALSE(alice.putFile(d + "/one", std::string(250000, 'r')).isError());
  // trash still counts, emptying it frees the space
  alice.post("moveToTrash", {{"path", d + "/one"}});
  EXPECT_EQ(alice.putFile(d + "/two", big).code(), 77);
  alice.get("emptyTrash");
  EXPECT_FALSE(alice.putFile(d + "/two", big).isError());
  alice.post("removeResource", {{"path", d}});
  std::string u = svc().admin("/admin/usage", R"({"corpId":"acme","userId":"alice"})");
  EXPECT_NE(u.find("\"usage\":0"), std::string::npos) << u;
}

TEST_F(Api, BadRequestsGetErrors) {
  ApiClient bob = as("bob");
  EXPECT_EQ(bob.post("getEntries", {{"path", "/bob/../alice"}}).code(), 8);
  EXPECT_EQ(bob.post("getEntries", {{"path", std::string("/bob/a\0b", 8)}}).code(), 8);
  EXPECT_EQ(bob.post("getEntries", {{"path", "bob"}}).code(), 8);
  EXPECT_EQ(bob.post("getEntries", {}).code(), 8);                     // missing parameter
  EXPECT_EQ(bob.get("getEntries").code(), 8);                          // wrong form
  EXPECT_EQ(bob.post("uploadFile", {{"token", "t"}, {"blockIds", "[]"}}).code(), 8);
  EXPECT_EQ(bob.post("noSuchMethod", {}).code(), 9);
  Reply r = bob.post("moveResource", {{"srcPath", "/bob"}, {"dstPath", "/bob/x"},
                                      {"force", "true"}, {"overwrite", "sometimes"}});
  EXPECT_EQ(r.code(), 8);
  // a malformed percent escape in the body
  EXPECT_EQ(bob.raw("getEntries", "path=%2Fbob%zz").code(), 8);
  EXPECT_EQ(bob.raw("getEntries", "path=%2Fbob%2").code(), 8);
  EXPECT_FALSE(bob.raw("getEntries", "path=%2Fbob").isError());
  // an oversized URL-encoded body is refused and the service keeps working
  Reply huge = bob.post("getEntries", {{"path", std::string(2 * 1024 * 1024, 'a')}});
  EXPECT_TRUE(huge.isError() || huge.status != 200);
  EXPECT_FALSE(bob.get("keepSession").isError());
  // an oversized multipart upload is refused
  std::string tooBig(8 * 1024 * 1024 + 1, 'x');
  Reply t = bob.post("pretestUploadFile", {{"path", "/bob/big"}, {"force", "true"}});
  Reply up = bob.multipart("uploadBlock", {{"token", t.result().to_str()},
                                           {"blockId", blockIdOf(tooBig)}}, &tooBig);
  EXPECT_TRUE(up.isError() || up.status != 200);
  EXPECT_FALSE(bob.get("keepSession").isError());
}

TEST_F(Api, ClientCertificateSignIn) {
  std::string pem = svc().issueClientCert("acme", "bob");
  ApiClient certBob(svc().certUrl(), svc().caFile(), pem);
  Reply p = certBob.get("getPKIInfo");
  ASSERT_FALSE(p.isError()) << p.body;
  EXPECT_EQ(p.result().get("corpId").get<std::string>(), "acme");
  EXPECT_EQ(p.result().get("userId").get<std::string>(), "bob");
  EXPECT_FALSE(p.result().get("requiredPassword").get<bool>());
  certBob.signIn("acme", "bob", "", true);  // no password needed with the certificate
  EXPECT_FALSE(certBob.get("keepSession").isError());
  // the certificate must name the user who signs in
  EXPECT_THROW(certBob.signIn("acme", "alice", "alice-pw", true), std::runtime_error);

  // carol needs her password as well
  ApiClient certCarol(svc().certUrl(), svc().caFile(), svc().issueClientCert("acme", "carol"));
  EXPECT_TRUE(certCarol.get("getPKIInfo").result().get("requiredPassword").get<bool>());
  EXPECT_THROW(certCarol.signIn("acme", "carol", "", true), std::runtime_error);
  certCarol.signIn("acme", "carol", "carol-pw", true);

  // The plain host answers a certificate question with the certificate marker page.
  ApiClient plain = client();
  Reply page = plain.get("getPKIInfo");
  EXPECT_NE(page.body.find("Zr8kWc3NfVb_0QxLpYt2HdMs9JeUgA4R"), std::string::npos);
  // The certificate host refuses a connection without a certificate.
  ApiClient noCert(svc().certUrl(), svc().caFile());
  EXPECT_NE(noCert.get("getErrorMessages").curlCode, 0);
}

TEST(ApiRestart, MetadataAndBlocksSurviveARestart) {
  curl_global_init(CURL_GLOBAL_ALL);
  auto svc = LocalService::start();
  std::string content(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + 3);
  {
    ApiClient c(svc->url(), svc->caFile());
    c.signIn(svc->demoCorp(), svc->demoUser(), svc->demoPassword());
    ASSERT_FALSE(c.post("makeDirectory", {{"path", "/demo/kept"}, {"memo", ""}}).isError());
    ASSERT_FALSE(c.putFile("/demo/kept/data.bin", content).isError());
    c.post("moveToTrash", {{"path", "/demo/Welcome.txt"}});
  }
  std::string password = svc->demoPassword();
  svc->restart();
  // SIGTERM ended the first process cleanly.
  EXPECT_TRUE(WIFEXITED(svc->lastExitStatus()) && WEXITSTATUS(svc->lastExitStatus()) == 0);
  EXPECT_EQ(svc->demoPassword(), password);
  ApiClient c(svc->url(), svc->caFile());
  c.signIn(svc->demoCorp(), svc->demoUser(), svc->demoPassword());
  EXPECT_EQ(c.getFile("/demo/kept/data.bin"), content);
  Reply t = c.post("getResourceDetail", {{"path", "/!demo/Welcome.txt"}, {"lite", "true"}});
  EXPECT_EQ(t.result().get("originalPath").get<std::string>(), "/demo/Welcome.txt");
  // demo content is not created twice
  Reply home = c.post("getEntries", {{"path", "/demo"}});
  for (const auto& e : home.result().get<picojson::array>())
    EXPECT_NE(e.get("name").get<std::string>(), "Welcome.txt");
}

// A restart is an outage as clients see it: signed-in sessions go on
// afterwards, and a session that signed out stays out.
TEST(ApiRestart, SessionsSurviveARestartLogoutStaysFinal) {
  curl_global_init(CURL_GLOBAL_ALL);
  auto svc = LocalService::start();
  ApiClient kept(svc->url(), svc->caFile());
  kept.signIn(svc->demoCorp(), svc->demoUser(), svc->demoPassword());
  ApiClient gone(svc->url(), svc->caFile());
  gone.signIn(svc->demoCorp(), svc->demoUser(), svc->demoPassword());
  ASSERT_FALSE(gone.get("logout").isError());
  svc->restart();
  EXPECT_FALSE(kept.post("getEntries", {{"path", "/demo"}}).isError());
  EXPECT_FALSE(kept.get("keepSession").isError());
  EXPECT_EQ(gone.get("keepSession").code(), 1);
  ASSERT_FALSE(kept.get("logout").isError());
  svc->restart();
  EXPECT_EQ(kept.get("keepSession").code(), 1);
}
