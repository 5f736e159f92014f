// The settings store end to end: the legacy layout migrated from the session
// group, passwords encrypted in the file and never in the log, keys removed
// when they must be, the drive and site fall-backs, the session values, the
// site table read from sites.ini, and stored passwords that do not decrypt.
#include <gtest/gtest.h>

#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <mutex>

#include "SettingsStore.h"
#include "SiteTable.h"
#include "Util.h"
#include "gui_test_support.h"
#include "tarvik.h"

namespace {

// Everything the client writes to the debug output while a test runs.
class LogCapture {
 public:
  LogCapture() {
    text().clear();
    previous_ = qInstallMessageHandler(&LogCapture::handler);
  }
  ~LogCapture() { qInstallMessageHandler(previous_); }
  QString all() const {
    std::lock_guard<std::mutex> lock(mutex());
    return text();
  }

 private:
  static void handler(QtMsgType, const QMessageLogContext&, const QString& message) {
    std::lock_guard<std::mutex> lock(mutex());
    text() += message + '\n';
  }
  static QString& text() {
    static QString t;
    return t;
  }
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  QtMessageHandler previous_;
};

QSettings sessionGroup() { return QSettings("Kindrel", "Ambermoor"); }

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gui_test::resetConfig();
    SiteTable::reload();
    // D: and E: in use, so the first free drive is F:.
    Util::setLogicalDrivesForTest([] { return 0x7u | (1u << 3) | (1u << 4); });
  }
  void TearDown() override {
    Util::setLogicalDrivesForTest(nullptr);
    gui_test::resetConfig();
    SiteTable::reload();
  }
};

TEST_F(SettingsStoreTest, LegacyLayoutMigratesAndNoPasswordReachesTheLog) {
  LogCapture log;
  const QString proxyPassword = "pr0xy-Secret";
  const QString password = "L0gin-Passw0rd";
  {
    // An earlier release kept everything in the session group, the proxy
    // password in plain text and the login password encrypted.
    QSettings legacy = sessionGroup();
    legacy.setValue("corpId", "acme");
    legacy.setValue("userId", "alice");
    legacy.setValue("useProxy", "true");
    legacy.setValue("proxyHost", "proxy.local");
    legacy.setValue("proxyPort", "3128");
    legacy.setValue("proxyType", "5");
    legacy.setValue("proxyUsername", "pu");
    legacy.setValue("proxyPassword", proxyPassword);
    legacy.setValue("savePassword", "true");
    legacy.setValue("password", Util::encrypt(password));
    legacy.setValue("mountPoint", "G:");
    legacy.setValue("siteDomain", SiteTable::active().rows().at(2).plain);
  }
  ASSERT_FALSE(QFile::exists(SettingsStore::settingsFilePath()));

  ClientSettings s;
  SettingsStore::loadSettings(s);
  EXPECT_EQ(s.corpId, "acme");
  EXPECT_EQ(s.userId, "alice");
  EXPECT_TRUE(s.useProxy);
  EXPECT_EQ(s.proxyPort, 3128);
  EXPECT_EQ(s.proxyType, 5);
  EXPECT_EQ(s.proxyPassword, proxyPassword) << "the earlier layout stored it in plain text";
  EXPECT_EQ(s.password, password);
  EXPECT_EQ(s.mountPoint, "G:");
  EXPECT_EQ(s.siteDomain, SiteTable::active().rows().at(2).plain);
  EXPECT_TRUE(sessionGroup().allKeys().isEmpty()) << "the legacy group is cleared after reading";

  // The next successful sign-in writes the file in the current layout and
  // publishes the session.
  SettingsStore::saveSettings(s, {"array-7", "jsess-42", ""});
  {
    QSettings file(SettingsStore::settingsFilePath(), QSettings::IniFormat);
    EXPECT_EQ(file.value("regVersion").toInt(), 2);
    const QString storedProxy = file.value("proxyPassword").toString();
    const QString storedPassword = file.value("password").toString();
    EXPECT_NE(storedProxy, proxyPassword);
    EXPECT_EQ(Util::decrypt(storedProxy), proxyPassword);
    EXPECT_EQ(Util::decrypt(storedPassword), password);
    QFile raw(SettingsStore::settingsFilePath());
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    const QByteArray contents = raw.readAll();
    EXPECT_TRUE(contents.contains("proxyPassword="));
    EXPECT_FALSE(contents.contains("Secret")) << contents.constData();

    QSettings group = sessionGroup();
    EXPECT_EQ(group.value("baseURL").toString(), "https://" + s.siteDomain + "/");
    EXPECT_EQ(group.value("corpId").toString(), "acme");
    EXPECT_EQ(group.value("userId").toString(), "alice");
    EXPECT_EQ(group.value("mountPoint").toString(), "G:");
    EXPECT_EQ(group.value("arrayid").toString(), "array-7");
    EXPECT_EQ(group.value("jsessionid").toString(), "jsess-42");
    EXPECT_TRUE(group.value("language").toString() == "ja" ||
                group.value("language").toString() == "en");

    // From now on the file is read, and the encrypted proxy password with it.
    ClientSettings again;
    SettingsStore::loadSettings(again);
    EXPECT_EQ(again.proxyPassword, proxyPassword);
    EXPECT_EQ(again.password, password);
    EXPECT_EQ(again.corpId, "acme");

    // Nothing written to the log while saving and loading names a password
    // or its stored form.
    const QString text = log.all();
    EXPECT_TRUE(text.contains("src: ")) << "the encryption did log its lines";
    for (const QString& secret : {proxyPassword, password, storedProxy, storedPassword})
      EXPECT_FALSE(text.contains(secret)) << qPrintable(secret) << " in the log:\n"
                                          << qPrintable(text);
  }

  // Logout removes the session values, and only those.
  SettingsStore::clearSessionValues();
  EXPECT_TRUE(sessionGroup().allKeys().isEmpty());
  EXPECT_TRUE(QFile::exists(SettingsStore::settingsFilePath()));
}

