// Metadata store: entries of every company's service paths, announcement
// read marks and a few settings, in one SQLite database (WAL mode).
//
// Threads: one connection guarded by one mutex. Every access goes through
// transaction(), which holds the mutex for the whole BEGIN..COMMIT, so a
// multi-step change (move of a tree, commit of a file) is atomic and
// isolated. Functions marked "in a transaction" must only be called from
// inside the callable given to transaction().
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ambermoor {

constexpr int kKindFolder = 3;
constexpr int kKindFile = 1;

struct Entry {
  std::string path;
  std::string name;
  int kind = kKindFile;
  std::int64_t size = 0;
  std::int64_t mtime = 0;
  std::int64_t ctime = 0;
  std::vector<std::string> blocks;   // content, in order (files only)
  std::optional<std::string> originalPath;  // trash items only
  std::string owner;                 // whose quota the content uses
};

class Store {
 public:
  explicit Store(const std::string& dbPath);  // throws std::runtime_error
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Runs f inside BEGIN IMMEDIATE..COMMIT; rolls back when f throws.
  template <class F>
  auto transaction(F&& f) -> decltype(f()) {
    std::lock_guard<std::mutex> lock(mutex_);
    exec("BEGIN IMMEDIATE");
    try {
      if constexpr (std::is_void_v<decltype(f())>) {
        f();
        exec("COMMIT");
      } else {
        auto r = f();
        exec("COMMIT");
        return r;
      }
    } catch (...) {
      exec("ROLLBACK");
      throw;
    }
  }

  // All of these: in a transaction.
  std::optional<Entry> get(const std::string& corp, const std::string& path);
  std::vector<Entry> children(const std::string& corp, const std::string& parent);
  // The entry at `path` and everything below it, parents before children.
  std::vector<Entry> tree(const std::string& corp, const std::string& path);
  void insert(const std::string& corp, const Entry& e);  // replaces an entry at the same path
  void setContent(const std::string& corp, const std::string& path, std::int64_t size,
                  std::int64_t mtime, const std::vector<std::string>& blocks);
  void touch(const std::string& corp, const std::string& path, std::int64_t mtime);
  int removeTree(const std::string& corp, const std::string& path);
  std::int64_t usage(const std::string& corp, const std::string& owner);
  std::int64_t announcementRead(const std::string& corp, const std::string& user);
  void setAnnouncementRead(const std::string& corp, const std::string& user, std::int64_t modified);
  std::optional<std::string> setting(const std::string& key);
  void setSetting(const std::string& key, const std::string& value);

 private:
  // Rows of a query on (corp, path) as entries; `what` names it in errors.
  std::vector<Entry> entriesOf(const char* sql, const std::string& corp, const std::string& path,
                               const char* what);
  void exec(const char* sql);
  sqlite3_stmt* prepare(const char* sql);  // cached; reset before use
  Entry readRow(sqlite3_stmt* st);
  [[noreturn]] void fail(const std::string& what);

  sqlite3* db_ = nullptr;
  std::mutex mutex_;
  std::map<const char*, sqlite3_stmt*> stmts_;
};

}  // namespace ambermoor
