// The upload journal. See upload_journal.h.
#include "cache/upload_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <picojson.h>

#include "core/clock.h"
#include "core/directories.h"
#include "core/library_state.h"
#include "core/service_codes.h"
#include "log/log.h"

namespace tarvik::journal {
namespace {

constexpr const char* kEntryFile = "entry";

std::mutex g_mutex;  // guards the index
struct Index {
  std::string account;  // the account directory it was read for; empty: not read
  std::map<std::string, Entry> byPath;
};
Index& index() {
  static auto* i = new Index;
  return *i;
}
std::atomic<uint32_t> g_counter{0};

std::string hexOf(const std::string& text) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string journalRoot() { return state().cacheRoot + "/journal"; }

std::string accountDir(const std::string& corpId, const std::string& userId) {
  return journalRoot() + "/" + hexOf(corpId + "\n" + userId);
}

std::string currentAccountDir() { return accountDir(state().corpId, state().userId); }

picojson::value listValue(const std::vector<std::string>& ids) {
  picojson::array a;
  for (const std::string& id : ids) a.emplace_back(id);
  return picojson::value(a);
}

std::vector<std::string> listOf(const picojson::value& v) {
  std::vector<std::string> out;
  if (!v.is<picojson::array>()) return out;
  for (const auto& e : v.get<picojson::array>()) {
    if (e.is<std::string>()) out.push_back(e.get<std::string>());
  }
  return out;
}

std::string serialize(const Entry& e) {
  picojson::object o;
  o["path"] = picojson::value(e.servicePath);
  o["drivePath"] = picojson::value(e.drivePath);
  o["blocks"] = listValue(e.blocks);
  o["base"] = listValue(e.base);
  o["size"] = picojson::value(static_cast<double>(e.size));
  o["mtime"] = picojson::value(static_cast<double>(e.mtime));
  o["final"] = picojson::value(e.final);
  o["lastCode"] = picojson::value(static_cast<double>(e.lastCode));
  return picojson::value(o).serialize();
}

bool parse(const std::string& text, Entry* e) {
  picojson::value v;
  if (!picojson::parse(v, text).empty() || !v.is<picojson::object>()) return false;
  const auto& o = v.get<picojson::object>();
  auto text_of = [&](const char* k) {
    auto it = o.find(k);
    return it != o.end() && it->second.is<std::string>() ? it->second.get<std::string>() : "";
  };
  auto number_of = [&](const char* k) {
    auto it = o.find(k);
    return it != o.end() && it->second.is<double>() ? static_cast<int64_t>(it->second.get<double>())
                                                    : int64_t{0};
  };
  e->servicePath = text_of("path");
  e->drivePath = text_of("drivePath");
  e->blocks = o.count("blocks") ? listOf(o.at("blocks")) : std::vector<std::string>{};
  e->base = o.count("base") ? listOf(o.at("base")) : std::vector<std::string>{};
  e->size = number_of("size");
  e->mtime = number_of("mtime");
  e->final = o.count("final") && o.at("final").is<bool>() && o.at("final").get<bool>();
  e->lastCode = static_cast<int>(number_of("lastCode"));
  return !e->servicePath.empty();
}

int syncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int rc = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return rc;
}

// Writes the entry file of `dir` through a new file renamed into place,
// synced with its folder. 0 or errno.
int writeEntryFile(const std::string& dir, const Entry& e) {
  const std::string text = serialize(e);
  const std::string next = dir + "/" + kEntryFile + ".new";
  const int fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int err = 0;
  size_t put = 0;
  while (put < text.size() && err == 0) {
    const ssize_t w = ::write(fd, text.data() + put, text.size() - put);
    if (w < 0 && errno != EINTR) err = errno;
    if (w > 0) put += static_cast<size_t>(w);
  }
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(next.c_str(), (dir + "/" + kEntryFile).c_str()) != 0) err = errno;
  if (err == 0) err = syncDirectory(dir);
  if (err != 0) ::unlink(next.c_str());
  return err;
}

std::vector<Entry> readAccount(const std::string& dir) {
  std::vector<Entry> entries;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return entries;
  while (dirent* ent = ::readdir(d)) {
    const std::string name = ent->d_name;
    if (name == "." || name == "..") continue;
    const std::string file = dir + "/" + name + "/" + kEntryFile;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;  // being written, or left half by a crash before its rename
    std::string text;
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    Entry e;
    if (!parse(text, &e)) {
      TLOG_WARN("unreadable journal entry kept: ", file);
      continue;
    }
    e.id = name;
    entries.push_back(std::move(e));
  }
  ::closedir(d);
  // Ids begin with the time they were written.
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.id < b.id; });
  return entries;
}

