// The browse page and send keys over HTTPS: who may issue a key for what,
// and that a key downloads the whole file without sign-in until it expires.
#include "fixture.h"

using namespace lstest;

namespace {

class Browse : public ServiceTest {
 protected:
  std::unique_ptr<httplib::SSLClient> client() {
    auto cli = std::make_unique<httplib::SSLClient>("127.0.0.1", svc().port());
    cli->set_ca_cert_path(svc().caFile().c_str());
    return cli;
  }
  // POST v2/sendKey as `who`; the parsed answer.
  picojson::value issue(const ApiClient& who, const std::string& path, const std::string& extra = "") {
    auto cli = client();
    std::string body = "jsessionid=" + who.jsessionid + "&arrayid=" + who.arrayid + "&path=" +
                       httplib::detail::encode_query_param(path) + extra;
    auto r = cli->Post("/v2/sendKey", body, "application/x-www-form-urlencoded");
    EXPECT_TRUE(r);
    picojson::value v;
    if (r) picojson::parse(v, r->body);
    return v;
  }
  static int errorCode(const picojson::value& v) {
    return v.get("error").is<picojson::object>() ? static_cast<int>(v.get("error").get("code").get<double>()) : 0;
  }
  // The path part of a key's download URL.
  static std::string downloadPath(const picojson::value& v) {
    std::string url = v.get("result").get("url").get<std::string>();
    return url.substr(url.find("/v2/download/"));
  }
};

TEST_F(Browse, PageNeedsALiveSessionOfItsArray) {
  ApiClient bob = as("bob");
  auto cli = client();
  auto ok = cli->Get(("/v2/browse?arrayid=" + bob.arrayid + "&jsessionid=" + bob.jsessionid).c_str());
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  EXPECT_NE(ok->body.find("window.name"), std::string::npos);
  EXPECT_NE(ok->body.find("sendKey"), std::string::npos);
  auto none = cli->Get("/v2/browse?arrayid=x&jsessionid=nosuchsession");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->status, 403);
  ApiClient alice = as("alice");
  auto mixed = cli->Get(("/v2/browse?arrayid=" + alice.arrayid + "&jsessionid=" + bob.jsessionid).c_str());
  ASSERT_TRUE(mixed);
  EXPECT_EQ(mixed->status, 403);
}

TEST_F(Browse, KeyDownloadsAMultiBlockFileWithoutSignInUntilItExpires) {
  ApiClient bob = as("bob");
  // Past one 8 MiB block, so the download crosses a block boundary.
  std::string content(8 * 1024 * 1024 + 4321, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131) >> 7);
  std::string path = "/bob/" + unique("report") + " ü.bin";
  ASSERT_FALSE(bob.putFile(path, content).isError());

  picojson::value key = issue(bob, path);
  ASSERT_EQ(errorCode(key), 0) << key.serialize();
  EXPECT_GT(key.get("result").get("expires").get<double>(), 0);
  auto cli = client();
  auto got = cli->Get(downloadPath(key).c_str());
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, 200);
  EXPECT_EQ(got->body.size(), content.size());
  EXPECT_TRUE(got->body == content);
  // The client library percent-decodes header values as it reads them.
  EXPECT_NE(got->get_header_value("Content-Disposition").find("filename*=UTF-8''report"), std::string::npos);
  EXPECT_NE(got->get_header_value("Content-Disposition").find(" ü.bin"), std::string::npos);

  // The key lives on after the session ends, and not after it expires.
  ASSERT_FALSE(bob.get("logout").isError());
  got = cli->Get(downloadPath(key).c_str());
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, 200);
  svc().admin("/admin/expireSendKeys", "{}");
  got = cli->Get(downloadPath(key).c_str());
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, 404);
  EXPECT_EQ(cli->Get("/v2/download/00ff")->status, 404);
}

TEST_F(Browse, KeysOnlyForReadableFilesOfTheSession) {
  ApiClient bob = as("bob");
  ApiClient alice = as("alice");
  std::string mine = "/bob/" + unique("mine") + ".txt";
  ASSERT_FALSE(bob.putFile(mine, "bob's").isError());
  ASSERT_FALSE(bob.post("makeDirectory", {{"path", "/bob/" + unique("folder")}}).isError());

  EXPECT_EQ(errorCode(issue(alice, mine)), 150);             // another user's home
  EXPECT_EQ(errorCode(issue(bob, "/bob/no-such.txt")), 50);  // absent
  EXPECT_EQ(errorCode(issue(bob, "/bob")), 8);               // a folder
  EXPECT_EQ(errorCode(issue(bob, "bob/relative")), 8);       // not a service path
  EXPECT_EQ(errorCode(issue(bob, mine, "&validSeconds=0")), 8);
  EXPECT_EQ(errorCode(issue(bob, mine, "&validSeconds=soon")), 8);
  ApiClient gone = as("bob");
  ASSERT_FALSE(gone.get("logout").isError());
  EXPECT_EQ(errorCode(issue(gone, mine)), 1);  // the session has ended

  // A file of a share the user may read.
  std::string shared = "/Projects/" + unique("plan") + ".txt";
  ASSERT_FALSE(bob.putFile(shared, "plan").isError());
  picojson::value key = issue(alice, shared, "&validSeconds=60");
  ASSERT_EQ(errorCode(key), 0) << key.serialize();
  auto got = client()->Get(downloadPath(key).c_str());
  ASSERT_TRUE(got);
  EXPECT_EQ(got->body, "plan");
}

}  // namespace
