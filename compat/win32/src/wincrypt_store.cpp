// The "MY" certificate store over a folder of PEM files, and the name-blob
// conversion of the Windows interface.
#include "wincrypt_store.h"

#include <dirent.h>
#include <sys/stat.h>

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "unicode.h"

namespace {

struct CertStore {
  std::vector<PCCERT_CONTEXT> certificates;  // one reference each
};

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool sameBlob(const CRYPT_INTEGER_BLOB& a, const CRYPT_INTEGER_BLOB& b) {
  return a.cbData == b.cbData && (a.cbData == 0 || std::memcmp(a.pbData, b.pbData, a.cbData) == 0);
}

// Index of `context` in the store, or -1.
long indexOf(const CertStore* store, PCCERT_CONTEXT context) {
  auto it = std::find(store->certificates.begin(), store->certificates.end(), context);
  return it == store->certificates.end() ? -1 : it - store->certificates.begin();
}

bool matches(PCCERT_CONTEXT context, DWORD findType, const void* findPara) {
  if (findType == CERT_FIND_ANY) return true;
  if (findType != CERT_FIND_CERT_ID || findPara == nullptr) return false;
  const CERT_ID* id = static_cast<const CERT_ID*>(findPara);
  if (id->dwIdChoice != CERT_ID_ISSUER_SERIAL_NUMBER) return false;
  const CERT_INFO* info = context->pCertInfo;
  return sameBlob(info->Issuer, id->IssuerSerialNumber.Issuer) &&
         sameBlob(info->SerialNumber, id->IssuerSerialNumber.SerialNumber);
}

// The short key Windows prints for an attribute, or "OID." + dotted form.
std::string attributeKey(const ASN1_OBJECT* object) {
  switch (OBJ_obj2nid(object)) {
    case NID_commonName: return "CN";
    case NID_surname: return "SN";
    case NID_serialNumber: return "SERIALNUMBER";
    case NID_countryName: return "C";
    case NID_localityName: return "L";
    case NID_stateOrProvinceName: return "S";
    case NID_streetAddress: return "STREET";
    case NID_organizationName: return "O";
    case NID_organizationalUnitName: return "OU";
    case NID_title: return "T";
    case NID_givenName: return "G";
    case NID_initials: return "I";
    case NID_pkcs9_emailAddress: return "E";
    case NID_domainComponent: return "DC";
    case NID_description: return "Description";
    case NID_postalCode: return "PostalCode";
    default: break;
  }
  char dotted[128];
  const int n = OBJ_obj2txt(dotted, sizeof dotted, object, 1);
  return "OID." + std::string(dotted, n > 0 ? static_cast<size_t>(std::min<int>(n, sizeof dotted - 1)) : 0);
}

std::string hexOf(const unsigned char* data, size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

// An attribute value as Windows prints it: quoted when it holds a character
// that would make the text ambiguous.
std::string attributeValue(const ASN1_STRING* value) {
  unsigned char* utf8 = nullptr;
  const int n = ASN1_STRING_to_UTF8(&utf8, value);
  if (n < 0) {
    return "#" + hexOf(ASN1_STRING_get0_data(value), static_cast<size_t>(ASN1_STRING_length(value)));
  }
  std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
  OPENSSL_free(utf8);
  const bool quote = text.empty() || text.front() == ' ' || text.back() == ' ' ||
                     text.find_first_of(",+=\"\n<>#;") != std::string::npos;
  if (!quote) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string x500String(const X509_NAME* name) {
  std::string out;
  int previousSet = -1;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const int set = X509_NAME_ENTRY_set(entry);
    if (i > 0) out += set == previousSet ? " + " : ", ";
    previousSet = set;
    out += attributeKey(X509_NAME_ENTRY_get_object(entry));
    out += '=';
    out += attributeValue(X509_NAME_ENTRY_get_data(entry));
  }
  return out;
}

}  // namespace

namespace win32 {

std::string CertStoreFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : "") + "/.config";
  }
  return base + "/Kindrel/Ambermoor/certificates";
}

}  // namespace win32

HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY, LPCWSTR subsystemProtocol) {
  if (subsystemProtocol == nullptr) return nullptr;
  std::u16string name(subsystemProtocol);
  if (name != u"MY" && name != u"my" && name != u"My" && name != u"mY") return nullptr;

  auto store = std::make_unique<CertStore>();
  const std::string folder = win32::CertStoreFolder();
  std::vector<std::string> files;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir)) {
      const std::string file = e->d_name;
      if (!endsWith(file, ".pem")) continue;
      struct stat st {};
      if (stat((folder + "/" + file).c_str(), &st) == 0 && S_ISREG(st.st_mode))
        files.push_back(file);
    }
    closedir(dir);
  }
  std::sort(files.begin(), files.end());
  for (const std::string& file : files) {
    PCCERT_CONTEXT context = win32::CertCreateContextFromPemFile(folder + "/" + file);
    if (context != nullptr) store->certificates.push_back(context);
  }
  return store.release();
}

BOOL CertCloseStore(HCERTSTORE handle, DWORD) {
  auto* store = static_cast<CertStore*>(handle);
  if (store == nullptr) return TRUE;
  for (PCCERT_CONTEXT context : store->certificates) CertFreeCertificateContext(context);
  delete store;
  return TRUE;
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE handle, PCCERT_CONTEXT previous) {
  return CertFindCertificateInStore(handle, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr,
                                    previous);
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE handle, DWORD, DWORD, DWORD findType,
                                          const void* findPara, PCCERT_CONTEXT previous) {
  const auto* store = static_cast<const CertStore*>(handle);
  if (store == nullptr) {
    CertFreeCertificateContext(previous);
    return nullptr;
  }
  size_t start = 0;
  if (previous != nullptr) {
    const long at = indexOf(store, previous);
    start = at < 0 ? store->certificates.size() : static_cast<size_t>(at) + 1;
    CertFreeCertificateContext(previous);
  }
  for (size_t i = start; i < store->certificates.size(); ++i) {
    if (matches(store->certificates[i], findType, findPara))
      return CertDuplicateCertificateContext(store->certificates[i]);
  }
  return nullptr;
}

DWORD CertNameToStrW(DWORD, const CERT_NAME_BLOB* name, DWORD strType, LPWSTR psz, DWORD csz) {
  std::string text;
  if (name != nullptr && name->pbData != nullptr && name->cbData > 0) {
    const unsigned char* p = name->pbData;
    X509_NAME* decoded = d2i_X509_NAME(nullptr, &p, static_cast<long>(name->cbData));
    if (decoded != nullptr) {
      if (strType == CERT_X500_NAME_STR) text = x500String(decoded);
      X509_NAME_free(decoded);
    }
  }
  std::u16string wide;
  if (!win32::Utf8ToUtf16(text, wide)) wide.clear();
  const DWORD needed = static_cast<DWORD>(wide.size()) + 1;
  if (psz == nullptr || csz == 0) return needed;
  const DWORD count = std::min<DWORD>(static_cast<DWORD>(wide.size()), csz - 1);
  wide.copy(psz, count);
  psz[count] = 0;
  return count + 1;
}
