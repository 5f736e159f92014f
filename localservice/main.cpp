// ambermoor-local: the storage service's web API on loopback, for
// development, tests and demonstrations.
//
// Start-up: read the command line and configuration, create the data
// directory, the CA and certificates, open the store, bind both hosts, print
// the "name: value" lines, then serve until SIGTERM or SIGINT.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "config.h"
#include "idp.h"
#include "server.h"
#include "service.h"
#include "tls.h"
#include "util.h"

using namespace ambermoor;

namespace {

// True when 127.0.0.1:port and port+1, and the identity provider's
// 127.0.0.2:port, can be bound right now.
bool pairFree(int port) {
  for (auto [addr, p] : {std::pair{INADDR_LOOPBACK, port}, std::pair{INADDR_LOOPBACK, port + 1},
                         std::pair{INADDR_LOOPBACK + 1, port}}) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(addr);
    a.sin_port = htons(static_cast<uint16_t>(p));
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (!ok) return false;
  }
  return true;
}

// A free port whose successor is free too, chosen by the kernel.
int pickPortPair() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    ::close(fd);
    if (port < 65535 && pairFree(port)) return port;
  }
  return -1;
}

int serve(const CommandLine& cl) {
  ServiceConfig cfg;
  if (!cl.configFile.empty()) cfg = loadConfigFile(cl.configFile);
  if (cl.sessionTimeoutSeconds > 0) cfg.sessionTimeoutSeconds = cl.sessionTimeoutSeconds;
  if (cfg.users.empty() && !cl.demo) {
    std::cerr << "ambermoor-local: no accounts: give --config FILE or --demo\n";
    return 2;
  }
  std::filesystem::create_directories(cl.dataDir);
  std::string dataDir = std::filesystem::canonical(cl.dataDir).string();
  TlsFiles tls = ensureCertificateAuthority(dataDir);
  Service service(cfg, dataDir, cl.demo);
  std::string adminToken = randomToken(16);

  // Signals are taken by sigwait below, never by the server threads.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<HttpFront> front;
  std::unique_ptr<IdpServer> idp;
  int port = cl.port;
  for (int attempt = 0; attempt < 10 && !front; ++attempt) {
    int p = cl.port == 0 ? pickPortPair() : cl.port;
    auto f = std::make_unique<HttpFront>(service, tls, adminToken, cl.threads);
    auto i = std::make_unique<IdpServer>(service.saml(), tls);
    if (p > 0 && f->bind(p, p + 1) && i->bind(p)) {
      front = std::move(f);
      idp = std::move(i);
      port = p;
    } else if (cl.port != 0) {
      break;
    }
  }
  if (!front) {
    std::cerr << "ambermoor-local: cannot listen on 127.0.0.1:" << cl.port << " and "
              << cl.port + 1 << " and " << IdpServer::kAddress << ":" << cl.port << "\n";
    return 1;
  }
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
  const std::string idpUrl =
      std::string("https://") + IdpServer::kAddress + ":" + std::to_string(port) + "/";
  service.saml().setUrls(url, idpUrl);
  front->start();
  idp->start();

  std::cout << "url: " << url << "\n"
            << "cert-url: https://127.0.0.1:" << port + 1 << "/\n"
            << "idp-url: " << idpUrl << "\n"
            << "ca-file: " << tls.caCert << "\n"
            << "admin-token: " << adminToken << "\n"
            << "data-dir: " << dataDir << "\n";
  if (cl.demo)
    std::cout << "demo-corp: " << service.demo().corp << "\n"
              << "demo-user: " << service.demo().user << "\n"
              << "demo-password: " << service.demo().password << "\n"
              << "demo-saml-corp: " << service.demo().samlCorp << "\n"
              << "demo-saml-idp-user: " << service.demo().samlUser << "\n"
              << "demo-saml-idp-password: " << service.demo().password << "\n";
  std::cout << "ready: yes" << std::endl;

  int sig = 0;
  sigwait(&set, &sig);
  std::cerr << "ambermoor-local: stopping on signal " << sig << "\n";
  idp->stop();
  front->stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    CommandLine cl = parseCommandLine(argc, argv);
    if (cl.command == "issue-client-cert") {
      std::filesystem::create_directories(cl.dataDir);
      std::cout << issueClientCertificate(cl.dataDir, cl.corp, cl.user, cl.out) << std::endl;
      return 0;
    }
    return serve(cl);
  } catch (const std::invalid_argument& e) {
    std::cerr << "ambermoor-local: " << e.what() << "\n" << usageText();
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "ambermoor-local: " << e.what() << "\n";
    return 1;
  }
}
