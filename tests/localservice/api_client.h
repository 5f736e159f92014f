// A small libcurl client for the local service's tests: it sends requests
// in the forms the library uses (GET, URL-encoded POST, multipart POST with
// a "filedata" part named "data.dat") and parses the envelope.
#pragma once

#include <curl/curl.h>
#include <unistd.h>
#include <openssl/evp.h>
#include <picojson.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace lstest {

using Params = std::vector<std::pair<std::string, std::string>>;

struct Reply {
  long status = 0;   // HTTP status, 0 when the transfer failed
  int curlCode = 0;  // libcurl result
  std::string body;
  picojson::value json;  // null unless the body is JSON

  bool isError() const {
    return json.is<picojson::object>() && json.get("error").is<picojson::object>();
  }
  int code() const {
    return isError() ? static_cast<int>(json.get("error").get("code").get<double>()) : 0;
  }
  const picojson::value& result() const { return json.get("result"); }
};

inline std::string blockIdOf(const std::string& data) {
  unsigned char d[20];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), d, &n, EVP_sha1(), nullptr);
  static const char* tbl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  for (int i = 0; i < 20; i += 3) {
    unsigned v = d[i] << 16 | (i + 1 < 20 ? d[i + 1] << 8 : 0) | (i + 2 < 20 ? d[i + 2] : 0);
    out += tbl[(v >> 18) & 63];
    out += tbl[(v >> 12) & 63];
    if (i + 1 < 20) out += tbl[(v >> 6) & 63];
    if (i + 2 < 20) out += tbl[v & 63];
  }
  return out + "#" + std::to_string(data.size());
}

class ApiClient {
 public:
  ApiClient(std::string base, std::string caFile, std::string clientPem = "")
      : base_(std::move(base)), ca_(std::move(caFile)), pem_(std::move(clientPem)) {}

  std::string arrayid, jsessionid;

  std::string url(const std::string& method) {
    std::string u = base_ + "api/" + method + "?_client=qwo&_version=1.0.0";
    if (!arrayid.empty()) u += "&arrayid=" + arrayid;
    if (!jsessionid.empty()) u += "&jsessionid=" + jsessionid;
    return u + "&requestid=" + std::to_string(requestId_++);
  }

  Reply get(const std::string& method) { return perform(url(method), nullptr, nullptr); }

  Reply post(const std::string& method, const Params& params) {
    CURL* esc = curl_easy_init();
    std::string body;
    for (const auto& [k, v] : params) {
      char* e = curl_easy_escape(esc, v.data(), static_cast<int>(v.size()));
      body += "&" + k + "=" + e;
      curl_free(e);
    }
    curl_easy_cleanup(esc);
    if (!body.empty()) body.erase(0, 1);
    return perform(url(method), &body, nullptr);
  }

  // A POST with a URL-encoded body given as is.
  Reply raw(const std::string& method, const std::string& body) {
    return perform(url(method), &body, nullptr);
  }

  // Multipart; `fileData` (when given) becomes the "filedata" part.
  Reply multipart(const std::string& method, const Params& params,
                  const std::string* fileData = nullptr) {
    return perform(url(method), nullptr, [&](CURL* c) {
      curl_mime* mime = curl_mime_init(c);
      for (const auto& [k, v] : params) {
        curl_mimepart* p = curl_mime_addpart(mime);
        curl_mime_name(p, k.c_str());
        curl_mime_data(p, v.data(), v.size());
      }
      if (fileData) {
        curl_mimepart* p = curl_mime_addpart(mime);
        curl_mime_name(p, "filedata");
        curl_mime_filename(p, "data.dat");
        curl_mime_data(p, fileData->data(), fileData->size());
      }
      curl_easy_setopt(c, CURLOPT_MIMEPOST, mime);
      return mime;
    });
  }

  // pretestLogin + login; throws on failure.
  void signIn(const std::string& corp, const std::string& user, const std::string& password,
              bool pki = false) {
    Reply a = post("pretestLogin", {{"corpId", corp}});
    if (a.isError() || !a.result().get("arrayid").is<std::string>())
      throw std::runtime_error("pretestLogin: " + a.body);
    arrayid = a.result().get("arrayid").get<std::string>();
    Reply l = post("login", {{"corpId", corp}, {"userId", user}, {"password", password},
                             {"pki", pki ? "true" : "false"}});
    if (l.isError() || !l.result().get("jsessionid").is<std::string>())
      throw std::runtime_error("login: " + l.body);
    jsessionid = l.result().get("jsessionid").get<std::string>();
  }

  // Uploads `content` (split in 8 MiB blocks) to `path`; returns the uploadFile reply.
  Reply putFile(const std::string& path, const std::string& content) {
    Reply t = post("pretestUploadFile", {{"path", path}, {"force", "true"}});
    if (t.isError()) return t;
    std::string token = t.result().get<std::string>();
    std::string ids = "[ ";
    const std::size_t bs = 8 * 1024 * 1024;
    for (std::size_t off = 0; off < content.size() || off == 0; off += bs) {
      std::string block = content.substr(off, bs);
      std::string id = blockIdOf(block);
      Reply b = multipart("uploadBlock", {{"token", token}, {"blockId", id}}, &block);
      if (b.isError() || b.status != 200) return b;
      ids += "\"" + id + "\",";
      if (content.empty()) break;
    }
    ids.back() = ']';
    return multipart("uploadFile",
                     {{"token", token}, {"blockIds", ids}, {"memo", ""}, {"force", "true"}});
  }

  // Downloads the whole file through pretestDownloadFile and downloadBlock.
  std::string getFile(const std::string& path) {
    Reply t = post("pretestDownloadFile", {{"path", path}});
    if (t.isError()) throw std::runtime_error("pretestDownloadFile: " + t.body);
    std::string token = t.result().get("token").get<std::string>();
    std::string out;
    for (const auto& id : t.result().get("blockIds").get<picojson::array>()) {
      Reply b = post("downloadBlock", {{"token", token}, {"blockId", id.get<std::string>()}});
      if (b.status != 200 || blockIdOf(b.body) != id.get<std::string>())
        throw std::runtime_error("downloadBlock: bad block");
      out += b.body;
    }
    return out;
  }

 private:
  template <class Setup>
  Reply perform(const std::string& u, const std::string* body, Setup setup) {
    Reply r;
    CURL* c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, u.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(c, CURLOPT_CAINFO, ca_.c_str());
    if (!pem_.empty()) {
      curl_easy_setopt(c, CURLOPT_SSLCERT, pem_.c_str());
      curl_easy_setopt(c, CURLOPT_SSLKEY, pem_.c_str());
    }
    if (body) {
      curl_easy_setopt(c, CURLOPT_POSTFIELDS, body->c_str());
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
    }
    curl_mime* mime = nullptr;
    if constexpr (!std::is_same_v<Setup, std::nullptr_t>) mime = setup(c);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char* p, size_t s, size_t n, void* ud) {
      static_cast<std::string*>(ud)->append(p, s * n);
      return s * n;
    });
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    r.curlCode = curl_easy_perform(c);
    if (r.curlCode == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    curl_mime_free(mime);
    curl_easy_cleanup(c);
    if (!r.body.empty() && r.body[0] == '{') picojson::parse(r.json, r.body);
    return r;
  }

  std::string base_, ca_, pem_;
  int requestId_ = 0;
};

}  // namespace lstest
