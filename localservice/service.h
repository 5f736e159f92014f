// The service's methods: accounts, sessions, storage, content, locks and
// announcements, independent of HTTP. The router (server.cpp) turns a
// request into an ApiRequest, calls Service and wraps the answer.
//
// Lock order: Store's mutex (held through transaction()), then LockTable's,
// then SessionTable's. Lock checks and the changes they guard run inside
// one store transaction, so no other session can lock in between.
#pragma once

#include <picojson.h>

#include <map>
#include <memory>
#include <string>

#include "blocks.h"
#include "config.h"
#include "saml.h"
#include "sessions.h"
#include "store.h"
#include "util.h"

namespace ambermoor {

// Thrown when a method needs a verified client certificate and has none;
// answered with the certificate marker page.
struct CertificateRequired {};

struct ApiRequest {
  std::string method;
  bool post = false;
  bool multipart = false;
  std::map<std::string, std::string> params;  // from the body
  std::map<std::string, std::string> query;   // from the URL (getSAMLLoginInfo, logoutWithSAML)
  std::string jsessionid, arrayid;            // from the query
  IncomingBlock* filedata = nullptr;          // the multipart "filedata" part
  std::string certCorp, certUser;             // verified client certificate, if any
};

struct DownloadPlan {
  std::string file;
  std::int64_t length = 0;
};

struct DemoAccount {
  std::string corp, user, password;
  // The company that signs in through the identity provider: its user has
  // the same password at the provider.
  std::string samlCorp, samlUser;
};

class Service {
 public:
  Service(ServiceConfig cfg, const std::string& dataDir, bool demo);

  // Answers a method; throws ServiceError or CertificateRequired.
  picojson::value call(const ApiRequest& req);
  // Checks a downloadBlock request; throws like call().
  DownloadPlan download(const ApiRequest& req);
  static bool knownMethod(const std::string& method);

  const DemoAccount& demo() const { return demo_; }
  SessionTable& sessions() { return sessions_; }
  LockTable& locks() { return locks_; }
  const BlockStore& blocks() const { return *blocks_; }
  SamlSite& saml() { return *saml_; }

  // The file at `path` as user `s` may read it (the send-key pages);
  // throws ServiceError 150 (no access), 50 (absent) or 8 (a folder).
  Entry readableFile(const SessionInfo& s, const std::string& path);
  // The entry at `path` of company `corp` now, or nothing.
  std::optional<Entry> entryOf(const std::string& corp, const std::string& path);

  // Admin operations.
  void setAnnouncement(const std::string& text, std::int64_t modified);
  void endSession(const std::string& id);
  int endAllSessions();
  picojson::value usageOf(const std::string& corp, const std::string& user);
  picojson::value entryState(const std::string& corp, const std::string& path);

 private:
  struct Access {
    bool writable = false;
    bool isRoot = false;   // the area folder itself
    bool inTrash = false;
    std::string owner;
    std::string root;
  };

  SessionInfo requireSession(const ApiRequest& req);
  Access access(const SessionInfo& s, const std::string& path);  // throws 150
  Access writeAccess(const SessionInfo& s, const std::string& path);  // throws 150/151
  const std::string& param(const ApiRequest& req, const char* name);
  std::string pathParam(const ApiRequest& req, const char* name);
  void checkForm(const ApiRequest& req, char form);
  void checkNotLocked(const SessionInfo& s, const std::string& path);  // in a transaction
  void checkQuota(const std::string& corp, const std::string& owner, std::int64_t added);
  picojson::value entryJson(const Entry& e);
  void ensureAreas();
  void createDemoContent();

  picojson::value pretestLogin(const ApiRequest& r);
  picojson::value login(const ApiRequest& r);
  picojson::value getPKIInfo(const ApiRequest& r);
  picojson::value getAnnouncement(const SessionInfo& s, const ApiRequest& r);
  picojson::value getLoginUserInfo(const SessionInfo& s);
  picojson::value getEntries(const SessionInfo& s, const ApiRequest& r);
  picojson::value getSharedEntries(const SessionInfo& s);
  picojson::value checkPermission(const SessionInfo& s, const ApiRequest& r);
  picojson::value getResourceDetail(const SessionInfo& s, const ApiRequest& r);
  picojson::value makeDirectory(const SessionInfo& s, const ApiRequest& r);
  picojson::value moveResource(const SessionInfo& s, const ApiRequest& r);
  picojson::value moveToTrash(const SessionInfo& s, const ApiRequest& r);
  picojson::value removeResource(const SessionInfo& s, const ApiRequest& r);
  picojson::value lockResource(const SessionInfo& s, const ApiRequest& r);
  picojson::value unlockResource(const SessionInfo& s, const ApiRequest& r);
  picojson::value pretestDownloadFile(const SessionInfo& s, const ApiRequest& r);
  picojson::value pretestUploadFile(const SessionInfo& s, const ApiRequest& r);
  picojson::value uploadBlock(const SessionInfo& s, const ApiRequest& r);
  picojson::value uploadFile(const SessionInfo& s, const ApiRequest& r);
  picojson::value copyResource(const SessionInfo& s, const ApiRequest& r);
  picojson::value emptyTrash(const SessionInfo& s);
  picojson::value getSAMLLoginInfo(const ApiRequest& r);
  picojson::value logoutWithSAML(const SessionInfo& s, const ApiRequest& r);

  DemoAccount demo_;     // before cfg_: the demo user joins the configuration
  ServiceConfig cfg_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<BlockStore> blocks_;
  SessionTable sessions_;
  LockTable locks_;
  std::unique_ptr<SamlSite> saml_;
};

}  // namespace ambermoor
