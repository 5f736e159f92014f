// Fault injection and the other admin requests, each proved over HTTPS.
#include <chrono>

#include "fixture.h"

using namespace lstest;

class Faults : public ServiceTest {};

TEST_F(Faults, AdminNeedsTheToken) {
  httplib::SSLClient cli("127.0.0.1", svc().port());
  cli.set_ca_cert_path(svc().caFile().c_str());
  auto none = cli.Post("/admin/reset", "{}", "application/json");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->status, 403);
  auto wrong = cli.Post("/admin/fault", httplib::Headers{{"X-Admin-Token", "0000"}},
                        R"({"kind":"http500"})", "application/json");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 403);
  EXPECT_FALSE(as("bob").get("keepSession").isError());  // nothing was queued
  EXPECT_THROW(svc().admin("/admin/fault", R"({"kind":"nonsense"})"), std::runtime_error);
  EXPECT_THROW(svc().admin("/admin/nothing", "{}"), std::runtime_error);
  // The certificate host has no admin endpoint.
}

TEST_F(Faults, Http500ForTheNextNCalls) {
  ApiClient bob = as("bob");
  svc().admin("/admin/fault", R"({"kind":"http500","count":3})");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(bob.get("keepSession").status, 500);
  EXPECT_EQ(bob.get("keepSession").status, 200);
}

TEST_F(Faults, MarkerPages) {
  ApiClient bob = as("bob");
  svc().admin("/admin/fault", R"({"kind":"maintenance","count":1})");
  Reply m = bob.get("keepSession");
  EXPECT_NE(m.body.find("Hv5nTq-1CkXw7PzRb3LmYs8GdFa2JeQo"), std::string::npos);
  EXPECT_NE(m.body[0], '{');  // not JSON, so the client looks for markers
  svc().admin("/admin/fault", R"({"kind":"certificate","count":1,"status":403})");
  Reply c = bob.get("keepSession");
  EXPECT_EQ(c.status, 403);
  EXPECT_NE(c.body.find("Zr8kWc3NfVb_0QxLpYt2HdMs9JeUgA4R"), std::string::npos);
  EXPECT_FALSE(bob.get("keepSession").isError());
}

TEST_F(Faults, DelayAndDrop) {
  ApiClient bob = as("bob");
  svc().admin("/admin/fault", R"({"kind":"delay","ms":1200,"count":1})");
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(bob.get("keepSession").isError());
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1150));
  svc().admin("/admin/fault", R"({"kind":"drop","count":1})");
  Reply d = bob.get("keepSession");
  EXPECT_NE(d.curlCode, 0);  // no answer at all
  EXPECT_EQ(d.status, 0);
  EXPECT_FALSE(bob.get("keepSession").isError());
}

TEST_F(Faults, CorruptBlockKeepsLengthButChangesContent) {
  ApiClient c = demo();
  std::string data(100000, 'z');
  ASSERT_FALSE(c.putFile("/demo/corrupt-me", data).isError());
  std::string token = c.post("pretestDownloadFile", {{"path", "/demo/corrupt-me"}})
                          .result().get("token").get<std::string>();
  svc().admin("/admin/fault", R"({"kind":"corruptBlock","count":1})");
  EXPECT_FALSE(c.get("keepSession").isError());  // other methods are not touched
  Reply bad = c.post("downloadBlock", {{"token", token}, {"blockId", blockIdOf(data)}});
  EXPECT_EQ(bad.status, 200);
  EXPECT_EQ(bad.body.size(), data.size());
  EXPECT_NE(blockIdOf(bad.body), blockIdOf(data));
  Reply good = c.post("downloadBlock", {{"token", token}, {"blockId", blockIdOf(data)}});
  EXPECT_EQ(good.body, data);
}

TEST_F(Faults, ChosenErrorForAChosenMethod) {
  ApiClient bob = as("bob");
  svc().admin("/admin/fault",
              R"({"kind":"error","method":"getResourceDetail","code":66,"args":["x"],"count":2})");
  EXPECT_FALSE(bob.get("keepSession").isError());
  Reply e = bob.post("getResourceDetail", {{"path", "/bob"}, {"lite", "true"}});
  EXPECT_EQ(e.code(), 66);
  EXPECT_EQ(e.json.get("error").get("args").get<picojson::array>()[0].get<std::string>(), "x");
  EXPECT_EQ(bob.post("getResourceDetail", {{"path", "/bob"}, {"lite", "true"}}).code(), 66);
  EXPECT_FALSE(bob.post("getResourceDetail", {{"path", "/bob"}, {"lite", "true"}}).isError());
  // Any fault can target a method; reset drops what is queued.
  svc().admin("/admin/fault", R"({"kind":"http500","method":"getEntries","count":5})");
  EXPECT_EQ(bob.get("keepSession").status, 200);
  EXPECT_EQ(bob.post("getEntries", {{"path", "/bob"}}).status, 500);
  svc().admin("/admin/reset", "{}");
  EXPECT_EQ(bob.post("getEntries", {{"path", "/bob"}}).status, 200);
}

TEST_F(Faults, ExpireSessionAndInspect) {
  ApiClient bob = as("bob"), other = as("bob");
  svc().admin("/admin/expireSession", "{\"jsessionid\":\"" + bob.jsessionid + "\"}");
  EXPECT_EQ(bob.get("keepSession").code(), 1);
  EXPECT_FALSE(other.get("keepSession").isError());
  EXPECT_THROW(svc().admin("/admin/expireSession", R"({"jsessionid":"none"})"), std::runtime_error);
  svc().admin("/admin/expireSession", R"({"all":true})");
  EXPECT_EQ(other.get("keepSession").code(), 1);
  std::string missing = svc().admin("/admin/entry", R"({"corpId":"acme","path":"/bob/none"})");
  EXPECT_EQ(missing, "{\"entry\":null}");
  std::string root = svc().admin("/admin/entry", R"({"corpId":"acme","path":"/bob"})");
  EXPECT_NE(root.find("\"kind\":3"), std::string::npos) << root;
  EXPECT_THROW(svc().admin("/admin/sessionTimeout", R"({"seconds":0})"), std::runtime_error);
}
