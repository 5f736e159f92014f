#include "scripted_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "test_pki.h"

namespace webapi_test {

ScriptedServer::ScriptedServer() : ScriptedServer(Options{}) {}

ScriptedServer::ScriptedServer(Options options) {
  const TestPki& p = pki();
  const std::string& cert = options.rogueCertificate ? p.rogueServerCert : p.serverCert;
  const std::string& key = options.rogueCertificate ? p.rogueServerKey : p.serverKey;
  server_ = std::make_unique<httplib::SSLServer>(
      cert.c_str(), key.c_str(),
      options.requireClientCertificate ? p.caFile.c_str() : nullptr);
  if (!server_->is_valid()) throw std::runtime_error("test server TLS set-up failed");
  auto handler = [this](const httplib::Request& req, httplib::Response& res) {
    handle(&req, &res);
  };
  // Like the service: a connection serves any number of requests.
  server_->set_keep_alive_max_count(1000);
  server_->Get(".*", handler);
  server_->Post(".*", handler);
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("test server bind failed");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ScriptedServer::~ScriptedServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  stopping_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void ScriptedServer::queue(const Answer& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(answer);
}

void ScriptedServer::queue(int count, const Answer& answer) {
  for (int i = 0; i < count; ++i) queue(answer);
}

void ScriptedServer::setDefault(const Answer& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = answer;
}

std::vector<RequestSeen> ScriptedServer::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

size_t ScriptedServer::requestCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_.size();
}

std::string ScriptedServer::baseUrl() const {
  return "https://127.0.0.1:" + std::to_string(port_) + "/";
}

void ScriptedServer::handle(const void* request, void* response) {
  const auto& req = *static_cast<const httplib::Request*>(request);
  auto& res = *static_cast<httplib::Response*>(response);
  RequestSeen seen;
  seen.method = req.method;
  seen.path = req.path;
  seen.target = req.target;
  seen.body = req.body;
  seen.contentType = req.get_header_value("Content-Type");
  seen.remotePort = req.remote_port;
  for (const auto& [name, part] : req.files) {
    seen.parts[name] = FilePartSeen{part.filename, part.content, part.content_type};
  }
  if (req.ssl != nullptr) {
    if (X509* peer = SSL_get1_peer_certificate(req.ssl)) {
      seen.clientCertificate = true;
      char cn[256] = {0};
      X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, cn, sizeof cn);
      seen.clientCommonName = cn;
      X509_free(peer);
    }
  }
  Answer answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(std::move(seen));
    if (!queue_.empty()) {
      answer = queue_.front();
      queue_.erase(queue_.begin());
    } else {
      answer = default_;
    }
  }
  if (answer.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
  if (answer.silent) {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_.wait(lock, [this] { return stopped_; });
  }
  if ((answer.drop || answer.silent) && req.ssl != nullptr) {
    // Ends the TCP connection under the TLS layer after the request was read.
    ::shutdown(SSL_get_fd(req.ssl), SHUT_RDWR);
    res.set_header("Connection", "close");
    return;
  }
  res.status = answer.status;
  if (answer.dripMs <= 0) {
    res.set_content(answer.body, answer.contentType.c_str());
    return;
  }
  const std::string body = answer.body;
  const auto pause = std::chrono::milliseconds(answer.dripMs);
  res.set_content_provider(body.size(), answer.contentType.c_str(),
                           [body, pause](size_t offset, size_t, httplib::DataSink& sink) {
                             std::this_thread::sleep_for(pause);
                             return sink.write(body.data() + offset, 1);
                           });
}

int refusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);  // bound but never listening: nothing accepts on it
  return ntohs(addr.sin_port);
}

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

}  // namespace

SilentPort::SilentPort(bool fullBacklog) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener_, fullBacklog ? 0 : 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("silent port set-up failed");
  }
  port_ = ntohs(addr.sin_port);
  if (!fullBacklog) return;
  // A backlog of 0 holds one connection; with it queued, the kernel drops
  // the SYN of every further one.
  filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in to = loopback(port_);
  if (filler_ < 0 || ::connect(filler_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    throw std::runtime_error("silent port cannot fill its backlog");
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (queued() < 1) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("silent port backlog stays empty");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

SilentPort::~SilentPort() {
  if (filler_ >= 0) ::close(filler_);
  if (listener_ >= 0) ::close(listener_);
}

int SilentPort::queued() const {
  // For a listening socket the kernel reports the accept queue's length as
  // the "unacknowledged" count.
  tcp_info info{};
  socklen_t len = sizeof info;
  if (::getsockopt(listener_, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
  return static_cast<int>(info.tcpi_unacked);
}

}  // namespace webapi_test
