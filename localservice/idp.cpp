#include "idp.h"

#include <httplib.h>

#include <stdexcept>

#include "util.h"

namespace ambermoor {
namespace {

// Few people sign in at once on one machine.
constexpr std::size_t kThreads = 4;

std::string page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + htmlEscape(title) +
         "</title><style>body{font-family:sans-serif;background:#eef3ee;margin:40px}"
         "#box{background:#fff;border:1px solid #9a9;padding:20px;width:360px}"
         "label{display:inline-block;width:100px}p{margin:8px 0}.error{color:#b00}</style></head>"
         "<body><div id=\"box\"><h3>Identity provider</h3>\n" + body + "</div></body></html>\n";
}

std::string signInForm(const std::string& corp, const std::string& request,
                       const std::string& relay, const std::string& error) {
  std::string b = "<p>Sign in for <b>" + htmlEscape(corp) + "</b></p>\n";
  if (!error.empty()) b += "<p class=\"error\" id=\"error\">" + htmlEscape(error) + "</p>\n";
  b += "<form id=\"login\" method=\"post\" action=\"login\">\n"
       "<input type=\"hidden\" name=\"SAMLRequest\" value=\"" + htmlEscape(request) + "\">\n"
       "<input type=\"hidden\" name=\"RelayState\" value=\"" + htmlEscape(relay) + "\">\n"
       "<p><label for=\"username\">User ID</label><input id=\"username\" name=\"username\"></p>\n"
       "<p><label for=\"password\">Password</label>"
       "<input id=\"password\" name=\"password\" type=\"password\"></p>\n"
       "<p><button id=\"signin\" type=\"submit\">Sign in</button></p>\n</form>\n";
  return page("Sign in", b);
}

void answerHtml(httplib::Response& res, int status, const std::string& html) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(html, "text/html; charset=utf-8");
}

}  // namespace

IdpServer::IdpServer(SamlSite& saml, const TlsFiles& tls) : saml_(saml) {
  srv_ = std::make_unique<httplib::SSLServer>(tls.serverCert.c_str(), tls.serverKey.c_str());
  if (!srv_->is_valid()) throw std::runtime_error("cannot load the server certificate " + tls.serverCert);
  srv_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  srv_->set_read_timeout(30, 0);
  srv_->set_write_timeout(30, 0);

  srv_->Get("/idp/sso", [this](const httplib::Request& req, httplib::Response& res) {
    auto r = SamlSite::decodeRequest(req.get_param_value("SAMLRequest"));
    if (!r) return answerHtml(res, 400, page("Bad request", "<p class=\"error\">The sign-in request is malformed.</p>"));
    // A provider answers only the service it has an agreement with.
    if (r->issuer != saml_.serviceUrl())
      return answerHtml(res, 400, page("Bad request", "<p class=\"error\">The requesting service is unknown.</p>"));
    if (!saml_.enabled(r->corpId))
      return answerHtml(res, 404, page("Unknown company", "<p class=\"error\">This company does not sign in here.</p>"));
    answerHtml(res, 200, signInForm(r->corpId, req.get_param_value("SAMLRequest"),
                                    req.get_param_value("RelayState"), ""));
  });

  srv_->Post("/idp/login", [this](const httplib::Request& req, httplib::Response& res) {
    httplib::Params form;
    httplib::detail::parse_query_text(req.body, form);
    auto field = [&](const char* k) {
      auto it = form.find(k);
      return it == form.end() ? std::string() : it->second;
    };
    std::string request = field("SAMLRequest"), relay = field("RelayState");
    auto r = SamlSite::decodeRequest(request);
    if (!r || r->issuer != saml_.serviceUrl())
      return answerHtml(res, 400, page("Bad request", "<p class=\"error\">The sign-in request is malformed.</p>"));
    std::string user = field("username");
    if (!saml_.checkPassword(r->corpId, user, field("password")))
      return answerHtml(res, 200, signInForm(r->corpId, request, relay, "Wrong user ID or password."));
    std::string assertion = saml_.issueAssertion(*r, user, nowMs());
    // The browser carries the assertion to the consumer itself (HTTP POST
    // binding); the button is there for browsers without script.
    std::string body =
        "<p>Signed in. Returning to the service...</p>\n"
        "<form id=\"post\" method=\"post\" action=\"" + htmlEscape(saml_.consumerUrl()) + "\">\n"
        "<input type=\"hidden\" name=\"SAMLResponse\" value=\"" + htmlEscape(assertion) + "\">\n"
        "<input type=\"hidden\" name=\"RelayState\" value=\"" + htmlEscape(relay) + "\">\n"
        "<noscript><button type=\"submit\">Continue</button></noscript>\n</form>\n"
        "<script>document.getElementById('post').submit();</script>\n";
    answerHtml(res, 200, page("Signed in", body));
  });

  srv_->Get("/idp/logout", [](const httplib::Request&, httplib::Response& res) {
    answerHtml(res, 200, page("Signed out", "<p id=\"signedout\">You have been signed out.</p>"));
  });
}

IdpServer::~IdpServer() { stop(); }

bool IdpServer::bind(int port) { return srv_->bind_to_port(kAddress, port); }

void IdpServer::start() {
  thread_ = std::thread([this] { srv_->listen_after_bind(); });
}

void IdpServer::stop() {
  if (srv_) srv_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace ambermoor
