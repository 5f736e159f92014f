// The browse page, send-key issuing and downloads by key (see browse_page.h).
#include "browse_page.h"

#include <httplib.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace ambermoor {
namespace {

using picojson::value;

// Longest lifetime a caller may ask for.
constexpr std::int64_t kMaxLifetimeSeconds = 90LL * 24 * 60 * 60;

std::string errorJson(int code, const std::string& arg) {
  picojson::object e;
  e["code"] = value(static_cast<double>(code));
  e["args"] = value(picojson::array{value(arg)});
  picojson::object o;
  o["error"] = value(e);
  return value(o).serialize();
}

// A session given in the query or form: the session must be alive and, when
// the array id is given, belong to it.
std::optional<SessionInfo> sessionOf(Service& service, const httplib::Request& req) {
  auto s = service.sessions().use(req.get_param_value("jsessionid"));
  if (!s) return std::nullopt;
  std::string arrayid = req.get_param_value("arrayid");
  if (!arrayid.empty() && arrayid != s->arrayid) return std::nullopt;
  return s;
}

std::string percentEncoded(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

const char* const kEndedPage =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Ambermoor</title></head>"
    "<body><p>Your session has ended. Please sign in again.</p>"
    "<p>セッションが終了しました。もう一度サインインしてください。</p></body></html>\n";

const char* const kNoKeyPage =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Ambermoor</title></head>"
    "<body><p>This send key does not exist or has expired.</p>"
    "<p>この送付キーは存在しないか、有効期限が切れています。</p></body></html>\n";

}  // namespace

const std::string& browsePage() {
  static const std::string page = R"PAGE(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Ambermoor</title>
<style>body{font-family:sans-serif;margin:2em}#link{word-break:break-all}</style></head>
<body>
<h1 id="title"></h1>
<p><strong id="name"></strong></p>
<p id="status"></p>
<p><a id="link"></a></p>
<script>
(function () {
  var frameName = window.name || "";
  var comma = frameName.lastIndexOf(",");
  var ja = comma >= 0 && frameName.slice(comma + 1) === "ja";
  var T = ja ? {title: "送付キー発行", working: "送付キーを発行しています…",
                issued: "送付キーを発行しました。有効期限:", failed: "送付キーを発行できませんでした。",
                noItem: "対象のファイルがわかりません。"}
             : {title: "Issue a Send key", working: "Issuing a send key...",
                issued: "Send key issued. Valid until", failed: "The send key could not be issued.",
                noItem: "No file was given."};
  function show(id, text) { document.getElementById(id).textContent = text; }
  show("title", T.title);
  var path = "";
  try {
    var bin = atob(frameName.slice(0, comma < 0 ? frameName.length : comma).replace(/\s+/g, ""));
    var bytes = new Uint8Array(bin.length);
    for (var i = 0; i < bin.length; ++i) bytes[i] = bin.charCodeAt(i);
    path = new TextDecoder("utf-8", {fatal: true}).decode(bytes);
  } catch (e) { path = ""; }
  if (!path) { show("status", T.noItem); return; }
  show("name", path.slice(path.lastIndexOf("/") + 1));
  show("status", T.working);
  var q = new URLSearchParams(location.search);
  var body = new URLSearchParams();
  body.set("jsessionid", q.get("jsessionid") || "");
  body.set("arrayid", q.get("arrayid") || "");
  body.set("path", path);
  fetch("sendKey", {method: "POST", body: body}).then(function (r) { return r.json(); }).then(function (j) {
    if (j.error) { show("status", T.failed + " (" + j.error.code + ")"); return; }
    var a = document.getElementById("link");
    a.href = j.result.url;
    a.textContent = j.result.url;
    show("status", T.issued + " " + new Date(j.result.expires).toLocaleString(ja ? "ja-JP" : "en-US"));
  }).catch(function () { show("status", T.failed); });
})();
</script>
</body></html>
)PAGE";
  return page;
}

