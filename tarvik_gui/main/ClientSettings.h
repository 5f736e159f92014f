// The desktop client's settings as the login window holds them in memory,
// with the certificate list it shows. SettingsStore loads and saves them.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "Certificate.h"

struct ClientSettings {
  // Login form.
  QString corpId;
  QString userId;
  QString password;  // plain text, in memory only
  bool useCert = false;

  // Certificate list (placeholder first) and the chosen entry's index;
  // 0 (the placeholder) when none is chosen.
  QList<Certificate> certificates;
  int certIndex = 0;

  bool useProxy = false;
  QString proxyHost;
  int proxyPort = 8000;
  int proxyType = 0;
  QString proxyUsername;
  QString proxyPassword;  // plain text, in memory only
  QString proxyExcluded;

  bool outputLog = false;
  bool autoClearCache = false;
  bool savePassword = false;
  bool autoLogin = false;

  QString mountPoint;
  bool samlEnabled = false;
  QString samlCorpId;
  bool useSubSite = false;
  QString siteDomain;

  // The chosen certificate, or the placeholder when the index is out of range.
  Certificate selectedCertificate() const {
    return certIndex > 0 && certIndex < certificates.size() ? certificates.at(certIndex)
                                                            : Certificate();
  }
};

// The values of a signed-in session that saveSettings publishes in the
// session group.
struct SessionValues {
  QString arrayid;
  QString jsessionid;
  QString samlUserId;  // the user ID reported by a SAML sign-in
};
