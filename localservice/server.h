// HTTPS front of the service: the plain host and the certificate host (which
// demands a client certificate issued by the service's CA), the api/ router
// with the answer envelope, block streaming, fault injection and the admin
// endpoint (plain host only).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "faults.h"
#include "send_keys.h"
#include "service.h"
#include "tls.h"

namespace httplib {
class SSLServer;
}

namespace ambermoor {

class HttpFront {
 public:
  HttpFront(Service& service, const TlsFiles& tls, std::string adminToken, int threads);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Binds both hosts on 127.0.0.1; false when a port is taken.
  bool bind(int port, int certPort);
  void start();  // serves on two background threads
  void stop();   // stops both and joins

  FaultTable& faults() { return faults_; }

 private:
  void install(httplib::SSLServer& srv, bool certHost);
  // Counts an api/ call and the client port it came from.
  void count(const std::string& method, int remotePort);

  // What clients asked for since the last reset ("/admin/stats"): calls per
  // method and the distinct client ports, that is the connections used.
  std::mutex statsMutex_;
  std::map<std::string, long> calls_;
  std::set<int> clientPorts_;

  Service& service_;
  std::string adminToken_;
  int threads_;
  FaultTable faults_;
  SendKeyTable sendKeys_;
  std::unique_ptr<httplib::SSLServer> plain_, cert_;
  std::thread plainThread_, certThread_;
};

}  // namespace ambermoor
