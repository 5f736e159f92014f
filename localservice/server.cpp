#include "server.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "browse_page.h"
#include "messages.h"
#include "webapp.h"

namespace ambermoor {
namespace {

using picojson::value;

// Streaming chunk for downloadBlock: large enough that TLS records stay full
// and system calls few, small enough that 16 parallel downloads stay cheap.
constexpr std::size_t kDownloadChunk = 512 * 1024;
// Plain parameters of a request, all together; an uploadFile list of 25000
// block ids (200 GB) fits.
constexpr std::size_t kMaxParamBytes = 1024 * 1024;
// An 8 MiB block plus the multipart framing and parameters.
constexpr std::size_t kMaxPayload = static_cast<std::size_t>(kBlockSize) + kMaxParamBytes;

std::string envelopeError(int code, const std::vector<std::string>& args) {
  picojson::array a;
  for (const auto& s : args) a.emplace_back(s);
  picojson::object e;
  e["code"] = value(static_cast<double>(code));
  e["args"] = value(a);
  picojson::object o;
  o["error"] = value(e);
  return value(o).serialize();
}

std::string envelopeResult(const value& v) {
  picojson::object o;
  o["result"] = v;
  return value(o).serialize();
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes application/x-www-form-urlencoded text; false on a bad escape.
bool urlDecode(const std::string& in, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '+') {
      *out += ' ';
    } else if (c == '%') {
      if (i + 2 >= in.size()) return false;
      int h = hexValue(in[i + 1]), l = hexValue(in[i + 2]);
      if (h < 0 || l < 0) return false;
      *out += static_cast<char>(h * 16 + l);
      i += 2;
    } else {
      *out += c;
    }
  }
  return true;
}

bool parseForm(const std::string& body, std::map<std::string, std::string>* params) {
  std::size_t start = 0;
  while (start < body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    std::string pair = body.substr(start, end - start);
    start = end + 1;
    if (pair.empty()) continue;
    auto eq = pair.find('=');
    std::string name, val;
    if (!urlDecode(pair.substr(0, eq), &name)) return false;
    if (eq != std::string::npos && !urlDecode(pair.substr(eq + 1), &val)) return false;
    (*params)[name] = val;
  }
  return true;
}

void answerJson(httplib::Response& res, const std::string& body) {
  res.status = 200;
  res.set_content(body, "application/json; charset=utf-8");
}

void answerPage(httplib::Response& res, int status, const std::string& page) {
  res.status = status;
  res.set_content(page, "text/html; charset=utf-8");
}

// Owns a file descriptor shared by a streaming answer and its provider.
struct Fd {
  explicit Fd(int f) : fd(f) {}
  ~Fd() { if (fd >= 0) ::close(fd); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int fd;
};

}  // namespace

HttpFront::HttpFront(Service& service, const TlsFiles& tls, std::string adminToken, int threads)
    : service_(service), adminToken_(std::move(adminToken)), threads_(threads) {
  plain_ = std::make_unique<httplib::SSLServer>(tls.serverCert.c_str(), tls.serverKey.c_str());
  cert_ = std::make_unique<httplib::SSLServer>(tls.serverCert.c_str(), tls.serverKey.c_str(),
                                               tls.caCert.c_str());
  if (!plain_->is_valid() || !cert_->is_valid())
    throw std::runtime_error("cannot load the server certificate " + tls.serverCert);
  install(*plain_, false);
  install(*cert_, true);
}

HttpFront::~HttpFront() { stop(); }

bool HttpFront::bind(int port, int certPort) {
  return plain_->bind_to_port("127.0.0.1", port) && cert_->bind_to_port("127.0.0.1", certPort);
}

void HttpFront::start() {
  plainThread_ = std::thread([this] { plain_->listen_after_bind(); });
  certThread_ = std::thread([this] { cert_->listen_after_bind(); });
}

void HttpFront::stop() {
  if (plain_) plain_->stop();
  if (cert_) cert_->stop();
  if (plainThread_.joinable()) plainThread_.join();
  if (certThread_.joinable()) certThread_.join();
}

void HttpFront::install(httplib::SSLServer& srv, bool certHost) {
  int threads = threads_;
  srv.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
  srv.set_payload_max_length(kMaxPayload);
  // Answers go out as several small writes (session tickets, headers, body);
  // with Nagle's algorithm each waits for the client's delayed ACK, about
  // 40 ms a request. Accepted sockets inherit the option from the listener.
  srv.set_socket_options([](socket_t sock) {
    httplib::default_socket_options(sock);
    int yes = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  });
  // Clients keep their connections between calls: a connection serves any
  // number of requests and is closed after 5 s without one (clients stop
  // reusing theirs earlier). Each open connection holds a pool thread, so
  // the pool is sized for every connection a drive keeps (see --threads).
  srv.set_keep_alive_max_count(1000000);
  srv.set_keep_alive_timeout(5);
  srv.set_read_timeout(30, 0);
  srv.set_write_timeout(30, 0);

  // One routine for GET and POST: read the parameters (streaming a file
  // part to the block store's temp area), apply an injected fault, answer.
  auto api = [this, certHost](const httplib::Request& req, httplib::Response& res,
                              const httplib::ContentReader* reader) {
    ApiRequest ar;
    ar.method = req.matches[1];
    count(ar.method, req.remote_port);
    ar.post = reader != nullptr;
    ar.jsessionid = req.get_param_value("jsessionid");
    ar.arrayid = req.get_param_value("arrayid");
    for (const auto& [k, v] : req.params) ar.query.emplace(k, v);
    std::unique_ptr<IncomingBlock> filedata;
    std::string bodyError;
    try {
      if (reader && req.is_multipart_form_data()) {
        ar.multipart = true;
        std::string current;
        std::size_t paramBytes = 0;
        bool ok = (*reader)(
            [&](const httplib::MultipartFormData& part) {
              current = part.name;
              if (current == "filedata") {
                if (filedata) {
                  bodyError = "filedata";
                  return false;
                }
                filedata = std::make_unique<IncomingBlock>(service_.blocks());
              } else {
                ar.params[current];  // present even when empty
              }
              return true;
            },
            [&](const char* data, std::size_t len) {
              if (current == "filedata") {
                if (!filedata->write(data, len)) {
                  bodyError = "filedata";
                  return false;
                }
                return true;
              }
              paramBytes += len;
              if (paramBytes > kMaxParamBytes) {
                bodyError = current;
                return false;
              }
              ar.params[current].append(data, len);
              return true;
            });
        if (!ok && bodyError.empty()) bodyError = "body";
      } else if (reader) {
        std::string body;
        bool ok = (*reader)([&](const char* data, std::size_t len) {
          if (body.size() + len > kMaxParamBytes) return false;
          body.append(data, len);
          return true;
        });
        if (!ok || !parseForm(body, &ar.params)) bodyError = "body";
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "ambermoor-local: reading %s: %s\n", ar.method.c_str(), e.what());
      bodyError = "body";
    }
    ar.filedata = filedata.get();
    if (!bodyError.empty()) {
      // What is left of the body is unread: end the connection after this.
      res.set_header("Connection", "close");
      answerJson(res, envelopeError(err::kInvalidArgument, {bodyError}));
      return;
    }

    bool corrupt = false;
    if (auto f = faults_.take(ar.method)) {
      if (f->kind == "delay") {
        std::this_thread::sleep_for(std::chrono::milliseconds(f->ms));
      } else if (f->kind == "http500") {
        answerPage(res, f->status ? f->status : 500,
                   "<html><body><h1>500 Internal Server Error</h1></body></html>\n");
        return;
      } else if (f->kind == "maintenance") {
        answerPage(res, f->status ? f->status : 200, maintenancePage());
        return;
      } else if (f->kind == "certificate") {
        answerPage(res, f->status ? f->status : 200, certificatePage());
        return;
      } else if (f->kind == "drop") {
        // Ends the TCP connection under the TLS layer: no answer at all.
        if (req.ssl) ::shutdown(SSL_get_fd(req.ssl), SHUT_RDWR);
        res.set_header("Connection", "close");
        return;
      } else if (f->kind == "error") {
        answerJson(res, envelopeError(f->code, f->args));
        return;
      } else if (f->kind == "corruptBlock") {
        corrupt = true;
      }
    }

    if (certHost && req.ssl) peerIdentity(req.ssl, &ar.certCorp, &ar.certUser);
    try {
      if (ar.method == "downloadBlock") {
        DownloadPlan plan = service_.download(ar);
        auto fd = std::make_shared<Fd>(::open(plan.file.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st;
        if (fd->fd < 0 || ::fstat(fd->fd, &st) != 0 || st.st_size != plan.length)
          throw ServiceError(err::kNoEntry, {ar.params["blockId"]});
        auto buf = std::make_shared<std::vector<char>>(
            std::min<std::size_t>(kDownloadChunk, static_cast<std::size_t>(plan.length) + 1));
        res.status = 200;
        res.set_content_provider(
            static_cast<std::size_t>(plan.length), "application/octet-stream",
            [fd, buf, corrupt](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
              std::size_t want = std::min(length, buf->size());
              ssize_t n = ::pread(fd->fd, buf->data(), want, static_cast<off_t>(offset));
              if (n <= 0) return false;
              if (corrupt && offset == 0) (*buf)[0] ^= 0x5a;
              return sink.write(buf->data(), static_cast<std::size_t>(n));
            });
        return;
      }
      answerJson(res, envelopeResult(service_.call(ar)));
    } catch (const ServiceError& e) {
      answerJson(res, envelopeError(e.code, e.args));
    } catch (const CertificateRequired&) {
      answerPage(res, 200, certificatePage());
    } catch (const std::exception& e) {
      std::fprintf(stderr, "ambermoor-local: %s failed: %s\n", ar.method.c_str(), e.what());
      answerPage(res, 500, "<html><body><h1>500 Internal Server Error</h1></body></html>\n");
    }
  };

  srv.Get("/api/([A-Za-z]+)", [api](const httplib::Request& req, httplib::Response& res) {
    api(req, res, nullptr);
  });
  srv.Post("/api/([A-Za-z]+)", [api](const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& reader) {
    api(req, res, &reader);
  });

  installBrowsePages(srv, service_, sendKeys_);
  if (certHost) return;

  installWebApp(srv, service_);

  srv.Post("/admin/([A-Za-z]+)", [this](const httplib::Request& req, httplib::Response& res) {
    auto reply = [&](int status, const value& v) {
      res.status = status;
      res.set_content(v.serialize(), "application/json; charset=utf-8");
    };
    auto fail = [&](int status, const std::string& msg) {
      picojson::object o;
      o["error"] = value(msg);
      reply(status, value(o));
    };
    std::string token = req.get_header_value("X-Admin-Token");
    if (token.size() != adminToken_.size() ||
        CRYPTO_memcmp(token.data(), adminToken_.data(), token.size()) != 0)
      return fail(403, "admin token missing or wrong");
    std::string what = req.matches[1];
    picojson::value body;
    if (!req.body.empty()) {
      std::string perr = picojson::parse(body, req.body);
      if (!perr.empty() || !body.is<picojson::object>()) return fail(400, "body must be a JSON object");
    } else {
      body = value(picojson::object());
    }
    const auto& o = body.get<picojson::object>();
    auto text = [&](const char* k) -> std::string {
      auto it = o.find(k);
      return it != o.end() && it->second.is<std::string>() ? it->second.get<std::string>() : "";
    };
    picojson::object ok;
    ok["ok"] = value(true);
    try {
      if (what == "fault") {
        faults_.add(FaultTable::parse(req.body));
        ok["pending"] = value(static_cast<double>(faults_.pending()));
        return reply(200, value(ok));
      }
      if (what == "expireSendKeys") {
        ok["expired"] = value(static_cast<double>(sendKeys_.expireAll()));
        return reply(200, value(ok));
      }
      if (what == "stats") {
        std::lock_guard<std::mutex> lock(statsMutex_);
        picojson::object calls;
        for (const auto& [method, n] : calls_) calls[method] = value(static_cast<double>(n));
        ok["calls"] = value(calls);
        ok["connections"] = value(static_cast<double>(clientPorts_.size()));
        auto r = o.find("reset");
        if (r != o.end() && r->second.is<bool>() && r->second.get<bool>()) {
          calls_.clear();
          clientPorts_.clear();
        }
        return reply(200, value(ok));
      }
      if (what == "reset") {
        faults_.clear();
        return reply(200, value(ok));
      }
      if (what == "announcement") {
        auto m = o.find("modified");
        std::int64_t modified = m != o.end() && m->second.is<double>()
                                    ? static_cast<std::int64_t>(m->second.get<double>())
                                    : nowMs();
        service_.setAnnouncement(text("text"), modified);
        ok["modified"] = value(static_cast<double>(modified));
        return reply(200, value(ok));
      }
      if (what == "expireSession") {
        auto all = o.find("all");
        if (all != o.end() && all->second.is<bool>() && all->second.get<bool>()) {
          ok["ended"] = value(static_cast<double>(service_.endAllSessions()));
          return reply(200, value(ok));
        }
        service_.endSession(text("jsessionid"));
        return reply(200, value(ok));
      }
      if (what == "sessionTimeout") {
        auto s = o.find("seconds");
        if (s == o.end() || !s->second.is<double>() || s->second.get<double>() < 1)
          return fail(400, "\"seconds\" must be a number >= 1");
        service_.sessions().setTimeoutSeconds(static_cast<int>(s->second.get<double>()));
        return reply(200, value(ok));
      }
      if (what == "usage") return reply(200, service_.usageOf(text("corpId"), text("userId")));
      if (what == "entry") {
        picojson::object r;
        r["entry"] = service_.entryState(text("corpId"), text("path"));
        return reply(200, value(r));
      }
      if (samlAdmin(service_, what, o, &ok)) return reply(200, value(ok));
      return fail(404, "unknown admin request " + what);
    } catch (const std::invalid_argument& e) {
      return fail(400, e.what());
    } catch (const ServiceError& e) {
      return fail(404, "no such session or user");
    }
  });
}

void HttpFront::count(const std::string& method, int remotePort) {
  std::lock_guard<std::mutex> lock(statsMutex_);
  ++calls_[method];
  clientPorts_.insert(remotePort);
}

}  // namespace ambermoor
