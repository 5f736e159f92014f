// The part of the certificate interface the library's transport needs: the
// certificate context with its encoded certificate, its subject and issuer
// name blobs and its serial number as the Windows interface stores them
// (DER name blobs, serial number least significant byte first), and the
// PEM certificate and key kept privately so the transport can present them
// in the TLS handshake.
//
// A context is made from a PEM file holding one certificate and its private
// key, and released with CertFreeCertificateContext. A context is immutable
// after creation and may be read from any thread; it is reference counted
// (CertDuplicateCertificateContext). The certificate store is in
// wincrypt_store.h.
#pragma once

#include <string>

#include "windows_types.h"

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CERT_NAME_BLOB, *PCERT_NAME_BLOB, CRYPT_DATA_BLOB,
    *PCRYPT_DATA_BLOB, CRYPT_OBJID_BLOB;

typedef struct _CERT_INFO {
  DWORD dwVersion;                  // 0 = v1, 2 = v3
  CRYPT_INTEGER_BLOB SerialNumber;  // little-endian
  CERT_NAME_BLOB Issuer;            // DER-encoded name
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;           // DER-encoded name
} CERT_INFO, *PCERT_INFO;

typedef void* HCERTSTORE;

namespace win32 {
struct CertPrivate;  // PEM texts and the owned buffers; see wincrypt.cpp
}

typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;  // X509_ASN_ENCODING | PKCS_7_ASN_ENCODING
  BYTE* pbCertEncoded;       // DER certificate
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;     // the store the context came from, or null
  win32::CertPrivate* pPrivate;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

// Releases a reference to a context made by this layer; the last one frees
// it. Null is accepted. Always TRUE.
BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);

// Adds a reference to a context (released with CertFreeCertificateContext);
// returns the same context. Null gives null.
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context);

namespace win32 {

// Makes a context from a PEM file holding a certificate and its private key
// (in either order; an encrypted key is refused). Null on failure, with the
// reason in `error` when given (ERROR_FILE_NOT_FOUND, ERROR_INVALID_DATA).
PCCERT_CONTEXT CertCreateContextFromPemFile(const std::string& path, DWORD* error = nullptr);

// Same from PEM text in memory.
PCCERT_CONTEXT CertCreateContextFromPem(const std::string& pem, DWORD* error = nullptr);

// The certificate and the private key as PEM texts, for the TLS layer.
// Empty texts for a null context.
const std::string& CertPemCertificate(PCCERT_CONTEXT context);
const std::string& CertPemPrivateKey(PCCERT_CONTEXT context);

}  // namespace win32
