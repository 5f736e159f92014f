// An in-memory namespace behind the decas operation table, for tests of the
// frame, the adapter and the Dokan layer. One global instance (the table
// holds plain functions); every operation is counted and faults can be
// injected per operation.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "optable/decas.h"

namespace memtable {

struct Node {
  bool dir = false;
  std::string data;
  int64_t mtime = 1700000000000000;  // microseconds
};

struct Call {
  std::string op;
  std::string a, b;
  bool flag = false;
};

struct State {
  std::mutex mutex;  // guards everything below
  std::map<std::string, Node> nodes;
  std::vector<Call> calls;
  // Fault injection: negative status returned by the named operation.
  std::map<std::string, int> failures;
  std::atomic<int> readDelayMs{0};
  // When set, an overlapped (not synchronous) write takes at most this many
  // bytes, as the content layer stops such a write at the end of a block.
  std::atomic<size_t> overlappedWritePiece{0};
  std::atomic<int> initResult{0};
  std::atomic<int> openFiles{0};
  int64_t capacity = 1LL << 40;
  int64_t free = 1LL << 39;

  void reset() {
    std::lock_guard<std::mutex> lock(mutex);
    nodes.clear();
    nodes["/"].dir = true;
    nodes["/__system__"];  // marked as the system entry by stat
    calls.clear();
    failures.clear();
    readDelayMs = 0;
    overlappedWritePiece = 0;
    initResult = 0;
    openFiles = 0;
  }
  int count(const std::string& op) {
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (auto& c : calls) n += c.op == op;
    return n;
  }
  std::vector<Call> callsOf(const std::string& op) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Call> out;
    for (auto& c : calls)
      if (c.op == op) out.push_back(c);
    return out;
  }
  bool exists(const std::string& p) {
    std::lock_guard<std::mutex> lock(mutex);
    return nodes.count(p) > 0;
  }
  std::string content(const std::string& p) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = nodes.find(p);
    return it == nodes.end() ? std::string("<missing>") : it->second.data;
  }
  void put(const std::string& p, const std::string& data) {
    std::lock_guard<std::mutex> lock(mutex);
    nodes[p].data = data;
  }
  void mkdirs(const std::string& p) {
    std::lock_guard<std::mutex> lock(mutex);
    nodes[p].dir = true;
  }
  void fail(const std::string& op, int status) {
    std::lock_guard<std::mutex> lock(mutex);
    failures[op] = status;
  }
};

inline State& state() {
  static State s;
  return s;
}

// Records the call and returns the injected failure, or 0. Takes the lock.
inline int enter(const std::string& op, const std::string& a = "", const std::string& b = "",
                 bool flag = false) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.push_back({op, a, b, flag});
  auto it = s.failures.find(op);
  return it == s.failures.end() ? 0 : it->second;
}

inline std::string parentOf(const std::string& p) {
  size_t slash = p.rfind('/');
  return slash == 0 ? "/" : p.substr(0, slash);
}

inline bool hasChildren(State& s, const std::string& p) {
  std::string prefix = p == "/" ? "/" : p + "/";
  auto it = s.nodes.upper_bound(p);
  return it != s.nodes.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

inline void fillStat(const std::string& p, const Node& n, tarvik::StatRecord* out) {
  out->type = p == "/__system__" ? tarvik::ENTRY_SYSTEM
                                 : (n.dir ? tarvik::ENTRY_DIRECTORY : tarvik::ENTRY_FILE);
  out->size = n.dir ? 0 : static_cast<int64_t>(n.data.size());
  out->atime = n.mtime;
  out->mtime = n.mtime;
  out->ctime = n.mtime;
}

inline int access(const char* path, int mode) {
  return enter("access", path, std::to_string(mode));
}

inline int stat(const char* path, tarvik::StatRecord* out) {
  if (int f = enter("stat", path)) return f;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(path);
  if (it == s.nodes.end()) return -tarvik::DECAS_ENOENT;
  fillStat(path, it->second, out);
  return 0;
}

inline int mkdir(const char* path) {
  if (int f = enter("mkdir", path)) return f;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.nodes.count(path)) return -tarvik::DECAS_EEXIST;
  if (!s.nodes.count(parentOf(path))) return -tarvik::DECAS_ENOENT;
  s.nodes[path].dir = true;
  return 0;
}

