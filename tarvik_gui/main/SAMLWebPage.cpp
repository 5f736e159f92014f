#include "SAMLWebPage.h"

#include <QDebug>
#include <QNetworkReply>
#include <QWebFrame>

#include "SAMLManager.h"

SAMLWebPage::SAMLWebPage(SAMLManager* manager) : QWebPage(manager), manager_(manager) {}

SAMLWebPage::~SAMLWebPage() { qDebug() << "webpage destructed"; }

bool SAMLWebPage::supportsExtension(Extension extension) const {
  qDebug() << "supportsExtension";
  return extension == ErrorPageExtension;
}

bool SAMLWebPage::extension(Extension extension, const ExtensionOption* option, ExtensionReturn*) {
  if (extension != ErrorPageExtension || !option) return false;
  const auto* error = static_cast<const ErrorPageExtensionOption*>(option);
  qDebug() << "error at" << error->url.toString();
  if (error->domain == QtNetwork) qDebug() << "network error";
  qDebug() << error->errorString;
  if (error->domain == QtNetwork && error->error == QNetworkReply::HostNotFoundError) {
    manager_->onLogInFailed(1115);
  } else if (error->domain == QtNetwork && error->error == QNetworkReply::SslHandshakeFailedError &&
             error->frame == mainFrame() &&
             error->url.host(QUrl::FullyDecoded) != QUrl(manager_->baseUrl()).host(QUrl::FullyDecoded)) {
    // The identity provider's certificate did not verify: the load stopped
    // (SAMLNetwork never ignores it), and the sign-in cannot go on. The
    // service host's own errors reach the manager through SAMLNetwork.
    manager_->onLogInFailed(1114);
  }
  return false;  // no replacement page
}

void SAMLWebPage::javaScriptConsoleMessage(const QString& message, int lineNumber, const QString& sourceID) {
  qDebug().noquote() << "[" + sourceID + ":" + QString::number(lineNumber) + "] " + message;
}
