#include "webapp.h"

#include <httplib.h>

#include <ctime>

#include "service.h"

namespace ambermoor {
namespace {

using picojson::value;

// The web application's session cookie: set by the assertion consumer,
// sent back only over TLS, never readable by page script.
constexpr const char* kCookie = "session";

// A JavaScript string literal that is also safe inside a <script> element.
std::string jsString(const std::string& s) {
  std::string json = value(s).serialize(), out;
  for (char c : json) {
    if (c == '<') out += "\\u003c";
    else if (c == '>') out += "\\u003e";
    else if (c == '&') out += "\\u0026";
    else out += c;
  }
  return out;
}

std::string urlEncode(const std::string& s) { return httplib::detail::encode_query_param(s); }

std::string cookieValue(const httplib::Request& req, const std::string& name) {
  std::string all = req.get_header_value("Cookie");
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find(';', pos);
    if (end == std::string::npos) end = all.size();
    std::string item = all.substr(pos, end - pos);
    pos = end + 1;
    std::size_t b = item.find_first_not_of(' ');
    if (b == std::string::npos) continue;
    item.erase(0, b);
    if (item.compare(0, name.size() + 1, name + "=") == 0) return item.substr(name.size() + 1);
  }
  return "";
}

const char* kStyle =
    "body{font-family:sans-serif;margin:0;background:#f4f6f8;color:#222}"
    "#header{background:#1f4e79;color:#fff;padding:10px 16px;font-weight:bold}"
    "#content{padding:16px}table{border-collapse:collapse;background:#fff}"
    "td,th{border:1px solid #ccd;padding:4px 10px;text-align:left}"
    "#msgbox{position:fixed;top:30%;left:50%;width:360px;margin-left:-180px;background:#fff;"
    "border:1px solid #888;box-shadow:0 2px 8px #888}"
    "#msgbox-title{background:#dde4ec;padding:6px 10px;font-weight:bold}"
    "#msgbox-body{padding:14px 10px}#msgbox button{margin:0 10px 10px}"
    "form p{margin:8px 0}label{display:inline-block;width:120px}";

std::string page(const std::string& title, const std::string& body, const std::string& script = "") {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + htmlEscape(title) +
         "</title><style>" + kStyle + "</style></head><body>\n<div id=\"header\">Ambermoor</div>\n"
         "<div id=\"content\">" + body + "</div>\n" +
         (script.empty() ? "" : "<script>\n" + script + "</script>\n") + "</body></html>\n";
}

// The message box of the web application: Ext.Msg.alert(title, text) shows
// it, Ext.Msg.isVisible() tells whether it is shown, and the dialog body
// holds the text in the element of class "ext-mb-text".
const char* kMessageBox =
    "<div id=\"msgbox\" style=\"display:none\"><div id=\"msgbox-title\"></div>"
    "<div id=\"msgbox-body\"><span class=\"ext-mb-text\"></span></div>"
    "<button onclick=\"Ext.Msg.hide()\">OK</button></div>\n";
const char* kMessageBoxScript =
    "var Ext = {Msg: (function () {\n"
    "  var box = document.getElementById('msgbox');\n"
    "  var body = document.getElementById('msgbox-body');\n"
    "  return {\n"
    "    isVisible: function () { return box.style.display !== 'none'; },\n"
    "    getDialog: function () { return {body: {dom: body}}; },\n"
    "    alert: function (title, text) {\n"
    "      document.getElementById('msgbox-title').textContent = title;\n"
    "      body.querySelector('.ext-mb-text').textContent = text;\n"
    "      box.style.display = 'block';\n"
    "    },\n"
    "    hide: function () { box.style.display = 'none'; }\n"
    "  };\n"
    "})()};\n";

std::string formatTime(std::int64_t ms) {
  std::time_t t = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &tm);
  return buf;
}

void answerHtml(httplib::Response& res, int status, const std::string& html) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(html, "text/html; charset=utf-8");
}

void redirect(httplib::Response& res, const std::string& location) {
  res.status = 302;
  res.set_header("Cache-Control", "no-store");
  res.set_header("Location", location);
}

