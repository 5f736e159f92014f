// The SAML sign-in: an embedded browser view that runs the service's web
// application, lets it send the user to the company's identity provider,
// and, once the browser is back at the web application signed in, reads the
// session (session ID, array ID, user ID) out of the page and reports it
// with loggedIn(userId, jsessionid, arrayid). It also logs out through the
// web application and the provider's logout page, and shows progress and
// errors on a small local status page.
//
// States: the handler in _loadFinished runs after every page load:
//   _loadingPageLoaded   status page with the loading text shown: ask the
//                        service (getSAMLLoginInfo), then open browse#<corp>
//   _idpLoginPageLoaded  waiting for the identity provider's host
//   _tarvWebLoggedIn     waiting for the web application's browse page;
//                        meanwhile its message box is polled for a refusal
//   _idpLoggedOut        signed in; waiting for the provider's logout page
//   (none)               finished or failed
// The page script talks to the manager through the bridge object
// "samlManager" (its public slots, signals and properties) and the helper
// functions of Resources/SAMLManager.js.
//
// Everything runs on the GUI thread; waits are single-shot timers. A reset
// starts a new generation: timers of an earlier one do nothing.
#pragma once

#include <QStringList>
#include <QWebView>

#include <functional>

#include "SAMLManagerLike.h"

class SAMLNetwork;
class SAMLWebPage;

class SAMLManager : public QWebView, public SAMLManagerLike {
  Q_OBJECT
  Q_PROPERTY(QString baseUrl READ baseUrl)
  Q_PROPERTY(QString corpId READ corpId)
  Q_PROPERTY(QString jsessionid READ jsessionid)
  Q_PROPERTY(QString arrayid READ arrayid)
  Q_PROPERTY(QString statusText READ statusText)

 public:
  // Status codes of logInFailed(int).
  static constexpr int kLoginFailed = 1113;
  static constexpr int kSslError = 1114;
  static constexpr int kHostNotFound = 1115;

  static constexpr const char* kStatusPage = "qrc:/texts/Resources/status.html";

  explicit SAMLManager(QWidget* parent = nullptr);
  ~SAMLManager() override;

  // Written by the login window. Not slots: page script must not change
  // where the session goes or read the proxy credentials.
  void setBaseUrl(const QString& baseUrl);
  void setUseProxy(bool on) { useProxy_ = on; }
  void setProxyHost(const QString& host) { proxyHost_ = host; }
  void setProxyPort(int port) { proxyPort_ = port; }
  void setProxyType(int type) { proxyType_ = type; }
  void setProxyUsername(const QString& user) { proxyUsername_ = user; }
  void setProxyPassword(const QString& password) { proxyPassword_ = password; }
  void setProxyExcluded(const QStringList& hosts) { proxyExcluded_ = hosts; }
  QString proxyUsername() override { return proxyUsername_; }
  QString proxyPassword() override { return proxyPassword_; }

  // The error box for a refusal shown by the web application: a modal
  // warning box by default; tests replace it (an empty function restores it).
  using ErrorBox = std::function<void(QWidget* parent, const QString& text)>;
  static void setErrorBoxForTest(ErrorBox box);

  Q_INVOKABLE void load(QString url);

 signals:
  void samlDisabled();
  void samlIsDisabledOnCorpSetting();
  void samlLoginStarted(QString idpUrl);
  void loggedIn();
  void loggedIn(QString userId, QString jsessionid, QString arrayid);
  void loggedOut();
  void logOutFailed();
  void logInFailed(int status);
  void logInFailed(QString status);
  void tarvWebLoggingIn();
  void idpLoggingIn();
  void openIdpLoginPage();

 public slots:
  QString baseUrl() override;
  QString corpId() override;
  QString jsessionid();
  QString arrayid();
  QString loggedInText();
  QString loadingText();
  QString samlDisabledText();
  QString unsupportedProxyText();
  QString samlLoginFailedText();
  QString samlSSLErrorText();
  QString samlHotNotFoundErrorText();
  QString currentUrl();
  bool useProxy() override;
  QString proxyHost() override;
  int proxyPort() override;
  int proxyType() override;
  QStringList proxyExcluded() override;
  QString statusText();
  void logout();
  void onLoadStarted();
  void onLoadFinished(bool ok);
  void onGetSAMLLoginInfo(bool enabled, QString idpUrl) override;
  void onGetSAMLLoginInfoError(QString errorMessage) override;
  void onLogoutWithSAML(QString idpLogoutUrl);
  void onLogInFailed();
  void onLogInFailed(int status);
  void onLogInFailed(QString message);
  void onLoggedIn();
  void onSAMLEnabled(QString baseUrl, QString corpId);
  void onSAMLDisabled();
  void reset();
  void onLoggedOut();
  void onProxyTypeNotSupported() override;
  void loadStatusHtml(QString text);
  bool isTarvWebLoggingIn();
  void checkExtMsg();
  void onSSLError() override;

 private:
  using Handler = void (SAMLManager::*)();

  void _loadingPageLoaded();
  void _idpLoginPageLoaded();
  void _tarvWebLoggedIn();
  void _idpLoggedOut();

  void injectBridge();
  // Runs `slot` after `ms` unless a reset happens first.
  void later(int ms, void (SAMLManager::*slot)());
  static QString hostOf(const QString& url);

  QString baseUrl_, corpId_, jsessionid_, arrayid_, statusText_;
  QString idpUrl_, idpLogoutUrl_;
  bool samlEnabled_ = false;
  bool useProxy_ = false;
  QString proxyHost_;
  int proxyPort_ = 0;
  int proxyType_ = 0;
  QString proxyUsername_, proxyPassword_;
  QStringList proxyExcluded_;
  Handler _loadFinished = nullptr;
  int retry = 0;
  int extMsgPolls = 0;
  quint64 generation_ = 0;
  QString script;
  SAMLWebPage* page_ = nullptr;
  SAMLNetwork* network_ = nullptr;
};
