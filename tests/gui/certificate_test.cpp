// Client certificates from the user's store folder: listing with the
// placeholder, display texts, telling apart certificates with the same
// names, the name-string form, the stored choice, and a sign-in on the local
// service's certificate host with a certificate found in the store.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Certificate.h"
#include "SettingsStore.h"
#include "gui_test_support.h"
#include "local_service.h"
#include "private_dirs.h"
#include "tarvik.h"
#include "wincrypt_store.h"

namespace {

QString storeFolder() {
  const QString folder = gui_test::appDataFolder() + "/certificates";
  QDir().mkpath(folder);
  return folder;
}

void addName(X509_NAME* name, const char* key, const char* value) {
  X509_NAME_add_entry_by_txt(name, key, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value),
                             -1, -1, 0);
}

// Writes a self-made certificate with its key into the store folder.
// `subject` and `issuer` are lists of (key, value) pairs in encoded order.
void writeCertificate(const QString& file, long serial,
                      std::initializer_list<std::pair<const char*, const char*>> subject,
                      std::initializer_list<std::pair<const char*, const char*>> issuer) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key);
  for (const auto& [k, v] : subject) addName(X509_get_subject_name(cert), k, v);
  X509_NAME* issuerName = X509_NAME_new();
  for (const auto& [k, v] : issuer) addName(issuerName, k, v);
  X509_set_issuer_name(cert, issuerName);
  X509_NAME_free(issuerName);
  X509_sign(cert, key, EVP_sha256());
  FILE* fp = std::fopen(QFile::encodeName(storeFolder() + "/" + file).constData(), "w");
  ASSERT_NE(fp, nullptr);
  PEM_write_X509(fp, cert);
  PEM_write_PrivateKey(fp, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(fp);
  X509_free(cert);
  EVP_PKEY_free(key);
}

class CertificateTest : public ::testing::Test {
 protected:
  void SetUp() override { gui_test::resetConfig(); }
  void TearDown() override { gui_test::resetConfig(); }
};

TEST_F(CertificateTest, AnEmptyStoreListsThePlaceholderOnly) {
  QList<Certificate> list;
  Certificate::enumerate(list, true);
  ASSERT_EQ(list.size(), 1);
  EXPECT_TRUE(list.at(0).isPlaceholder());
  EXPECT_EQ(list.at(0).displayName(), "TXT_SELECT_CERT_MSG");  // no catalogue installed
  EXPECT_EQ(list.at(0).findInStore(), nullptr);

  // Files that are not a certificate with its key are left out.
  QFile junk(storeFolder() + "/junk.pem");
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
  junk.write("-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
  junk.close();
  list.clear();
  Certificate::enumerate(list, false);
  EXPECT_TRUE(list.isEmpty());
}

TEST_F(CertificateTest, SameNamesAreListedTwiceAndChosenApartByIssuerAndSerial) {
  writeCertificate("a.pem", 0x1001, {{"O", "acme"}, {"CN", "Alice"}}, {{"CN", "Issuing CA"}});
  writeCertificate("b.pem", 0x1002, {{"O", "acme"}, {"CN", "Alice"}}, {{"CN", "Issuing CA"}});
  writeCertificate("c.pem", 7, {{"C", "JP"}, {"O", "No, Common Name"}}, {{"CN", "Other CA"}});

  QList<Certificate> list;
  Certificate::enumerate(list, true);
  ASSERT_EQ(list.size(), 4);
  EXPECT_EQ(list.at(1).displayName(), "Alice (Issuing CA)");
  EXPECT_EQ(list.at(2).displayName(), "Alice (Issuing CA)");
  EXPECT_NE(list.at(1).serialNumber, list.at(2).serialNumber);
  // Serial numbers are kept least significant byte first.
  EXPECT_EQ(list.at(2).serialNumber, QByteArray("\x02\x10", 2));
  // A subject without a common name gives a text starting with a blank.
  EXPECT_EQ(list.at(3).displayName(), " (Other CA)");

  // Each entry finds its own certificate again.
  for (int i = 1; i <= 2; ++i) {
    PCCERT_CONTEXT context = list.at(i).findInStore();
    ASSERT_NE(context, nullptr);
    const CERT_INFO* info = context->pCertInfo;
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(info->SerialNumber.pbData),
                         static_cast<int>(info->SerialNumber.cbData)),
              list.at(i).serialNumber);
    CertFreeCertificateContext(context);
  }
  Certificate gone = list.at(1);
  gone.serialNumber = QByteArray("\x99", 1);
  EXPECT_EQ(gone.findInStore(), nullptr);

  // The choice is stored by issuer and serial and selected again on load.
  ClientSettings s;
  SettingsStore::loadSettings(s);
  EXPECT_EQ(s.certIndex, 0);
  s.certIndex = 2;
  SettingsStore::saveSettings(s, {});
  ClientSettings loaded;
  SettingsStore::loadSettings(loaded);
  EXPECT_EQ(loaded.certIndex, 2);
  // Once that certificate has left the store, the placeholder is selected.
  QFile::remove(storeFolder() + "/b.pem");
  SettingsStore::loadSettings(loaded);
  EXPECT_EQ(loaded.certificates.size(), 3);
  EXPECT_EQ(loaded.certIndex, 0);

  // The name in its X.500 form: encoded order, quoting, the last CN wins.
  QByteArray subject = list.at(3).subject;
  CERT_NAME_BLOB blob{static_cast<DWORD>(subject.size()),
                      reinterpret_cast<BYTE*>(subject.data())};
  WCHAR text[64];
  const DWORD n = CertNameToStrW(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, text, 64);
  EXPECT_EQ(QString::fromUtf16(text), "C=JP, O=\"No, Common Name\"");
  EXPECT_EQ(n, static_cast<DWORD>(QString::fromUtf16(text).size() + 1));
  EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, nullptr, 0), n);
  EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, text, 5), 5u);
  EXPECT_EQ(QString::fromUtf16(text), "C=JP");
}

TEST_F(CertificateTest, ACertificateFromTheStoreSignsInOnTheCertificateHost) {
  tarvik_test::usePrivateDirectories();
  auto service = tarvik_test::LocalService::start();
  setenv("CURL_CA_BUNDLE", service->caFile().c_str(), 1);
  const std::string pem = service->issueClientCert(service->demoCorp(), service->demoUser());
  ASSERT_TRUE(QFile::copy(QString::fromStdString(pem), storeFolder() + "/issued.pem"));

  QList<Certificate> list;
  Certificate::enumerate(list, true);
  ASSERT_EQ(list.size(), 2);
  EXPECT_EQ(Certificate::byteArrayToNameString(list.at(1).subject),
            QString::fromStdString(service->demoUser()));
  PCCERT_CONTEXT context = list.at(1).findInStore();
  ASSERT_NE(context, nullptr);

  ASSERT_EQ(tarvik_setCertificate(context), 0);
  ASSERT_EQ(tarvik_init(service->certUrl().c_str(), "en", false, nullptr), 0);
  char corp[TARVIK_CORPID_SIZE] = "", user[TARVIK_USERID_SIZE] = "";
  bool required = true;
  EXPECT_EQ(tarvik_getPKIInfo(corp, user, &required), 0);
  EXPECT_EQ(std::string(corp), service->demoCorp());
  EXPECT_EQ(std::string(user), service->demoUser());
  tarvik_setCertificate(nullptr);
  CertFreeCertificateContext(context);
}

}  // namespace
