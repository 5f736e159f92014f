#include "SettingsStore.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <memory>

#include "SiteTable.h"
#include "Util.h"

namespace {

std::unique_ptr<QSettings> openSessionGroup() {
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "Kindrel",
                                     "Ambermoor");
}

}  // namespace

QString SettingsStore::settingsFilePath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         "/Kindrel/Ambermoor/user_settings.ini";
}

void SettingsStore::loadSettings(ClientSettings& s) {
  // 1. The settings file, or the layout of earlier releases in the session group.
  const bool fromSessionGroup = !QFileInfo::exists(settingsFilePath());
  std::unique_ptr<QSettings> store =
      fromSessionGroup ? openSessionGroup()
                       : std::make_unique<QSettings>(settingsFilePath(), QSettings::IniFormat);
  QSettings& in = *store;

  // 2. Login form.
  s.corpId = in.value("corpId", "").toString();
  s.userId = in.value("userId", "").toString();

  // 3. Certificate list with the stored certificate selected.
  const QByteArray certIssuer = in.value("certIssuer").toByteArray();
  const QByteArray certSerialNumber = in.value("certSerialNumber").toByteArray();
  s.certificates.clear();
  Certificate::enumerate(s.certificates, true);
  s.certIndex = Certificate::indexOf(s.certificates, certIssuer, certSerialNumber);

  // 4, 5. Proxy; the password is encrypted from layout version 2 on.
  s.useProxy = in.value("useProxy", false).toBool();
  s.proxyHost = in.value("proxyHost", "").toString();
  s.proxyPort = in.value("proxyPort", 8000).toInt();
  s.proxyType = in.value("proxyType", 0).toInt();
  s.proxyUsername = in.value("proxyUsername", "").toString();
  s.proxyExcluded = in.value("proxyExcluded", "").toString();
  if (in.contains("regVersion")) {
    s.proxyPassword =
        in.contains("proxyPassword") ? Util::decrypt(in.value("proxyPassword").toString()) : "";
  } else {
    s.proxyPassword = in.value("proxyPassword", "").toString();
  }

  // 6, 7.
  s.outputLog = in.value("outputLog", false).toBool();
  s.autoClearCache = in.value("autoClearCache", false).toBool();
  s.savePassword = in.value("savePassword", false).toBool();
  s.autoLogin = in.value("autoLogin", false).toBool();
  s.password.clear();
  if (s.savePassword && in.contains("password"))
    s.password = Util::decrypt(in.value("password").toString());

  // 8.
  s.useSubSite = in.value("useSubSite", false).toBool();
  s.useCert = in.value("useCert", false).toBool();

  // 9. A stored drive that is in use now falls back to the first free one.
  const QStringList freeLetters = Util::freeDriveLetters();
  const QString firstFree = freeLetters.isEmpty() ? QString("") : freeLetters.first();
  s.mountPoint = in.value("mountPoint", firstFree).toString();
  if (!freeLetters.contains(s.mountPoint)) s.mountPoint = firstFree;

  // 10.
  s.samlEnabled = in.value("samlEnabled", false).toBool();
  s.samlCorpId = in.value("samlCorpId", "").toString();

  // 11. A site that is not in the table falls back to the default one.
  const SiteTable& sites = SiteTable::active();
  const QString defaultDomain = sites.defaultSiteDomain(s.useSubSite, s.useCert, s.samlEnabled);
  s.siteDomain = in.value("siteDomain", defaultDomain).toString();
  if (!sites.isKnownSiteDomain(s.siteDomain)) s.siteDomain = defaultDomain;

  // 12. The earlier layout has been read: it is not read again.
  if (fromSessionGroup) in.clear();
}

void SettingsStore::saveSettings(const ClientSettings& s, const SessionValues& session) {
  QSettings file(settingsFilePath(), QSettings::IniFormat);
  std::unique_ptr<QSettings> group = openSessionGroup();

  file.setValue("corpId", s.corpId);
  file.setValue("userId", s.userId);
  file.setValue("mountPoint", s.mountPoint);
  file.setValue("useProxy", s.useProxy);
  file.setValue("proxyHost", s.proxyHost);
  file.setValue("proxyPort", s.proxyPort);
  file.setValue("proxyType", s.proxyType);
  file.setValue("proxyUsername", s.proxyUsername);
  file.setValue("proxyExcluded", s.proxyExcluded);

  group->setValue("baseURL", SiteTable::baseUrlFor(s.siteDomain));
  group->setValue("language", Util::languageCode());
  group->setValue("corpId", s.corpId);
  group->setValue("userId", s.samlEnabled ? session.samlUserId : s.userId);
  group->setValue("mountPoint", s.mountPoint);
  group->setValue("arrayid", session.arrayid);
  group->setValue("jsessionid", session.jsessionid);
  group->sync();

  if (s.proxyPassword.isEmpty())
    file.remove("proxyPassword");
  else
    file.setValue("proxyPassword", Util::encrypt(s.proxyPassword));
  file.setValue("outputLog", s.outputLog);
  file.setValue("autoClearCache", s.autoClearCache);
  file.setValue("savePassword", s.savePassword);
  file.setValue("autoLogin", s.autoLogin);
  file.setValue("samlEnabled", s.samlEnabled);
  file.setValue("samlCorpId", s.samlCorpId);
  file.setValue("useSubSite", s.useSubSite);
  file.setValue("siteDomain", s.siteDomain);
  if (s.savePassword)
    file.setValue("password", Util::encrypt(s.password));
  else
    file.remove("password");
  file.setValue("useCert", s.useCert);
  const Certificate chosen = s.selectedCertificate();
  file.setValue("certIssuer", chosen.issuer);
  file.setValue("certSerialNumber", chosen.serialNumber);

  // Earlier releases kept a copy of the certificate in a file of their own.
  if (file.contains("certPemPath")) {
    const QString pemPath = file.value("certPemPath").toString();
    if (!pemPath.isEmpty() && QFileInfo(pemPath).isFile()) QFile::remove(pemPath);
    file.remove("certPemPath");
  }
  file.setValue("regVersion", kRegVersion);
  file.sync();
}

void SettingsStore::clearSessionValues() {
  std::unique_ptr<QSettings> group = openSessionGroup();
  for (const char* key :
       {"arrayid", "jsessionid", "mountPoint", "corpId", "userId", "language", "baseURL"})
    group->remove(key);
  group->sync();
}
