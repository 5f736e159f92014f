// Command line and configuration file of ambermoor-local.
//
// The configuration file is JSON:
//   {"sessionTimeoutSeconds": 1800,
//    "announcement": {"text": "...", "modified": 1700000000000},
//    "companies": [{"corpId": "acme", "users": [
//        {"userId": "alice", "password": "pw", "contractCapacity": 1073741824,
//         "requiredPassword": false}]}],
//    "sharedFolders": [{"corpId": "acme", "path": "/Projects", "owner": "alice",
//        "members": [{"userId": "bob", "rights": "read"}]}]}
// A company may sign in through the identity provider:
//   "saml": {"enabled": true, "singleLogout": true, "idpUrl": "",
//            "idpUsers": [{"userId": "alice", "password": "idp-pw"}]}
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ambermoor {

struct UserAccount {
  std::string corpId;
  std::string userId;
  std::string password;
  std::int64_t contractCapacity = 10LL * 1024 * 1024 * 1024;
  bool requiredPassword = false;  // with a client certificate
};

struct SharedFolder {
  std::string corpId;
  std::string path;   // "/Name", a top-level service path
  std::string owner;  // user whose quota the content uses; has read-write rights
  std::map<std::string, bool> members;  // userId -> writable
};

// SAML sign-in of one company. The identity provider knows its own users
// and passwords; a signed-in provider user becomes the service user of the
// same ID.
struct SamlCompany {
  std::string corpId;
  bool enabled = true;
  bool singleLogout = true;  // logoutWithSAML names the provider's logout page
  // Another provider's base URL (ending in "/") instead of this service's
  // own; for trying what the client does with a provider it cannot reach.
  std::string idpUrl;
  std::map<std::string, std::string> idpUsers;  // userId -> provider password
};

struct ServiceConfig {
  std::vector<UserAccount> users;
  std::vector<SamlCompany> saml;
  std::vector<SharedFolder> shares;
  int sessionTimeoutSeconds = 1800;
  std::string announcement;
  std::int64_t announcementModified = 0;
};

struct CommandLine {
  std::string command;  // "" = serve, "issue-client-cert"
  std::string dataDir = "ambermoor-data";
  int port = 8443;
  bool demo = false;
  std::string configFile;
  int sessionTimeoutSeconds = 0;  // 0 = from the configuration
  int threads = 128;
  std::string corp, user, out;  // issue-client-cert
};

// Throws std::invalid_argument with a readable message on bad input.
CommandLine parseCommandLine(int argc, char** argv);
std::string usageText();
ServiceConfig loadConfigFile(const std::string& path);
ServiceConfig parseConfigText(const std::string& text);

}  // namespace ambermoor
