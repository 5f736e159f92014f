#include "SAMLManager.h"

#include <QDebug>
#include <QFile>
#include <QMessageBox>
#include <QTimer>
#include <QWebFrame>
#include <QWebSettings>

#include "SAMLNetwork.h"
#include "SAMLWebPage.h"

namespace {

// Polls of the web application's message box: every 10 ms, at most this
// many (about ten seconds with the time the page script takes).
constexpr int kMaxExtMsgPolls = 1000;
constexpr int kExtMsgFirstPollMs = 500;
constexpr int kExtMsgPollMs = 10;
// Reading the session from the web application: 20 attempts, 500 ms apart.
constexpr int kMaxSessionRetry = 19;
constexpr int kSessionRetryMs = 500;
// Time the identity provider's logout page gets before the logout counts as done.
constexpr int kIdpLogoutMs = 2000;

SAMLManager::ErrorBox& errorBox() {
  static SAMLManager::ErrorBox box;
  return box;
}

}  // namespace

static void initSamlResources() { Q_INIT_RESOURCE(saml); }

SAMLManager::SAMLManager(QWidget* parent) : QWebView(parent) {
  initSamlResources();
  statusText_ = loadingText();
  _loadFinished = &SAMLManager::_loadingPageLoaded;
  QFile file(":/texts/Resources/SAMLManager.js");
  if (file.open(QIODevice::ReadOnly)) script = QString::fromUtf8(file.readAll());
  else qWarning() << "cannot read the SAML bridge script" << file.fileName();
}

SAMLManager::~SAMLManager() {
  // The page ends its loads while the view destroys it, with signals that
  // must not reach a half-destroyed manager.
  if (page_) disconnect(page_, nullptr, this, nullptr);
  disconnect(this, &QWebView::loadStarted, this, &SAMLManager::onLoadStarted);
}

void SAMLManager::setErrorBoxForTest(ErrorBox box) { errorBox() = std::move(box); }

void SAMLManager::setBaseUrl(const QString& baseUrl) { baseUrl_ = baseUrl; }

QString SAMLManager::hostOf(const QString& url) { return QUrl(url).host(QUrl::FullyDecoded); }

// ---- values for the network layer and the page script --------------------------

QString SAMLManager::baseUrl() { return baseUrl_; }
QString SAMLManager::corpId() { return corpId_; }
QString SAMLManager::jsessionid() { return jsessionid_; }
QString SAMLManager::arrayid() { return arrayid_; }
QString SAMLManager::loggedInText() { return tr("TXT_LOGGING_IN"); }
QString SAMLManager::loadingText() { return tr("TXT_LOADING"); }
QString SAMLManager::samlDisabledText() { return tr("TXT_SAML_DISABLED"); }
QString SAMLManager::unsupportedProxyText() { return tr("TXT_UNSUPPORTED_PROXY"); }
QString SAMLManager::samlLoginFailedText() { return tr("TXT_SAML_LOGIN_FAILED"); }
QString SAMLManager::samlSSLErrorText() { return tr("TXT_SAML_SSL_ERROR"); }
QString SAMLManager::samlHotNotFoundErrorText() { return tr("TXT_SAML_HOST_NOT_FOUND_ERROR"); }
QString SAMLManager::currentUrl() { return page()->mainFrame()->url().toString(); }
bool SAMLManager::useProxy() { return useProxy_; }
QString SAMLManager::proxyHost() { return proxyHost_; }
int SAMLManager::proxyPort() { return proxyPort_; }
int SAMLManager::proxyType() { return proxyType_; }
QStringList SAMLManager::proxyExcluded() { return proxyExcluded_; }
QString SAMLManager::statusText() { return statusText_; }

// ---- page loads ---------------------------------------------------------------

void SAMLManager::injectBridge() {
  QWebFrame* frame = page()->mainFrame();
  frame->addToJavaScriptWindowObject("samlManager", this);
  frame->evaluateJavaScript(script);
}

void SAMLManager::later(int ms, void (SAMLManager::*slot)()) {
  const quint64 generation = generation_;
  QTimer::singleShot(ms, this, [this, generation, slot] {
    if (generation == generation_) (this->*slot)();
  });
}

void SAMLManager::load(QString url) {
  qDebug() << "loading:" << url;
  page()->mainFrame()->load(QUrl(url));
  injectBridge();
}

void SAMLManager::loadStatusHtml(QString text) {
  statusText_ = text;
  load(kStatusPage);
}

bool SAMLManager::isTarvWebLoggingIn() {
  return _loadFinished == &SAMLManager::_tarvWebLoggedIn && hostOf(baseUrl()) == hostOf(currentUrl());
}

