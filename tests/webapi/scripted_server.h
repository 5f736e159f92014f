// A scriptable HTTPS server inside the test process (cpp-httplib): each
// test queues the answers it wants (status, body, delay), then reads back
// what the client sent. Answers come from the queue in order; when it is
// empty, the default answer is used.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class SSLServer;
}

namespace webapi_test {

struct Answer {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  int delayMs = 0;
  bool drop = false;  // the connection ends after the request: no answer at all
  bool silent = false;  // the request is read and never answered while the server runs
  int dripMs = 0;       // > 0: the body goes out one byte at a time, each after this pause
};

struct FilePartSeen {
  std::string filename;
  std::string content;
  std::string contentType;
};

struct RequestSeen {
  std::string method;  // "GET" or "POST"
  std::string path;    // "/api/getEntries"
  std::string target;  // path and query as sent
  std::string body;    // raw body
  std::string contentType;
  std::map<std::string, FilePartSeen> parts;  // multipart parts by name
  bool clientCertificate = false;
  std::string clientCommonName;
  int remotePort = 0;  // the client's port: one per connection
};

class ScriptedServer {
 public:
  struct Options {
    bool requireClientCertificate = false;  // verify clients against the test CA
    bool rogueCertificate = false;          // serve a certificate nobody trusts
  };
  ScriptedServer();
  explicit ScriptedServer(Options options);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  void queue(const Answer& answer);
  void queue(int count, const Answer& answer);
  void setDefault(const Answer& answer);

  std::vector<RequestSeen> requests();
  size_t requestCount();

  int port() const { return port_; }
  // "https://127.0.0.1:<port>/"
  std::string baseUrl() const;

 private:
  void handle(const void* request, void* response);

  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable stopping_;  // releases silent answers
  bool stopped_ = false;
  std::vector<Answer> queue_;
  Answer default_;
  std::vector<RequestSeen> seen_;
};

// A loopback port on which nothing listens: connections are refused.
int refusedPort();

// A loopback port that listens and never accepts, reads or answers: the
// kernel completes TCP handshakes into the accept queue, and a client then
// waits for ever for its TLS handshake. With `fullBacklog` the accept queue
// is full from the start (one connection of its own in a queue of one), so a
// client's TCP handshake never completes either.
class SilentPort {
 public:
  explicit SilentPort(bool fullBacklog);
  ~SilentPort();
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;

  int port() const { return port_; }
  // Connections that completed their TCP handshake and wait in the accept
  // queue, the port's own one included.
  int queued() const;

 private:
  int listener_ = -1;
  int filler_ = -1;
  int port_ = 0;
};

}  // namespace webapi_test
