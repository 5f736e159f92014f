// Certificate contexts made from PEM files holding a certificate and its
// private key. The context's public fields carry what the Windows interface
// stores (DER certificate, DER subject and issuer names, little-endian
// serial number, validity); the private part keeps the PEM texts that the
// transport hands to the TLS layer, and owns every buffer.
#include "wincrypt.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace win32 {

struct CertPrivate {
  std::atomic<int> references{1};  // CertDuplicateCertificateContext adds one
  CERT_CONTEXT context{};
  CERT_INFO info{};
  std::vector<BYTE> encoded;
  std::vector<BYTE> subject;
  std::vector<BYTE> issuer;
  std::vector<BYTE> serial;
  std::string certificatePem;
  std::string keyPem;
};

namespace {

struct BioDeleter {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Deleter {
  void operator()(X509* x) const { X509_free(x); }
};
struct KeyDeleter {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

// Refuses to prompt for a pass phrase: an encrypted key cannot be used.
int noPassword(char*, int, int, void*) { return -1; }

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

std::vector<BYTE> derName(const X509_NAME* name) {
  unsigned char* der = nullptr;
  const int n = i2d_X509_NAME(name, &der);
  std::vector<BYTE> out;
  if (n > 0) out.assign(der, der + n);
  OPENSSL_free(der);
  return out;
}

// 100-ns intervals since 1601-01-01 UTC.
FILETIME fileTimeOf(const ASN1_TIME* t) {
  FILETIME ft{0, 0};
  struct tm tm {};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return ft;
  const int64_t unixSeconds = static_cast<int64_t>(timegm(&tm));
  const uint64_t ticks = static_cast<uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xffffffffu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

void setError(DWORD* error, DWORD value) {
  if (error != nullptr) *error = value;
}

const std::string kEmpty;

}  // namespace

PCCERT_CONTEXT CertCreateContextFromPem(const std::string& pem, DWORD* error) {
  std::unique_ptr<BIO, BioDeleter> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!in) {
    setError(error, ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::unique_ptr<X509, X509Deleter> cert(PEM_read_bio_X509(in.get(), nullptr, &noPassword, nullptr));
  // The key may come before or after the certificate: read it from a fresh
  // start of the text.
  std::unique_ptr<BIO, BioDeleter> keyIn(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::unique_ptr<EVP_PKEY, KeyDeleter> key(
      keyIn ? PEM_read_bio_PrivateKey(keyIn.get(), nullptr, &noPassword, nullptr) : nullptr);
  if (!cert || !key || X509_check_private_key(cert.get(), key.get()) != 1) {
    setError(error, ERROR_INVALID_DATA);
    return nullptr;
  }

  auto priv = std::make_unique<CertPrivate>();
  unsigned char* der = nullptr;
  const int derLength = i2d_X509(cert.get(), &der);
  if (derLength <= 0) {
    setError(error, ERROR_INVALID_DATA);
    return nullptr;
  }
  priv->encoded.assign(der, der + derLength);
  OPENSSL_free(der);
  priv->subject = derName(X509_get_subject_name(cert.get()));
  priv->issuer = derName(X509_get_issuer_name(cert.get()));

  // The serial number's magnitude, most significant byte first in ASN.1,
  // stored least significant byte first as the Windows interface does.
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert.get());
  priv->serial.assign(serial->data, serial->data + serial->length);
  std::reverse(priv->serial.begin(), priv->serial.end());

  std::unique_ptr<BIO, BioDeleter> certOut(BIO_new(BIO_s_mem()));
  std::unique_ptr<BIO, BioDeleter> keyOut(BIO_new(BIO_s_mem()));
  if (!certOut || !keyOut || PEM_write_bio_X509(certOut.get(), cert.get()) != 1 ||
      PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr,
                               nullptr) != 1) {
    setError(error, ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  priv->certificatePem = bioText(certOut.get());
  priv->keyPem = bioText(keyOut.get());

  CERT_INFO& info = priv->info;
  info.dwVersion = static_cast<DWORD>(X509_get_version(cert.get()));
  info.SerialNumber = {static_cast<DWORD>(priv->serial.size()), priv->serial.data()};
  info.Subject = {static_cast<DWORD>(priv->subject.size()), priv->subject.data()};
  info.Issuer = {static_cast<DWORD>(priv->issuer.size()), priv->issuer.data()};
  info.NotBefore = fileTimeOf(X509_get0_notBefore(cert.get()));
  info.NotAfter = fileTimeOf(X509_get0_notAfter(cert.get()));

  CERT_CONTEXT& ctx = priv->context;
  ctx.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  ctx.pbCertEncoded = priv->encoded.data();
  ctx.cbCertEncoded = static_cast<DWORD>(priv->encoded.size());
  ctx.pCertInfo = &priv->info;
  ctx.hCertStore = nullptr;
  ctx.pPrivate = priv.get();
  setError(error, ERROR_SUCCESS);
  return &priv.release()->context;
}

PCCERT_CONTEXT CertCreateContextFromPemFile(const std::string& path, DWORD* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    setError(error, ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return CertCreateContextFromPem(text.str(), error);
}

const std::string& CertPemCertificate(PCCERT_CONTEXT context) {
  return context != nullptr && context->pPrivate != nullptr ? context->pPrivate->certificatePem
                                                            : kEmpty;
}

const std::string& CertPemPrivateKey(PCCERT_CONTEXT context) {
  return context != nullptr && context->pPrivate != nullptr ? context->pPrivate->keyPem : kEmpty;
}

}  // namespace win32

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
  // The private record owns the context; the last reference deletes it.
  if (context != nullptr && context->pPrivate != nullptr &&
      context->pPrivate->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete context->pPrivate;
  return TRUE;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
  if (context != nullptr && context->pPrivate != nullptr)
    context->pPrivate->references.fetch_add(1, std::memory_order_relaxed);
  return context;
}
