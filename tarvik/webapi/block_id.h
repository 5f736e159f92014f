// SHA-1 digests and BlockIds.
//
// A BlockId names a block of file content by its bytes: the SHA-1 digest in
// Base64 with "+" -> "-" and "/" -> "_", cut at the first "=" (27
// characters), then "#", then the length in decimal. Example: empty content
// is "2jmj7l5rSw0yVb_vlWAYkK_YBwk#0". SHA-1 runs through OpenSSL's EVP
// interface, which uses the processor's SHA instructions where present.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace tarvik {

// URL-safe Base64 of `length` bytes without padding.
std::string urlSafeBase64(const unsigned char* data, size_t length);

// Running SHA-1 digest. Not copyable; one per thread.
class Sha1 {
 public:
  Sha1();
  ~Sha1();
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;

  void update(const void* data, size_t length);
  // Ends the digest and returns it as URL-safe Base64 (27 characters). The
  // object starts a fresh digest afterwards.
  std::string finishUrlBase64();

 private:
  EVP_MD_CTX* ctx_;
};

std::string blockIdOf(const void* data, size_t length);
// BlockId of a local file, read in pieces of 8192 bytes. When the file
// cannot be opened the digest part is empty ("#0").
std::string blockIdOfFile(const std::string& path);
// The decimal after "#"; -1 when there is no "#" or no valid number after it.
int64_t blockIdLength(const std::string& blockId);

}  // namespace tarvik
