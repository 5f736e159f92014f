// SAML sign-in on the local service: the identity provider on its own host,
// the web application, the assertion consumer's checks, the two SAML
// methods, the admin requests, and the help and password-reset pages.
#include <filesystem>
#include <regex>

#include "fixture.h"
#include "config.h"
#include "saml.h"
#include "util.h"

using namespace lstest;

namespace {

// One HTTPS host as a browser sees it: the service's CA trusted, the host
// name checked, the service's session cookie kept.
struct Host {
  Host(const std::string& base, const std::string& ca) {
    std::smatch m;
    std::regex_search(base, m, std::regex("https://([^:/]+):([0-9]+)/"));
    cli = std::make_unique<httplib::SSLClient>(m[1].str(), std::stoi(m[2].str()));
    cli->set_ca_cert_path(ca.c_str());
    cli->enable_server_certificate_verification(true);
  }
  httplib::Result get(const std::string& path) { return cli->Get(path.c_str(), headers()); }
  httplib::Result post(const std::string& path, const httplib::Params& form) {
    auto r = cli->Post(path.c_str(), headers(), form);
    if (r) {
      std::string c = r->get_header_value("Set-Cookie");
      if (c.rfind("session=", 0) == 0) cookie = c.substr(0, c.find(';'));
    }
    return r;
  }
  httplib::Headers headers() const {
    return cookie.empty() ? httplib::Headers{} : httplib::Headers{{"Cookie", cookie}};
  }
  std::unique_ptr<httplib::SSLClient> cli;
  std::string cookie;
};

std::string pathOf(const std::string& url) {
  auto p = url.find('/', url.find("//") + 2);
  return url.substr(p);
}

// The path a redirect of a saml/ page leads to ("../browse#c", "error?notice=..").
std::string follow(const std::string& location) {
  std::string path = location.rfind("../", 0) == 0 ? "/" + location.substr(3) : "/saml/" + location;
  return path.substr(0, path.find('#'));
}

std::string hidden(const std::string& html, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(html, m, std::regex("name=\"" + name + "\" value=\"([^\"]*)\""))) return "";
  return m[1].str();
}

std::string jsValue(const std::string& html, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(html, m, std::regex(name + ": \"([^\"]*)\""))) return "";
  return m[1].str();
}

class Saml : public ServiceTest {
 protected:
  Saml() : web(svc().url(), svc().caFile()), idp(svc().value("idp-url"), svc().caFile()) {}

  // Starts the company's sign-in in the web application and follows it to
  // the provider's form; returns the form page.
  std::string openProviderForm(const std::string& corp) {
    auto start = web.get("/saml/start?corpId=" + corp);
    EXPECT_EQ(start->status, 302);
    std::string location = start->get_header_value("Location");
    EXPECT_EQ(location.rfind(svc().value("idp-url") + "idp/sso?", 0), 0u) << location;
    auto form = idp.get(pathOf(location));
    EXPECT_EQ(form->status, 200);
    return form->body;
  }

  // Signs in at the provider; returns the SAMLResponse it hands the browser.
  std::string providerAssertion(const std::string& corp, const std::string& user,
                                const std::string& password) {
    std::string form = openProviderForm(corp);
    auto done = idp.post("/idp/login", {{"SAMLRequest", hidden(form, "SAMLRequest")},
                                        {"RelayState", hidden(form, "RelayState")},
                                        {"username", user},
                                        {"password", password}});
    EXPECT_NE(done->body.find("action=\"" + svc().url() + "saml/acs\""), std::string::npos) << done->body;
    return hidden(done->body, "SAMLResponse");
  }

  // Posts an assertion to the consumer; returns the browse page it leads to.
  std::string consume(const std::string& assertion, const std::string& corp) {
    auto r = web.post("/saml/acs", {{"SAMLResponse", assertion}, {"RelayState", corp}});
    EXPECT_EQ(r->status, 302);
    auto page = web.get(follow(r->get_header_value("Location")));
    EXPECT_EQ(page->status, 200);
    return page->body;
  }

  Host web, idp;
};

