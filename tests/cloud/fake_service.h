// A scripted stand-in for the service's web API over plain HTTP on
// loopback, for unit tests of the name operations: every call is recorded
// (method and parameters) and answered from a per-method script, so tests
// can inject any service error code and check exactly what was sent.
#pragma once

#include <httplib.h>

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvik_test {

struct ServiceCall {
  std::string method;
  std::map<std::string, std::string> params;
};

class FakeService {
 public:
  FakeService() {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
      ServiceCall call;
      call.method = req.matches[1];
      for (const auto& p : req.params) call.params[p.first] = p.second;
      httplib::Params body;
      httplib::detail::parse_query_text(req.body, body);
      for (const auto& p : body) call.params[p.first] = p.second;
      Answer answer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
        auto queued = queued_.find(call.method);
        if (queued != queued_.end() && !queued->second.empty()) {
          answer = queued->second.front();
          queued->second.pop_front();
        } else if (fixed_.count(call.method)) {
          answer = Answer{200, fixed_[call.method], "application/json"};
        } else {
          answer = Answer{200, "{\"result\":true}", "application/json"};
        }
      }
      res.status = answer.status;
      res.set_content(answer.body, answer.type);
    };
    server_.Get(R"(/api/(\w+))", handler);
    server_.Post(R"(/api/(\w+))", handler);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~FakeService() {
    server_.stop();
    thread_.join();
  }
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  std::string apiBase() const { return "http://127.0.0.1:" + std::to_string(port_) + "/api/"; }

  // Every later call of `method` gets `json` (a whole response document).
  void answer(const std::string& method, const std::string& json) {
    std::lock_guard<std::mutex> lock(mutex_);
    fixed_[method] = json;
  }
  // The next call of `method` gets `json`; then the fixed answer again.
  void answerOnce(const std::string& method, const std::string& json) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_[method].push_back(Answer{200, json, "application/json"});
  }
  // The next call of `method` gets an HTML page (an error page, a marker
  // page) with the HTTP status `status`.
  void pageOnce(const std::string& method, int status, const std::string& html) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_[method].push_back(Answer{status, html, "text/html"});
  }
  void fail(const std::string& method, int code) {
    answer(method, "{\"error\":{\"code\":" + std::to_string(code) + ",\"args\":[]}}");
  }
  void failOnce(const std::string& method, int code) {
    answerOnce(method, "{\"error\":{\"code\":" + std::to_string(code) + ",\"args\":[]}}");
  }
  void reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
    fixed_.clear();
    queued_.clear();
  }
  std::vector<ServiceCall> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::vector<std::string> methods() {
    std::vector<std::string> out;
    for (const auto& c : calls()) out.push_back(c.method);
    return out;
  }
  // The last call of `method`; an empty call when there was none.
  ServiceCall last(const std::string& method) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
      if (it->method == method) return *it;
    return ServiceCall{};
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<ServiceCall> calls_;
  std::map<std::string, std::string> fixed_;
  struct Answer {
    int status;
    std::string body;
    std::string type;
  };
  std::map<std::string, std::deque<Answer>> queued_;
};

}  // namespace tarvik_test
