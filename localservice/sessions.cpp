#include "sessions.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "util.h"

namespace ambermoor {

SessionTable::SessionTable(std::vector<UserAccount> users, int timeoutSeconds)
    : users_(std::move(users)), timeoutSeconds_(timeoutSeconds) {}

void SessionTable::persistTo(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  persistPath_ = path;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string field; std::getline(ss, field, '\t');) f.push_back(field);
    if (f.size() != 4 || f[0].empty()) continue;  // not a line of ours
    Session s;
    s.info = SessionInfo{f[0], f[1], f[2], f[3]};
    s.lastUsed = Clock::now();
    arrays_[f[1]] = f[2];
    sessions_[f[0]] = std::move(s);
  }
}

// Written to a new file renamed over the old one, so a crash never leaves a
// half-written table.
void SessionTable::saveLocked() const {
  if (persistPath_.empty()) return;
  const std::string tmp = persistPath_ + ".new";
  {
    std::ofstream out(tmp, std::ios::trunc);
    for (const auto& [id, s] : sessions_)
      out << id << '\t' << s.info.arrayid << '\t' << s.info.corp << '\t' << s.info.user << '\n';
    if (!out) return;
  }
  std::rename(tmp.c_str(), persistPath_.c_str());
}

const UserAccount* SessionTable::findUser(const std::string& corp, const std::string& user) const {
  for (const auto& u : users_)
    if (u.corpId == corp && u.userId == user) return &u;
  return nullptr;
}

bool SessionTable::hasCompany(const std::string& corp) const {
  for (const auto& u : users_)
    if (u.corpId == corp) return true;
  return false;
}

std::string SessionTable::newArray(const std::string& corp) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Bounded: array ids nobody signs in with must not pile up forever.
  if (arrays_.size() > 10000) arrays_.clear();
  std::string id = randomToken(16);
  arrays_[id] = corp;
  return id;
}

std::optional<std::string> SessionTable::login(const std::string& arrayid, const std::string& corp,
                                               const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = arrays_.find(arrayid);
  if (it == arrays_.end() || it->second != corp) return std::nullopt;
  Session s;
  s.info.id = randomToken(20);
  s.info.arrayid = arrayid;
  s.info.corp = corp;
  s.info.user = user;
  s.lastUsed = Clock::now();
  std::string id = s.info.id;
  sessions_[id] = std::move(s);
  saveLocked();
  return id;
}

std::optional<SessionInfo> SessionTable::use(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return std::nullopt;
  auto now = Clock::now();
  if (now - it->second.lastUsed > std::chrono::seconds(timeoutSeconds_)) {
    endLocked(id);
    return std::nullopt;
  }
  it->second.lastUsed = now;
  return it->second.info;
}

void SessionTable::endLocked(const std::string& id) {
  if (sessions_.erase(id) > 0) saveLocked();
  for (auto it = downloads_.begin(); it != downloads_.end();)
    it = it->second.sessionId == id ? downloads_.erase(it) : std::next(it);
  for (auto it = uploads_.begin(); it != uploads_.end();)
    it = it->second.sessionId == id ? uploads_.erase(it) : std::next(it);
}

bool SessionTable::end(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!sessions_.count(id)) return false;
  endLocked(id);
  return true;
}

int SessionTable::endAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = static_cast<int>(sessions_.size());
  sessions_.clear();
  downloads_.clear();
  uploads_.clear();
  saveLocked();
  return n;
}

std::vector<std::string> SessionTable::sweep() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> ended;
  auto now = Clock::now();
  for (const auto& [id, s] : sessions_)
    if (now - s.lastUsed > std::chrono::seconds(timeoutSeconds_)) ended.push_back(id);
  for (const auto& id : ended) endLocked(id);
  return ended;
}

void SessionTable::setTimeoutSeconds(int s) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeoutSeconds_ = s;
}

int SessionTable::timeoutSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeoutSeconds_;
}

std::size_t SessionTable::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_.size();
}

std::string SessionTable::newDownloadToken(const std::string& sessionId,
                                           std::set<std::string> blocks) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string t = randomToken(16);
  downloads_[t] = DownloadToken{sessionId, std::move(blocks)};
  return t;
}

bool SessionTable::downloadAllowed(const std::string& token, const std::string& sessionId,
                                   const std::string& blockId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = downloads_.find(token);
  return it != downloads_.end() && it->second.sessionId == sessionId &&
         it->second.blocks.count(blockId) > 0;
}

std::string SessionTable::newUploadToken(const std::string& sessionId, const std::string& corp,
                                         const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string t = randomToken(16);
  uploads_[t] = UploadToken{sessionId, corp, path, {}};
  return t;
}

std::optional<UploadToken> SessionTable::uploadToken(const std::string& token,
                                                     const std::string& sessionId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = uploads_.find(token);
  if (it == uploads_.end() || it->second.sessionId != sessionId) return std::nullopt;
  return it->second;
}

void SessionTable::addUploadedBlock(const std::string& token, const std::string& blockId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = uploads_.find(token);
  if (it == uploads_.end()) return;
  it->second.blocks.insert(blockId);
  auto s = sessions_.find(it->second.sessionId);
  if (s != sessions_.end()) s->second.uploaded.insert(blockId);
}

bool SessionTable::sessionUploaded(const std::string& sessionId, const std::string& blockId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto s = sessions_.find(sessionId);
  return s != sessions_.end() && s->second.uploaded.count(blockId) > 0;
}

void SessionTable::dropUploadToken(const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  uploads_.erase(token);
}

bool LockTable::lock(const std::string& corp, const std::string& path, const std::string& sessionId,
                     const std::string& processId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto key = std::make_pair(corp, path);
  auto it = locks_.find(key);
  if (it != locks_.end() && it->second.sessionId != sessionId) return false;
  locks_[key] = Holder{sessionId, processId};
  return true;
}

bool LockTable::unlock(const std::string& corp, const std::string& path,
                       const std::string& sessionId) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = locks_.find(std::make_pair(corp, path));
  if (it == locks_.end() || it->second.sessionId != sessionId) return false;
  locks_.erase(it);
  return true;
}

std::optional<std::string> LockTable::lockedByOther(const std::string& corp,
                                                    const std::string& root,
                                                    const std::string& sessionId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = locks_.lower_bound(std::make_pair(corp, root));
       it != locks_.end() && it->first.first == corp; ++it) {
    if (!isWithin(it->first.second, root)) {
      // Sorted by path: entries below root follow root directly, but names
      // such as "root x" sort between; keep scanning while the prefix fits.
      if (it->first.second.compare(0, root.size(), root) != 0) break;
      continue;
    }
    if (it->second.sessionId != sessionId) return it->first.second;
  }
  return std::nullopt;
}

void LockTable::releaseSession(const std::string& sessionId) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = locks_.begin(); it != locks_.end();)
    it = it->second.sessionId == sessionId ? locks_.erase(it) : std::next(it);
}

std::map<std::string, LockTable::Holder> LockTable::list(const std::string& corp) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::map<std::string, Holder> out;
  for (const auto& [key, h] : locks_)
    if (key.first == corp) out[key.second] = h;
  return out;
}

}  // namespace ambermoor
