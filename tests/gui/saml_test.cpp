// SAML sign-in in the embedded browser against the local service and its
// identity provider on 127.0.0.2: the whole sign-in down to a mounted drive,
// logout with and without the provider's logout page, a company without
// SAML, a refusal shown by the web application, a provider host that does
// not resolve, an untrusted service certificate, a web application that
// never shows a session; and the network layer's request rewrite, error
// wording and proxy settings.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QWebFrame>
#include <QWebPage>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "SAMLManager.h"
#include "SAMLManagerLike.h"
#include "SAMLNetwork.h"
#include "gui_test_support.h"
#include "local_service.h"
#include "tarvik.h"

namespace {

using tarvik_test::LocalService;

// Debug output of the classes under test, for checks on their log lines.
std::mutex g_logMutex;
QStringList g_log;

void captureLog(QtMsgType, const QMessageLogContext&, const QString& message) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_log << message;
}

int logCount(const QString& part) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  int n = 0;
  for (const QString& line : g_log) n += line.contains(part);
  return n;
}

int logExact(const QString& line) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  return g_log.count(line);
}

void clearLog() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_log.clear();
}

using gui_test::waitFor;

std::string writeConfig(const std::string& dir, int mismatchPort) {
  std::string path = dir + "/config.json";
  std::ofstream(path) << R"({"companies": [
    {"corpId": "mismatch", "users": [{"userId": "fay", "password": "fay-pw"}],
     "saml": {"idpUrl": "https://127.0.0.3:)" + std::to_string(mismatchPort) + R"(/"}},
    {"corpId": "r&d+1", "users": [{"userId": "dana", "password": "dana-pw"}],
     "saml": {"singleLogout": false, "idpUsers": [{"userId": "dana", "password": "dana-idp"}]}},
    {"corpId": "faraway", "users": [{"userId": "eve", "password": "eve-pw"}],
     "saml": {"idpUrl": "https://idp.invalid/", "idpUsers": [{"userId": "eve", "password": "x"}]}}]})";
  return path;
}

class SamlSignIn : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    oldTmpdir_ = qgetenv("TMPDIR");
    oldProfile_ = qgetenv("USERPROFILE");
    root_ = new std::string(gui_test::makeScratchUser("tarvik-saml", false));
    // The service's certificate exists before the service starts, so that a
    // provider on 127.0.0.3, which it does not name, can present it.
    const std::string data = *root_ + "/service";
    ASSERT_EQ(std::system((LocalService::binaryPath() + " issue-client-cert --data " + data +
                           " --corp x --user y >/dev/null").c_str()), 0);
    mismatch_ = new httplib::SSLServer((data + "/tls/server.pem").c_str(), (data + "/tls/server-key.pem").c_str());
    mismatch_->Get(".*", [](const httplib::Request&, httplib::Response& res) {
      ++mismatchServed_;
      res.set_content("<html><body>provider</body></html>", "text/html");
    });
    const int mismatchPort = mismatch_->bind_to_any_port("127.0.0.3");
    mismatchThread_ = new std::thread([] { mismatch_->listen_after_bind(); });
    tarvik_test::LocalServiceOptions o;
    o.configFile = writeConfig(*root_, mismatchPort);
    o.dataDir = data;
    service_ = LocalService::start(o).release();
    // The embedded browser trusts what the library trusts.
    setenv("CURL_CA_BUNDLE", service_->caFile().c_str(), 1);
    qInstallMessageHandler(captureLog);
  }
  static void TearDownTestSuite() {
    qInstallMessageHandler(nullptr);
    mismatch_->stop();
    mismatchThread_->join();
    delete mismatchThread_;
    delete mismatch_;
    delete service_;
    std::filesystem::remove_all(*root_);
    delete root_;
    // Later suites of this process must not use the removed folders.
    for (auto [name, value] : {std::pair{"TMPDIR", &oldTmpdir_}, std::pair{"USERPROFILE", &oldProfile_}}) {
      if (value->isEmpty()) qunsetenv(name);
      else qputenv(name, *value);
    }
  }
  void SetUp() override {
    service_->admin("/admin/reset", "{}");
    clearLog();
    errorBoxTexts_.clear();
    SAMLManager::setErrorBoxForTest([this](QWidget*, const QString& text) { errorBoxTexts_ << text; });
  }
  void TearDown() override { SAMLManager::setErrorBoxForTest(nullptr); }

  static LocalService& svc() { return *service_; }
  static QString url() { return QString::fromStdString(svc().url()); }
  static QString idpUrl() { return QString::fromStdString(svc().value("idp-url")); }

  static QString js(SAMLManager& m, const QString& expression) {
    return m.page()->mainFrame()->evaluateJavaScript(expression).toString();
  }
  static QString shownStatus(SAMLManager& m) { return js(m, "document.querySelector('body p').innerText"); }

  // Waits for the provider's form and signs in there.
  static void signInAtProvider(SAMLManager& m, const QString& user, const QString& password) {
    ASSERT_TRUE(waitFor([&] {
      return m.currentUrl().startsWith(idpUrl() + "idp/sso?") && js(m, "String(!!document.getElementById('username'))") == "true";
    })) << m.currentUrl().toStdString();
    m.page()->mainFrame()->evaluateJavaScript("document.getElementById('username').value = '" + user +
                                              "'; document.getElementById('password').value = '" + password +
                                              "'; document.getElementById('login').submit();");
  }

  // Whether the service still accepts a session.
  static bool sessionAlive(const QString& jsessionid, const QString& arrayid) {
    httplib::SSLClient c("127.0.0.1", svc().port());
    c.set_ca_cert_path(svc().caFile().c_str());
    c.enable_server_certificate_verification(true);
    auto r = c.Get(("/api/keepSession?jsessionid=" + jsessionid + "&arrayid=" + arrayid).toStdString().c_str());
    return r && r->body.find("\"error\"") == std::string::npos;
  }

  QStringList errorBoxTexts_;
  static LocalService* service_;
  static std::string* root_;
  static inline QByteArray oldTmpdir_, oldProfile_;
  // A provider whose certificate does not name its host.
  static inline httplib::SSLServer* mismatch_ = nullptr;
  static inline std::thread* mismatchThread_ = nullptr;
  static inline std::atomic<int> mismatchServed_{0};
};