void SAMLManager::onLoadStarted() {
  qDebug() << "SAMLManager::onLoadStarted()";
  qDebug() << "currentUrl=" << currentUrl();
  qDebug() << "_loadFinished == &tarvWebLoggedIn = " << (_loadFinished == &SAMLManager::_tarvWebLoggedIn);
  qDebug() << "currentUrl().startsWith(baseUrl()) = " << currentUrl().startsWith(baseUrl());
  // The web application finishing the sign-in is nothing the user needs to see.
  if (isTarvWebLoggingIn()) window()->hide();
  injectBridge();
}

void SAMLManager::onLoadFinished(bool ok) {
  injectBridge();
  if (!ok) qDebug() << "load failed!";
  qDebug() << "loaded:" << currentUrl();
  if (currentUrl().startsWith(kStatusPage))
    page()->mainFrame()->evaluateJavaScript("document.querySelector('body p').innerText = samlManager.statusText;");
  if (_loadFinished) (this->*_loadFinished)();
}

// ---- the sign-in's states --------------------------------------------------------

void SAMLManager::_loadingPageLoaded() {
  qDebug() << "_loadingPageLoaded";
  if (currentUrl() != kStatusPage || statusText_ != loadingText() || !samlEnabled_) return;
  qDebug() << "loadingPageLoaded";
  _loadFinished = &SAMLManager::_idpLoginPageLoaded;
  network_->getSAMLLoginInfo();
}

void SAMLManager::_idpLoginPageLoaded() {
  if (idpUrl_.isEmpty() || hostOf(currentUrl()) != hostOf(idpUrl_)) return;
  qDebug() << "idpLoginPageLoaded";
  _loadFinished = &SAMLManager::_tarvWebLoggedIn;
}

void SAMLManager::_tarvWebLoggedIn() {
  if (isTarvWebLoggingIn() && extMsgPolls == 0) {
    extMsgPolls = 1;
    later(kExtMsgFirstPollMs, &SAMLManager::checkExtMsg);
  }
  const QString expected = baseUrl() + "browse";
  if (!currentUrl().startsWith(expected)) {
    qDebug() << currentUrl() << "vs" << expected;
    return;
  }
  qDebug() << "tarvWebLoggedIn";
  _loadFinished = &SAMLManager::_idpLoggedOut;
  onLoggedIn();
}

void SAMLManager::_idpLoggedOut() {
  if (idpLogoutUrl_.isEmpty() || !currentUrl().startsWith(idpLogoutUrl_)) return;
  qDebug() << "idpLoggedOut";
  _loadFinished = nullptr;
}

void SAMLManager::onGetSAMLLoginInfo(bool enabled, QString idpUrl) {
  qDebug().noquote() << QString("SAMLManager::onGetSAMLLoginInfo(enabled = %1, idpUrl = %2)")
                            .arg(enabled ? "true" : "false", idpUrl);
  if (enabled) {
    idpUrl_ = idpUrl;
    load(baseUrl() + "browse#" + corpId());
    return;
  }
  _loadFinished = nullptr;
  loadStatusHtml(samlDisabledText());
}

void SAMLManager::onGetSAMLLoginInfoError(QString errorMessage) { loadStatusHtml(errorMessage); }

void SAMLManager::checkExtMsg() {
  if (extMsgPolls >= kMaxExtMsgPolls || !isTarvWebLoggingIn()) return;
  ++extMsgPolls;
  const QVariant message = page()->mainFrame()->evaluateJavaScript("samlManager.js.getExtMsg()");
  if (message.isNull() || message.type() != QVariant::String) {
    later(kExtMsgPollMs, &SAMLManager::checkExtMsg);
    return;
  }
  const QString text = message.toString();
  qDebug() << "tarvweb error:" << text;
  onLogInFailed(kLoginFailed);
  load("about:blank");
  if (errorBox()) {
    errorBox()(window(), text);
  } else {
    QMessageBox box(QMessageBox::Warning, tr("TXT_ERROR"), text, QMessageBox::Ok, window());
    box.exec();
  }
  reset();
}

