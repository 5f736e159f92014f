#include "util.h"

#include <openssl/rand.h>

#include <chrono>
#include <cctype>
#include <cstring>

namespace ambermoor {

std::int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string randomToken(std::size_t bytes) {
  std::vector<unsigned char> buf(bytes);
  if (RAND_bytes(buf.data(), static_cast<int>(buf.size())) != 1)
    throw std::runtime_error("random bytes unavailable");
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(bytes * 2);
  for (unsigned char c : buf) {
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out;
}

std::string base64UrlNoPad(const unsigned char* data, std::size_t len) {
  static const char* tbl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < len; i += 3) {
    unsigned v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    out += tbl[(v >> 18) & 63];
    out += tbl[(v >> 12) & 63];
    out += tbl[(v >> 6) & 63];
    out += tbl[v & 63];
  }
  if (len - i == 1) {
    unsigned v = data[i] << 16;
    out += tbl[(v >> 18) & 63];
    out += tbl[(v >> 12) & 63];
  } else if (len - i == 2) {
    unsigned v = (data[i] << 16) | (data[i + 1] << 8);
    out += tbl[(v >> 18) & 63];
    out += tbl[(v >> 12) & 63];
    out += tbl[(v >> 6) & 63];
  }
  return out;
}

std::string makeBlockId(const unsigned char sha1[20], std::int64_t length) {
  return base64UrlNoPad(sha1, 20) + "#" + std::to_string(length);
}

bool parseBlockId(const std::string& id, std::int64_t* length) {
  // 20 bytes of digest are 27 Base64 characters without padding.
  if (id.size() < 29 || id[27] != '#') return false;
  for (std::size_t i = 0; i < 27; ++i) {
    char c = id[i];
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) return false;
  }
  std::string digits = id.substr(28);
  if (digits.empty() || digits.size() > 10) return false;
  std::int64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (digits.size() > 1 && digits[0] == '0') return false;
  if (n > kBlockSize) return false;
  if (length) *length = n;
  return true;
}

bool isValidServicePath(const std::string& path) {
  if (path.empty() || path[0] != '/' || path.size() > 4096) return false;
  if (path.size() > 1 && path.back() == '/') return false;
  if (path == "/") return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string comp = path.substr(start, end - start);
    if (comp.empty() || comp == "." || comp == "..") return false;
    for (unsigned char c : comp)
      if (c < 0x20 || c == 0x7f) return false;
    start = end + 1;
  }
  return true;
}

std::string parentOf(const std::string& path) {
  auto pos = path.rfind('/');
  if (pos == std::string::npos || pos == 0) return "";
  return path.substr(0, pos);
}

std::string baseName(const std::string& path) {
  auto pos = path.rfind('/');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

bool isWithin(const std::string& path, const std::string& root) {
  if (path == root) return true;
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
         path[root.size()] == '/';
}

}  // namespace ambermoor
