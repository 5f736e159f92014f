#include "saml.h"

#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <picojson.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "util.h"

namespace ambermoor {
namespace {

namespace fs = std::filesystem;
using picojson::value;

// Kept used assertion ids and pending requests are bounded: an assertion
// older than its lifetime is refused on its time anyway.
constexpr std::size_t kMaxRemembered = 10000;

EVP_PKEY* loadOrCreateKey(const std::string& dataDir) {
  fs::path dir = fs::path(dataDir) / "tls";
  fs::create_directories(dir);
  std::string path = (dir / "idp-signing-key.pem").string();
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!k) throw std::runtime_error("bad identity provider key in " + path);
    return k;
  }
  EVP_PKEY* k = EVP_EC_gen("P-256");
  if (!k) throw std::runtime_error("identity provider key generation failed");
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    EVP_PKEY_free(k);
    throw std::runtime_error("cannot write " + tmp);
  }
  ::chmod(tmp.c_str(), 0600);
  bool ok = PEM_write_PrivateKey(f, k, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    EVP_PKEY_free(k);
    throw std::runtime_error("cannot write " + tmp);
  }
  fs::rename(tmp, path);
  return k;
}

std::string sign(EVP_PKEY* key, const std::string& data) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::size_t len = 0;
  std::string sig;
  if (ctx && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
      EVP_DigestSign(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(data.data()),
                     data.size()) == 1) {
    sig.resize(len);
    if (EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &len,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1)
      sig.resize(len);
    else
      sig.clear();
  }
  EVP_MD_CTX_free(ctx);
  if (sig.empty()) throw std::runtime_error("signing the assertion failed");
  return sig;
}

bool verify(EVP_PKEY* key, const std::string& data, const std::string& sig) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
            EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                             reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

std::string encode(const std::string& s) {
  return base64UrlNoPad(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

std::string text(const picojson::object& o, const char* k) {
  auto it = o.find(k);
  return it != o.end() && it->second.is<std::string>() ? it->second.get<std::string>() : "";
}

std::optional<std::int64_t> number(const picojson::object& o, const char* k) {
  auto it = o.find(k);
  if (it == o.end() || !it->second.is<double>()) return std::nullopt;
  return static_cast<std::int64_t>(it->second.get<double>());
}

}  // namespace

bool base64UrlDecode(const std::string& in, std::string* out) {
  out->clear();
  if (in.size() % 4 == 1) return false;
  unsigned buf = 0;
  int bits = 0;
  for (char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '-') v = 62;
    else if (c == '_') v = 63;
    else return false;
    buf = (buf << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      *out += static_cast<char>((buf >> bits) & 0xff);
    }
  }
  return true;
}

std::string htmlEscape(const std::string& t) {
  std::string out;
  for (char c : t) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

SamlSite::SamlSite(std::vector<SamlCompany> companies, const std::string& dataDir)
    : key_(loadOrCreateKey(dataDir)) {
  for (auto& c : companies) companies_[c.corpId] = std::move(c);
}

SamlSite::~SamlSite() { EVP_PKEY_free(key_); }

void SamlSite::setUrls(const std::string& serviceUrl, const std::string& idpUrl) {
  std::lock_guard<std::mutex> lock(mutex_);
  serviceUrl_ = serviceUrl;
  idpUrl_ = idpUrl;
}

std::string SamlSite::serviceUrl() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return serviceUrl_;
}

std::string SamlSite::idpUrl() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return idpUrl_;
}

std::string SamlSite::consumerUrl() const { return serviceUrl() + "saml/acs"; }

std::optional<SamlCompany> SamlSite::company(const std::string& corp) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = companies_.find(corp);
  if (it == companies_.end()) return std::nullopt;
  return it->second;
}

bool SamlSite::enabled(const std::string& corp) const {
  auto c = company(corp);
  return c && c->enabled;
}

bool SamlSite::setEnabled(const std::string& corp, bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = companies_.find(corp);
  if (it == companies_.end()) return false;
  it->second.enabled = on;
  return true;
}

std::string SamlSite::signInUrl(const std::string& corp) const {
  // Corporate IDs hold no characters that need escaping in a query (see
  // the configuration's ID rules) except those escaped here.
  std::string q;
  for (unsigned char c : corp) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      q += static_cast<char>(c);
    } else {
      char b[4];
      std::snprintf(b, sizeof b, "%%%02X", c);
      q += b;
    }
  }
  auto c = company(corp);
  return (c && !c->idpUrl.empty() ? c->idpUrl : idpUrl()) + "idp/sso?corpId=" + q;
}

std::string SamlSite::logoutUrl(const std::string& corp) const {
  auto c = company(corp);
  if (!c || !c->singleLogout) return "";
  return (c->idpUrl.empty() ? idpUrl() : c->idpUrl) + "idp/logout";
}

std::string SamlSite::newRequest(const std::string& corp) {
  std::string id = "req-" + randomToken(16);
  std::int64_t now = nowMs();
  picojson::object o;
  o["id"] = value(id);
  o["issuer"] = value(serviceUrl());
  o["corpId"] = value(corp);
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_.size() >= kMaxRemembered) {
    for (auto it = pending_.begin(); it != pending_.end();)
      it = it->second.expires <= now ? pending_.erase(it) : std::next(it);
    if (pending_.size() >= kMaxRemembered) pending_.clear();
  }
  pending_[id] = Pending{corp, now + kRequestLifetimeMs};
  return encode(value(o).serialize());
}

