// Applies the user's proxy settings to the embedded browser's traffic. The
// settings are read from the owner of the SAMLNetwork at every query.
#pragma once

#include <QNetworkProxyFactory>

#include <memory>

class SAMLNetwork;

class SAMLNetworkProxyFactory : public QNetworkProxyFactory {
 public:
  explicit SAMLNetworkProxyFactory(SAMLNetwork* network);

  QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query = QNetworkProxyQuery()) override;

  // The browser's proxy type for the library's ProxyType value: HTTP (0) and
  // SOCKS5 (5); empty for every other value, which the browser cannot use.
  static std::shared_ptr<QNetworkProxy::ProxyType> asQNetworkProxyType(int type);

 private:
  SAMLNetwork* network_;
};
