#include "store.h"

#include <stdexcept>

namespace ambermoor {
namespace {

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS entries("
    " corp TEXT NOT NULL, path TEXT NOT NULL, parent TEXT NOT NULL, name TEXT NOT NULL,"
    " kind INTEGER NOT NULL, size INTEGER NOT NULL, mtime INTEGER NOT NULL,"
    " ctime INTEGER NOT NULL, blocks TEXT NOT NULL, original_path TEXT, owner TEXT NOT NULL,"
    " PRIMARY KEY(corp, path)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS entries_by_parent ON entries(corp, parent, name);"
    "CREATE INDEX IF NOT EXISTS entries_by_owner ON entries(corp, owner);"
    "CREATE TABLE IF NOT EXISTS announcement_read("
    " corp TEXT NOT NULL, user TEXT NOT NULL, modified INTEGER NOT NULL,"
    " PRIMARY KEY(corp, user));"
    "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value TEXT NOT NULL);";

const char* kColumns = "path, name, kind, size, mtime, ctime, blocks, original_path, owner";

std::string joinBlocks(const std::vector<std::string>& b) {
  std::string s;
  for (const auto& id : b) {
    if (!s.empty()) s += '\n';
    s += id;
  }
  return s;
}

std::vector<std::string> splitBlocks(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < s.size()) {
    auto end = s.find('\n', start);
    if (end == std::string::npos) end = s.size();
    out.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// Leaves a statement reset when a function returns, so no read stays open
// across COMMIT.
struct StmtReset {
  sqlite3_stmt* st;
  ~StmtReset() { sqlite3_reset(st); }
};

void bindText(sqlite3_stmt* st, int i, const std::string& s) {
  sqlite3_bind_text(st, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

}  // namespace

Store::Store(const std::string& dbPath) {
  if (sqlite3_open_v2(dbPath.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                                SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("cannot open " + dbPath + ": " + msg);
  }
  sqlite3_busy_timeout(db_, 5000);
  exec("PRAGMA journal_mode=WAL");
  exec("PRAGMA synchronous=NORMAL");
  exec("PRAGMA foreign_keys=ON");
  exec(kSchema);
}

Store::~Store() {
  for (auto& [sql, st] : stmts_) sqlite3_finalize(st);
  sqlite3_close(db_);
}

void Store::fail(const std::string& what) {
  throw std::runtime_error("metadata store: " + what + ": " + sqlite3_errmsg(db_));
}

void Store::exec(const char* sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
    std::string m = msg ? msg : "?";
    sqlite3_free(msg);
    throw std::runtime_error(std::string("metadata store: ") + m);
  }
}

sqlite3_stmt* Store::prepare(const char* sql) {
  auto it = stmts_.find(sql);
  if (it != stmts_.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return it->second;
  }
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK)
    fail(std::string("prepare ") + sql);
  stmts_[sql] = st;
  return st;
}

Entry Store::readRow(sqlite3_stmt* st) {
  auto text = [&](int i) {
    const unsigned char* p = sqlite3_column_text(st, i);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(st, i)))
             : std::string();
  };
  Entry e;
  e.path = text(0);
  e.name = text(1);
  e.kind = sqlite3_column_int(st, 2);
  e.size = sqlite3_column_int64(st, 3);
  e.mtime = sqlite3_column_int64(st, 4);
  e.ctime = sqlite3_column_int64(st, 5);
  e.blocks = splitBlocks(text(6));
  if (sqlite3_column_type(st, 7) != SQLITE_NULL) e.originalPath = text(7);
  e.owner = text(8);
  return e;
}

std::optional<Entry> Store::get(const std::string& corp, const std::string& path) {
  static const std::string sql =
      std::string("SELECT ") + kColumns + " FROM entries WHERE corp=?1 AND path=?2";
  sqlite3_stmt* st = prepare(sql.c_str());
  StmtReset reset{st};
  bindText(st, 1, corp);
  bindText(st, 2, path);
  int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) return readRow(st);
  if (rc != SQLITE_DONE) fail("get");
  return std::nullopt;
}

std::vector<Entry> Store::children(const std::string& corp, const std::string& parent) {
  static const std::string sql = std::string("SELECT ") + kColumns +
                                 " FROM entries WHERE corp=?1 AND parent=?2 ORDER BY name";
  return entriesOf(sql.c_str(), corp, parent, "children");
}

std::vector<Entry> Store::tree(const std::string& corp, const std::string& path) {
  // Paths below p sort between "p/" and "p0" ('0' follows '/'), so the
  // primary key serves the range; ordering by path puts parents first.
  static const std::string sql =
      std::string("SELECT ") + kColumns +
      " FROM entries WHERE corp=?1 AND (path=?2 OR (path>?2||'/' AND path<?2||'0'))"
      " ORDER BY path";
  return entriesOf(sql.c_str(), corp, path, "tree");
}

std::vector<Entry> Store::entriesOf(const char* sql, const std::string& corp,
                                    const std::string& path, const char* what) {
  sqlite3_stmt* st = prepare(sql);
  StmtReset reset{st};
  bindText(st, 1, corp);
  bindText(st, 2, path);
  std::vector<Entry> out;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) out.push_back(readRow(st));
  if (rc != SQLITE_DONE) fail(what);
  return out;
}

