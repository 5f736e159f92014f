// Small helpers shared by the local service: random tokens, URL-safe Base64,
// block ids, clock, service-path checks and the error type every method throws.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ambermoor {

// A service error: turned into {"error":{"code":N,"args":[...]}} by the router.
struct ServiceError : std::runtime_error {
  ServiceError(int c, std::vector<std::string> a = {})
      : std::runtime_error("service error " + std::to_string(c)), code(c), args(std::move(a)) {}
  int code;
  std::vector<std::string> args;
};

// Error codes this service answers with (the client maps several of them).
namespace err {
constexpr int kSessionLost = 1;
constexpr int kSignInFailed = 3;
constexpr int kInvalidArgument = 8;
constexpr int kUnknownMethod = 9;
constexpr int kNoEntry = 50;
constexpr int kExists = 51;
constexpr int kNotEmpty = 52;
constexpr int kLocked = 66;
constexpr int kNoSpace = 77;
constexpr int kNoAccess = 150;
constexpr int kReadOnly = 151;
constexpr int kProtected = 152;
constexpr int kSamlUnavailable = 160;  // getSAMLLoginInfo: args corporate ID, reason
constexpr int kNotLocked = 999;
}  // namespace err

// Largest block the service stores: the client's BLOCK_SIZE (8 MiB).
constexpr std::int64_t kBlockSize = 8 * 1024 * 1024;

std::int64_t nowMs();
std::string randomToken(std::size_t bytes = 16);  // hex text
std::string base64UrlNoPad(const unsigned char* data, std::size_t len);
// "<base64url(sha1)>#<length>"
std::string makeBlockId(const unsigned char sha1[20], std::int64_t length);
// Parses "<27 chars>#<decimal>"; returns false for anything malformed.
bool parseBlockId(const std::string& id, std::int64_t* length);

// A service path: starts with "/", no empty, "." or ".." component, no
// trailing "/", no NUL or control character, at most 4096 bytes.
bool isValidServicePath(const std::string& path);
std::string parentOf(const std::string& path);  // "/a/b" -> "/a", "/a" -> ""
std::string baseName(const std::string& path);  // "/a/b" -> "b"
// True when `path` equals `root` or lies below it.
bool isWithin(const std::string& path, const std::string& root);

}  // namespace ambermoor
