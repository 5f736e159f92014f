// Send keys: links that download one file without sign-in until they expire.
//
// Threads: every member takes mutex_.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace ambermoor {

struct SendKey {
  std::string corp, path;      // the file the key names
  std::string issuer;          // user id of the issuing session
  std::int64_t expiresMs = 0;  // milliseconds since 1970
};

class SendKeyTable {
 public:
  // How long a key is valid when the request names no lifetime.
  static constexpr std::int64_t kDefaultLifetimeMs = 7LL * 24 * 60 * 60 * 1000;

  // A new random key for the file; `lifetimeMs` > 0.
  std::string issue(const std::string& corp, const std::string& path, const std::string& issuer,
                    std::int64_t lifetimeMs, std::int64_t* expiresMs);
  // The key's file while it is valid; an expired key is forgotten.
  std::optional<SendKey> find(const std::string& key);
  // Makes every key expire now (admin); returns how many there were.
  int expireAll();

 private:
  std::mutex mutex_;
  std::map<std::string, SendKey> keys_;
};

}  // namespace ambermoor
