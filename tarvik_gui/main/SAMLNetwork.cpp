#include "SAMLNetwork.h"

#include <QBuffer>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QUrlQuery>

#include "SAMLManagerLike.h"
#include "SAMLNetworkProxyFactory.h"
#include "Util.h"
#include "tarvik.h"

namespace {

// The client edition the service sees in "_client".
const char* const kClient = "qwo";

// Set on a reply whose certificate did not verify, so that its failure is
// not reported a second time as an ordinary network failure.
const char* const kSslFailed = "samlSslFailed";

QJsonObject parseObject(const QByteArray& body) {
  return QJsonDocument::fromJson(body).object();  // not an object: empty
}

}  // namespace

void SAMLNetwork::applyTrust() {
  static QByteArray applied;
  static bool done = false;
  const QByteArray bundle = qgetenv("CURL_CA_BUNDLE");
  if (done && bundle == applied) return;
  QList<QSslCertificate> cas = QSslConfiguration::systemCaCertificates();
  if (!bundle.isEmpty()) {
    const QList<QSslCertificate> extra = QSslCertificate::fromPath(QString::fromLocal8Bit(bundle));
    if (extra.isEmpty()) qDebug() << "no certificate in CURL_CA_BUNDLE" << bundle;
    cas += extra;
  }
  QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
  conf.setCaCertificates(cas);
  QSslConfiguration::setDefaultConfiguration(conf);
  applied = bundle;
  done = true;
}

SAMLNetwork::SAMLNetwork(SAMLManagerLike* owner, QObject* parent)
    : QNetworkAccessManager(parent), owner_(owner) {
  applyTrust();
  if (owner_->useProxy()) setProxyFactory(new SAMLNetworkProxyFactory(this));
  connect(this, &QNetworkAccessManager::sslErrors, this, &SAMLNetwork::onSSLErrors);
}

bool SAMLNetwork::isServiceHost(const QUrl& url) const {
  return url.host(QUrl::FullyDecoded) == QUrl(owner_->baseUrl()).host(QUrl::FullyDecoded);
}

QNetworkReply* SAMLNetwork::createRequest(Operation op, const QNetworkRequest& request,
                                          QIODevice* outgoingData) {
  if (!isServiceHost(request.url())) return QNetworkAccessManager::createRequest(op, request, outgoingData);

  QNetworkRequest copy(request);
  QUrl url = request.url();
  QUrlQuery query(url);
  query.removeAllQueryItems("_client");
  query.addQueryItem("_client", kClient);
  query.removeAllQueryItems("_version");
  query.addQueryItem("_version", QString::fromLocal8Bit(tarvik_getVersionString()));
  url.setQuery(query);
  copy.setUrl(url);
  qDebug() << "createRqeust" << url.toString();

  QSslConfiguration ssl = request.sslConfiguration();
  ssl.setProtocol(QSsl::AnyProtocol);
  copy.setSslConfiguration(ssl);

  if (op != PostOperation || !outgoingData)
    return QNetworkAccessManager::createRequest(op, copy, outgoingData);

  // The same pairs in a form body would repeat what the query now says.
  QString body = QString::fromUtf8(outgoingData->readAll());
  body.remove(QRegularExpression("_client=[^&]*&?"));
  body.remove(QRegularExpression("_version=[^&]*&?"));
  const QByteArray bytes = body.toUtf8();
  copy.setHeader(QNetworkRequest::ContentLengthHeader, bytes.size());
  auto* buffer = new QBuffer;
  buffer->setData(bytes);
  buffer->open(QIODevice::ReadOnly);
  QNetworkReply* reply = QNetworkAccessManager::createRequest(op, copy, buffer);
  buffer->setParent(reply);  // lives as long as the reply that sends it
  return reply;
}

void SAMLNetwork::onSSLErrors(QNetworkReply* qnr, QList<QSslError> errlist) {
  qDebug() << qnr->url().toString();
  for (const QSslError& e : errlist) qDebug() << "ssl error:" << e.errorString();
  // Not ignored: going on would hand the sign-in (the password typed into
  // the provider, the session read from the page) to whoever answers.
  qnr->setProperty(kSslFailed, true);
  if (isServiceHost(qnr->url())) owner_->onSSLError();
}

void SAMLNetwork::getSAMLLoginInfo() {
  const QString url = owner_->baseUrl() + "api/getSAMLLoginInfo?corpId=" +
                      QString::fromLatin1(QUrl::toPercentEncoding(owner_->corpId()));
  QNetworkReply* reply = get(QNetworkRequest(QUrl(url)));
  connect(reply, &QNetworkReply::finished, this, [this, reply] { onLoginInfoFinished(reply); });
}

void SAMLNetwork::onLoginInfoFinished(QNetworkReply* reply) {
  reply->deleteLater();
  if (reply->property(kSslFailed).toBool()) return;  // the owner heard of it through onSSLError
  const QByteArray body = reply->readAll();
  if (reply->error() != QNetworkReply::NoError && body.isEmpty()) {
    // A service that cannot be reached does not mean SAML is off: say so.
    qDebug() << "getSAMLLoginInfo failed:" << reply->errorString();
    owner_->onGetSAMLLoginInfoError(reply->errorString());
    return;
  }
  const QJsonObject answer = parseObject(body);
  const QJsonObject result = answer.value("result").toObject();
  const QJsonObject error = answer.value("error").toObject();
  if (error.isEmpty()) {
    owner_->onGetSAMLLoginInfo(result.value("enabled").toBool(false), result.value("idpUrl").toString());
    return;
  }
  const int code = error.value("code").toInt(0);
  QStringList args;
  for (const QJsonValue& a : error.value("args").toArray()) args << a.toString();
  QNetworkReply* messages = get(QNetworkRequest(QUrl(owner_->baseUrl() + "api/getErrorMessages")));
  connect(messages, &QNetworkReply::finished, this,
          [this, messages, code, args] { onErrorMessagesFinished(messages, code, args); });
}

void SAMLNetwork::onErrorMessagesFinished(QNetworkReply* reply, int code, const QStringList& args) {
  reply->deleteLater();
  if (reply->property(kSslFailed).toBool()) return;
  const QJsonArray table = parseObject(reply->readAll()).value("result").toArray();
  for (const QJsonValue& v : table) {
    const QJsonObject entry = v.toObject();
    if (entry.value("code").toInt(-1) != code) continue;
    QString text = entry.value(Util::isLanguageJa() ? "ja" : "en").toString();
    qDebug() << text;
    for (int i = 0; i < args.size(); ++i) text.replace("{" + QString::number(i) + "}", args[i]);
    owner_->onGetSAMLLoginInfoError(text);
    return;
  }
  qDebug() << "message not found for error code" << code;
  owner_->onGetSAMLLoginInfo(false, QString());
}