// The signed-in page: the session for page script (API) and the Home listing.
std::string browseSignedIn(Service& service, const SessionInfo& s) {
  ApiRequest list;
  list.method = "getEntries";
  list.post = true;
  list.jsessionid = s.id;
  list.params["path"] = "/" + s.user;
  std::string rows;
  try {
    value entries = service.call(list);
    for (const auto& e : entries.get<picojson::array>()) {
      bool folder = e.get("kind").is<double>() && e.get("kind").get<double>() == kKindFolder;
      rows += "<tr class=\"entry\"><td>" + htmlEscape(e.get("name").to_str()) + (folder ? "/" : "") +
              "</td><td>" + (folder ? "" : std::to_string(static_cast<long long>(e.get("size").get<double>()))) +
              "</td><td>" + formatTime(static_cast<std::int64_t>(e.get("mtime").get<double>())) +
              "</td></tr>\n";
    }
  } catch (const ServiceError& e) {
    rows = "<tr><td colspan=\"3\">The folder cannot be listed (error " + std::to_string(e.code) +
           ").</td></tr>\n";
  }
  std::string body = "<h2>Home of " + htmlEscape(s.user) + " (" + htmlEscape(s.corp) +
                     ")</h2>\n<table id=\"files\"><tr><th>Name</th><th>Size</th><th>Modified</th></tr>\n" +
                     rows + "</table>\n" + kMessageBox;
  std::string script = std::string(kMessageBoxScript) +
                       "var API = {jsessionid: " + jsString(s.id) + ", arrayid: " + jsString(s.arrayid) +
                       ",\n  loginUserInfo: {corpId: " + jsString(s.corp) + ", userId: " + jsString(s.user) +
                       "}};\n";
  return page("Ambermoor - " + s.user, body, script);
}

// Signed out: a notice (a refused sign-in) is shown in the message box;
// otherwise the company in the fragment signs in through its provider.
std::string browseSignedOut(const std::optional<std::string>& notice) {
  std::string body = std::string("<p id=\"status\">Signing in...</p>\n") + kMessageBox;
  std::string script = kMessageBoxScript;
  if (notice) {
    script += "document.getElementById('status').textContent = 'Not signed in.';\n"
              "Ext.Msg.alert('Error', " + jsString(*notice) + ");\n";
  } else {
    script +=
        "var corp = '';\n"
        "try { corp = decodeURIComponent(location.hash.substring(1)); } catch (e) {}\n"
        "if (corp) {\n"
        "  location.replace('saml/start?corpId=' + encodeURIComponent(corp));\n"
        "} else {\n"
        "  document.getElementById('status').textContent = 'Not signed in.';\n"
        "  Ext.Msg.alert('Sign in', 'Open this page as browse#<corporate ID> to sign in.');\n"
        "}\n";
  }
  return page("Ambermoor", body, script);
}

std::string helpPage(const std::string& lang) {
  if (lang == "ja")
    return page("Ambermoor ヘルプ",
                "<h2>Ambermoor デスクトップクライアント ヘルプ</h2>\n"
                "<p>ログインするとドライブがマウントされ、ホーム、共有フォルダ、ごみ箱が表示されます。</p>\n"
                "<p>SAML認証をご利用の場合は、設定画面でコーポレートIDを設定してください。</p>\n"
                "<p>パスワードを忘れた場合は <a href=\"../../../request_reset\">パスワードの再設定</a> を申請してください。</p>\n");
  return page("Ambermoor help",
              "<h2>Ambermoor desktop client help</h2>\n"
              "<p>Signing in mounts your drive, which shows your Home, the folders shared with you and the trash.</p>\n"
              "<p>If your company signs in through its identity provider, enter its corporate ID on the SAML tab of the settings.</p>\n"
              "<p>Forgot your password? <a href=\"../../../request_reset\">Request a reset</a>.</p>\n");
}

const char* kResetForm =
    "<h2>Reset your password</h2>\n"
    "<form method=\"post\" action=\"request_reset\">\n"
    "<p><label for=\"corpId\">Corporate ID</label><input id=\"corpId\" name=\"corpId\"></p>\n"
    "<p><label for=\"userId\">User ID</label><input id=\"userId\" name=\"userId\"></p>\n"
    "<p><button type=\"submit\">Send</button></p>\n</form>\n";

}  // namespace

