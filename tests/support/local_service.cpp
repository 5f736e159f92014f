#include "local_service.h"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tarvik_test {
namespace {

namespace fs = std::filesystem;

// Starts argv with its standard output on a pipe; returns the child's pid
// and the pipe's read end in `stdoutFd`. Throws when it cannot.
pid_t spawn(const std::vector<std::string>& args, int* stdoutFd) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(out[1], 1);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  *stdoutFd = out[0];
  return pid;
}

// Runs argv, returns its stdout; throws when it fails.
std::string runCapture(const std::vector<std::string>& args) {
  int out[1];
  pid_t pid = spawn(args, &out[0]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("command failed: " + args[0]);
  return text;
}

}  // namespace

std::string LocalService::binaryPath() { return AMBERMOOR_LOCAL_BINARY; }

std::unique_ptr<LocalService> LocalService::start(const LocalServiceOptions& opts) {
  std::unique_ptr<LocalService> s(new LocalService());
  s->opts_ = opts;
  if (opts.dataDir.empty()) {
    std::string tmpl = (fs::temp_directory_path() / "ambermoor-local-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("LocalService: mkdtemp failed");
    s->dataDir_ = tmpl;
    s->ownDataDir_ = true;
  } else {
    s->dataDir_ = opts.dataDir;
  }
  std::string why;
  // Port 0: the service picks a free port pair itself and prints its URLs.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (s->launch(0, &why)) return s;
  }
  throw std::runtime_error("LocalService: cannot start ambermoor-local: " + why);
}

bool LocalService::launch(int port, std::string* why) {
  std::vector<std::string> args = {binaryPath(), "--data", dataDir_, "--port", std::to_string(port)};
  if (opts_.demo) args.push_back("--demo");
  if (!opts_.configFile.empty()) {
    args.push_back("--config");
    args.push_back(opts_.configFile);
  }
  if (opts_.sessionTimeoutSeconds > 0) {
    args.push_back("--session-timeout");
    args.push_back(std::to_string(opts_.sessionTimeoutSeconds));
  }
  int out[1];
  pid_t pid = spawn(args, &out[0]);
  pid_ = pid;
  std::map<std::string, std::string> values;
  std::string pending;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool ready = false;
  while (!ready && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char buf[1024];
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;  // the child ended before it was ready
    pending.append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      auto colon = line.find(": ");
      if (colon != std::string::npos) values[line.substr(0, colon)] = line.substr(colon + 2);
      if (line == "ready: yes") ready = true;
    }
  }
  ::close(out[0]);
  if (!ready) {
    *why = "no \"ready\" line within 30 s";
    stop();
    return false;
  }
  url_ = values["url"];
  // The port the service listens on, for a restart on the same address.
  const std::size_t colon = url_.rfind(':');
  port_ = colon == std::string::npos ? port : std::atoi(url_.c_str() + colon + 1);
  certUrl_ = values["cert-url"];
  caFile_ = values["ca-file"];
  adminToken_ = values["admin-token"];
  demoCorp_ = values["demo-corp"];
  demoUser_ = values["demo-user"];
  demoPassword_ = values["demo-password"];
  values_ = values;
  return true;
}

void LocalService::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  lastStatus_ = status;
  pid_ = -1;
}

void LocalService::restart() {
  stop();
  std::string why;
  // The same ports: the sockets were closed by the stopped process.
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (launch(port_, &why)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  throw std::runtime_error("LocalService: restart failed: " + why);
}

LocalService::~LocalService() {
  stop();
  if (ownDataDir_) {
    std::error_code ec;
    fs::remove_all(dataDir_, ec);
  }
}

std::string LocalService::admin(const std::string& path, const std::string& jsonBody) {
  httplib::SSLClient cli("127.0.0.1", port_);
  cli.set_ca_cert_path(caFile_.c_str());
  cli.enable_server_certificate_verification(true);
  cli.set_read_timeout(30, 0);
  httplib::Headers headers = {{"X-Admin-Token", adminToken_}};
  auto res = cli.Post(path.c_str(), headers, jsonBody, "application/json");
  if (!res) throw std::runtime_error("admin " + path + ": no answer");
  if (res->status < 200 || res->status > 299)
    throw std::runtime_error("admin " + path + ": HTTP " + std::to_string(res->status) + " " +
                             res->body);
  return res->body;
}

std::string LocalService::issueClientCert(const std::string& corp, const std::string& user) {
  std::string out = runCapture(
      {binaryPath(), "issue-client-cert", "--data", dataDir_, "--corp", corp, "--user", user});
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

}  // namespace tarvik_test