// Mutex held. The index of the signed-in account, read on first use.
Index& loadedLocked() {
  Index& i = index();
  const std::string dir = currentAccountDir();
  if (i.account == dir) return i;
  i.account = dir;
  i.byPath.clear();
  for (Entry& e : readAccount(dir)) i.byPath[e.servicePath] = std::move(e);
  return i;
}

void removeEntryDir(const std::string& dir) {
  if (removeRecursive(dir) != 0) TLOG_WARN("journal entry not removed: ", dir);
}

}  // namespace

bool failureMayPass(int code) {
  switch (code) {
    case service_code::kSessionEnded:
    case service_code::kLocked:
    case service_code::kQuotaExceeded:
    case service_code::kCommunicationError:
    case service_code::kMaintenance:
      return true;
    default:
      return false;
  }
}

int keep(Entry& entry, const std::vector<std::string>& blockFiles) {
  char id[64];
  std::snprintf(id, sizeof id, "%016lld-%d-%u", static_cast<long long>(nowMicroseconds()),
                static_cast<int>(::getpid()), g_counter.fetch_add(1));
  entry.id = id;
  const std::string account = currentAccountDir();
  const std::string dir = account + "/" + entry.id;
  int rc = makeDirectories(dir);
  if (rc != 0) return -rc;
  for (const std::string& file : blockFiles) {
    const std::string name = file.substr(file.rfind('/') + 1);
    if (::link(file.c_str(), (dir + "/" + name).c_str()) != 0 && errno != EEXIST) {
      TLOG_WARN("journal: block not kept: ", file, " ", std::strerror(errno));
    }
  }
  const int err = writeEntryFile(dir, entry);
  if (err != 0) {
    removeEntryDir(dir);
    return err;
  }
  syncDirectory(account);
  TLOG_INFO("kept for upload: ", entry.servicePath, " (", entry.size, " bytes)");
  std::lock_guard<std::mutex> lock(g_mutex);
  Index& i = loadedLocked();
  auto old = i.byPath.find(entry.servicePath);
  if (old != i.byPath.end() && old->second.id != entry.id) removeEntryDir(account + "/" + old->second.id);
  i.byPath[entry.servicePath] = entry;
  return 0;
}

std::vector<Entry> list(const std::string& corpId, const std::string& userId) {
  return readAccount(accountDir(corpId, userId));
}

bool find(const std::string& servicePath, Entry* out) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Index& i = loadedLocked();
  auto it = i.byPath.find(servicePath);
  if (it == i.byPath.end()) return false;
  if (out != nullptr) *out = it->second;
  return true;
}

std::vector<Entry> childrenOf(const std::string& folder) {
  std::vector<Entry> out;
  std::lock_guard<std::mutex> lock(g_mutex);
  Index& i = loadedLocked();
  const std::string prefix = folder + "/";
  for (auto it = i.byPath.lower_bound(prefix);
       it != i.byPath.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    if (it->first.find('/', prefix.size()) == std::string::npos) out.push_back(it->second);
  }
  return out;
}

std::vector<Entry> pending() {
  std::vector<Entry> out;
  std::lock_guard<std::mutex> lock(g_mutex);
  for (const auto& [path, e] : loadedLocked().byPath) {
    if (!e.final) out.push_back(e);
  }
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.id < b.id; });
  return out;
}

std::string blockFile(const Entry& entry, const std::string& id) {
  const std::string file = currentAccountDir() + "/" + entry.id + "/" + id;
  struct stat st;
  return ::stat(file.c_str(), &st) == 0 ? file : std::string();
}

void remove(const Entry& entry) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Index& i = loadedLocked();
  removeEntryDir(i.account + "/" + entry.id);
  auto it = i.byPath.find(entry.servicePath);
  if (it != i.byPath.end() && it->second.id == entry.id) i.byPath.erase(it);
}

void removeAllOf(const std::string& servicePath) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Index& i = loadedLocked();
  auto it = i.byPath.find(servicePath);
  if (it == i.byPath.end()) return;
  TLOG_INFO("waiting version replaced by a commit: ", servicePath);
  removeEntryDir(i.account + "/" + it->second.id);
  i.byPath.erase(it);
}

int update(const Entry& entry) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Index& i = loadedLocked();
  auto it = i.byPath.find(entry.servicePath);
  if (it == i.byPath.end() || it->second.id != entry.id) return ENOENT;
  const int err = writeEntryFile(i.account + "/" + entry.id, entry);
  if (err == 0) it->second = entry;
  return err;
}

void reload() {
  std::lock_guard<std::mutex> lock(g_mutex);
  index().account.clear();
  index().byPath.clear();
}

}  // namespace tarvik::journal
