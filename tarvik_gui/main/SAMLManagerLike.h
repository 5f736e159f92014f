// What the SAML network layer needs from its owner: where the service is,
// which company signs in, the proxy settings, and where results go. The SAML
// manager implements it for the sign-in, the settings dialog for its check
// of the SAML settings.
#pragma once

#include <QString>
#include <QStringList>

class SAMLManagerLike {
 public:
  virtual ~SAMLManagerLike() = default;

  virtual QString baseUrl() = 0;  // the service's base URL, ending in "/"
  virtual QString corpId() = 0;
  virtual bool useProxy() = 0;
  virtual QString proxyHost() = 0;
  virtual int proxyPort() = 0;
  virtual int proxyType() = 0;  // the library's ProxyType value
  virtual QString proxyUsername() = 0;
  virtual QString proxyPassword() = 0;
  virtual QStringList proxyExcluded() = 0;  // host names reached without the proxy

  virtual void onProxyTypeNotSupported() = 0;
  virtual void onGetSAMLLoginInfo(bool enabled, QString idpUrl) = 0;
  virtual void onGetSAMLLoginInfoError(QString errorMessage) = 0;
  // A request to the service host met a certificate that does not verify.
  virtual void onSSLError() = 0;
};
