// The exports that configure the library and serve the desktop client
// without the service: proxy, certificate, session values, cache, crypto
// and version. tarvik_init lives in init.cpp, the mount exports in mount.cpp.
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "facade/directories.h"
#include "facade/library_state.h"
#include "tarvik.h"

namespace {

const char* orEmpty(const char* s) { return s != nullptr ? s : ""; }

// Copies `value` into a caller buffer of `size` bytes, always terminated.
void copyBounded(char* out, size_t size, const std::string& value) {
  if (out == nullptr || size == 0) return;
  const size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(out, value.data(), n);
  out[n] = '\0';
}

// AES-128-CTR over `length` bytes with `counter` as the initial counter
// block. Counter mode is its own inverse, so both directions use this.
bool aes128Ctr(unsigned char* out, const unsigned char* in, unsigned length,
               const unsigned char* key, const unsigned char* counter) {
  if (key == nullptr || counter == nullptr) return false;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) return false;
  bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_128_ctr(), nullptr, key, counter) == 1;
  int produced = 0;
  if (ok && length > 0) {
    // EVP_EncryptUpdate takes an int length; feed large inputs in pieces.
    unsigned done = 0;
    while (ok && done < length) {
      const unsigned piece = (length - done) > (1u << 30) ? (1u << 30) : (length - done);
      ok = EVP_EncryptUpdate(ctx, out + done, &produced, in + done, static_cast<int>(piece)) == 1;
      done += piece;
    }
  }
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

std::mutex g_versionMutex;  // guards the first read of the version file

}  // namespace

extern "C" {

int tarvik_setProxy(const char* host, int port, ProxyType type, const char* user,
                    const char* password) {
  tarvik::LibraryState& st = tarvik::state();
  st.proxyHost = orEmpty(host);
  st.proxyPort = port;
  st.proxyType = type;
  st.proxyUser = orEmpty(user);
  st.proxyPassword = orEmpty(password);
  return 0;
}

int tarvik_setCertificate(const struct _CERT_CONTEXT* certificate) {
  tarvik::state().certificate = certificate;
  return 0;
}

int tarvik_getSessionInfo(char* jsessionid, char* arrayid) {
  const tarvik::LibraryState& st = tarvik::state();
  copyBounded(jsessionid, TARVIK_JSESSIONID_SIZE, st.jsessionid);
  copyBounded(arrayid, TARVIK_ARRAYID_SIZE, st.arrayid);
  return 0;
}

int tarvik_getCacheUsage(int64_t* bytes) {
  const int rc = tarvik::globalInitialize();
  if (rc != 0) return rc;
  int64_t total = 0;
  const int status = tarvik::sizeRecursive(tarvik::state().blockDir, total);
  if (status == 0 && bytes != nullptr) *bytes = total;
  return status;
}

int tarvik_clearCache(void) {
  const int rc = tarvik::globalInitialize();
  if (rc != 0) return rc;
  const std::string& dir = tarvik::state().blockDir;
  const int status = tarvik::removeRecursive(dir);
  if (status != 0) return status;
  return tarvik::makeDirectories(dir);
}

int tarvik_encryptBytes(unsigned char* out, const unsigned char* in, unsigned length,
                        const unsigned char* key, const unsigned char* iv) {
  if (out == nullptr || iv == nullptr || (in == nullptr && length > 0)) return -1;
  if (!aes128Ctr(out + 16, in, length, key, iv)) return -1;
  std::memcpy(out, iv, 16);
  return static_cast<int>(length + 16);
}

int tarvik_decryptBytes(unsigned char* out, const unsigned char* in, unsigned length,
                        const unsigned char* key) {
  // Anything shorter than the iv header is not a ciphertext of ours.
  if (length < 16 || in == nullptr || (out == nullptr && length > 16)) return -1;
  if (!aes128Ctr(out, in + 16, length - 16, key, in)) return -1;
  return static_cast<int>(length - 16);
}

int tarvik_setRandomBytes(unsigned char* buffer, unsigned length) {
  if (buffer == nullptr && length > 0) return -1;
  if (length == 0) return 0;
  return RAND_bytes(buffer, static_cast<int>(length)) - 1;
}

const char* tarvik_getVersionString(void) {
  char* text = tarvik::state().versionText;
  std::lock_guard<std::mutex> lock(g_versionMutex);
  if (std::strcmp(text, "UNKNOWN") == 0) {
    if (FILE* f = std::fopen("VERSION", "r")) {
      char line[256];
      if (std::fgets(line, sizeof line, f) != nullptr) {
        // The text rides in every request URL: a line break would break it.
        size_t n = std::strlen(line);
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
        if (n > 0) std::memcpy(text, line, n + 1);
      }
      std::fclose(f);
    }
  }
  return text;
}

}  // extern "C"
