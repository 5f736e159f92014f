// One entry of the login window's certificate list: the encoded subject and
// issuer names and the serial number of a certificate in the user's "MY"
// store. All three empty is the placeholder entry (no certificate chosen).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "wincrypt.h"

class Certificate {
 public:
  Certificate() = default;
  Certificate(const QByteArray& subject, const QByteArray& issuer, const QByteArray& serialNumber)
      : subject(subject), issuer(issuer), serialNumber(serialNumber) {}

  QByteArray subject;
  QByteArray issuer;
  QByteArray serialNumber;  // least significant byte first, as stored

  bool isPlaceholder() const {
    return subject.isEmpty() && issuer.isEmpty() && serialNumber.isEmpty();
  }

  // Appends the certificates of the store, in its order; the placeholder
  // first when asked for.
  static void enumerate(QList<Certificate>& list, bool withPlaceholder);

  // The combo box text: "TXT_SELECT_CERT_MSG" for the placeholder, else
  // "<subject CN> (<issuer CN>)".
  QString displayName() const;

  // The common name (the last "CN=") of an encoded name; empty without one.
  static QString byteArrayToNameString(const QByteArray& blob);

  // The store's context for this entry's issuer and serial number, or null
  // (also for the placeholder). The caller owns one reference.
  PCCERT_CONTEXT findInStore() const;

  // Index of the first entry with these issuer and serial bytes; 0 (the
  // placeholder's place) when none matches or either is empty.
  static int indexOf(const QList<Certificate>& list, const QByteArray& issuer,
                     const QByteArray& serialNumber);
};