LocalService* SamlSignIn::service_ = nullptr;
std::string* SamlSignIn::root_ = nullptr;

TEST_F(SamlSignIn, ThroughTheProviderToAMountedDriveThenLogoutAtTheProvider) {
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not available";
  SAMLManager m;
  QSignalSpy loggedIn(&m, qOverload<QString, QString, QString>(&SAMLManager::loggedIn));
  QSignalSpy failed(&m, qOverload<int>(&SAMLManager::logInFailed));
  m.onSAMLEnabled(url(), "demo-saml");
  signInAtProvider(m, "saml", QString::fromStdString(svc().value("demo-saml-idp-password")));
  ASSERT_TRUE(waitFor([&] { return loggedIn.count() > 0 || failed.count() > 0; })) << m.currentUrl().toStdString();
  ASSERT_EQ(loggedIn.count(), 1);
  const QString userId = loggedIn[0][0].toString(), jsessionid = loggedIn[0][1].toString(),
                arrayid = loggedIn[0][2].toString();
  EXPECT_EQ(userId, "saml");
  EXPECT_EQ(m.jsessionid(), jsessionid);
  EXPECT_EQ(m.arrayid(), arrayid);
  ASSERT_TRUE(sessionAlive(jsessionid, arrayid));
  EXPECT_TRUE(waitFor([&] { return shownStatus(m) == "TXT_LOGGING_IN"; }));
  // Every request to the service carried the client's marks; none to the provider did.
  EXPECT_GE(logCount("_client=qwo"), 3);
  EXPECT_EQ(logCount("127.0.0.2:" + QString::number(svc().port()) + "/idp/sso?corpId=demo-saml&_client"), 0);

  // The library mounts the drive with that session; Home lists the user's files.
  const std::string mnt = *root_ + "/mnt";
  std::filesystem::create_directories(mnt);
  ASSERT_EQ(tarvik_init(svc().url().c_str(), "en", false, nullptr), 0);
  ASSERT_EQ(tarvik_mountForSession(mnt.c_str(), "demo-saml", userId.toUtf8().constData(),
                                   jsessionid.toUtf8().constData(), arrayid.toUtf8().constData(), 16, false),
            0);
  const bool listed = waitFor([&] {
    std::error_code ec;
    return std::filesystem::exists(mnt + "/Home/Welcome.txt", ec);
  });
  EXPECT_EQ(tarvik_unmount(), 0);
  EXPECT_TRUE(listed) << "the drive did not show Home/Welcome.txt";
  ASSERT_TRUE(sessionAlive(jsessionid, arrayid)) << "a caller's session outlives the unmount";

  // Logout: the session ends at the service, the provider's logout page is
  // shown, and loggedOut() follows about two seconds later.
  QSignalSpy loggedOut(&m, &SAMLManager::loggedOut);
  QSignalSpy logoutFailed(&m, &SAMLManager::logOutFailed);
  QElapsedTimer t;
  t.start();
  m.logout();
  ASSERT_TRUE(waitFor([&] { return loggedOut.count() > 0 || logoutFailed.count() > 0; }));
  EXPECT_EQ(loggedOut.count(), 1);
  EXPECT_GE(t.elapsed(), 1900);
  EXPECT_TRUE(m.currentUrl().startsWith(idpUrl() + "idp/logout")) << m.currentUrl().toStdString();
  EXPECT_FALSE(sessionAlive(jsessionid, arrayid));
  EXPECT_EQ(failed.count(), 0);
}

