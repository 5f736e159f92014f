#include "test_pki.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace webapi_test {

namespace {

EVP_PKEY* newKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (key == nullptr) throw std::runtime_error("key generation failed");
  return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) throw std::runtime_error("extension failed");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

X509* makeCert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuerKey, long serial,
               bool ca, const char* san) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 7L * 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Webapi Tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(signer));
  if (ca) {
    addExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(cert, signer, NID_basic_constraints, "CA:FALSE");
  }
  if (san != nullptr) addExtension(cert, signer, NID_subject_alt_name, san);
  X509_sign(cert, issuerKey != nullptr ? issuerKey : key, EVP_sha256());
  return cert;
}

void writeFile(const std::string& path, X509* cert, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  if (cert != nullptr) PEM_write_X509(f, cert);
  if (key != nullptr) PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

TestPki make() {
  TestPki p;
  char dirTemplate[] = "/tmp/webapi-pki-XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) throw std::runtime_error("mkdtemp");
  p.dir = dirTemplate;
  p.caFile = p.dir + "/ca.pem";
  p.serverCert = p.dir + "/server.pem";
  p.serverKey = p.dir + "/server.key";
  p.clientPem = p.dir + "/client.pem";
  p.clientSubjectCN = "test-client";
  p.rogueServerCert = p.dir + "/rogue.pem";
  p.rogueServerKey = p.dir + "/rogue.key";
  p.keyOnlyPem = p.dir + "/keyonly.pem";
  p.mismatchedPem = p.dir + "/mismatched.pem";

  EVP_PKEY* caKey = newKey();
  X509* ca = makeCert(caKey, "Webapi Test CA", nullptr, nullptr, 1, true, nullptr);
  EVP_PKEY* serverKey = newKey();
  X509* server = makeCert(serverKey, "127.0.0.1", ca, caKey, 2, false,
                          "IP:127.0.0.1,DNS:localhost");
  EVP_PKEY* clientKey = newKey();
  X509* client = makeCert(clientKey, p.clientSubjectCN.c_str(), ca, caKey, 0x01020304, false,
                          nullptr);
  EVP_PKEY* rogueCaKey = newKey();
  X509* rogueCa = makeCert(rogueCaKey, "Rogue CA", nullptr, nullptr, 9, true, nullptr);
  EVP_PKEY* rogueKey = newKey();
  X509* rogue = makeCert(rogueKey, "127.0.0.1", rogueCa, rogueCaKey, 10, false,
                         "IP:127.0.0.1,DNS:localhost");
  EVP_PKEY* otherKey = newKey();

  writeFile(p.caFile, ca, nullptr);
  writeFile(p.serverCert, server, nullptr);
  writeFile(p.serverKey, nullptr, serverKey);
  writeFile(p.clientPem, client, clientKey);
  writeFile(p.rogueServerCert, rogue, nullptr);
  writeFile(p.rogueServerKey, nullptr, rogueKey);
  writeFile(p.keyOnlyPem, nullptr, clientKey);
  writeFile(p.mismatchedPem, client, otherKey);

  for (X509* c : {ca, server, client, rogueCa, rogue}) X509_free(c);
  for (EVP_PKEY* k : {caKey, serverKey, clientKey, rogueCaKey, rogueKey, otherKey}) EVP_PKEY_free(k);
  return p;
}

}  // namespace

const TestPki& pki() {
  static const TestPki instance = make();
  return instance;
}

}  // namespace webapi_test
