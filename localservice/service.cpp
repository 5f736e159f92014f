#include "service.h"

#include <openssl/crypto.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "messages.h"

namespace ambermoor {
namespace {

namespace fs = std::filesystem;
using picojson::value;

// Form of each method: 'G' GET without body, 'U' URL-encoded POST,
// 'M' multipart POST; and whether it needs a session.
struct MethodInfo {
  char form;
  bool session;
};

const std::map<std::string, MethodInfo>& methodTable() {
  static const std::map<std::string, MethodInfo> t = {
      {"getErrorMessages", {'G', false}},
      {"getPKIInfo", {'G', false}},
      {"pretestLogin", {'U', false}},
      {"login", {'U', false}},
      {"logout", {'G', true}},
      {"keepSession", {'G', true}},
      {"getAnnouncement", {'U', true}},
      {"markReadCurrentAnnouncement", {'G', true}},
      {"getLoginUserInfo", {'G', true}},
      {"getEntries", {'U', true}},
      {"getSharedEntries", {'G', true}},
      {"checkPermission", {'U', true}},
      {"getResourceDetail", {'U', true}},
      {"makeDirectory", {'U', true}},
      {"moveResource", {'U', true}},
      {"moveToTrash", {'U', true}},
      {"removeResource", {'U', true}},
      {"lockResource", {'U', true}},
      {"unlockResource", {'U', true}},
      {"pretestDownloadFile", {'U', true}},
      {"downloadBlock", {'U', true}},
      {"pretestUploadFile", {'U', true}},
      {"uploadBlock", {'M', true}},
      {"uploadFile", {'M', true}},
      {"copyResource", {'U', true}},
      {"emptyTrash", {'G', true}},
      {"getSAMLLoginInfo", {'G', false}},
      {"logoutWithSAML", {'G', true}},
  };
  return t;
}

value num(std::int64_t n) { return value(static_cast<double>(n)); }

bool boolParam(const std::string& v) {
  if (v == "true") return true;
  if (v == "false") return false;
  throw ServiceError(err::kInvalidArgument, {v});
}

DemoAccount prepareDemo(const std::string& dataDir, bool demo) {
  DemoAccount d;
  if (!demo) return d;
  d.corp = "demo";
  d.user = "demo";
  d.samlCorp = "demo-saml";
  d.samlUser = "saml";
  // The password survives restarts so that a client can sign in again.
  fs::path file = fs::path(dataDir) / "demo-password";
  std::ifstream in(file);
  if (in) std::getline(in, d.password);
  if (d.password.empty()) {
    d.password = randomToken(6);
    std::ofstream out(file, std::ios::trunc);
    out << d.password << "\n";
  }
  return d;
}

ServiceConfig addDemo(ServiceConfig cfg, const DemoAccount& d) {
  if (d.corp.empty()) return cfg;
  for (const auto& u : cfg.users)
    if (u.corpId == d.corp && u.userId == d.user) return cfg;  // the configuration wins
  UserAccount a;
  a.corpId = d.corp;
  a.userId = d.user;
  a.password = d.password;
  a.contractCapacity = 10LL * 1024 * 1024 * 1024;
  cfg.users.push_back(a);
  UserAccount guest = a;
  guest.userId = "guest";
  cfg.users.push_back(guest);
  SharedFolder team;
  team.corpId = d.corp;
  team.path = "/Team";
  team.owner = d.user;
  team.members[d.user] = true;
  team.members["guest"] = false;
  bool have = false;
  for (const auto& s : cfg.shares) have = have || (s.corpId == d.corp && s.path == team.path);
  if (!have) cfg.shares.push_back(team);
  bool samlConfigured = false;
  for (const auto& c : cfg.saml) samlConfigured = samlConfigured || c.corpId == d.samlCorp;
  if (!samlConfigured) {
    // Signs in only through the provider: its service password is random
    // and never shown.
    UserAccount s = a;
    s.corpId = d.samlCorp;
    s.userId = d.samlUser;
    s.password = randomToken(16);
    cfg.users.push_back(s);
    SamlCompany sc;
    sc.corpId = d.samlCorp;
    sc.idpUsers[d.samlUser] = d.password;
    cfg.saml.push_back(sc);
  }
  return cfg;
}

}  // namespace

// A new entry at `path` made now by `owner`; size, content and trash origin
// are the caller's to fill.
static Entry newEntry(const std::string& path, int kind, const std::string& owner, std::int64_t now) {
  Entry e;
  e.path = path;
  e.name = baseName(path);
  e.kind = kind;
  e.mtime = e.ctime = now;
  e.owner = owner;
  return e;
}

bool Service::knownMethod(const std::string& method) { return methodTable().count(method) > 0; }

Service::Service(ServiceConfig cfg, const std::string& dataDir, bool demo)
    : demo_(prepareDemo(dataDir, demo)),
      cfg_(addDemo(std::move(cfg), demo_)),
      store_(std::make_unique<Store>((fs::path(dataDir) / "metadata.sqlite").string())),
      blocks_(std::make_unique<BlockStore>((fs::path(dataDir) / "blocks").string())),
      sessions_(cfg_.users, cfg_.sessionTimeoutSeconds),
      saml_(std::make_unique<SamlSite>(cfg_.saml, dataDir)) {
  sessions_.persistTo((fs::path(dataDir) / "sessions.tsv").string());
  ensureAreas();
  if (demo) createDemoContent();
  store_->transaction([&] {
    if (!store_->setting("announcement.modified") && !cfg_.announcement.empty()) {
      store_->setSetting("announcement.text", cfg_.announcement);
      store_->setSetting("announcement.modified", std::to_string(cfg_.announcementModified));
    }
  });
}

void Service::ensureAreas() {
  std::int64_t now = nowMs();
  store_->transaction([&] {
    auto ensure = [&](const std::string& corp, const std::string& path, const std::string& owner) {
      if (!store_->get(corp, path)) store_->insert(corp, newEntry(path, kKindFolder, owner, now));
    };
    for (const auto& u : cfg_.users) {
      ensure(u.corpId, "/" + u.userId, u.userId);
      ensure(u.corpId, "/!" + u.userId, u.userId);
    }
    for (const auto& s : cfg_.shares) ensure(s.corpId, s.path, s.owner);
  });
}

void Service::createDemoContent() {
  const std::string home = "/" + demo_.user;
  bool fresh = store_->transaction([&] { return store_->children(demo_.corp, home).empty(); });
  if (!fresh) return;
  std::int64_t now = nowMs();
  auto file = [&](const std::string& path, const std::string& content) {
    Entry e = newEntry(path, kKindFile, demo_.user, now);
    e.size = static_cast<std::int64_t>(content.size());
    e.blocks.push_back(blocks_->put(content));
    store_->insert(demo_.corp, e);
  };
  auto folder = [&](const std::string& path) {
    store_->insert(demo_.corp, newEntry(path, kKindFolder, demo_.user, now));
  };
  store_->transaction([&] {
    file(home + "/Welcome.txt", "Welcome to the local storage service.\n");
    folder(home + "/Documents");
    file(home + "/Documents/notes.txt", "Notes\n=====\n\n- first\n- second\n");
    file("/Team/README.txt", "Shared with the team. The guest user may only read.\n");
    if (sessions_.findUser(demo_.samlCorp, demo_.samlUser) && saml_->company(demo_.samlCorp)) {
      Entry e = newEntry("/" + demo_.samlUser + "/Welcome.txt", kKindFile, demo_.samlUser, now);
      std::string content = "Signed in through the identity provider.\n";
      e.size = static_cast<std::int64_t>(content.size());
      e.blocks.push_back(blocks_->put(content));
      store_->insert(demo_.samlCorp, e);
    }
  });
}

// ---- helpers ---------------------------------------------------------------

SessionInfo Service::requireSession(const ApiRequest& req) {
  for (const auto& id : sessions_.sweep()) locks_.releaseSession(id);
  auto s = sessions_.use(req.jsessionid);
  if (!s) {
    // An idle session ends here: its locks end with it.
    locks_.releaseSession(req.jsessionid);
    throw ServiceError(err::kSessionLost);
  }
  return *s;
}

const std::string& Service::param(const ApiRequest& req, const char* name) {
  auto it = req.params.find(name);
  if (it == req.params.end()) throw ServiceError(err::kInvalidArgument, {name});
  return it->second;
}

std::string Service::pathParam(const ApiRequest& req, const char* name) {
  const std::string& p = param(req, name);
  if (!isValidServicePath(p)) throw ServiceError(err::kInvalidArgument, {name});
  return p;
}

void Service::checkForm(const ApiRequest& req, char form) {
  switch (form) {
    case 'G':
      // A body-less call; a POST without parameters is accepted as well.
      if (!req.params.empty() || req.filedata) throw ServiceError(err::kInvalidArgument, {"form"});
      break;
    case 'U':
      if (!req.post || req.multipart) throw ServiceError(err::kInvalidArgument, {"form"});
      break;
    case 'M':
      if (!req.post || !req.multipart) throw ServiceError(err::kInvalidArgument, {"form"});
      break;
  }
}

Service::Access Service::access(const SessionInfo& s, const std::string& path) {
  Access a;
  std::string home = "/" + s.user, trash = "/!" + s.user;
  if (isWithin(path, home)) {
    a = Access{true, path == home, false, s.user, home};
    return a;
  }
  if (isWithin(path, trash)) {
    a = Access{true, path == trash, true, s.user, trash};
    return a;
  }
  for (const auto& sh : cfg_.shares) {
    if (sh.corpId != s.corp || !isWithin(path, sh.path)) continue;
    auto m = sh.members.find(s.user);
    if (m == sh.members.end()) break;
    a = Access{m->second, path == sh.path, false, sh.owner, sh.path};
    return a;
  }
  throw ServiceError(err::kNoAccess, {path});
}

Service::Access Service::writeAccess(const SessionInfo& s, const std::string& path) {
  Access a = access(s, path);
  if (!a.writable) throw ServiceError(err::kReadOnly, {path});
  return a;
}

void Service::checkNotLocked(const SessionInfo& s, const std::string& path) {
  if (auto p = locks_.lockedByOther(s.corp, path, s.id)) throw ServiceError(err::kLocked, {*p});
}

void Service::checkQuota(const std::string& corp, const std::string& owner, std::int64_t added) {
  if (added <= 0) return;
  const UserAccount* u = sessions_.findUser(corp, owner);
  if (!u) return;
  if (store_->usage(corp, owner) + added > u->contractCapacity) throw ServiceError(err::kNoSpace);
}

value Service::entryJson(const Entry& e) {
  picojson::object o;
  o["name"] = value(e.name);
  o["path"] = value(e.path);
  o["kind"] = num(e.kind);
  o["size"] = num(e.size);
  o["mtime"] = num(e.mtime);
  o["ctime"] = num(e.ctime);
  if (e.originalPath) o["originalPath"] = value(*e.originalPath);
  return value(o);
}

// ---- dispatch --------------------------------------------------------------

value Service::call(const ApiRequest& r) {
  auto it = methodTable().find(r.method);
  if (it == methodTable().end()) throw ServiceError(err::kUnknownMethod, {r.method});
  checkForm(r, it->second.form);
  const std::string& m = r.method;
  if (m == "getErrorMessages") {
    static const value table = [] {
      value v;
      picojson::parse(v, errorMessagesJson());
      return v;
    }();
    return table;
  }
  if (m == "getPKIInfo") return getPKIInfo(r);
  if (m == "pretestLogin") return pretestLogin(r);
  if (m == "login") return login(r);
  if (m == "getSAMLLoginInfo") return getSAMLLoginInfo(r);
  SessionInfo s = requireSession(r);
  if (m == "logoutWithSAML") return logoutWithSAML(s, r);
  if (m == "logout") {
    sessions_.end(s.id);
    locks_.releaseSession(s.id);
    return value(true);
  }
  if (m == "keepSession") return value(true);
  if (m == "getAnnouncement") return getAnnouncement(s, r);
  if (m == "markReadCurrentAnnouncement") {
    store_->transaction([&] {
      auto mod = store_->setting("announcement.modified");
      store_->setAnnouncementRead(s.corp, s.user, mod ? std::stoll(*mod) : 0);
    });
    return value(true);
  }
  if (m == "getLoginUserInfo") return getLoginUserInfo(s);
  if (m == "getEntries") return getEntries(s, r);
  if (m == "getSharedEntries") return getSharedEntries(s);
  if (m == "checkPermission") return checkPermission(s, r);
  if (m == "getResourceDetail") return getResourceDetail(s, r);
  if (m == "makeDirectory") return makeDirectory(s, r);
  if (m == "moveResource") return moveResource(s, r);
  if (m == "moveToTrash") return moveToTrash(s, r);
  if (m == "removeResource") return removeResource(s, r);
  if (m == "lockResource") return lockResource(s, r);
  if (m == "unlockResource") return unlockResource(s, r);
  if (m == "pretestDownloadFile") return pretestDownloadFile(s, r);
  if (m == "pretestUploadFile") return pretestUploadFile(s, r);
  if (m == "uploadBlock") return uploadBlock(s, r);
  if (m == "uploadFile") return uploadFile(s, r);
  if (m == "copyResource") return copyResource(s, r);
  if (m == "emptyTrash") return emptyTrash(s);
  throw ServiceError(err::kUnknownMethod, {m});  // downloadBlock goes through download()
}

// ---- sign-in ---------------------------------------------------------------

value Service::pretestLogin(const ApiRequest& r) {
  const std::string& corp = param(r, "corpId");
  if (!sessions_.hasCompany(corp)) throw ServiceError(err::kSignInFailed);
  picojson::object o;
  o["arrayid"] = value(sessions_.newArray(corp));
  return value(o);
}

value Service::login(const ApiRequest& r) {
  const std::string& corp = param(r, "corpId");
  const std::string& user = param(r, "userId");
  const std::string& password = param(r, "password");
  bool pki = boolParam(param(r, "pki"));
  const UserAccount* u = sessions_.findUser(corp, user);
  if (!u) throw ServiceError(err::kSignInFailed);
  bool needPassword = true;
  if (pki) {
    if (r.certUser.empty()) throw CertificateRequired{};
    if (r.certCorp != corp || r.certUser != user) throw ServiceError(err::kSignInFailed);
    needPassword = u->requiredPassword;
  }
  if (needPassword) {
    bool same = password.size() == u->password.size() &&
                CRYPTO_memcmp(password.data(), u->password.data(), password.size()) == 0;
    if (!same) throw ServiceError(err::kSignInFailed);
  }
  auto id = sessions_.login(r.arrayid, corp, user);
  if (!id) throw ServiceError(err::kSignInFailed);
  picojson::object o;
  o["jsessionid"] = value(*id);
  return value(o);
}

value Service::getPKIInfo(const ApiRequest& r) {
  if (r.certUser.empty()) throw CertificateRequired{};
  const UserAccount* u = sessions_.findUser(r.certCorp, r.certUser);
  if (!u) throw ServiceError(err::kSignInFailed);
  picojson::object o;
  o["corpId"] = value(u->corpId);
  o["userId"] = value(u->userId);
  o["requiredPassword"] = value(u->requiredPassword);
  return value(o);
}

// ---- account ---------------------------------------------------------------

value Service::getAnnouncement(const SessionInfo& s, const ApiRequest& r) {
  bool force = boolParam(param(r, "force"));
  return store_->transaction([&] {
    std::string text = store_->setting("announcement.text").value_or("");
    std::int64_t modified = std::stoll(store_->setting("announcement.modified").value_or("0"));
    if (!force && store_->announcementRead(s.corp, s.user) == modified) text.clear();
    picojson::object o;
    o["announcement"] = value(text);
    o["modified"] = num(modified);
    return value(o);
  });
}

value Service::getLoginUserInfo(const SessionInfo& s) {
  const UserAccount* u = sessions_.findUser(s.corp, s.user);
  picojson::object o;
  o["corpId"] = value(s.corp);
  o["userId"] = value(s.user);
  o["contractCapacity"] = num(u ? u->contractCapacity : 0);
  o["usage"] = num(store_->transaction([&] { return store_->usage(s.corp, s.user); }));
  return value(o);
}

// ---- listing and details ----------------------------------------------------

value Service::getEntries(const SessionInfo& s, const ApiRequest& r) {
  std::string path = pathParam(r, "path");
  access(s, path);
  auto list = store_->transaction([&] {
    auto e = store_->get(s.corp, path);
    if (!e) throw ServiceError(err::kNoEntry, {path});
    if (e->kind != kKindFolder) throw ServiceError(err::kInvalidArgument, {path});
    return store_->children(s.corp, path);
  });
  picojson::array arr;
  arr.reserve(list.size());
  for (const auto& e : list) arr.push_back(entryJson(e));
  return value(arr);
}

value Service::getSharedEntries(const SessionInfo& s) {
  picojson::array arr;
  store_->transaction([&] {
    for (const auto& sh : cfg_.shares) {
      if (sh.corpId != s.corp || !sh.members.count(s.user)) continue;
      auto e = store_->get(s.corp, sh.path);
      if (!e) continue;
      value v = entryJson(*e);
      v.get<picojson::object>()["writable"] = value(sh.members.at(s.user));
      arr.push_back(v);
    }
  });
  return value(arr);
}

value Service::checkPermission(const SessionInfo& s, const ApiRequest& r) {
  std::string path = pathParam(r, "path");
  const std::string& opText = param(r, "op");
  long op = 0;
  try {
    std::size_t used = 0;
    op = std::stol(opText, &used);
    if (used != opText.size() || op < 0) throw std::invalid_argument("op");
  } catch (const std::exception&) {
    throw ServiceError(err::kInvalidArgument, {"op"});
  }
  Access a;
  try {
    a = access(s, path);
  } catch (const ServiceError&) {
    return value(false);
  }
  // Bits 0x02 create, 0x04 delete, 0x20 delete folder and the other bits of
  // 0xF6 change something; the rest only read.
  if ((op & 0xF6) == 0) return value(true);
  if (!a.writable) return value(false);
  if (a.isRoot && (op & (0x04 | 0x20))) return value(false);
  return value(true);
}

value Service::getResourceDetail(const SessionInfo& s, const ApiRequest& r) {
  std::string path = pathParam(r, "path");
  if (r.params.count("lite")) boolParam(r.params.at("lite"));
  access(s, path);
  auto e = store_->transaction([&] { return store_->get(s.corp, path); });
  if (!e) throw ServiceError(err::kNoEntry, {path});
  return entryJson(*e);
}

// ---- changes of names ------------------------------------------------------

value Service::makeDirectory(const SessionInfo& s, const ApiRequest& r) {
  std::string path = pathParam(r, "path");
  Access a = writeAccess(s, path);
  if (a.isRoot) throw ServiceError(err::kExists, {path});
  store_->transaction([&] {
    auto parent = store_->get(s.corp, parentOf(path));
    if (!parent || parent->kind != kKindFolder) throw ServiceError(err::kNoEntry, {parentOf(path)});
    if (store_->get(s.corp, path)) throw ServiceError(err::kExists, {path});
    std::int64_t now = nowMs();
    store_->insert(s.corp, newEntry(path, kKindFolder, a.owner, now));
    store_->touch(s.corp, parentOf(path), now);
  });
  return value(true);
}

value Service::moveResource(const SessionInfo& s, const ApiRequest& r) {
  std::string src = pathParam(r, "srcPath");
  std::string dst = pathParam(r, "dstPath");
  if (r.params.count("force")) boolParam(r.params.at("force"));
  bool overwrite = r.params.count("overwrite") ? boolParam(r.params.at("overwrite")) : false;
  Access sa = writeAccess(s, src);
  Access da = writeAccess(s, dst);
  if (sa.isRoot) throw ServiceError(err::kProtected, {src});
  if (da.isRoot) throw ServiceError(err::kExists, {dst});
  if (src == dst) return value(true);
  if (isWithin(dst, src)) throw ServiceError(err::kInvalidArgument, {dst});
  store_->transaction([&] {
    auto tree = store_->tree(s.corp, src);
    if (tree.empty()) throw ServiceError(err::kNoEntry, {src});
    auto parent = store_->get(s.corp, parentOf(dst));
    if (!parent || parent->kind != kKindFolder) throw ServiceError(err::kNoEntry, {parentOf(dst)});
    checkNotLocked(s, src);
    std::int64_t replacedSize = 0;
    if (auto existing = store_->get(s.corp, dst)) {
      if (!overwrite || existing->kind == kKindFolder || tree.front().kind == kKindFolder)
        throw ServiceError(err::kExists, {dst});
      checkNotLocked(s, dst);
      if (existing->owner == da.owner) replacedSize = existing->size;
      store_->removeTree(s.corp, dst);
    }
    if (sa.owner != da.owner) {
      std::int64_t total = 0;
      for (const auto& e : tree)
        if (e.kind != kKindFolder) total += e.size;
      checkQuota(s.corp, da.owner, total - replacedSize);
    }
    store_->removeTree(s.corp, src);
    for (auto e : tree) {
      bool top = e.path == src;
      e.path = dst + e.path.substr(src.size());
      if (top) {
        e.name = baseName(dst);
        // Out of the trash the origin no longer matters; into it (a plain
        // move) the origin is where it came from.
        if (!da.inTrash) e.originalPath.reset();
        else if (!sa.inTrash) e.originalPath = src;
      }
      e.owner = da.owner;
      store_->insert(s.corp, e);
    }
    std::int64_t now = nowMs();
    store_->touch(s.corp, parentOf(src), now);
    store_->touch(s.corp, parentOf(dst), now);
  });
  return value(true);
}

value Service::moveToTrash(const SessionInfo& s, const ApiRequest& r) {
  std::string path = pathParam(r, "path");
  Access a = writeAccess(s, path);
  if (a.isRoot) throw ServiceError(err::kProtected, {path});
  if (a.inTrash) throw ServiceError(err::kInvalidArgument, {path});
  const std::string trash = "/!" + s.user;
  store_->transaction([&] {
    auto tree = store_->tree(s.corp, path);
    if (tree.empty()) throw ServiceError(err::kNoEntry, {path});
    checkNotLocked(s, path);
    // Same names in the trash get " (2)", " (3)", ... so nothing is lost.
    std::string name = baseName(path), target = trash + "/" + name;
    for (int n = 2; store_->get(s.corp, target); ++n)
      target = trash + "/" + name + " (" + std::to_string(n) + ")";
    store_->removeTree(s.corp, path);
    for (auto e : tree) {
      bool top = e.path == path;
      e.path = target + e.path.substr(path.size());
      if (top) {
        e.name = baseName(target);
        e.originalPath = path;
      }
      e.owner = s.user;
      store_->insert(s.corp, e);
    }
    store_->touch(s.corp, parentOf(path), nowMs());
  });
  return value(true);
}

value Service::removeResource(const SessionInfo& s, const ApiRequest& r) {
  std::string path = pathParam(r, "path");
  Access a = writeAccess(s, path);
  if (a.isRoot) throw ServiceError(err::kProtected, {path});
  store_->transaction([&] {
    if (!store_->get(s.corp, path)) throw ServiceError(err::kNoEntry, {path});
    checkNotLocked(s, path);
    store_->removeTree(s.corp, path);
    store_->touch(s.corp, parentOf(path), nowMs());
  });
  return value(true);
}

value Service::copyResource(const SessionInfo& s, const ApiRequest& r) {
  std::string src = pathParam(r, "srcPath");
  std::string dst = pathParam(r, "dstPath");
  access(s, src);
  Access da = writeAccess(s, dst);
  if (da.isRoot) throw ServiceError(err::kExists, {dst});
  if (isWithin(dst, src)) throw ServiceError(err::kInvalidArgument, {dst});
  store_->transaction([&] {
    auto tree = store_->tree(s.corp, src);
    if (tree.empty()) throw ServiceError(err::kNoEntry, {src});
    auto parent = store_->get(s.corp, parentOf(dst));
    if (!parent || parent->kind != kKindFolder) throw ServiceError(err::kNoEntry, {parentOf(dst)});
    if (store_->get(s.corp, dst)) throw ServiceError(err::kExists, {dst});
    std::int64_t total = 0;
    for (const auto& e : tree)
      if (e.kind != kKindFolder) total += e.size;
    checkQuota(s.corp, da.owner, total);
    std::int64_t now = nowMs();
    for (auto e : tree) {
      if (e.path == src) e.name = baseName(dst);
      e.path = dst + e.path.substr(src.size());
      e.originalPath.reset();
      e.owner = da.owner;
      e.ctime = now;
      store_->insert(s.corp, e);
    }
    store_->touch(s.corp, parentOf(dst), now);
  });
  return value(true);
}

value Service::emptyTrash(const SessionInfo& s) {
  const std::string trash = "/!" + s.user;
  store_->transaction([&] {
    checkNotLocked(s, trash);
    for (const auto& e : store_->children(s.corp, trash)) store_->removeTree(s.corp, e.path);
    store_->touch(s.corp, trash, nowMs());
  });
  return value(true);
}

// ---- locks -----------------------------------------------------------------

value Service::lockResource(const SessionInfo& s, const ApiRequest& r) {
  std::string path = pathParam(r, "path");
  const std::string& type = param(r, "type");
  const std::string& pid = param(r, "processId");
  if (type.empty()) throw ServiceError(err::kInvalidArgument, {"type"});
  access(s, path);
  store_->transaction([&] {
    if (!store_->get(s.corp, path)) throw ServiceError(err::kNoEntry, {path});
    if (!locks_.lock(s.corp, path, s.id, pid)) throw ServiceError(err::kLocked, {path});
  });
  return value(true);
}

value Service::unlockResource(const SessionInfo& s, const ApiRequest& r) {
  std::string path = pathParam(r, "path");
  if (!locks_.unlock(s.corp, path, s.id)) throw ServiceError(err::kNotLocked, {path});
  return value(true);
}

// ---- content ---------------------------------------------------------------

value Service::pretestDownloadFile(const SessionInfo& s, const ApiRequest& r) {
  std::string path = pathParam(r, "path");
  access(s, path);
  auto e = store_->transaction([&] { return store_->get(s.corp, path); });
  if (!e) throw ServiceError(err::kNoEntry, {path});
  if (e->kind == kKindFolder) throw ServiceError(err::kInvalidArgument, {path});
  picojson::array ids;
  for (const auto& b : e->blocks) ids.emplace_back(b);
  picojson::object o;
  o["token"] = value(sessions_.newDownloadToken(s.id, {e->blocks.begin(), e->blocks.end()}));
  o["blockIds"] = value(ids);
  return value(o);
}

DownloadPlan Service::download(const ApiRequest& r) {
  checkForm(r, 'U');
  SessionInfo s = requireSession(r);
  const std::string& token = param(r, "token");
  const std::string& id = param(r, "blockId");
  std::int64_t length = 0;
  if (!parseBlockId(id, &length)) throw ServiceError(err::kInvalidArgument, {"blockId"});
  if (!sessions_.downloadAllowed(token, s.id, id))
    throw ServiceError(err::kInvalidArgument, {"token"});
  if (!blocks_->has(id)) throw ServiceError(err::kNoEntry, {id});
  return DownloadPlan{blocks_->pathOf(id), length};
}

value Service::pretestUploadFile(const SessionInfo& s, const ApiRequest& r) {
  std::string path = pathParam(r, "path");
  if (r.params.count("force")) boolParam(r.params.at("force"));
  Access a = writeAccess(s, path);
  if (a.isRoot || a.inTrash) throw ServiceError(err::kProtected, {path});
  store_->transaction([&] {
    auto parent = store_->get(s.corp, parentOf(path));
    if (!parent || parent->kind != kKindFolder) throw ServiceError(err::kNoEntry, {parentOf(path)});
    auto e = store_->get(s.corp, path);
    if (e && e->kind == kKindFolder) throw ServiceError(err::kExists, {path});
    checkNotLocked(s, path);
  });
  return value(sessions_.newUploadToken(s.id, s.corp, path));
}

value Service::uploadBlock(const SessionInfo& s, const ApiRequest& r) {
  const std::string& token = param(r, "token");
  const std::string& id = param(r, "blockId");
  if (!parseBlockId(id, nullptr)) throw ServiceError(err::kInvalidArgument, {"blockId"});
  if (!r.filedata) throw ServiceError(err::kInvalidArgument, {"filedata"});
  if (!sessions_.uploadToken(token, s.id)) throw ServiceError(err::kInvalidArgument, {"token"});
  std::string actual;
  if (!r.filedata->commit(id, &actual)) throw ServiceError(err::kInvalidArgument, {id});
  sessions_.addUploadedBlock(token, id);
  return value(true);
}

value Service::uploadFile(const SessionInfo& s, const ApiRequest& r) {
  const std::string& token = param(r, "token");
  const std::string& idsText = param(r, "blockIds");
  if (r.params.count("force")) boolParam(r.params.at("force"));
  auto tok = sessions_.uploadToken(token, s.id);
  if (!tok) throw ServiceError(err::kInvalidArgument, {"token"});
  picojson::value parsed;
  std::string perr = picojson::parse(parsed, idsText);
  if (!perr.empty() || !parsed.is<picojson::array>())
    throw ServiceError(err::kInvalidArgument, {"blockIds"});
  std::vector<std::string> ids;
  std::int64_t size = 0;
  const auto& arr = parsed.get<picojson::array>();
  for (std::size_t i = 0; i < arr.size(); ++i) {
    std::int64_t len = 0;
    if (!arr[i].is<std::string>() || !parseBlockId(arr[i].get<std::string>(), &len))
      throw ServiceError(err::kInvalidArgument, {"blockIds"});
    // Offsets are block index times the block size: only the last block may be short.
    if (i + 1 < arr.size() && len != kBlockSize)
      throw ServiceError(err::kInvalidArgument, {arr[i].get<std::string>()});
    ids.push_back(arr[i].get<std::string>());
    size += len;
  }
  const std::string& path = tok->path;
  Access a = writeAccess(s, path);
  store_->transaction([&] {
    auto parent = store_->get(s.corp, parentOf(path));
    if (!parent || parent->kind != kKindFolder) throw ServiceError(err::kNoEntry, {parentOf(path)});
    auto existing = store_->get(s.corp, path);
    if (existing && existing->kind == kKindFolder) throw ServiceError(err::kExists, {path});
    checkNotLocked(s, path);
    // A block is accepted when this client sent it, or when the file
    // already holds it (unchanged blocks of a rewritten file).
    std::set<std::string> have;
    if (existing) have.insert(existing->blocks.begin(), existing->blocks.end());
    for (const auto& id : ids) {
      bool held = tok->blocks.count(id) || have.count(id) || sessions_.sessionUploaded(s.id, id);
      if (!held || !blocks_->has(id)) throw ServiceError(err::kInvalidArgument, {id});
    }
    std::int64_t old = existing && existing->owner == a.owner ? existing->size : 0;
    checkQuota(s.corp, a.owner, size - old);
    std::int64_t now = nowMs();
    Entry e = newEntry(path, kKindFile, a.owner, now);
    e.size = size;
    if (existing) e.ctime = existing->ctime;
    e.blocks = ids;
    store_->insert(s.corp, e);
    store_->touch(s.corp, parentOf(path), now);
  });
  return value(true);
}

// ---- admin -----------------------------------------------------------------

void Service::setAnnouncement(const std::string& text, std::int64_t modified) {
  store_->transaction([&] {
    store_->setSetting("announcement.text", text);
    store_->setSetting("announcement.modified", std::to_string(modified));
  });
}

void Service::endSession(const std::string& id) {
  if (!sessions_.end(id)) throw ServiceError(err::kSessionLost);
  locks_.releaseSession(id);
}

int Service::endAllSessions() {
  // Every session's locks end with it; the lock table holds nothing else.
  int n = sessions_.endAll();
  for (const auto& u : cfg_.users)
    for (const auto& [path, h] : locks_.list(u.corpId)) locks_.releaseSession(h.sessionId);
  return n;
}

Entry Service::readableFile(const SessionInfo& s, const std::string& path) {
  if (!isValidServicePath(path)) throw ServiceError(err::kInvalidArgument, {"path"});
  access(s, path);
  auto e = entryOf(s.corp, path);
  if (!e) throw ServiceError(err::kNoEntry, {path});
  if (e->kind == kKindFolder) throw ServiceError(err::kInvalidArgument, {path});
  return *e;
}

std::optional<Entry> Service::entryOf(const std::string& corp, const std::string& path) {
  return store_->transaction([&] { return store_->get(corp, path); });
}

value Service::usageOf(const std::string& corp, const std::string& user) {
  const UserAccount* u = sessions_.findUser(corp, user);
  if (!u) throw ServiceError(err::kNoEntry, {user});
  picojson::object o;
  o["usage"] = num(store_->transaction([&] { return store_->usage(corp, user); }));
  o["contractCapacity"] = num(u->contractCapacity);
  return value(o);
}

value Service::entryState(const std::string& corp, const std::string& path) {
  auto e = store_->transaction([&] { return store_->get(corp, path); });
  if (!e) return value();
  picojson::object o = entryJson(*e).get<picojson::object>();
  o["owner"] = value(e->owner);
  picojson::array blocks;
  for (const auto& b : e->blocks) blocks.emplace_back(b);
  o["blocks"] = value(blocks);
  picojson::array locks;
  for (const auto& [p, h] : locks_.list(corp))
    if (p == path) {
      picojson::object l;
      l["session"] = value(h.sessionId);
      l["processId"] = value(h.processId);
      locks.emplace_back(l);
    }
  o["locks"] = value(locks);
  return value(o);
}

}  // namespace ambermoor
