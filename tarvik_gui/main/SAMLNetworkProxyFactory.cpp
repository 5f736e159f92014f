#include "SAMLNetworkProxyFactory.h"

#include <QDebug>

#include "SAMLManagerLike.h"
#include "SAMLNetwork.h"

SAMLNetworkProxyFactory::SAMLNetworkProxyFactory(SAMLNetwork* network) : network_(network) {}

std::shared_ptr<QNetworkProxy::ProxyType> SAMLNetworkProxyFactory::asQNetworkProxyType(int type) {
  switch (type) {
    case 0:
      return std::make_shared<QNetworkProxy::ProxyType>(QNetworkProxy::HttpProxy);
    case 5:
      return std::make_shared<QNetworkProxy::ProxyType>(QNetworkProxy::Socks5Proxy);
    default:
      qDebug() << "unsupported ProxyType" << type;
      return nullptr;
  }
}

QList<QNetworkProxy> SAMLNetworkProxyFactory::queryProxy(const QNetworkProxyQuery& query) {
  SAMLManagerLike* owner = network_->owner();
  QNetworkProxy proxy;
  if (!owner->useProxy() || owner->proxyExcluded().contains(query.peerHostName()))
    return {proxy};
  if (auto type = asQNetworkProxyType(owner->proxyType()))
    proxy.setType(*type);
  else
    owner->onProxyTypeNotSupported();
  proxy.setHostName(owner->proxyHost());
  proxy.setPort(static_cast<quint16>(owner->proxyPort()));
  proxy.setUser(owner->proxyUsername());
  proxy.setPassword(owner->proxyPassword());
  return {proxy};
}