TEST_F(SamlSignIn, LogoutWithoutProviderLogoutEndsAtOnceWithEncodedValues) {
  // The corporate ID "r&d+1" must reach the service whole in the logout URL.
  SAMLManager m;
  QSignalSpy loggedIn(&m, qOverload<QString, QString, QString>(&SAMLManager::loggedIn));
  m.onSAMLEnabled(url(), "r&d+1");
  signInAtProvider(m, "dana", "dana-idp");
  ASSERT_TRUE(waitFor([&] { return loggedIn.count() > 0; })) << m.currentUrl().toStdString();
  const QString jsessionid = loggedIn[0][1].toString(), arrayid = loggedIn[0][2].toString();
  EXPECT_EQ(loggedIn[0][0].toString(), "dana");
  ASSERT_TRUE(waitFor([&] { return shownStatus(m) == "TXT_LOGGING_IN"; }));

  QSignalSpy loggedOut(&m, &SAMLManager::loggedOut);
  QSignalSpy logoutFailed(&m, &SAMLManager::logOutFailed);
  QElapsedTimer t;
  t.start();
  m.logout();
  ASSERT_TRUE(waitFor([&] { return loggedOut.count() > 0 || logoutFailed.count() > 0; }));
  EXPECT_EQ(loggedOut.count(), 1);
  EXPECT_LT(t.elapsed(), 1900) << "no provider logout page to wait for";
  EXPECT_FALSE(sessionAlive(jsessionid, arrayid));
  EXPECT_TRUE(waitFor([&] { return shownStatus(m) == "TXT_LOGGED_OUT"; }));
}

TEST_F(SamlSignIn, CompanyWithoutSamlShowsDisabledAndStartsNothing) {
  SAMLManager m;
  QSignalSpy failed(&m, qOverload<int>(&SAMLManager::logInFailed));
  m.onSAMLEnabled(url(), "demo");
  ASSERT_TRUE(waitFor([&] { return shownStatus(m) == "TXT_SAML_DISABLED"; }));
  EXPECT_EQ(m.statusText(), "TXT_SAML_DISABLED");
  EXPECT_EQ(logCount("loading: \"" + url() + "browse"), 0);
  EXPECT_EQ(failed.count(), 0);

  // The status page showing another text does not start a sign-in, although
  // its address is the one of the loading page.
  clearLog();
  m.reset();
  m.loadStatusHtml("TXT_SAML_DISABLED");
  ASSERT_TRUE(waitFor([&] { return logCount("_loadingPageLoaded") > 0 && shownStatus(m) == "TXT_SAML_DISABLED"; }));
  EXPECT_EQ(logExact("loadingPageLoaded"), 0) << "the handler went past its check";
  EXPECT_EQ(logCount("getSAMLLoginInfo"), 0);
}