inline int rmdir(const char* path, bool toTrash) {
  if (int f = enter("rmdir", path, "", toTrash)) return f;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(path);
  if (it == s.nodes.end()) return -tarvik::DECAS_ENOENT;
  if (!it->second.dir) return -tarvik::DECAS_ENOTDIR;
  if (hasChildren(s, path)) return -(tarvik::DECAS_OS_ERROR_BASE + 145);
  s.nodes.erase(it);
  return 0;
}

inline int remove(const char* path, bool toTrash) {
  if (int f = enter("remove", path, "", toTrash)) return f;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(path);
  if (it == s.nodes.end()) return -tarvik::DECAS_ENOENT;
  s.nodes.erase(it);
  return 0;
}

inline int rename(const char* from, const char* to, bool overwrite) {
  if (int f = enter("rename", from, to, overwrite)) return f;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(from);
  if (it == s.nodes.end()) return -tarvik::DECAS_ENOENT;
  if (s.nodes.count(to) && !overwrite) return -tarvik::DECAS_EEXIST;
  std::string f(from), t(to);
  std::map<std::string, Node> moved;
  for (auto i = s.nodes.begin(); i != s.nodes.end();) {
    if (i->first == f || i->first.compare(0, f.size() + 1, f + "/") == 0) {
      moved[t + i->first.substr(f.size())] = i->second;
      i = s.nodes.erase(i);
    } else {
      ++i;
    }
  }
  for (auto& m : moved) s.nodes[m.first] = m.second;
  return 0;
}

inline int stub() { return 0; }

inline int open(const char* path, tarvik::DecasHandle* h) {
  if (int f = enter("open", path, std::to_string(h->openFlags))) return f;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(path);
  if (it == s.nodes.end()) {
    if (!(h->openFlags & tarvik::OPEN_CREATE)) return -tarvik::DECAS_ENOENT;
    if (!s.nodes.count(parentOf(path))) return -tarvik::DECAS_ENOENT;
    s.nodes[path];
    h->state |= tarvik::HANDLE_NEW;
  } else if (it->second.dir) {
    return -tarvik::DECAS_EISDIR;
  } else if ((h->openFlags & tarvik::OPEN_EXCLUSIVE)) {
    return -tarvik::DECAS_EEXIST;
  } else if (h->openFlags & tarvik::OPEN_TRUNCATE) {
    it->second.data.clear();
  }
  ++s.openFiles;
  return 0;
}

inline int fstat(const char* path, tarvik::StatRecord* out, tarvik::DecasHandle* h) {
  if (int f = enter("fstat", path)) return f;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(h->path());
  if (it == s.nodes.end()) return -tarvik::DECAS_ENOENT;
  fillStat(h->path(), it->second, out);
  return 0;
}

inline int ftruncate(const char* path, int64_t size, tarvik::DecasHandle*) {
  if (int f = enter("ftruncate", path, std::to_string(size))) return f;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(path);
  if (it == s.nodes.end()) return -tarvik::DECAS_ENOENT;
  it->second.data.resize(static_cast<size_t>(size));
  return 0;
}

inline int read(const char* path, char* buf, size_t len, int64_t off, bool sync,
                tarvik::DecasHandle*) {
  if (int f = enter("read", path, std::to_string(off), sync)) return f;
  State& s = state();
  if (int d = s.readDelayMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(d));
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(path);
  if (it == s.nodes.end()) return -tarvik::DECAS_ENOENT;
  const std::string& d = it->second.data;
  if (off >= static_cast<int64_t>(d.size())) return 0;
  size_t n = std::min(len, d.size() - static_cast<size_t>(off));
  memcpy(buf, d.data() + off, n);
  return static_cast<int>(n);
}