void installWebApp(httplib::SSLServer& srv, Service& service) {
  srv.Get("/browse", [&service](const httplib::Request& req, httplib::Response& res) {
    std::string id = cookieValue(req, kCookie);
    std::optional<SessionInfo> s;
    if (!id.empty()) s = service.sessions().use(id);
    if (s) return answerHtml(res, 200, browseSignedIn(service, *s));
    answerHtml(res, 200, browseSignedOut(std::nullopt));
  });

  // Where a sign-in that did not work ends: its reason in the message box.
  srv.Get("/saml/error", [&service](const httplib::Request& req, httplib::Response& res) {
    auto notice = service.saml().takeNotice(req.get_param_value("notice"));
    answerHtml(res, 200, browseSignedOut(notice ? *notice
                                                : "This message is no longer available. Please sign in again."));
  });

  srv.Get("/saml/start", [&service](const httplib::Request& req, httplib::Response& res) {
    std::string corp = req.get_param_value("corpId");
    SamlSite& saml = service.saml();
    if (corp.empty() || !saml.enabled(corp)) {
      std::string n = saml.addNotice("SAML sign-in is not enabled for the corporate ID \"" + corp + "\".");
      return redirect(res, "error?notice=" + n);
    }
    redirect(res, saml.signInUrl(corp) + "&SAMLRequest=" + saml.newRequest(corp) +
                      "&RelayState=" + urlEncode(corp));
  });

  srv.Post("/saml/acs", [&service](const httplib::Request& req, httplib::Response& res) {
    httplib::Params form;
    httplib::detail::parse_query_text(req.body, form);
    auto field = [&](const char* k) {
      auto it = form.find(k);
      return it == form.end() ? std::string() : it->second;
    };
    SamlSite& saml = service.saml();
    SamlVerdict v = saml.consume(field("SAMLResponse"), nowMs());
    if (v.ok && !service.sessions().findUser(v.corpId, v.userId)) {
      v.ok = false;
      v.message = "The user \"" + v.userId + "\" has no account in this service.";
    }
    std::string corp = v.ok ? v.corpId : field("RelayState");
    if (!v.ok) {
      std::fprintf(stderr, "ambermoor-local: SAML sign-in refused: %s\n", v.message.c_str());
      return redirect(res, "error?notice=" + saml.addNotice(v.message));
    }
    auto session = service.sessions().login(service.sessions().newArray(v.corpId), v.corpId, v.userId);
    if (!session) {
      return redirect(res, "error?notice=" + saml.addNotice("The session could not be created."));
    }
    res.set_header("Set-Cookie", std::string(kCookie) + "=" + *session +
                                     "; Path=/; Secure; HttpOnly; SameSite=Lax");
    redirect(res, "../browse#" + urlEncode(corp));
  });

  srv.Get("/help/qwo/([a-z]+)/", [](const httplib::Request& req, httplib::Response& res) {
    std::string lang = req.matches[1];
    if (lang != "ja" && lang != "en")
      return answerHtml(res, 404, page("Not found", "<p>There is no help in this language.</p>"));
    answerHtml(res, 200, helpPage(lang));
  });

  srv.Get("/request_reset", [](const httplib::Request&, httplib::Response& res) {
    answerHtml(res, 200, page("Reset your password", kResetForm));
  });
  srv.Post("/request_reset", [](const httplib::Request& req, httplib::Response& res) {
    httplib::Params form;
    httplib::detail::parse_query_text(req.body, form);
    auto has = [&](const char* k) {
      auto it = form.find(k);
      return it != form.end() && !it->second.empty();
    };
    if (!has("corpId") || !has("userId"))
      return answerHtml(res, 400, page("Reset your password",
                                       "<p class=\"error\">Enter your corporate ID and user ID.</p>\n" +
                                           std::string(kResetForm)));
    // The same answer whether or not the account exists: the form must not
    // tell strangers which accounts there are.
    answerHtml(res, 200, page("Reset your password",
                              "<p id=\"sent\">If the account exists, your administrator has been "
                              "asked to reset its password.</p>\n"));
  });
}

bool samlAdmin(Service& service, const std::string& what, const picojson::object& o,
               picojson::object* answer) {
  auto text = [&](const char* k) -> std::string {
    auto it = o.find(k);
    if (it == o.end() || !it->second.is<std::string>() || it->second.get<std::string>().empty())
      throw std::invalid_argument(std::string("\"") + k + "\" must be a non-empty text");
    return it->second.get<std::string>();
  };
  if (what == "samlRefuse") {
    std::string corp = text("corpId");
    if (!service.saml().company(corp)) throw std::invalid_argument("no SAML company " + corp);
    service.saml().refuseNext(corp, text("message"));
    (*answer)["ok"] = value(true);
    return true;
  }
  if (what == "saml") {
    std::string corp = text("corpId");
    auto e = o.find("enabled");
    if (e == o.end() || !e->second.is<bool>()) throw std::invalid_argument("\"enabled\" must be true or false");
    if (!service.saml().setEnabled(corp, e->second.get<bool>()))
      throw std::invalid_argument("no SAML company " + corp);
    (*answer)["ok"] = value(true);
    return true;
  }
  return false;
}

// ---- the service's SAML methods ----------------------------------------------

picojson::value Service::getSAMLLoginInfo(const ApiRequest& r) {
  auto it = r.query.find("corpId");
  if (it == r.query.end() || it->second.empty()) throw ServiceError(err::kInvalidArgument, {"corpId"});
  const std::string& corp = it->second;
  auto company = saml_->company(corp);
  if (!company && !sessions_.hasCompany(corp))
    throw ServiceError(err::kSamlUnavailable, {corp, "unknown corporate ID"});
  picojson::object o;
  bool on = company && company->enabled;
  o["enabled"] = value(on);
  o["idpUrl"] = value(on ? saml_->signInUrl(corp) : std::string());
  return value(o);
}

picojson::value Service::logoutWithSAML(const SessionInfo& s, const ApiRequest& r) {
  auto it = r.query.find("corpId");
  if (it == r.query.end() || it->second != s.corp) throw ServiceError(err::kInvalidArgument, {"corpId"});
  sessions_.end(s.id);
  locks_.releaseSession(s.id);
  picojson::object o;
  o["idpUrl"] = value(saml_->logoutUrl(s.corp));
  return value(o);
}

}  // namespace ambermoor