void installBrowsePages(httplib::SSLServer& srv, Service& service, SendKeyTable& keys) {
  srv.Get("/v2/browse", [&service](const httplib::Request& req, httplib::Response& res) {
    if (!sessionOf(service, req)) {
      res.status = 403;
      res.set_content(kEndedPage, "text/html; charset=utf-8");
      return;
    }
    res.status = 200;
    // Its address carries the session id: not for caches.
    res.set_header("Cache-Control", "no-store");
    res.set_content(browsePage(), "text/html; charset=utf-8");
  });

  srv.Post("/v2/sendKey", [&service, &keys](const httplib::Request& req, httplib::Response& res) {
    res.status = 200;
    auto s = sessionOf(service, req);
    if (!s) return res.set_content(errorJson(err::kSessionLost, ""), "application/json; charset=utf-8");
    std::string path = req.get_param_value("path");
    std::int64_t lifetimeMs = SendKeyTable::kDefaultLifetimeMs;
    if (req.has_param("validSeconds")) {
      std::string v = req.get_param_value("validSeconds");
      char* end = nullptr;
      long long secs = strtoll(v.c_str(), &end, 10);
      if (v.empty() || *end || secs < 1 || secs > kMaxLifetimeSeconds)
        return res.set_content(errorJson(err::kInvalidArgument, "validSeconds"), "application/json; charset=utf-8");
      lifetimeMs = secs * 1000;
    }
    try {
      service.readableFile(*s, path);
    } catch (const ServiceError& e) {
      return res.set_content(errorJson(e.code, path), "application/json; charset=utf-8");
    }
    std::int64_t expires = 0;
    std::string key = keys.issue(s->corp, path, s->user, lifetimeMs, &expires);
    picojson::object r;
    r["key"] = value(key);
    r["url"] = value("https://" + req.get_header_value("Host") + "/v2/download/" + key);
    r["expires"] = value(static_cast<double>(expires));
    picojson::object o;
    o["result"] = value(r);
    res.set_content(value(o).serialize(), "application/json; charset=utf-8");
  });

  srv.Get("/v2/download/([0-9a-f]+)", [&service, &keys](const httplib::Request& req, httplib::Response& res) {
    auto key = keys.find(req.matches[1]);
    std::optional<Entry> e = key ? service.entryOf(key->corp, key->path) : std::nullopt;
    if (!e || e->kind == kKindFolder) {
      res.status = 404;
      res.set_content(kNoKeyPage, "text/html; charset=utf-8");
      return;
    }
    // The content block after block, read as the client asks for it.
    struct Piece {
      std::string file;
      std::int64_t length;
    };
    auto pieces = std::make_shared<std::vector<Piece>>();
    for (const auto& id : e->blocks) {
      std::int64_t len = 0;
      if (!parseBlockId(id, &len) || !service.blocks().has(id)) {
        res.status = 500;
        res.set_content("block missing\n", "text/plain");
        return;
      }
      pieces->push_back({service.blocks().pathOf(id), len});
    }
    res.status = 200;
    res.set_header("Content-Disposition", "attachment; filename*=UTF-8''" + percentEncoded(baseName(key->path)));
    res.set_content_provider(
        static_cast<std::size_t>(e->size), "application/octet-stream",
        [pieces](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          std::size_t start = 0;
          for (const auto& p : *pieces) {
            std::size_t len = static_cast<std::size_t>(p.length);
            if (offset < start + len) {
              int fd = ::open(p.file.c_str(), O_RDONLY | O_CLOEXEC);
              if (fd < 0) return false;
              std::vector<char> buf(std::min<std::size_t>({length, start + len - offset, 1 << 20}));
              ssize_t n = ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(offset - start));
              ::close(fd);
              return n > 0 && sink.write(buf.data(), static_cast<std::size_t>(n));
            }
            start += len;
          }
          return false;
        });
  });
}

}  // namespace ambermoor