std::optional<SamlRequest> SamlSite::decodeRequest(const std::string& t) {
  std::string json;
  value v;
  if (!base64UrlDecode(t, &json) || !picojson::parse(v, json).empty() || !v.is<picojson::object>())
    return std::nullopt;
  const auto& o = v.get<picojson::object>();
  SamlRequest r{text(o, "id"), text(o, "issuer"), text(o, "corpId")};
  if (r.id.empty() || r.issuer.empty() || r.corpId.empty()) return std::nullopt;
  return r;
}

bool SamlSite::checkPassword(const std::string& corp, const std::string& user,
                             const std::string& password) const {
  auto c = company(corp);
  if (!c || !c->enabled) return false;
  auto it = c->idpUsers.find(user);
  if (it == c->idpUsers.end()) return false;
  return it->second.size() == password.size() &&
         CRYPTO_memcmp(it->second.data(), password.data(), password.size()) == 0;
}

std::string SamlSite::issueAssertion(const SamlRequest& req, const std::string& user,
                                     std::int64_t now) {
  picojson::object o;
  o["id"] = value("as-" + randomToken(16));
  o["issuer"] = value(idpUrl());
  o["audience"] = value(serviceUrl());
  o["recipient"] = value(consumerUrl());
  o["inResponseTo"] = value(req.id);
  o["corpId"] = value(req.corpId);
  o["userId"] = value(user);
  o["notBefore"] = value(static_cast<double>(now));
  o["notOnOrAfter"] = value(static_cast<double>(now + kAssertionLifetimeMs));
  std::string body = encode(value(o).serialize());
  return body + "." + encode(sign(key_, body));
}

SamlVerdict SamlSite::refuse(const std::string& why) const {
  SamlVerdict v;
  v.message = "Sign-in through the identity provider failed: " + why;
  return v;
}

SamlVerdict SamlSite::consume(const std::string& response, std::int64_t now) {
  auto dot = response.find('.');
  std::string body = response.substr(0, dot), sig, json;
  if (dot == std::string::npos || !base64UrlDecode(response.substr(dot + 1), &sig) ||
      !base64UrlDecode(body, &json))
    return refuse("the assertion is malformed.");
  if (!verify(key_, body, sig)) return refuse("the assertion's signature is not valid.");
  value v;
  if (!picojson::parse(v, json).empty() || !v.is<picojson::object>())
    return refuse("the assertion is malformed.");
  const auto& o = v.get<picojson::object>();
  std::string id = text(o, "id"), corp = text(o, "corpId"), user = text(o, "userId");
  auto notBefore = number(o, "notBefore"), notOnOrAfter = number(o, "notOnOrAfter");
  if (id.empty() || corp.empty() || user.empty() || !notBefore || !notOnOrAfter)
    return refuse("the assertion is incomplete.");

  std::lock_guard<std::mutex> lock(mutex_);
  if (text(o, "issuer") != idpUrl_) return refuse("the assertion comes from an unknown issuer.");
  if (text(o, "audience") != serviceUrl_) return refuse("the assertion is meant for another service.");
  if (text(o, "recipient") != serviceUrl_ + "saml/acs")
    return refuse("the assertion is addressed to another consumer.");
  if (now + kClockSkewMs < *notBefore || now >= *notOnOrAfter)
    return refuse("the assertion has expired or is not valid yet.");
  if (!usedAssertions_.insert(id).second) return refuse("the assertion was already used.");
  if (usedAssertions_.size() > kMaxRemembered) {
    usedAssertions_.clear();
    usedAssertions_.insert(id);
  }
  auto p = pending_.find(text(o, "inResponseTo"));
  if (p == pending_.end()) return refuse("the assertion answers no sign-in of this service.");
  Pending req = p->second;
  pending_.erase(p);
  if (req.expires <= now) return refuse("the sign-in took too long. Please sign in again.");
  if (req.corp != corp) return refuse("the assertion is for another company.");
  auto c = companies_.find(corp);
  if (c == companies_.end() || !c->second.enabled)
    return refuse("SAML sign-in is not enabled for this company.");
  auto r = refusals_.find(corp);
  if (r != refusals_.end() && !r->second.empty()) {
    SamlVerdict verdict;
    verdict.message = r->second.front();
    r->second.erase(r->second.begin());
    return verdict;
  }
  SamlVerdict ok;
  ok.ok = true;
  ok.corpId = corp;
  ok.userId = user;
  return ok;
}

void SamlSite::refuseNext(const std::string& corp, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  refusals_[corp].push_back(message);
}

std::string SamlSite::addNotice(const std::string& message) {
  std::string id = randomToken(12);
  std::lock_guard<std::mutex> lock(mutex_);
  if (notices_.size() >= kMaxRemembered) notices_.clear();
  notices_[id] = message;
  return id;
}

std::optional<std::string> SamlSite::takeNotice(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = notices_.find(id);
  if (it == notices_.end()) return std::nullopt;
  std::string m = it->second;
  notices_.erase(it);
  return m;
}

}  // namespace ambermoor