inline int write(const char* path, const char* buf, size_t len, int64_t off, bool sync,
                 tarvik::DecasHandle*) {
  if (int f = enter("write", path, std::to_string(off) + ":" + std::to_string(len), sync))
    return f;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(path);
  if (it == s.nodes.end()) return -tarvik::DECAS_ENOENT;
  std::string& d = it->second.data;
  if (size_t piece = s.overlappedWritePiece.load(); piece != 0 && !sync) len = std::min(len, piece);
  if (d.size() < static_cast<size_t>(off) + len) d.resize(static_cast<size_t>(off) + len);
  memcpy(&d[static_cast<size_t>(off)], buf, len);
  return static_cast<int>(len);
}

inline int flush(const char* path, tarvik::DecasHandle* h) {
  if (int f = enter("flush", path)) return f;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(path);
  if (it != s.nodes.end() && !it->second.data.empty()) h->state |= tarvik::HANDLE_CONTENT_UPLOADED;
  return 0;
}

inline int close(const char* path, tarvik::DecasHandle*) {
  if (int f = enter("close", path)) return f;
  --state().openFiles;
  return 0;
}

inline int opendir(const char* path, tarvik::DecasHandle*) {
  if (int f = enter("opendir", path)) return f;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(path);
  if (it == s.nodes.end()) return -tarvik::DECAS_ENOENT;
  if (!it->second.dir) return -tarvik::DECAS_ENOTDIR;
  return 0;
}

inline int readdir(const char* path, tarvik::DirFiller filler, int, int, tarvik::DecasHandle* h) {
  if (int f = enter("readdir", path)) return f;
  State& s = state();
  std::vector<std::pair<std::string, tarvik::StatRecord>> entries;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    std::string prefix = std::string(path) == "/" ? "/" : std::string(path) + "/";
    tarvik::StatRecord dot{tarvik::ENTRY_DIRECTORY, 0, -1, -1, -1};
    entries.push_back({".", dot});
    entries.push_back({"..", dot});
    for (auto& n : s.nodes) {
      if (n.first.size() <= prefix.size() || n.first.compare(0, prefix.size(), prefix) != 0)
        continue;
      if (n.first.find('/', prefix.size()) != std::string::npos) continue;
      if (n.first == "/__system__") continue;
      tarvik::StatRecord st{};
      fillStat(n.first, n.second, &st);
      entries.push_back({n.first.substr(prefix.size()), st});
    }
  }
  for (auto& e : entries) filler(e.first.c_str(), &e.second, 0, 0, h);
  return 0;
}

inline int closedir(const char* path, tarvik::DecasHandle*) { return enter("closedir", path); }

inline int statfs(int64_t* capacity, int64_t* free) {
  if (int f = enter("statfs")) return f;
  *capacity = state().capacity;
  *free = state().free;
  return 0;
}

inline int copy(const char* src, const char* dst) {
  if (int f = enter("copy", src, dst)) return f;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.nodes.find(src);
  if (it == s.nodes.end()) return -tarvik::DECAS_ENOENT;
  s.nodes[dst] = it->second;
  return 0;
}

inline int init(int, int) {
  enter("init");
  return state().initResult.load();
}

inline int exit(int status) { return enter("exit", std::to_string(status)); }

inline void fill(tarvik::OperationTable* t) {
  t->access = access;
  t->stat = stat;
  t->mkdir = mkdir;
  t->rmdir = rmdir;
  t->remove = remove;
  t->rename = rename;
  t->stub6 = stub;
  t->stub7 = stub;
  t->open = open;
  t->fstat = fstat;
  t->ftruncate = ftruncate;
  t->read = read;
  t->write = write;
  t->flush = flush;
  t->close = close;
  t->opendir = opendir;
  t->readdir = readdir;
  t->closedir = closedir;
  t->statfs = statfs;
  t->copy = copy;
  t->init = init;
  t->exit = exit;
}

}  // namespace memtable
