#include "cache/open_contents.h"

#include <mutex>
#include <unordered_map>

#include "webapi/block_id.h"

namespace tarvik {

namespace {

// Paths remembered at most; past it the record starts afresh (an open of a
// forgotten path only costs the kernel's pages of that file).
constexpr size_t kMaxPaths = 100000;

struct OpenContents {
  std::mutex mutex;
  std::unordered_map<std::string, std::string> digestByPath;
};

OpenContents& contents() {
  static OpenContents* instance = new OpenContents;  // lives until unload
  return *instance;
}

std::string digestOf(const std::vector<std::string>& ids) {
  Sha1 sha;
  for (const std::string& id : ids) {
    sha.update(id.data(), id.size());
    sha.update("\n", 1);  // ids never hold a newline: the list reads back one way
  }
  return sha.finishUrlBase64() + "/" + std::to_string(ids.size());
}

}  // namespace

bool sameContentAsLastOpen(const std::string& servicePath, const std::vector<std::string>& ids) {
  const std::string digest = digestOf(ids);
  OpenContents& c = contents();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (c.digestByPath.size() >= kMaxPaths && c.digestByPath.count(servicePath) == 0) {
    c.digestByPath.clear();
  }
  std::string& last = c.digestByPath[servicePath];
  const bool same = last == digest;
  last = digest;
  return same;
}

void clearOpenContents() {
  OpenContents& c = contents();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.digestByPath.clear();
}

}  // namespace tarvik
