// libfuse's hidden names of open files (see dokan_requests.h): the hide of
// an unlinked file, which is its deletion, and the hide of a rename's
// target, which the rename's move decides.
#include <cctype>
#include <cerrno>

#include "dokan_requests.h"

namespace dokan {

namespace {

// The request the calls of this thread serve (see Requests::beginRequest),
// and the hide of a rename's target that its move has not decided yet.
struct ThreadRequest {
  bool rename = false;
  std::string hiddenTarget;  // the target's name; empty when no hide waits
  std::string hiddenName;    // the hidden name libfuse gave it
};
thread_local ThreadRequest tRequest;

}  // namespace

bool Requests::IsHiddenName(const std::string& path) {
  static constexpr char kPrefix[] = ".fuse_hidden";
  constexpr size_t kPrefixLength = sizeof kPrefix - 1;
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() != kPrefixLength + 16 || name.compare(0, kPrefixLength, kPrefix) != 0)
    return false;
  for (size_t i = kPrefixLength; i < name.size(); ++i)
    if (!isxdigit(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

void Requests::beginRequest(bool rename) {
  tRequest = ThreadRequest{};
  tRequest.rename = rename;
}

void Requests::endRequest() {
  // libfuse could not record the hidden name after the hide, so it asked
  // for no move: the file keeps its name.
  if (!tRequest.hiddenTarget.empty()) forgetHidden(tRequest.hiddenName);
  tRequest = ThreadRequest{};
}

int Requests::hide(const std::string& from, const std::string& to, uint32_t pid) {
  std::u16string name;
  if (int e = WindowsName(from, name)) return e;
  if (tRequest.rename) {
    // A rename onto an open file: its move replaces the file in one call,
    // or fails and leaves it. Deleting it first would lose it when the
    // move fails.
    tRequest.hiddenTarget = from;
    tRequest.hiddenName = to;
  } else if (int r = unlink(from, pid); r != 0) {
    return r;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (OpenFile* of : opens_)
    if (!of->directory && of->hiddenPath.empty() && of->name == name) of->hiddenPath = to;
  hidden_.insert(to);
  return 0;
}

std::string Requests::takeHiddenTarget(const std::string& to) {
  if (tRequest.hiddenTarget.empty() || tRequest.hiddenTarget != to) return std::string();
  std::string hidden = std::move(tRequest.hiddenName);
  tRequest.hiddenTarget.clear();
  tRequest.hiddenName.clear();
  return hidden;
}

void Requests::keepUnderItsName(const std::string& hidden, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  standIns_[hidden] = name;
}

std::string Requests::realName(const std::string& path) {
  if (!IsHiddenName(path)) return path;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = standIns_.find(path);
  return it == standIns_.end() ? path : it->second;
}

bool Requests::forgetHidden(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool standIn = standIns_.erase(path) != 0;
  if (!hidden_.erase(path)) return standIn;
  for (OpenFile* of : opens_)
    if (of->hiddenPath == path) of->hiddenPath.clear();
  return true;
}

bool Requests::onHidden(const std::string& path, const std::function<int(OpenFile*)>& fn,
                        int* result) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!hidden_.count(path)) return false;
  *result = -ENOENT;  // closed meanwhile
  for (OpenFile* of : opens_) {
    if (of->hiddenPath == path) {
      *result = fn(of);
      break;
    }
  }
  return true;
}

}  // namespace dokan
