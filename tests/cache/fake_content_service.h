// An in-memory stand-in for the service's content methods, installed through
// setContentServiceForTesting: blocks by id, commits by upload token, call
// counters, and switches that corrupt downloads or fail uploads.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cache/content_service.h"
#include "cache/file_context.h"
#include "core/directories.h"
#include "core/library_state.h"
#include "cloud/root_layout.h"
#include "webapi/block_id.h"

namespace tarvik_test {

class FakeContentService {
 public:
  static FakeContentService& instance() {
    static FakeContentService fake;
    return fake;
  }

  void install() {
    static const tarvik::ContentService table = {download,    uploadBlock,   uploadFile,
                                                 lockResource, keepSession, logout,
                                                 pretestUpload, pretestDownload};
    tarvik::setContentServiceForTesting(&table);
  }

  void reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.clear();
    downloads_.clear();
    uploads_.clear();
    uploadOrder_.clear();
    commits_.clear();
    corruptDownloads = false;
    failUploadBlock = 0;
    dropUploadBlock = 0;
    failUploadFile = 0;
    restartAtUploadFile = 0;
    keepSessions = 0;
    logouts = 0;
    generation = 0;
    pretests = 0;
  }

  // As a service restart: every token given out so far is refused (code 8)
  // from now on; pretest calls hand out tokens of the new generation.
  void forgetTokens() { generation.fetch_add(1); }

  // Stores `data` split into blocks; returns the ids in order.
  std::vector<std::string> putFile(const std::string& data) {
    std::vector<std::string> ids;
    for (size_t off = 0; off < data.size(); off += tarvik::BLOCK_SIZE) {
      std::string part = data.substr(off, tarvik::BLOCK_SIZE);
      std::string id = tarvik::blockIdOf(part.data(), part.size());
      std::lock_guard<std::mutex> lock(mutex_);
      blocks_[id] = part;
      ids.push_back(id);
    }
    return ids;
  }

  int downloadsOf(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return downloads_.count(id) ? downloads_[id] : 0;
  }
  int totalDownloads() {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (auto& d : downloads_) n += d.second;
    return n;
  }
  int uploadsOf(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return uploads_.count(id) ? uploads_[id] : 0;
  }
  std::vector<std::string> uploadOrder() {
    std::lock_guard<std::mutex> lock(mutex_);
    return uploadOrder_;
  }
  std::vector<std::vector<std::string>> commits(const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    return commits_[token];
  }
  // The content of the last commit under `token`, from the stored blocks.
  std::string committedContent(const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    if (commits_[token].empty()) return out;
    for (const std::string& id : commits_[token].back()) out += blocks_[id];
    return out;
  }
  bool hasBlock(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.count(id) != 0;
  }

  std::atomic<bool> corruptDownloads{false};
  std::atomic<int> failUploadBlock{0};  // the next N uploadBlock calls fail with 50
  std::atomic<int> dropUploadBlock{0};  // the next N fail with 1001 (the service unreachable)
  std::atomic<int> failUploadFile{0};   // the next N uploadFile calls fail with 77
  // The next N uploadFile calls find the service restarted: their token is
  // from before, and refused.
  std::atomic<int> restartAtUploadFile{0};
  std::atomic<int> keepSessions{0};
  std::atomic<int> logouts{0};
  std::atomic<int> generation{0};  // tokens of older generations are refused
  std::atomic<int> pretests{0};    // pretest calls made for new tokens

 private:
  // A token is "<name>" (generation 0, as the tests' fixture gives them out)
  // or "<name>~<generation>"; commits are kept under the name.
  static std::string keyOf(const std::string& token) { return token.substr(0, token.find('~')); }
  static bool stale(const std::string& token) {
    const size_t tilde = token.find('~');
    const int gen = tilde == std::string::npos ? 0 : std::stoi(token.substr(tilde + 1));
    return gen < instance().generation.load();
  }
  static std::string newToken(const std::string& name) {
    return name + "~" + std::to_string(instance().generation.load());
  }
  // Service paths of the fixture are "/u/<name>".
  static std::string nameOf(const std::string& servicePath) {
    return servicePath.rfind("/u/", 0) == 0 ? servicePath.substr(3) : servicePath;
  }
  static int pretestUpload(const std::string& servicePath, std::string* token) {
    instance().pretests++;
    *token = newToken("up:" + nameOf(servicePath));
    return 0;
  }
  static int pretestDownload(const std::string& servicePath, std::string* token,
                             std::vector<std::string>* ids) {
    FakeContentService& self = instance();
    self.pretests++;
    std::lock_guard<std::mutex> lock(self.mutex_);
    auto it = self.commits_.find("up:" + nameOf(servicePath));
    if (it == self.commits_.end() || it->second.empty()) return 50;
    *ids = it->second.back();
    *token = newToken("dl");
    return 0;
  }

