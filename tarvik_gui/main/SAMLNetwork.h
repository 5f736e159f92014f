// The embedded browser's network access for the SAML sign-in. Requests to
// the service host are marked as coming from this client ("_client",
// "_version"); requests to other hosts (the identity provider) leave as
// they are. Certificates are verified against the system's trust store plus
// the CA file named by CURL_CA_BUNDLE, the same trust as the library's; a
// certificate error is never ignored: the load fails and, for the service
// host, the owner hears of it.
//
// GUI thread only.
#pragma once

#include <QList>
#include <QNetworkAccessManager>
#include <QSslError>

class SAMLManagerLike;

class SAMLNetwork : public QNetworkAccessManager {
  Q_OBJECT

 public:
  // Installs the proxy factory when the owner's proxy is on.
  explicit SAMLNetwork(SAMLManagerLike* owner, QObject* parent = nullptr);

  SAMLManagerLike* owner() const { return owner_; }

  // Asks the service whether the owner's company signs in through SAML;
  // answers through the owner's onGetSAMLLoginInfo or onGetSAMLLoginInfoError.
  void getSAMLLoginInfo();

  // Makes the application's default TLS configuration trust the system's
  // store plus the certificates of the file named by CURL_CA_BUNDLE (read
  // again when the variable changes).
  static void applyTrust();

 public slots:
  void onSSLErrors(QNetworkReply* qnr, QList<QSslError> errlist);

 protected:
  QNetworkReply* createRequest(Operation op, const QNetworkRequest& request,
                               QIODevice* outgoingData = nullptr) override;

 private:
  bool isServiceHost(const QUrl& url) const;
  void onLoginInfoFinished(QNetworkReply* reply);
  void onErrorMessagesFinished(QNetworkReply* reply, int code, const QStringList& args);

  SAMLManagerLike* owner_;
};
