// Runs ambermoor-local as a child process for tests: picks a free port pair,
// waits until the service answers, and stops it (and removes a temporary
// data directory) when the object goes away.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <sys/types.h>

namespace tarvik_test {

struct LocalServiceOptions {
  bool demo = true;
  int sessionTimeoutSeconds = 0;  // 0 = the service's default
  std::string configFile;
  std::string dataDir;  // empty = fresh temp dir, removed at stop
};

class LocalService {  // one running ambermoor-local child process
 public:
  // Picks a free port pair, waits until it answers; throws std::runtime_error on failure.
  static std::unique_ptr<LocalService> start(const LocalServiceOptions& = {});
  ~LocalService();  // stops it (SIGTERM, then SIGKILL after a grace period), removes a temp data dir
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;

  void stop();
  void restart();  // keeps data dir and ports (for persistence tests)

  const std::string& url() const { return url_; }          // https://127.0.0.1:PORT/
  const std::string& certUrl() const { return certUrl_; }  // certificate host base URL
  const std::string& caFile() const { return caFile_; }
  const std::string& adminToken() const { return adminToken_; }
  const std::string& demoCorp() const { return demoCorp_; }
  const std::string& demoUser() const { return demoUser_; }
  const std::string& demoPassword() const { return demoPassword_; }
  const std::string& dataDir() const { return dataDir_; }
  // Any printed value by name ("idp-url", "demo-saml-corp", ...); "" when not printed.
  std::string value(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? "" : it->second;
  }
  int port() const { return port_; }
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Exit status (as waitpid reports it) of the last stopped process; -1 before.
  int lastExitStatus() const { return lastStatus_; }

  // POST to the admin endpoint (path such as "/admin/fault") with the token;
  // returns the body; throws std::runtime_error on a non-2xx answer.
  std::string admin(const std::string& path, const std::string& jsonBody);
  // Runs the issue-client-cert subcommand; returns the PEM file path
  // (certificate and key in one file).
  std::string issueClientCert(const std::string& corp, const std::string& user);

  // Path of the ambermoor-local binary this library was built with.
  static std::string binaryPath();

 private:
  LocalService() = default;
  bool launch(int port, std::string* why);

  LocalServiceOptions opts_;
  bool ownDataDir_ = false;
  pid_t pid_ = -1;
  int lastStatus_ = -1;
  int port_ = 0;
  std::string url_, certUrl_, caFile_, adminToken_;
  std::string demoCorp_, demoUser_, demoPassword_, dataDir_;
  std::map<std::string, std::string> values_;
};

}  // namespace tarvik_test
