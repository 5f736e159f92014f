// The exports that configure the library and serve the desktop client
// without the service: proxy, certificate, session values, cache, crypto
// and version. tarvik_init lives in init.cpp, the mount exports in mount.cpp.
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>

#include "cache/block_cache.h"
#include "cache/file_context.h"
#include "cache/upload_journal.h"
#include "core/directories.h"
#include "core/library_state.h"
#include "core/version.h"
#include "facade/caller_buffer.h"
#include "tarvik.h"

namespace {

const char* orEmpty(const char* s) { return s != nullptr ? s : ""; }

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
  tarvik::copyBounded(jsessionid, TARVIK_JSESSIONID_SIZE, st.jsessionid);
  tarvik::copyBounded(arrayid, TARVIK_ARRAYID_SIZE, st.arrayid);
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
  // Blocks in use (being read, or the only copy of data not yet on the
  // service) and blocks of another drive process stay.
  tarvik::block_cache::clear();
  return tarvik::makeDirectories(dir);
}

int tarvik_getPendingUploads(const char* corpId, const char* userId, char* list, int size,
                             int* openForWriting) {
  const int rc = tarvik::globalInitialize();
  if (rc != 0) return rc;
  if (corpId == nullptr || userId == nullptr || (list != nullptr && size <= 0)) return -1;
  if (openForWriting != nullptr) *openForWriting = tarvik::openFilesForWriting();
  const auto entries = tarvik::journal::list(corpId, userId);
  int count = 0;
  std::string text;
  for (const auto& e : entries) {
    if (e.final) continue;
    ++count;
    const std::string line = (e.drivePath.empty() ? e.servicePath : e.drivePath) + "\n";
    if (list != nullptr && text.size() + line.size() < static_cast<size_t>(size)) text += line;
  }
  if (list != nullptr) std::memcpy(list, text.c_str(), text.size() + 1);
  return count;
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

const char* tarvik_getVersionString(void) { return tarvik::versionText(); }

}  // extern "C"