TEST_F(Saml, SignInThroughTheProviderGivesAWorkingSessionAndLogoutEndsIt) {
  const std::string corp = svc().value("demo-saml-corp");
  const std::string user = svc().value("demo-saml-idp-user");
  const std::string password = svc().value("demo-saml-idp-password");
  ASSERT_EQ(corp, "demo-saml");

  auto info = web.get("/api/getSAMLLoginInfo?corpId=" + corp + "&_client=qwo&_version=1");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->body, "{\"result\":{\"enabled\":true,\"idpUrl\":\"https:\\/\\/127.0.0.2:" +
                            std::to_string(svc().port()) + "\\/idp\\/sso?corpId=demo-saml\"}}");

  // Signed out, the page script sends the browser on to the company's provider.
  auto out = web.get("/browse");
  EXPECT_NE(out->body.find("location.replace('saml/start?corpId='"), std::string::npos);
  EXPECT_EQ(out->body.find("var API"), std::string::npos);

  // A wrong password stays at the provider.
  std::string form = openProviderForm(corp);
  auto wrong = idp.post("/idp/login", {{"SAMLRequest", hidden(form, "SAMLRequest")},
                                       {"RelayState", corp}, {"username", user},
                                       {"password", password + "x"}});
  EXPECT_NE(wrong->body.find("Wrong user ID or password."), std::string::npos);
  EXPECT_EQ(hidden(wrong->body, "SAMLResponse"), "");

  std::string assertion = providerAssertion(corp, user, password);
  ASSERT_FALSE(assertion.empty());
  auto signedIn = web.post("/saml/acs", {{"SAMLResponse", assertion}, {"RelayState", corp}});
  EXPECT_EQ(signedIn->get_header_value("Location"), "../browse#" + corp);
  std::string page = web.get(follow(signedIn->get_header_value("Location")))->body;
  std::string jsessionid = jsValue(page, "jsessionid"), arrayid = jsValue(page, "arrayid");
  ASSERT_FALSE(jsessionid.empty()) << page;
  EXPECT_FALSE(arrayid.empty());
  EXPECT_EQ(jsValue(page, "userId"), user);
  EXPECT_NE(page.find("Welcome.txt"), std::string::npos);
  EXPECT_EQ(web.cookie, "session=" + jsessionid);

  // The page's session is a session of the web API.
  ApiClient api = client();
  api.jsessionid = jsessionid;
  api.arrayid = arrayid;
  Reply who = api.get("getLoginUserInfo");
  ASSERT_FALSE(who.isError()) << who.body;
  EXPECT_EQ(who.result().get("corpId").to_str(), corp);
  EXPECT_EQ(who.result().get("userId").to_str(), user);

  // The same assertion a second time creates nothing.
  Host other(svc().url(), svc().caFile());
  auto replay = other.post("/saml/acs", {{"SAMLResponse", assertion}, {"RelayState", corp}});
  EXPECT_EQ(other.cookie, "");
  EXPECT_EQ(replay->get_header_value("Location").rfind("error?notice=", 0), 0u);
  auto refused = other.get(follow(replay->get_header_value("Location")));
  EXPECT_NE(refused->body.find("the assertion was already used."), std::string::npos);

  // Logout: another company's ID is refused and ends nothing; then the
  // session ends and the provider's logout page is named.
  auto wrongCorp = web.get("/api/logoutWithSAML?corpId=demo&jsessionid=" + jsessionid + "&arrayid=" + arrayid);
  EXPECT_NE(wrongCorp->body.find("\"code\":8"), std::string::npos);
  EXPECT_FALSE(api.get("keepSession").isError());
  auto logout = web.get("/api/logoutWithSAML?corpId=" + corp + "&jsessionid=" + jsessionid + "&arrayid=" + arrayid);
  EXPECT_NE(logout->body.find("\"idpUrl\":\"https:\\/\\/127.0.0.2:"), std::string::npos) << logout->body;
  EXPECT_NE(logout->body.find("\\/idp\\/logout\""), std::string::npos);
  EXPECT_EQ(api.get("keepSession").code(), 1);
  EXPECT_EQ(web.get("/browse")->body.find("var API"), std::string::npos);
  auto bye = idp.get("/idp/logout");
  EXPECT_NE(bye->body.find("You have been signed out."), std::string::npos);
}

TEST_F(Saml, RefusedSignInsShowInTheMessageBoxAndCreateNoSession) {
  // Queued by the administrator, used by the next sign-in only; the text is
  // shown as text, never as markup.
  svc().admin("/admin/samlRefuse",
              R"({"corpId": "acme", "message": "Locked by the administrator </script><b>"})");
  std::string page = consume(providerAssertion("acme", "alice", "alice-idp"), "acme");
  EXPECT_NE(page.find("Ext.Msg.alert('Error', \"Locked by the administrator \\u003c\\/script\\u003e\\u003cb\\u003e\")"),
            std::string::npos) << page;
  EXPECT_NE(page.find("class=\"ext-mb-text\""), std::string::npos);
  EXPECT_EQ(page.find("var API"), std::string::npos);
  EXPECT_EQ(web.cookie, "");

  // A provider user without a service account.
  page = consume(providerAssertion("acme", "zed", "zed-idp"), "acme");
  EXPECT_NE(page.find("has no account in this service"), std::string::npos);
  EXPECT_EQ(web.cookie, "");

  // A changed assertion fails its signature.
  std::string a = providerAssertion("acme", "alice", "alice-idp");
  a[3] = a[3] == 'A' ? 'B' : 'A';
  EXPECT_NE(consume(a, "acme").find("signature is not valid"), std::string::npos);

  // The refusal was used up: the next sign-in succeeds.
  page = consume(providerAssertion("acme", "alice", "alice-idp"), "acme");
  EXPECT_EQ(jsValue(page, "userId"), "alice") << page;
}