void SAMLManager::onLoggedIn() {
  injectBridge();
  qDebug().noquote() << QString("SAMLManager::onLoggedIn(retry = %1)").arg(retry);
  qDebug() << "getting session information";
  if (retry > kMaxSessionRetry) {
    onLogInFailed(kLoginFailed);
    return;
  }
  const QVariantMap info = page()->mainFrame()->evaluateJavaScript("samlManager.js.getSessionInfo()").toMap();
  const QString jsessionid = info.value("jsessionid").toString();
  const QString arrayid = info.value("arrayid").toString();
  const QString userId = info.value("userId").toString();
  qDebug() << "jsessionid = " << jsessionid;
  qDebug() << "arrayid = " << arrayid;
  qDebug() << "userId =" << userId;
  if (!jsessionid.isEmpty() && !arrayid.isEmpty()) {
    jsessionid_ = jsessionid;
    arrayid_ = arrayid;
    loadStatusHtml(loggedInText());
    emit loggedIn(userId, jsessionid, arrayid);
    return;
  }
  ++retry;
  later(kSessionRetryMs, &SAMLManager::onLoggedIn);
}

// ---- failures ---------------------------------------------------------------------

void SAMLManager::onLogInFailed() { onLogInFailed(kLoginFailed); }

void SAMLManager::onLogInFailed(int status) {
  qDebug() << "SAMLManager::onLogInFailed(int)";
  qDebug() << "status =" << status;
  const QString text = status == kHostNotFound ? samlHotNotFoundErrorText()
                       : status == kSslError   ? samlSSLErrorText()
                                               : samlLoginFailedText();
  reset();
  _loadFinished = nullptr;
  loadStatusHtml(text);
  emit logInFailed(status);
}

void SAMLManager::onLogInFailed(QString message) {
  qDebug() << "SAMLManager::onLogInFailed(QString)";
  reset();
  _loadFinished = nullptr;
  loadStatusHtml(message);
  emit logInFailed(kLoginFailed);
}

void SAMLManager::onSSLError() { onLogInFailed(kSslError); }

void SAMLManager::onProxyTypeNotSupported() {
  qDebug() << "proxy type not supported!";
  onLogInFailed(kLoginFailed);
}

// ---- start, reset, logout -----------------------------------------------------------

void SAMLManager::onSAMLEnabled(QString baseUrl, QString corpId) {
  qDebug() << "onSAMLEnabled";
  samlEnabled_ = true;
  baseUrl_ = baseUrl;
  corpId_ = corpId;
  reset();
}

void SAMLManager::onSAMLDisabled() {
  samlEnabled_ = false;
  reset();
}

void SAMLManager::reset() {
  connect(this, qOverload<>(&SAMLManager::loggedIn), this, qOverload<>(&SAMLManager::onLoggedIn),
          Qt::UniqueConnection);
  connect(this, &SAMLManager::samlDisabled, this, &SAMLManager::onSAMLDisabled, Qt::UniqueConnection);
  connect(this, &QWebView::loadStarted, this, &SAMLManager::onLoadStarted, Qt::UniqueConnection);

  // A new generation: waits of the old one (session retries, message box
  // polls) must not act on the new sign-in.
  ++generation_;
  retry = 0;
  extMsgPolls = 0;
  SAMLWebPage* old = page_;
  page_ = new SAMLWebPage(this);
  connect(page_, &QWebPage::loadFinished, this, &SAMLManager::onLoadFinished);
  connect(page_, &QWebPage::loadStarted, this, &SAMLManager::onLoadStarted);
  // The page's network goes with the page: a page never outlives the
  // network its loads and destructor use.
  network_ = new SAMLNetwork(this, page_);

  page_->settings()->setAttribute(QWebSettings::LocalContentCanAccessRemoteUrls, true);
  page_->setNetworkAccessManager(network_);
  if (old) {
    // The old page may be the caller (its error-page extension): it is
    // deleted later, and its late signals go nowhere. setPage() deletes a
    // page the view owns at once, so it is the view's again only after.
    disconnect(old, nullptr, this, nullptr);
    old->setParent(nullptr);
  }
  setPage(page_);
  if (old) {
    old->setParent(this);  // gone with the view at the latest
    old->deleteLater();
  }

  loadStatusHtml(loadingText());
  _loadFinished = &SAMLManager::_loadingPageLoaded;
}

void SAMLManager::logout() {
  qDebug() << "SAMLManager::logout()";
  page()->mainFrame()->evaluateJavaScript("samlManager.js.logout()");
}

void SAMLManager::onLogoutWithSAML(QString idpLogoutUrl) {
  qDebug().noquote() << "SAMLManager::onLogoutWithSAML(" + idpLogoutUrl + ")";
  idpLogoutUrl_ = idpLogoutUrl;
  if (idpLogoutUrl.isEmpty()) {
    loadStatusHtml(tr("TXT_LOGGED_OUT"));
    emit loggedOut();
    return;
  }
  page()->mainFrame()->load(QUrl(idpLogoutUrl));
  QTimer::singleShot(kIdpLogoutMs, this, &SAMLManager::onLoggedOut);
}

void SAMLManager::onLoggedOut() { emit loggedOut(); }