TEST_F(SamlSignIn, RefusalShownByTheWebApplicationFailsWith1113AndAnErrorBox) {
  svc().admin("/admin/samlRefuse", R"({"corpId": "demo-saml", "message": "Your account is locked."})");
  SAMLManager m;
  QSignalSpy loggedIn(&m, qOverload<QString, QString, QString>(&SAMLManager::loggedIn));
  QSignalSpy failed(&m, qOverload<int>(&SAMLManager::logInFailed));
  m.onSAMLEnabled(url(), "demo-saml");
  signInAtProvider(m, "saml", QString::fromStdString(svc().value("demo-saml-idp-password")));
  QElapsedTimer t;
  t.start();
  ASSERT_TRUE(waitFor([&] { return !errorBoxTexts_.isEmpty(); }, 15000));
  EXPECT_LT(t.elapsed(), 11000);
  EXPECT_EQ(errorBoxTexts_, QStringList{"Your account is locked."});
  ASSERT_EQ(failed.count(), 1);
  EXPECT_EQ(failed[0][0].toInt(), 1113);
  EXPECT_EQ(loggedIn.count(), 0);
  EXPECT_EQ(logCount("tarvweb error:"), 1);
}

TEST_F(SamlSignIn, ProviderHostThatDoesNotResolveGives1115) {
  SAMLManager m;
  QSignalSpy failed(&m, qOverload<int>(&SAMLManager::logInFailed));
  m.onSAMLEnabled(url(), "faraway");
  ASSERT_TRUE(waitFor([&] { return failed.count() > 0; }));
  EXPECT_EQ(failed[0][0].toInt(), 1115);
  EXPECT_TRUE(waitFor([&] { return shownStatus(m) == "TXT_SAML_HOST_NOT_FOUND_ERROR"; }));
}

TEST_F(SamlSignIn, UntrustedServiceCertificateGives1114AndNoContent) {
  // Another service has a CA of its own, which nothing here trusts.
  auto stranger = LocalService::start();
  SAMLManager m;
  QSignalSpy failed(&m, qOverload<int>(&SAMLManager::logInFailed));
  m.onSAMLEnabled(QString::fromStdString(stranger->url()), "demo-saml");
  ASSERT_TRUE(waitFor([&] { return failed.count() > 0; }));
  EXPECT_EQ(failed[0][0].toInt(), 1114);
  EXPECT_TRUE(waitFor([&] { return shownStatus(m) == "TXT_SAML_SSL_ERROR"; }));
  EXPECT_EQ(m.currentUrl(), SAMLManager::kStatusPage);
  EXPECT_GE(logCount("ssl error:"), 1);
  EXPECT_EQ(logCount("loading: \"" + QString::fromStdString(stranger->url()) + "browse"), 0);
  // The failed answer is not also taken for "SAML disabled".
  EXPECT_EQ(failed.count(), 1);
  EXPECT_EQ(m.statusText(), "TXT_SAML_SSL_ERROR");
}

TEST_F(SamlSignIn, ProviderCertificateThatDoesNotVerifyGives1114AndNoPage) {
  SAMLManager m;
  QSignalSpy failed(&m, qOverload<int>(&SAMLManager::logInFailed));
  m.onSAMLEnabled(url(), "mismatch");
  ASSERT_TRUE(waitFor([&] { return failed.count() > 0; }));
  EXPECT_EQ(failed[0][0].toInt(), 1114);
  EXPECT_TRUE(waitFor([&] { return shownStatus(m) == "TXT_SAML_SSL_ERROR"; }));
  EXPECT_EQ(mismatchServed_, 0) << "nothing may be asked of a host that did not prove who it is";
  EXPECT_GE(logCount("ssl error:"), 1);
  EXPECT_EQ(failed.count(), 1);
}

TEST_F(SamlSignIn, SessionNeverShownGivesUpAfterTwentyAttempts) {
  SAMLManager m;
  m.onSAMLDisabled();  // a page of our own, without a session
  QSignalSpy failed(&m, qOverload<int>(&SAMLManager::logInFailed));
  m.onLoggedIn();
  // A reset starts over: the attempts of before it must not go on beside
  // the new ones (they would share the count and fail twice).
  ASSERT_TRUE(waitFor([&] { return logCount("onLoggedIn(retry = 2)") > 0; }));
  m.reset();
  clearLog();
  QElapsedTimer t;
  t.start();
  m.onLoggedIn();
  ASSERT_TRUE(waitFor([&] { return failed.count() > 0; }, 20000));
  EXPECT_GE(t.elapsed(), 9000);
  EXPECT_EQ(failed[0][0].toInt(), 1113);
  for (int i = 0; i <= 20; ++i)
    EXPECT_EQ(logCount("onLoggedIn(retry = " + QString::number(i) + ")"), 1) << i;
  EXPECT_EQ(logCount("onLoggedIn(retry = 21"), 0);
  EXPECT_TRUE(waitFor([&] { return shownStatus(m) == "TXT_SAML_LOGIN_FAILED"; }));
  EXPECT_EQ(failed.count(), 1);
}