TEST_F(SettingsStoreTest, SavingRemovesUnwantedPasswordsAndTheObsoleteCertificateFile) {
  ClientSettings s;
  SettingsStore::loadSettings(s);
  // A long, non-ASCII password round-trips whole.
  s.savePassword = true;
  s.password = QString("pässwört-") + QString("x").repeated(80);
  s.proxyPassword = "proxy";
  SettingsStore::saveSettings(s, {});
  ClientSettings loaded;
  SettingsStore::loadSettings(loaded);
  EXPECT_EQ(loaded.password, s.password);

  QTemporaryDir dir;
  const QString oldPem = dir.filePath("old.pem");
  {
    QFile f(oldPem);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("old certificate copy");
    QSettings file(SettingsStore::settingsFilePath(), QSettings::IniFormat);
    file.setValue("certPemPath", oldPem);
  }
  s.savePassword = false;
  s.proxyPassword.clear();
  SettingsStore::saveSettings(s, {});
  QSettings file(SettingsStore::settingsFilePath(), QSettings::IniFormat);
  EXPECT_FALSE(file.contains("password"));
  EXPECT_FALSE(file.contains("proxyPassword"));
  EXPECT_FALSE(file.contains("certPemPath"));
  EXPECT_FALSE(QFile::exists(oldPem));
  EXPECT_EQ(file.value("regVersion").toInt(), 2);

  // With savePassword off a password left in the file is not read either.
  file.setValue("password", Util::encrypt("stale"));
  file.sync();
  ClientSettings without;
  SettingsStore::loadSettings(without);
  EXPECT_TRUE(without.password.isEmpty());
}

TEST_F(SettingsStoreTest, DriveAndSiteFallBackToTheirDefaults) {
  const SiteTable& sites = SiteTable::active();
  {
    QSettings file(SettingsStore::settingsFilePath(), QSettings::IniFormat);
    file.setValue("regVersion", 2);
    file.setValue("mountPoint", "E:");  // in use
    file.setValue("siteDomain", "elsewhere.example.org");
    file.setValue("useCert", true);
  }
  ClientSettings s;
  SettingsStore::loadSettings(s);
  EXPECT_EQ(s.mountPoint, "F:");
  EXPECT_EQ(s.siteDomain, sites.rows().at(0).secure) << "certificate on, SAML off: secure host";

  // Every letter from D to Y in use: no drive to offer.
  Util::setLogicalDrivesForTest([] { return 0x3ffffffu; });
  EXPECT_TRUE(Util::freeDriveLetters().isEmpty());
  SettingsStore::loadSettings(s);
  EXPECT_EQ(s.mountPoint, "");

  // The site rules on the table.
  const QString mainPlain = sites.rows().at(0).plain, mainSecure = sites.rows().at(0).secure;
  const QString subPlain = sites.rows().at(1).plain, subSecure = sites.rows().at(1).secure;
  EXPECT_EQ(sites.defaultSiteDomain(false, true, false), mainSecure);
  EXPECT_EQ(sites.defaultSiteDomain(true, true, false), subSecure);
  EXPECT_EQ(sites.defaultSiteDomain(false, true, true), mainPlain) << "SAML keeps the plain host";
  EXPECT_EQ(sites.defaultSiteDomain(true, false, false), subPlain);
  EXPECT_TRUE(sites.isSubSiteDomain(subSecure));
  EXPECT_FALSE(sites.isSubSiteDomain(mainPlain));
  EXPECT_EQ(sites.plainSiteDomain(subSecure), subPlain);
  EXPECT_EQ(sites.plainSiteDomain("unknown.example"), "");
  EXPECT_TRUE(sites.isTableDomain(mainSecure, true));
  EXPECT_FALSE(sites.isTableDomain(mainPlain, true));
  // Rows 4 and 11 have no certificate host: an empty domain is never known.
  EXPECT_TRUE(sites.rows().at(3).secure.isEmpty());
  EXPECT_TRUE(sites.rows().at(10).secure.isEmpty());
  EXPECT_FALSE(sites.isKnownSiteDomain(""));
  EXPECT_FALSE(sites.isTableDomain("", true));
}