void Store::insert(const std::string& corp, const Entry& e) {
  static const char* sql =
      "INSERT OR REPLACE INTO entries(corp, path, parent, name, kind, size, mtime, ctime, blocks,"
      " original_path, owner) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11)";
  sqlite3_stmt* st = prepare(sql);
  StmtReset reset{st};
  bindText(st, 1, corp);
  bindText(st, 2, e.path);
  auto slash = e.path.rfind('/');
  bindText(st, 3, slash == 0 || slash == std::string::npos ? "" : e.path.substr(0, slash));
  bindText(st, 4, e.name);
  sqlite3_bind_int(st, 5, e.kind);
  sqlite3_bind_int64(st, 6, e.size);
  sqlite3_bind_int64(st, 7, e.mtime);
  sqlite3_bind_int64(st, 8, e.ctime);
  bindText(st, 9, joinBlocks(e.blocks));
  if (e.originalPath) bindText(st, 10, *e.originalPath);
  else sqlite3_bind_null(st, 10);
  bindText(st, 11, e.owner);
  if (sqlite3_step(st) != SQLITE_DONE) fail("insert");
}

void Store::setContent(const std::string& corp, const std::string& path, std::int64_t size,
                       std::int64_t mtime, const std::vector<std::string>& blocks) {
  static const char* sql =
      "UPDATE entries SET size=?3, mtime=?4, blocks=?5 WHERE corp=?1 AND path=?2";
  sqlite3_stmt* st = prepare(sql);
  StmtReset reset{st};
  bindText(st, 1, corp);
  bindText(st, 2, path);
  sqlite3_bind_int64(st, 3, size);
  sqlite3_bind_int64(st, 4, mtime);
  bindText(st, 5, joinBlocks(blocks));
  if (sqlite3_step(st) != SQLITE_DONE) fail("setContent");
}

void Store::touch(const std::string& corp, const std::string& path, std::int64_t mtime) {
  static const char* sql = "UPDATE entries SET mtime=?3 WHERE corp=?1 AND path=?2";
  sqlite3_stmt* st = prepare(sql);
  StmtReset reset{st};
  bindText(st, 1, corp);
  bindText(st, 2, path);
  sqlite3_bind_int64(st, 3, mtime);
  if (sqlite3_step(st) != SQLITE_DONE) fail("touch");
}

int Store::removeTree(const std::string& corp, const std::string& path) {
  static const char* sql =
      "DELETE FROM entries WHERE corp=?1 AND (path=?2 OR (path>?2||'/' AND path<?2||'0'))";
  sqlite3_stmt* st = prepare(sql);
  StmtReset reset{st};
  bindText(st, 1, corp);
  bindText(st, 2, path);
  if (sqlite3_step(st) != SQLITE_DONE) fail("removeTree");
  return sqlite3_changes(db_);
}

std::int64_t Store::usage(const std::string& corp, const std::string& owner) {
  static const char* sql =
      "SELECT COALESCE(SUM(size),0) FROM entries WHERE corp=?1 AND owner=?2 AND kind!=3";
  sqlite3_stmt* st = prepare(sql);
  StmtReset reset{st};
  bindText(st, 1, corp);
  bindText(st, 2, owner);
  if (sqlite3_step(st) != SQLITE_ROW) fail("usage");
  return sqlite3_column_int64(st, 0);
}

std::int64_t Store::announcementRead(const std::string& corp, const std::string& user) {
  static const char* sql = "SELECT modified FROM announcement_read WHERE corp=?1 AND user=?2";
  sqlite3_stmt* st = prepare(sql);
  StmtReset reset{st};
  bindText(st, 1, corp);
  bindText(st, 2, user);
  int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) return sqlite3_column_int64(st, 0);
  if (rc != SQLITE_DONE) fail("announcementRead");
  return -1;
}

void Store::setAnnouncementRead(const std::string& corp, const std::string& user,
                                std::int64_t modified) {
  static const char* sql =
      "INSERT OR REPLACE INTO announcement_read(corp, user, modified) VALUES(?1,?2,?3)";
  sqlite3_stmt* st = prepare(sql);
  StmtReset reset{st};
  bindText(st, 1, corp);
  bindText(st, 2, user);
  sqlite3_bind_int64(st, 3, modified);
  if (sqlite3_step(st) != SQLITE_DONE) fail("setAnnouncementRead");
}

std::optional<std::string> Store::setting(const std::string& key) {
  static const char* sql = "SELECT value FROM settings WHERE key=?1";
  sqlite3_stmt* st = prepare(sql);
  StmtReset reset{st};
  bindText(st, 1, key);
  int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW)
    return std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                       static_cast<std::size_t>(sqlite3_column_bytes(st, 0)));
  if (rc != SQLITE_DONE) fail("setting");
  return std::nullopt;
}

void Store::setSetting(const std::string& key, const std::string& value) {
  static const char* sql = "INSERT OR REPLACE INTO settings(key, value) VALUES(?1,?2)";
  sqlite3_stmt* st = prepare(sql);
  StmtReset reset{st};
  bindText(st, 1, key);
  bindText(st, 2, value);
  if (sqlite3_step(st) != SQLITE_DONE) fail("setSetting");
}

}  // namespace ambermoor
