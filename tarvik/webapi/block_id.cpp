#include "webapi/block_id.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace tarvik {

std::string urlSafeBase64(const unsigned char* data, size_t length) {
  std::string out(4 * ((length + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data,
                                static_cast<int>(length));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  for (char& c : out) {
    if (c == '+') c = '-';
    else if (c == '/') c = '_';
  }
  const size_t pad = out.find('=');
  if (pad != std::string::npos) out.resize(pad);
  return out;
}

Sha1::Sha1() : ctx_(EVP_MD_CTX_new()) {
  // Without a digest context nothing in the library can name a block: this
  // only fails when memory is exhausted.
  if (ctx_ == nullptr || EVP_DigestInit_ex(ctx_, EVP_sha1(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx_);
    throw std::bad_alloc();
  }
}

Sha1::~Sha1() { EVP_MD_CTX_free(ctx_); }

void Sha1::update(const void* data, size_t length) {
  if (length > 0) EVP_DigestUpdate(ctx_, data, length);
}

std::string Sha1::finishUrlBase64() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(ctx_, digest, &size);
  EVP_DigestInit_ex(ctx_, EVP_sha1(), nullptr);
  return urlSafeBase64(digest, size);
}

std::string blockIdOf(const void* data, size_t length) {
  Sha1 sha;
  sha.update(data, length);
  return sha.finishUrlBase64() + "#" + std::to_string(length);
}

std::string blockIdOfFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "#0";
  Sha1 sha;
  int64_t total = 0;
  char buffer[8192];
  bool failed = false;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      failed = true;  // an unreadable file names no block
      break;
    }
    if (n == 0) break;
    sha.update(buffer, static_cast<size_t>(n));
    total += n;
  }
  ::close(fd);
  if (failed) return "#0";
  return sha.finishUrlBase64() + "#" + std::to_string(total);
}

int64_t blockIdLength(const std::string& blockId) {
  const size_t hash = blockId.find('#');
  if (hash == std::string::npos || hash + 1 >= blockId.size()) return -1;
  int64_t value = 0;
  for (size_t i = hash + 1; i < blockId.size(); ++i) {
    const char c = blockId[i];
    if (c < '0' || c > '9') return -1;
    if (value > (INT64_MAX - 9) / 10) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace tarvik
