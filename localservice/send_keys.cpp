// Send-key table (see send_keys.h).
#include "send_keys.h"

#include "util.h"

namespace ambermoor {

std::string SendKeyTable::issue(const std::string& corp, const std::string& path, const std::string& issuer,
                                std::int64_t lifetimeMs, std::int64_t* expiresMs) {
  std::string key = randomToken(20);
  std::int64_t expires = nowMs() + lifetimeMs;
  std::lock_guard<std::mutex> lock(mutex_);
  // Expired keys go when new ones come, so the table does not grow forever.
  for (auto it = keys_.begin(); it != keys_.end();)
    it = it->second.expiresMs <= nowMs() ? keys_.erase(it) : std::next(it);
  keys_[key] = SendKey{corp, path, issuer, expires};
  if (expiresMs) *expiresMs = expires;
  return key;
}

std::optional<SendKey> SendKeyTable::find(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = keys_.find(key);
  if (it == keys_.end()) return std::nullopt;
  if (it->second.expiresMs <= nowMs()) {
    keys_.erase(it);
    return std::nullopt;
  }
  return it->second;
}

int SendKeyTable::expireAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = static_cast<int>(keys_.size());
  keys_.clear();
  return n;
}

}  // namespace ambermoor