TEST_F(SettingsStoreTest, SitesIniReplacesTheTableUnlessItIsUnusable) {
  const QString path = gui_test::appDataFolder() + "/sites.ini";
  {
    QSettings ini(path, QSettings::IniFormat);
    ini.setValue("site1/plain", "127.0.0.1:8443");
    ini.setValue("site1/secure", "127.0.0.1:8444");
    ini.setValue("site2/plain", "127.0.0.2:8443");
  }
  SiteTable::reload();
  const SiteTable& sites = SiteTable::active();
  EXPECT_EQ(sites.sourcePath(), path);
  EXPECT_EQ(sites.defaultSiteDomain(false, true, false), "127.0.0.1:8444");
  EXPECT_EQ(SiteTable::baseUrlFor(sites.defaultSiteDomain(false, false, false)),
            "https://127.0.0.1:8443/");
  // The sub site has no certificate host here: it keeps its plain one.
  EXPECT_EQ(sites.defaultSiteDomain(true, true, false), "127.0.0.2:8443");
  EXPECT_FALSE(sites.isKnownSiteDomain(SiteTable::builtIn().rows().at(0).plain));

  // A host that would bend the URL makes the whole file unusable.
  {
    QSettings ini(path, QSettings::IniFormat);
    ini.setValue("site3/plain", "evil.example/phish?");
  }
  SiteTable::reload();
  EXPECT_TRUE(SiteTable::active().sourcePath().isEmpty());
  EXPECT_EQ(SiteTable::active().rows().at(0).plain, SiteTable::builtIn().rows().at(0).plain);
}

TEST(UtilCrypto, StoredValuesOfEarlierReleasesDecryptAndDamagedOnesGiveNothing) {
  // A 35-byte password as earlier releases stored it: vector, cipher bytes,
  // percent-encoded.
  const QByteArray plain = "abcdefghijklmnopqrstuvwxyz012345678";
  ASSERT_EQ(plain.size(), 35);
  const unsigned char key[] = "Tq7vLmPz_4XwRb2K";
  unsigned char iv[16];
  for (int i = 0; i < 16; ++i) iv[i] = static_cast<unsigned char>(0xf0 + i);
  unsigned char out[51];
  ASSERT_EQ(tarvik_encryptBytes(out, reinterpret_cast<const unsigned char*>(plain.constData()),
                                35, key, iv),
            51);
  const QString stored =
      QString::fromLatin1(QByteArray(reinterpret_cast<char*>(out), 51).toPercentEncoding());
  EXPECT_EQ(Util::decrypt(stored), QString(plain));

  // Fresh encryptions differ (random vector) and both decrypt.
  const QString a = Util::encrypt("same"), b = Util::encrypt("same");
  EXPECT_NE(a, b);
  EXPECT_EQ(Util::decrypt(a), "same");
  EXPECT_EQ(Util::decrypt(Util::encrypt("")), "");

  // Not percent-encoded, cut short, or cut inside an escape: nothing.
  EXPECT_EQ(Util::decrypt("not an encrypted value!"), "");
  EXPECT_EQ(Util::decrypt(stored.left(20)), "");
  EXPECT_EQ(Util::decrypt(stored.left(stored.lastIndexOf('%') + 2)), "");
  EXPECT_EQ(Util::decrypt(stored + "%zz"), "");
  EXPECT_EQ(Util::decrypt(QString::fromUtf8("ä") + stored), "");
  // Cipher bytes changed into ones that decrypt to control characters.
  QByteArray tampered(reinterpret_cast<char*>(out), 51);
  for (int i = 16; i < 51; ++i) tampered[i] = static_cast<char>(tampered[i] ^ plain[i - 16] ^ 0x01);
  EXPECT_EQ(Util::decrypt(QString::fromLatin1(tampered.toPercentEncoding())), "");
}

}  // namespace