  static int download(const std::string& token, const std::string& id, const std::string& dest) {
    FakeContentService& self = instance();
    if (stale(token)) return -1;  // the service's error page is no block
    std::string data;
    {
      std::lock_guard<std::mutex> lock(self.mutex_);
      self.downloads_[id]++;
      auto it = self.blocks_.find(id);
      if (it == self.blocks_.end()) return 50;
      data = it->second;
    }
    if (self.corruptDownloads && !data.empty()) data[0] ^= 0x5a;
    int fd = ::open(dest.c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd < 0) return 23;
    if (!data.empty() && ::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
      ::close(fd);
      return 23;
    }
    ::close(fd);
    // As the service method: what arrived must match the id.
    return tarvik::blockIdOf(data.data(), data.size()) == id ? 0 : -1;
  }

  static int uploadBlock(const std::string& token, const std::string& id,
                         const std::string& path) {
    FakeContentService& self = instance();
    if (stale(token)) return 8;
    if (self.failUploadBlock.load() > 0) {
      self.failUploadBlock.fetch_sub(1);
      return 50;
    }
    if (self.dropUploadBlock.load() > 0) {
      self.dropUploadBlock.fetch_sub(1);
      return 1001;
    }
    std::string data;
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return 1001;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) data.append(buf, static_cast<size_t>(n));
    ::close(fd);
    if (tarvik::blockIdOf(data.data(), data.size()) != id) return 8;
    std::lock_guard<std::mutex> lock(self.mutex_);
    self.blocks_[id] = data;
    self.uploads_[id]++;
    self.uploadOrder_.push_back(id);
    return 0;
  }

  static int uploadFile(const std::string& token, const std::vector<std::string>& ids) {
    FakeContentService& self = instance();
    if (self.restartAtUploadFile.load() > 0) {
      self.restartAtUploadFile.fetch_sub(1);
      self.generation++;
    }
    if (stale(token)) return 8;
    if (self.failUploadFile.load() > 0) {
      self.failUploadFile.fetch_sub(1);
      return 77;
    }
    std::lock_guard<std::mutex> lock(self.mutex_);
    for (const std::string& id : ids) {
      if (self.blocks_.count(id) == 0) return 8;  // the service knows no such block
    }
    self.commits_[keyOf(token)].push_back(ids);
    return 0;
  }

  static int lockResource(const std::string&, uint32_t, bool* locked, std::string* text) {
    *locked = true;
    *text = "true";
    return 0;
  }
  static int keepSession() {
    instance().keepSessions++;
    return 0;
  }
  static int logout() {
    instance().logouts++;
    return 0;
  }

  std::mutex mutex_;
  std::map<std::string, std::string> blocks_;
  std::map<std::string, int> downloads_;
  std::map<std::string, int> uploads_;
  std::vector<std::string> uploadOrder_;
  std::map<std::string, std::vector<std::vector<std::string>>> commits_;
};

// Points the library's directory tree at a private temporary directory
// (once per process) and builds an English layout for user "u".
inline void initTestTree() {
  static bool done = [] {
    char tmpl[] = "/tmp/tarvik-cache-test-XXXXXX";
    char* dir = ::mkdtemp(tmpl);
    if (dir == nullptr) return false;
    ::setenv("TMPDIR", dir, 1);
    ::setenv("HOME", dir, 1);
    ::setenv("USERPROFILE", dir, 1);
    return tarvik::globalInitialize() == 0;
  }();
  (void)done;
  tarvik::buildRootLayout("u", "en");
}

}  // namespace tarvik_test
