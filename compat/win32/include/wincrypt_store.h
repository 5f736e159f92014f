// The current user's certificate store "MY" under the Windows names the
// desktop client calls, kept as a folder of PEM files, each holding one
// client certificate and its private key:
//
//   $XDG_CONFIG_HOME/Kindrel/Ambermoor/certificates/*.pem
//   ($HOME/.config when XDG_CONFIG_HOME is unset)
//
// Opening the store reads the folder once; certificates enumerate in file
// name order. Files that do not hold a certificate with its matching,
// unencrypted key are left out. A missing folder is an empty store.
//
// Contexts returned by the store are reference counted: the enumeration
// releases the previous context it is given, as on Windows, and a context
// kept by the caller stays valid after CertCloseStore until it is released
// with CertFreeCertificateContext. Their hCertStore is null.
#pragma once

#include <string>

#include "wincrypt.h"

typedef ULONG_PTR HCRYPTPROV_LEGACY;

// Name string types for CertNameToStrW.
#define CERT_SIMPLE_NAME_STR 1
#define CERT_OID_NAME_STR 2
#define CERT_X500_NAME_STR 3

// Find types for CertFindCertificateInStore.
#define CERT_COMPARE_SHIFT 16
#define CERT_COMPARE_ANY 0
#define CERT_COMPARE_CERT_ID 16
#define CERT_FIND_ANY (CERT_COMPARE_ANY << CERT_COMPARE_SHIFT)
#define CERT_FIND_CERT_ID (CERT_COMPARE_CERT_ID << CERT_COMPARE_SHIFT)

#define CERT_ID_ISSUER_SERIAL_NUMBER 1
#define CERT_ID_KEY_IDENTIFIER 2
#define CERT_ID_SHA1_HASH 3

typedef CRYPT_INTEGER_BLOB CRYPT_HASH_BLOB;

typedef struct _CERT_ISSUER_SERIAL_NUMBER {
  CERT_NAME_BLOB Issuer;             // DER-encoded name
  CRYPT_INTEGER_BLOB SerialNumber;   // little-endian, as in CERT_INFO
} CERT_ISSUER_SERIAL_NUMBER, *PCERT_ISSUER_SERIAL_NUMBER;

typedef struct _CERT_ID {
  DWORD dwIdChoice;
  union {
    CERT_ISSUER_SERIAL_NUMBER IssuerSerialNumber;
    CRYPT_HASH_BLOB KeyId;
    CRYPT_HASH_BLOB HashId;
  };
} CERT_ID, *PCERT_ID;

// Opens the system store `subsystemProtocol`; only "MY" (any case) exists.
// Null for any other name.
HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY provider, LPCWSTR subsystemProtocol);

// Closes a store; contexts still referenced by the caller stay valid.
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);

// The certificate after `previous` (the first one for null), or null at the
// end. `previous` is released.
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous);

// The next certificate after `previous` matching the search, or null.
// Supported: CERT_FIND_ANY, and CERT_FIND_CERT_ID with a CERT_ID of the
// issuer-and-serial-number kind (issuer blob and serial bytes compared
// exactly). `previous` is released.
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD certEncodingType,
                                          DWORD findFlags, DWORD findType,
                                          const void* findPara, PCCERT_CONTEXT previous);

// An encoded name as text. CERT_X500_NAME_STR gives the Windows form:
// relative names in encoded order separated by ", ", multi-valued ones
// joined with " + ", short keys (CN, O, OU, C, L, S, STREET, E, DC, ...),
// values holding , + = " < > # ; a line break or edge blanks in double
// quotes with inner quotes doubled. Returns the characters including the
// terminator; with a null `psz` or `csz` 0 the size needed. Longer text is
// cut at csz - 1 characters. An undecodable name, or another string type,
// gives "" (1).
DWORD CertNameToStrW(DWORD certEncodingType, const CERT_NAME_BLOB* name, DWORD strType,
                     LPWSTR psz, DWORD csz);

namespace win32 {
// The folder behind the "MY" store.
std::string CertStoreFolder();
}  // namespace win32
