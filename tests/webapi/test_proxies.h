// Small proxies for the transport's proxy tests: an HTTP CONNECT proxy and a
// SOCKS5 proxy, each optionally demanding a user name and password. They
// listen on loopback, relay the tunnelled bytes and count the tunnels they
// opened.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace webapi_test {

class TestProxy {
 public:
  enum class Kind { kHttpConnect, kSocks5 };
  // Empty user: no credentials are asked for.
  TestProxy(Kind kind, std::string user = "", std::string password = "");
  ~TestProxy();
  TestProxy(const TestProxy&) = delete;
  TestProxy& operator=(const TestProxy&) = delete;

  int port() const { return port_; }
  int tunnels() const { return tunnels_.load(); }
  int refusals() const { return refusals_.load(); }

 private:
  void acceptLoop();
  void serve(int client);
  bool handshakeConnect(int client, int& upstream);
  bool handshakeSocks(int client, int& upstream);
  static void relay(int a, int b);

  Kind kind_;
  std::string user_, password_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> tunnels_{0};
  std::atomic<int> refusals_{0};
  std::thread acceptThread_;
  std::mutex mutex_;
  std::vector<std::thread> workers_;
};

}  // namespace webapi_test