TEST_F(Saml, LoginInfoLogoutAndAdminSwitch) {
  auto info = [&](const std::string& corp) { return web.get("/api/getSAMLLoginInfo?corpId=" + corp)->body; };
  EXPECT_EQ(info("demo"), R"({"result":{"enabled":false,"idpUrl":""}})");
  EXPECT_EQ(info("nope"), R"({"error":{"args":["nope","unknown corporate ID"],"code":160}})");
  EXPECT_EQ(web.get("/api/getSAMLLoginInfo")->body, R"({"error":{"args":["corpId"],"code":8}})");

  // The message table words code 160 with both arguments.
  Reply table = client().get("getErrorMessages");
  bool found = false;
  for (const auto& m : table.result().get<picojson::array>())
    if (m.get("code").get<double>() == 160) {
      found = true;
      EXPECT_NE(m.get("en").to_str().find("{0}"), std::string::npos);
      EXPECT_NE(m.get("en").to_str().find("{1}"), std::string::npos);
    }
  EXPECT_TRUE(found);

  // A provider without single logout: an empty logout URL; the session ends.
  ApiClient bob = as("bob");
  auto out = web.get("/api/logoutWithSAML?corpId=acme&jsessionid=" + bob.jsessionid + "&arrayid=" + bob.arrayid);
  EXPECT_EQ(out->body, R"({"result":{"idpUrl":""}})");
  EXPECT_EQ(bob.get("keepSession").code(), 1);

  // Switched off: the answer says so and the web application will not start a sign-in.
  svc().admin("/admin/saml", R"({"corpId": "acme", "enabled": false})");
  EXPECT_NE(info("acme").find("\"enabled\":false"), std::string::npos);
  auto start = web.get("/saml/start?corpId=acme");
  auto page = web.get(follow(start->get_header_value("Location")));
  EXPECT_NE(page->body.find("SAML sign-in is not enabled for the corporate ID \\\"acme\\\"."), std::string::npos)
      << page->body;
  svc().admin("/admin/saml", R"({"corpId": "acme", "enabled": true})");
  EXPECT_NE(info("acme").find("\"enabled\":true"), std::string::npos);
  EXPECT_THROW(svc().admin("/admin/saml", R"({"corpId": "demo", "enabled": true})"), std::runtime_error);
  EXPECT_THROW(svc().admin("/admin/samlRefuse", R"({"corpId": "acme"})"), std::runtime_error);
}

TEST_F(Saml, HelpAndPasswordResetPages) {
  auto ja = web.get("/help/qwo/ja/");
  EXPECT_EQ(ja->status, 200);
  EXPECT_NE(ja->body.find("ヘルプ"), std::string::npos);
  EXPECT_EQ(web.get("/help/qwo/en/")->status, 200);
  EXPECT_EQ(web.get("/help/qwo/fr/")->status, 404);
  EXPECT_NE(web.get("/request_reset")->body.find("name=\"corpId\""), std::string::npos);
  EXPECT_EQ(web.post("/request_reset", {{"corpId", "acme"}})->status, 400);
  // The same answer for an account that exists and one that does not.
  auto known = web.post("/request_reset", {{"corpId", "acme"}, {"userId", "bob"}});
  auto unknown = web.post("/request_reset", {{"corpId", "acme"}, {"userId", "nobody"}});
  EXPECT_EQ(known->status, 200);
  EXPECT_EQ(known->body, unknown->body);
}

