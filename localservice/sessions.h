// Accounts and sessions: the users of the configuration, the array ids of
// pretestLogin, the sessions of login with their idle time-out, and the
// download and upload tokens that belong to a session.
//
// Threads: every member takes mutex_; callers may hold the store's mutex
// (lock order: store, locks, sessions).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config.h"

namespace ambermoor {

struct SessionInfo {
  std::string id, arrayid, corp, user;
};

struct UploadToken {
  std::string sessionId, corp, path;
  std::set<std::string> blocks;  // received with this token
};

class SessionTable {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SessionTable(std::vector<UserAccount> users, int timeoutSeconds);

  // Keeps the signed-in sessions in `path` and takes back those found there,
  // so that a restart of the service (an outage, as clients see it) does
  // not sign everybody out. Tokens of open transfers are not kept.
  void persistTo(const std::string& path);

  const UserAccount* findUser(const std::string& corp, const std::string& user) const;
  bool hasCompany(const std::string& corp) const;
  std::vector<UserAccount> users() const { return users_; }

  std::string newArray(const std::string& corp);
  // Returns the session id, or nothing when the array id does not fit.
  std::optional<std::string> login(const std::string& arrayid, const std::string& corp,
                                   const std::string& user);
  // The live session for `id`, refreshing its idle time; nothing when it is
  // unknown or idle too long (it is then ended).
  std::optional<SessionInfo> use(const std::string& id);
  bool end(const std::string& id);  // logout, admin expiry
  int endAll();
  // Ends sessions idle longer than the time-out; returns their ids.
  std::vector<std::string> sweep();
  void setTimeoutSeconds(int s);
  int timeoutSeconds() const;
  std::size_t count() const;

  std::string newDownloadToken(const std::string& sessionId, std::set<std::string> blocks);
  bool downloadAllowed(const std::string& token, const std::string& sessionId,
                       const std::string& blockId) const;
  std::string newUploadToken(const std::string& sessionId, const std::string& corp,
                             const std::string& path);
  std::optional<UploadToken> uploadToken(const std::string& token, const std::string& sessionId) const;
  void addUploadedBlock(const std::string& token, const std::string& blockId);
  bool sessionUploaded(const std::string& sessionId, const std::string& blockId) const;
  void dropUploadToken(const std::string& token);

 private:
  struct Session {
    SessionInfo info;
    Clock::time_point lastUsed;
    std::set<std::string> uploaded;
  };
  struct DownloadToken {
    std::string sessionId;
    std::set<std::string> blocks;
  };
  void endLocked(const std::string& id);  // mutex_ held
  void saveLocked() const;                 // mutex_ held

  const std::vector<UserAccount> users_;
  mutable std::mutex mutex_;
  int timeoutSeconds_;
  std::string persistPath_;  // empty: sessions live in memory only
  std::map<std::string, std::string> arrays_;  // arrayid -> corp
  std::map<std::string, Session> sessions_;
  std::map<std::string, DownloadToken> downloads_;
  std::map<std::string, UploadToken> uploads_;
};

// Locks of lockResource: one holder session per (corp, path).
class LockTable {
 public:
  struct Holder {
    std::string sessionId;
    std::string processId;
  };
  // False when another session holds it.
  bool lock(const std::string& corp, const std::string& path, const std::string& sessionId,
            const std::string& processId);
  // False when this session does not hold it.
  bool unlock(const std::string& corp, const std::string& path, const std::string& sessionId);
  // A path at or below `root` locked by a session other than `sessionId`.
  std::optional<std::string> lockedByOther(const std::string& corp, const std::string& root,
                                           const std::string& sessionId) const;
  void releaseSession(const std::string& sessionId);
  std::map<std::string, Holder> list(const std::string& corp) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, Holder> locks_;
};

}  // namespace ambermoor