// ---- the network layer with an owner of the test's own ------------------------

struct TestOwner : SAMLManagerLike {
  QString base, corp;
  bool proxyOn = false;
  QString host;
  int port = 0, type = 0;
  QStringList excluded;
  int unsupported = 0;
  QList<QPair<bool, QString>> infos;
  QStringList errors;
  int sslErrors = 0;

  QString baseUrl() override { return base; }
  QString corpId() override { return corp; }
  bool useProxy() override { return proxyOn; }
  QString proxyHost() override { return host; }
  int proxyPort() override { return port; }
  int proxyType() override { return type; }
  QString proxyUsername() override { return ""; }
  QString proxyPassword() override { return ""; }
  QStringList proxyExcluded() override { return excluded; }
  void onProxyTypeNotSupported() override { ++unsupported; }
  void onGetSAMLLoginInfo(bool enabled, QString idpUrl) override { infos << qMakePair(enabled, idpUrl); }
  void onGetSAMLLoginInfoError(QString message) override { errors << message; }
  void onSSLError() override { ++sslErrors; }
  int answers() const { return infos.size() + errors.size(); }
};

// A plain HTTP server on one loopback address that remembers the last request.
struct Recorder {
  explicit Recorder(const char* address) {
    srv.Get(".*", [this](const httplib::Request& r, httplib::Response& res) { keep(r, res); });
    srv.Post(".*", [this](const httplib::Request& r, httplib::Response& res) { keep(r, res); });
    port = srv.bind_to_any_port(address);
    thread = std::thread([this] { srv.listen_after_bind(); });
  }
  ~Recorder() {
    srv.stop();
    thread.join();
  }
  void keep(const httplib::Request& r, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(mutex);
    last = r;
    ++count;
    res.set_content("{}", "application/json");
  }
  httplib::Request lastRequest() {
    std::lock_guard<std::mutex> lock(mutex);
    return last;
  }
  httplib::Server srv;
  int port = 0;
  std::thread thread;
  std::mutex mutex;
  httplib::Request last;
  std::atomic<int> count{0};
};

void finish(QNetworkReply* reply) {
  ASSERT_TRUE(waitFor([&] { return reply->isFinished(); }));
  reply->deleteLater();
}

TEST(SamlNetwork, MarksServiceRequestsOnlyAndRewritesPostBodies) {
  Recorder service("127.0.0.1"), idp("127.0.0.2");
  TestOwner owner;
  owner.base = QString("http://127.0.0.1:%1/").arg(service.port);
  SAMLNetwork net(&owner);
  const std::string version = tarvik_getVersionString();

  finish(net.get(QNetworkRequest(QUrl(owner.base + "api/x?_client=old&a=1&_version=0.1&_client=again"))));
  httplib::Request r = service.lastRequest();
  EXPECT_EQ(r.params.count("_client"), 1u);
  EXPECT_EQ(r.get_param_value("_client"), "qwo");
  EXPECT_EQ(r.params.count("_version"), 1u);
  EXPECT_EQ(r.get_param_value("_version"), version);
  EXPECT_EQ(r.get_param_value("a"), "1");

  QNetworkRequest post(QUrl(owner.base + "api/y"));
  post.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
  finish(net.post(post, QByteArray("a=1&_client=x&_version=y&b=2")));
  r = service.lastRequest();
  EXPECT_EQ(r.body, "a=1&b=2");
  EXPECT_EQ(r.get_header_value("Content-Length"), "7");
  EXPECT_EQ(r.get_param_value("_client"), "qwo");

  // The identity provider's requests leave as they were made.
  const QString idpBase = QString("http://127.0.0.2:%1/").arg(idp.port);
  finish(net.get(QNetworkRequest(QUrl(idpBase + "idp/sso?_client=mine&x=1"))));
  r = idp.lastRequest();
  EXPECT_EQ(r.target, "/idp/sso?_client=mine&x=1");
  QNetworkRequest idpPost(QUrl(idpBase + "idp/login"));
  idpPost.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
  finish(net.post(idpPost, QByteArray("_client=x&_version=y&u=1")));
  r = idp.lastRequest();
  EXPECT_EQ(r.target, "/idp/login");
  EXPECT_EQ(r.body, "_client=x&_version=y&u=1");
}