// The consumer's checks, in process, with the clock given.
TEST(SamlConsumer, ChecksSignatureAudienceRecipientTimeAndRequest) {
  namespace fs = std::filesystem;
  std::string dir = fs::temp_directory_path() / ("saml-units-" + std::to_string(::getpid()));
  ambermoor::SamlCompany acme;
  acme.corpId = "acme";
  acme.idpUsers["alice"] = "pw";
  ambermoor::SamlCompany other = acme;
  other.corpId = "other";
  const std::string svcUrl = "https://127.0.0.1:1/", idpUrl = "https://127.0.0.2:1/";
  ambermoor::SamlSite site({acme, other}, dir);
  site.setUrls(svcUrl, idpUrl);
  // The same provider key, but another service or another provider address.
  ambermoor::SamlSite elsewhere({acme}, dir), otherIdp({acme}, dir);
  elsewhere.setUrls("https://127.0.0.1:2/", idpUrl);
  otherIdp.setUrls(svcUrl, "https://127.0.0.3:1/");

  const std::int64_t now = ambermoor::nowMs();
  auto request = [&](const std::string& corp) { return *ambermoor::SamlSite::decodeRequest(site.newRequest(corp)); };
  auto refusal = [&](const std::string& response, std::int64_t at) {
    auto v = site.consume(response, at);
    EXPECT_FALSE(v.ok);
    return v.message;
  };
  EXPECT_FALSE(site.checkPassword("acme", "alice", "p"));
  EXPECT_FALSE(site.checkPassword("acme", "bob", "pw"));
  EXPECT_TRUE(site.checkPassword("acme", "alice", "pw"));

  EXPECT_NE(refusal(elsewhere.issueAssertion(request("acme"), "alice", now), now).find("another service"), std::string::npos);
  EXPECT_NE(refusal(otherIdp.issueAssertion(request("acme"), "alice", now), now).find("unknown issuer"), std::string::npos);
  auto late = site.issueAssertion(request("acme"), "alice", now);
  EXPECT_NE(refusal(late, now + ambermoor::SamlSite::kAssertionLifetimeMs).find("expired"), std::string::npos);
  auto early = site.issueAssertion(request("acme"), "alice", now + 2 * ambermoor::SamlSite::kClockSkewMs);
  EXPECT_NE(refusal(early, now).find("not valid yet"), std::string::npos);
  ambermoor::SamlRequest forged{"req-forged", svcUrl, "acme"};
  EXPECT_NE(refusal(site.issueAssertion(forged, "alice", now), now).find("answers no sign-in"), std::string::npos);
  ambermoor::SamlRequest swapped = request("acme");
  swapped.corpId = "other";
  EXPECT_NE(refusal(site.issueAssertion(swapped, "alice", now), now).find("another company"), std::string::npos);
  const std::int64_t slow = now + ambermoor::SamlSite::kRequestLifetimeMs + 1000;
  EXPECT_NE(refusal(site.issueAssertion(request("acme"), "alice", slow), slow).find("too long"), std::string::npos);
  EXPECT_NE(refusal("not-an-assertion", now).find("malformed"), std::string::npos);

  auto ok = site.consume(site.issueAssertion(request("acme"), "alice", now), now + 1000);
  EXPECT_TRUE(ok.ok) << ok.message;
  EXPECT_EQ(ok.corpId, "acme");
  EXPECT_EQ(ok.userId, "alice");
  fs::remove_all(dir);
}

}  // namespace

namespace {

TEST(SamlConfig, CompanySettingsAreCheckedAtStart) {
  auto parse = [](const std::string& saml) {
    return ambermoor::parseConfigText(R"({"companies": [{"corpId": "acme", "users": [], "saml": )" + saml + "}]}");
  };
  auto cfg = parse(R"({"singleLogout": false, "idpUrl": "https://idp.example/",
                       "idpUsers": [{"userId": "alice", "password": "pw"}]})");
  ASSERT_EQ(cfg.saml.size(), 1u);
  EXPECT_TRUE(cfg.saml[0].enabled);
  EXPECT_FALSE(cfg.saml[0].singleLogout);
  EXPECT_EQ(cfg.saml[0].idpUrl, "https://idp.example/");
  EXPECT_EQ(cfg.saml[0].idpUsers.at("alice"), "pw");
  EXPECT_THROW(parse(R"("yes")"), std::invalid_argument);
  EXPECT_THROW(parse(R"({"enabled": "yes"})"), std::invalid_argument);
  EXPECT_THROW(parse(R"({"idpUrl": "http://idp.example/"})"), std::invalid_argument);
  EXPECT_THROW(parse(R"({"idpUrl": "https://idp.example"})"), std::invalid_argument);
  EXPECT_THROW(parse(R"({"idpUsers": [{"userId": "a/b", "password": "pw"}]})"), std::invalid_argument);
  EXPECT_THROW(parse(R"({"idpUsers": [{"userId": "alice"}]})"), std::invalid_argument);
}

}  // namespace
