#include "Certificate.h"

#include <QCoreApplication>
#include <QDebug>
#include <QRegularExpression>

#include "wincrypt_store.h"

namespace {

QByteArray blobBytes(const CRYPT_INTEGER_BLOB& blob) {
  return QByteArray(reinterpret_cast<const char*>(blob.pbData), static_cast<int>(blob.cbData));
}

CRYPT_INTEGER_BLOB blobOf(const QByteArray& bytes) {
  return {static_cast<DWORD>(bytes.size()),
          reinterpret_cast<BYTE*>(const_cast<char*>(bytes.constData()))};
}

}  // namespace

void Certificate::enumerate(QList<Certificate>& list, bool withPlaceholder) {
  HCERTSTORE store = CertOpenSystemStoreW(0, u"MY");
  if (withPlaceholder) list.append(Certificate());
  if (store == nullptr) return;
  PCCERT_CONTEXT context = nullptr;
  while ((context = CertEnumCertificatesInStore(store, context)) != nullptr) {
    const CERT_INFO* info = context->pCertInfo;
    list.append(Certificate(blobBytes(info->Subject), blobBytes(info->Issuer),
                            blobBytes(info->SerialNumber)));
  }
  CertCloseStore(store, 0);
}

QString Certificate::displayName() const {
  if (isPlaceholder()) return QCoreApplication::translate("Certificate", "TXT_SELECT_CERT_MSG");
  return QString("%1 (%2)").arg(byteArrayToNameString(subject), byteArrayToNameString(issuer));
}

QString Certificate::byteArrayToNameString(const QByteArray& blob) {
  CERT_NAME_BLOB name = blobOf(blob);
  WCHAR text[512];
  CertNameToStrW(X509_ASN_ENCODING, &name, CERT_X500_NAME_STR, text, 512);
  const QString nameString = QString::fromUtf16(text);
  qDebug().noquote() << "nameString =" << nameString;
  // Greedy: with several common names the last one wins.
  static const QRegularExpression cn(QRegularExpression::anchoredPattern(".*CN=([^,]*)"));
  const QRegularExpressionMatch match = cn.match(nameString);
  return match.hasMatch() ? match.captured(1) : QString();
}

PCCERT_CONTEXT Certificate::findInStore() const {
  if (isPlaceholder()) return nullptr;
  HCERTSTORE store = CertOpenSystemStoreW(0, u"MY");
  if (store == nullptr) return nullptr;
  CERT_ID id{};
  id.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
  id.IssuerSerialNumber.Issuer = blobOf(issuer);
  id.IssuerSerialNumber.SerialNumber = blobOf(serialNumber);
  PCCERT_CONTEXT context =
      CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_CERT_ID, &id, nullptr);
  CertCloseStore(store, 0);
  return context;
}

int Certificate::indexOf(const QList<Certificate>& list, const QByteArray& issuer,
                         const QByteArray& serialNumber) {
  if (issuer.isEmpty() || serialNumber.isEmpty()) return 0;
  for (int i = 0; i < list.size(); ++i) {
    if (list.at(i).issuer == issuer && list.at(i).serialNumber == serialNumber) return i;
  }
  return 0;
}
