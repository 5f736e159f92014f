#include "config.h"

#include <picojson.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "util.h"

namespace ambermoor {

std::string usageText() {
  return "usage: ambermoor-local [--data DIR] [--port N] [--demo] [--config FILE]\n"
         "                       [--session-timeout SECONDS] [--threads N]\n"
         "       ambermoor-local issue-client-cert --data DIR --corp CORP --user USER [--out FILE]\n";
}

static int parseInt(const std::string& opt, const std::string& v, int lo, int hi) {
  std::size_t used = 0;
  long n = 0;
  try {
    n = std::stol(v, &used);
  } catch (const std::exception&) {
    throw std::invalid_argument(opt + " needs a number, got \"" + v + "\"");
  }
  if (used != v.size() || n < lo || n > hi)
    throw std::invalid_argument(opt + " must be a number from " + std::to_string(lo) + " to " +
                                std::to_string(hi));
  return static_cast<int>(n);
}

CommandLine parseCommandLine(int argc, char** argv) {
  CommandLine cl;
  int i = 1;
  if (i < argc && std::string(argv[i]) == "issue-client-cert") {
    cl.command = argv[i];
    ++i;
  }
  for (; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--data") cl.dataDir = value();
    else if (a == "--port") cl.port = parseInt(a, value(), 0, 65534);
    else if (a == "--demo") cl.demo = true;
    else if (a == "--config") cl.configFile = value();
    else if (a == "--session-timeout") cl.sessionTimeoutSeconds = parseInt(a, value(), 1, 86400 * 365);
    else if (a == "--threads") cl.threads = parseInt(a, value(), 1, 256);
    else if (a == "--corp") cl.corp = value();
    else if (a == "--user") cl.user = value();
    else if (a == "--out") cl.out = value();
    else throw std::invalid_argument("unknown option " + a);
  }
  if (cl.dataDir.empty()) throw std::invalid_argument("--data must not be empty");
  if (cl.command == "issue-client-cert" && (cl.corp.empty() || cl.user.empty()))
    throw std::invalid_argument("issue-client-cert needs --corp and --user");
  return cl;
}

static std::string getString(const picojson::object& o, const char* key, bool required) {
  auto it = o.find(key);
  if (it == o.end()) {
    if (required) throw std::invalid_argument(std::string("missing \"") + key + "\"");
    return "";
  }
  if (!it->second.is<std::string>())
    throw std::invalid_argument(std::string("\"") + key + "\" must be a text");
  return it->second.get<std::string>();
}

static bool validId(const std::string& id) {
  if (id.empty() || id.size() > 128) return false;
  for (unsigned char c : id)
    if (c < 0x21 || c == '/' || c == '!' || c == 0x7f) return false;
  return true;
}

static SamlCompany parseSamlCompany(const std::string& corp, const picojson::value& v) {
  if (!v.is<picojson::object>()) throw std::invalid_argument("\"saml\" of " + corp + " must be an object");
  const auto& o = v.get<picojson::object>();
  SamlCompany s;
  s.corpId = corp;
  for (const char* flag : {"enabled", "singleLogout"}) {
    auto it = o.find(flag);
    if (it == o.end()) continue;
    if (!it->second.is<bool>())
      throw std::invalid_argument(std::string("\"") + flag + "\" must be true or false");
    (std::string(flag) == "enabled" ? s.enabled : s.singleLogout) = it->second.get<bool>();
  }
  s.idpUrl = getString(o, "idpUrl", false);
  if (!s.idpUrl.empty() && (s.idpUrl.rfind("https://", 0) != 0 || s.idpUrl.back() != '/'))
    throw std::invalid_argument("\"idpUrl\" must start with https:// and end with /");
  if (o.count("idpUsers")) {
    if (!o.at("idpUsers").is<picojson::array>())
      throw std::invalid_argument("\"idpUsers\" must be an array");
    for (const auto& u : o.at("idpUsers").get<picojson::array>()) {
      if (!u.is<picojson::object>()) throw std::invalid_argument("an identity provider user must be an object");
      std::string id = getString(u.get<picojson::object>(), "userId", true);
      if (!validId(id)) throw std::invalid_argument("bad userId \"" + id + "\"");
      s.idpUsers[id] = getString(u.get<picojson::object>(), "password", true);
    }
  }
  return s;
}

ServiceConfig parseConfigText(const std::string& text) {
  picojson::value root;
  std::string perr = picojson::parse(root, text);
  if (!perr.empty()) throw std::invalid_argument("configuration is not JSON: " + perr);
  if (!root.is<picojson::object>()) throw std::invalid_argument("configuration must be an object");
  const auto& o = root.get<picojson::object>();
  ServiceConfig cfg;
  if (o.count("sessionTimeoutSeconds")) {
    const auto& v = o.at("sessionTimeoutSeconds");
    if (!v.is<double>() || v.get<double>() < 1)
      throw std::invalid_argument("\"sessionTimeoutSeconds\" must be a positive number");
    cfg.sessionTimeoutSeconds = static_cast<int>(v.get<double>());
  }
  if (o.count("announcement")) {
    const auto& a = o.at("announcement");
    if (!a.is<picojson::object>()) throw std::invalid_argument("\"announcement\" must be an object");
    cfg.announcement = getString(a.get<picojson::object>(), "text", false);
    auto m = a.get<picojson::object>().find("modified");
    cfg.announcementModified =
        (m != a.get<picojson::object>().end() && m->second.is<double>())
            ? static_cast<std::int64_t>(m->second.get<double>())
            : nowMs();
  }
  if (o.count("companies")) {
    if (!o.at("companies").is<picojson::array>())
      throw std::invalid_argument("\"companies\" must be an array");
    for (const auto& c : o.at("companies").get<picojson::array>()) {
      if (!c.is<picojson::object>()) throw std::invalid_argument("a company must be an object");
      const auto& co = c.get<picojson::object>();
      std::string corp = getString(co, "corpId", true);
      if (!validId(corp)) throw std::invalid_argument("bad corpId \"" + corp + "\"");
      if (!co.count("users") || !co.at("users").is<picojson::array>())
        throw std::invalid_argument("company " + corp + " needs a \"users\" array");
      for (const auto& u : co.at("users").get<picojson::array>()) {
        if (!u.is<picojson::object>()) throw std::invalid_argument("a user must be an object");
        const auto& uo = u.get<picojson::object>();
        UserAccount acc;
        acc.corpId = corp;
        acc.userId = getString(uo, "userId", true);
        if (!validId(acc.userId)) throw std::invalid_argument("bad userId \"" + acc.userId + "\"");
        acc.password = getString(uo, "password", true);
        if (uo.count("contractCapacity")) {
          if (!uo.at("contractCapacity").is<double>() || uo.at("contractCapacity").get<double>() < 0)
            throw std::invalid_argument("\"contractCapacity\" must be a number >= 0");
          acc.contractCapacity = static_cast<std::int64_t>(uo.at("contractCapacity").get<double>());
        }
        if (uo.count("requiredPassword")) {
          if (!uo.at("requiredPassword").is<bool>())
            throw std::invalid_argument("\"requiredPassword\" must be true or false");
          acc.requiredPassword = uo.at("requiredPassword").get<bool>();
        }
        for (const auto& other : cfg.users)
          if (other.corpId == corp && other.userId == acc.userId)
            throw std::invalid_argument("user " + acc.userId + " defined twice in " + corp);
        cfg.users.push_back(acc);
      }
      if (co.count("saml")) cfg.saml.push_back(parseSamlCompany(corp, co.at("saml")));
    }
  }
  if (o.count("sharedFolders")) {
    if (!o.at("sharedFolders").is<picojson::array>())
      throw std::invalid_argument("\"sharedFolders\" must be an array");
    for (const auto& s : o.at("sharedFolders").get<picojson::array>()) {
      if (!s.is<picojson::object>()) throw std::invalid_argument("a shared folder must be an object");
      const auto& so = s.get<picojson::object>();
      SharedFolder sf;
      sf.corpId = getString(so, "corpId", true);
      sf.path = getString(so, "path", true);
      sf.owner = getString(so, "owner", true);
      if (!isValidServicePath(sf.path) || sf.path.find('/', 1) != std::string::npos ||
          sf.path[1] == '!')
        throw std::invalid_argument("shared folder path must be a top-level path: " + sf.path);
      bool ownerKnown = false;
      for (const auto& u : cfg.users) {
        if (u.corpId == sf.corpId && u.userId == sf.owner) ownerKnown = true;
        if (u.corpId == sf.corpId && "/" + u.userId == sf.path)
          throw std::invalid_argument("shared folder " + sf.path + " collides with a home folder");
      }
      if (!ownerKnown) throw std::invalid_argument("shared folder owner unknown: " + sf.owner);
      sf.members[sf.owner] = true;
      if (so.count("members")) {
        if (!so.at("members").is<picojson::array>())
          throw std::invalid_argument("\"members\" must be an array");
        for (const auto& m : so.at("members").get<picojson::array>()) {
          if (!m.is<picojson::object>()) throw std::invalid_argument("a member must be an object");
          const auto& mo = m.get<picojson::object>();
          std::string uid = getString(mo, "userId", true);
          std::string rights = getString(mo, "rights", true);
          if (rights != "read" && rights != "readwrite")
            throw std::invalid_argument("\"rights\" must be \"read\" or \"readwrite\"");
          sf.members[uid] = rights == "readwrite";
        }
      }
      cfg.shares.push_back(sf);
    }
  }
  return cfg;
}

ServiceConfig loadConfigFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::invalid_argument("cannot read configuration file " + path);
  std::stringstream ss;
  ss << in.rdbuf();
  try {
    return parseConfigText(ss.str());
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(path + ": " + e.what());
  }
}

}  // namespace ambermoor
