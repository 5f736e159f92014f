#include "tls.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace ambermoor {
namespace {

namespace fs = std::filesystem;

struct PkeyFree { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
struct X509Free { void operator()(X509* p) const { X509_free(p); } };
struct FileClose { void operator()(FILE* f) const { if (f) std::fclose(f); } };
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using FilePtr = std::unique_ptr<FILE, FileClose>;

void fail(const std::string& what) { throw std::runtime_error("certificate authority: " + what); }

PkeyPtr newKey() {
  PkeyPtr k(EVP_EC_gen("P-256"));
  if (!k) fail("key generation failed");
  return k;
}

void addExt(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ex = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ex) fail("bad extension");
  X509_add_ext(cert, ex, -1);
  X509_EXTENSION_free(ex);
}

X509Ptr makeCert(EVP_PKEY* key, X509* issuer,
                 const std::vector<std::pair<std::string, std::string>>& subject, long days) {
  X509Ptr cert(X509_new());
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * 24 * 3600);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  for (const auto& [field, value] : subject)
    X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  X509* iss = issuer ? issuer : cert.get();
  if (!issuer) {
    addExt(cert.get(), iss, NID_basic_constraints, "critical,CA:TRUE");
    addExt(cert.get(), iss, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExt(cert.get(), iss, NID_subject_key_identifier, "hash");
  } else {
    addExt(cert.get(), iss, NID_basic_constraints, "critical,CA:FALSE");
    addExt(cert.get(), iss, NID_authority_key_identifier, "keyid");
  }
  return cert;
}

void sign(X509* cert, EVP_PKEY* key) {
  if (!X509_sign(cert, key, EVP_sha256())) fail("signing failed");
}

FilePtr openPrivate(const std::string& path) {
  // Keys are readable by the owner only.
  FilePtr f(std::fopen(path.c_str(), "wb"));
  if (!f) fail("cannot write " + path);
  ::chmod(path.c_str(), 0600);
  return f;
}

void writeCert(const std::string& path, X509* cert) {
  FilePtr f(std::fopen(path.c_str(), "wb"));
  if (!f || !PEM_write_X509(f.get(), cert)) fail("cannot write " + path);
}

void writeKey(const std::string& path, EVP_PKEY* key) {
  FilePtr f = openPrivate(path);
  if (!PEM_write_PrivateKey(f.get(), key, nullptr, nullptr, 0, nullptr, nullptr))
    fail("cannot write " + path);
}

X509Ptr readCert(const std::string& path) {
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) fail("cannot read " + path);
  X509Ptr c(PEM_read_X509(f.get(), nullptr, nullptr, nullptr));
  if (!c) fail("bad certificate in " + path);
  return c;
}

PkeyPtr readKey(const std::string& path) {
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) fail("cannot read " + path);
  PkeyPtr k(PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr));
  if (!k) fail("bad key in " + path);
  return k;
}

// Writes to a temporary name and renames, so a crash never leaves half a file.
void commit(const std::string& tmp, const std::string& final) {
  fs::rename(tmp, final);
}

}  // namespace

TlsFiles ensureCertificateAuthority(const std::string& dataDir) {
  fs::path dir = fs::path(dataDir) / "tls";
  fs::create_directories(dir);
  TlsFiles f{(dir / "ca.pem").string(), (dir / "ca-key.pem").string(),
             (dir / "server.pem").string(), (dir / "server-key.pem").string()};
  if (!fs::exists(f.caCert) || !fs::exists(f.caKey)) {
    PkeyPtr key = newKey();
    X509Ptr ca = makeCert(key.get(), nullptr,
                          {{"O", "ambermoor-local"}, {"CN", "ambermoor-local CA"}}, 3650);
    sign(ca.get(), key.get());
    writeKey(f.caKey + ".tmp", key.get());
    writeCert(f.caCert + ".tmp", ca.get());
    commit(f.caKey + ".tmp", f.caKey);
    commit(f.caCert + ".tmp", f.caCert);
    fs::remove(f.serverCert);  // a new CA invalidates the old server certificate
  }
  // The identity provider listens on 127.0.0.2: a certificate from before
  // it existed is issued again.
  if (fs::exists(f.serverCert) && !X509_check_ip_asc(readCert(f.serverCert).get(), "127.0.0.2", 0))
    fs::remove(f.serverCert);
  if (!fs::exists(f.serverCert) || !fs::exists(f.serverKey)) {
    X509Ptr ca = readCert(f.caCert);
    PkeyPtr caKey = readKey(f.caKey);
    PkeyPtr key = newKey();
    X509Ptr cert = makeCert(key.get(), ca.get(), {{"CN", "localhost"}}, 825);
    addExt(cert.get(), ca.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:127.0.0.2");
    addExt(cert.get(), ca.get(), NID_ext_key_usage, "serverAuth");
    sign(cert.get(), caKey.get());
    writeKey(f.serverKey + ".tmp", key.get());
    writeCert(f.serverCert + ".tmp", cert.get());
    commit(f.serverKey + ".tmp", f.serverKey);
    commit(f.serverCert + ".tmp", f.serverCert);
  }
  return f;
}

std::string issueClientCertificate(const std::string& dataDir, const std::string& corp,
                                   const std::string& user, const std::string& outPath) {
  TlsFiles f = ensureCertificateAuthority(dataDir);
  X509Ptr ca = readCert(f.caCert);
  PkeyPtr caKey = readKey(f.caKey);
  PkeyPtr key = newKey();
  X509Ptr cert = makeCert(key.get(), ca.get(), {{"O", corp}, {"CN", user}}, 825);
  addExt(cert.get(), ca.get(), NID_ext_key_usage, "clientAuth");
  sign(cert.get(), caKey.get());
  std::string out = outPath;
  if (out.empty()) {
    fs::path dir = fs::path(dataDir) / "clients";
    fs::create_directories(dir);
    out = (dir / (corp + "_" + user + ".pem")).string();
  }
  {
    FilePtr fp = openPrivate(out + ".tmp");
    if (!PEM_write_X509(fp.get(), cert.get()) ||
        !PEM_write_PrivateKey(fp.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
      fail("cannot write " + out);
  }
  commit(out + ".tmp", out);
  return out;
}

static std::string nameEntry(X509_NAME* name, int nid) {
  int idx = X509_NAME_get_index_by_NID(name, nid, -1);
  if (idx < 0) return "";
  ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx));
  unsigned char* utf8 = nullptr;
  int len = ASN1_STRING_to_UTF8(&utf8, data);
  if (len < 0) return "";
  std::string s(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(len));
  OPENSSL_free(utf8);
  return s;
}

bool peerIdentity(const SSL* ssl, std::string* corp, std::string* user) {
  if (!ssl) return false;
  X509Ptr cert(SSL_get1_peer_certificate(ssl));
  if (!cert || SSL_get_verify_result(ssl) != X509_V_OK) return false;
  X509_NAME* name = X509_get_subject_name(cert.get());
  *corp = nameEntry(name, NID_organizationName);
  *user = nameEntry(name, NID_commonName);
  return !corp->empty() && !user->empty();
}

}  // namespace ambermoor
