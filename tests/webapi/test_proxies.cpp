#include "test_proxies.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cstring>
#include <stdexcept>

namespace webapi_test {

namespace {

bool readExact(int fd, void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    const ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool writeAll(int fd, const void* buf, size_t n) {
  auto* p = static_cast<const char*>(buf);
  while (n > 0) {
    const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

int connectTo(const std::string& host, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const std::string ip = host == "localhost" ? "127.0.0.1" : host;
  if (::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string base64(const std::string& s) {
  std::string out(4 * ((s.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                reinterpret_cast<const unsigned char*>(s.data()),
                                static_cast<int>(s.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace

TestProxy::TestProxy(Kind kind, std::string user, std::string password)
    : kind_(kind), user_(std::move(user)), password_(std::move(password)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener_, 16) != 0) {
    throw std::runtime_error("proxy listen failed");
  }
  socklen_t len = sizeof addr;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestProxy::~TestProxy() {
  stopping_ = true;
  acceptThread_.join();
  ::close(listener_);
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::thread& t : workers_) t.join();
}

void TestProxy::acceptLoop() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    workers_.emplace_back([this, client] { serve(client); });
  }
}

void TestProxy::serve(int client) {
  int upstream = -1;
  const bool ok = kind_ == Kind::kHttpConnect ? handshakeConnect(client, upstream)
                                              : handshakeSocks(client, upstream);
  if (ok) {
    ++tunnels_;
    relay(client, upstream);
  }
  if (upstream >= 0) ::close(upstream);
  ::close(client);
}

bool TestProxy::handshakeConnect(int client, int& upstream) {
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (!readExact(client, &c, 1) || head.size() > 16384) return false;
    head.push_back(c);
  }
  char host[256] = {0};
  int port = 0;
  if (std::sscanf(head.c_str(), "CONNECT %255[^:]:%d HTTP/1.", host, &port) != 2) {
    const char reply[] = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    writeAll(client, reply, sizeof reply - 1);
    return false;
  }
  if (!user_.empty()) {
    const std::string expected =
        "Proxy-Authorization: Basic " + base64(user_ + ":" + password_) + "\r\n";
    if (head.find(expected) == std::string::npos) {
      ++refusals_;
      const char reply[] =
          "HTTP/1.1 407 Proxy Authentication Required\r\n"
          "Proxy-Authenticate: Basic realm=\"test\"\r\nContent-Length: 0\r\n\r\n";
      writeAll(client, reply, sizeof reply - 1);
      return false;
    }
  }
  upstream = connectTo(host, port);
  if (upstream < 0) {
    const char reply[] = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
    writeAll(client, reply, sizeof reply - 1);
    return false;
  }
  const char reply[] = "HTTP/1.1 200 Connection established\r\n\r\n";
  return writeAll(client, reply, sizeof reply - 1);
}

bool TestProxy::handshakeSocks(int client, int& upstream) {
  unsigned char hello[2];
  if (!readExact(client, hello, 2) || hello[0] != 5) return false;
  unsigned char methods[255];
  if (!readExact(client, methods, hello[1])) return false;
  const unsigned char wanted = user_.empty() ? 0x00 : 0x02;
  bool offered = false;
  for (int i = 0; i < hello[1]; ++i) offered = offered || methods[i] == wanted;
  const unsigned char choice[2] = {5, static_cast<unsigned char>(offered ? wanted : 0xff)};
  if (!offered) ++refusals_;  // counted before the client can see the answer
  if (!writeAll(client, choice, 2) || !offered) return false;
  if (wanted == 0x02) {
    unsigned char ver, len;
    char name[256] = {0}, pass[256] = {0};
    if (!readExact(client, &ver, 1) || !readExact(client, &len, 1) ||
        !readExact(client, name, len))
      return false;
    const std::string gotUser(name, len);
    if (!readExact(client, &len, 1) || !readExact(client, pass, len)) return false;
    const std::string gotPass(pass, len);
    const bool good = gotUser == user_ && gotPass == password_;
    const unsigned char status[2] = {1, static_cast<unsigned char>(good ? 0 : 1)};
    if (!good) ++refusals_;
    writeAll(client, status, 2);
    if (!good) return false;
  }
  unsigned char req[4];
  if (!readExact(client, req, 4) || req[0] != 5 || req[1] != 1) return false;
  std::string host;
  if (req[3] == 1) {
    unsigned char ip[4];
    if (!readExact(client, ip, 4)) return false;
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, ip, text, sizeof text);
    host = text;
  } else if (req[3] == 3) {
    unsigned char len;
    char name[256];
    if (!readExact(client, &len, 1) || !readExact(client, name, len)) return false;
    host.assign(name, len);
  } else {
    return false;
  }
  unsigned char portBytes[2];
  if (!readExact(client, portBytes, 2)) return false;
  const int port = (portBytes[0] << 8) | portBytes[1];
  upstream = connectTo(host, port);
  const unsigned char reply[10] = {5, static_cast<unsigned char>(upstream >= 0 ? 0 : 5), 0, 1,
                                   0, 0, 0, 0, 0, 0};
  return writeAll(client, reply, sizeof reply) && upstream >= 0;
}

void TestProxy::relay(int a, int b) {
  char buffer[65536];
  pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, 10000) <= 0) return;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        if (!writeAll(fds[1 - i].fd, buffer, static_cast<size_t>(n))) return;
      }
    }
  }
}

}  // namespace webapi_test