TEST(SamlNetwork, LoginInfoAnswersAndErrorWording) {
  auto svc = LocalService::start();
  setenv("CURL_CA_BUNDLE", svc->caFile().c_str(), 1);
  TestOwner owner;
  owner.base = QString::fromStdString(svc->url());
  auto ask = [&](const QString& corp) {
    owner.corp = corp;
    owner.infos.clear();
    owner.errors.clear();
    SAMLNetwork net(&owner);
    net.getSAMLLoginInfo();
    EXPECT_TRUE(waitFor([&] { return owner.answers() > 0; }));
  };
  ask("demo-saml");
  ASSERT_EQ(owner.infos.size(), 1);
  EXPECT_TRUE(owner.infos[0].first);
  EXPECT_EQ(owner.infos[0].second, QString::fromStdString(svc->value("idp-url")) + "idp/sso?corpId=demo-saml");

  ask("demo");
  ASSERT_EQ(owner.infos.size(), 1);
  EXPECT_FALSE(owner.infos[0].first);

  // An error is worded from the service's table, both placeholders filled.
  ask("no such corp");
  EXPECT_EQ(owner.errors, QStringList{"SAML sign-in cannot be used.(corporate ID: no such corp, reason: unknown corporate ID)"});

  // A code the table does not know reads as "not enabled".
  svc->admin("/admin/fault", R"({"kind": "error", "code": 4242, "args": ["a"], "method": "getSAMLLoginInfo"})");
  ask("demo-saml");
  ASSERT_EQ(owner.infos.size(), 1);
  EXPECT_FALSE(owner.infos[0].first);
  EXPECT_EQ(owner.infos[0].second, "");

  // A service that cannot be reached is an error, not "not enabled".
  const std::string base = svc->url();
  svc.reset();
  owner.base = QString::fromStdString(base);
  ask("demo-saml");
  EXPECT_TRUE(owner.infos.isEmpty());
  EXPECT_EQ(owner.errors.size(), 1);
}

TEST(SamlNetwork, ProxySettings) {
  Recorder service("127.0.0.1");
  TestOwner owner;
  owner.base = QString("http://127.0.0.1:%1/").arg(service.port);
  owner.corp = "c";
  owner.proxyOn = true;
  owner.host = "127.0.0.1";
  owner.port = 1;  // nothing listens there: a request through it fails

  clearLog();
  qInstallMessageHandler(captureLog);
  owner.type = 4;  // SOCKS4: the browser cannot use it
  {
    SAMLNetwork net(&owner);
    net.getSAMLLoginInfo();
    ASSERT_TRUE(waitFor([&] { return owner.answers() > 0; }));
  }
  EXPECT_GE(owner.unsupported, 1);
  EXPECT_GE(logCount("unsupported ProxyType"), 1);

  // HTTP proxy: the request goes to the proxy (and fails there), unless the
  // host is excluded.
  owner.type = 0;
  owner.unsupported = 0;
  owner.infos.clear();
  owner.errors.clear();
  const int before = service.count;
  {
    SAMLNetwork net(&owner);
    net.getSAMLLoginInfo();
    ASSERT_TRUE(waitFor([&] { return owner.answers() > 0; }));
  }
  EXPECT_EQ(owner.errors.size(), 1);
  EXPECT_EQ(service.count, before);
  owner.excluded = QStringList{"127.0.0.1"};
  owner.errors.clear();
  {
    SAMLNetwork net(&owner);
    net.getSAMLLoginInfo();
    ASSERT_TRUE(waitFor([&] { return owner.answers() > 0; }));
  }
  EXPECT_TRUE(owner.errors.isEmpty());
  EXPECT_EQ(service.count, before + 1);
  EXPECT_EQ(owner.unsupported, 0);
  qInstallMessageHandler(nullptr);
}

}  // namespace
