// SAML sign-in on the local service, both sides of it:
//  - the identity provider's side: which companies sign in through it, its
//    users and passwords, and the signed assertions it issues;
//  - the service's side (the assertion consumer): sign-in requests it sent
//    out, and the checks a real consumer makes on an assertion before it
//    creates a session: signature, issuer, audience, recipient, validity
//    window, the request it answers, and one use per assertion.
//
// The messages are compact (JSON, URL-safe Base64, an ECDSA P-256 signature
// with the provider's key kept in the data directory), not SAML XML; what is
// checked is what a SAML consumer checks.
//
// Threads: every member takes mutex_, which is innermost (no other lock is
// taken while it is held).
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config.h"

namespace ambermoor {

// A sign-in request from the service to the provider.
struct SamlRequest {
  std::string id;      // the assertion answers it with "inResponseTo"
  std::string issuer;  // the service's entity id (its base URL)
  std::string corpId;
};

// What the consumer made of an assertion.
struct SamlVerdict {
  bool ok = false;
  std::string corpId, userId;
  std::string message;  // why it was refused, for the user
};

class SamlSite {
 public:
  // Loads the provider's signing key from dataDir/tls/idp-signing-key.pem,
  // creating it on first start; throws std::runtime_error.
  SamlSite(std::vector<SamlCompany> companies, const std::string& dataDir);
  ~SamlSite();
  SamlSite(const SamlSite&) = delete;
  SamlSite& operator=(const SamlSite&) = delete;

  // Both base URLs end in "/"; known once the hosts are bound.
  void setUrls(const std::string& serviceUrl, const std::string& idpUrl);
  std::string serviceUrl() const;
  std::string idpUrl() const;
  std::string consumerUrl() const;  // serviceUrl + "saml/acs"

  std::optional<SamlCompany> company(const std::string& corp) const;
  bool enabled(const std::string& corp) const;
  // False when the company has no SAML settings.
  bool setEnabled(const std::string& corp, bool on);
  // Where the provider's sign-in starts, and its logout page ("" when the
  // company's provider has no single logout).
  std::string signInUrl(const std::string& corp) const;
  std::string logoutUrl(const std::string& corp) const;

  // Service side: a new request (valid for kRequestLifetimeMs), encoded for
  // the SAMLRequest parameter.
  std::string newRequest(const std::string& corp);
  // Provider side: decodes a SAMLRequest parameter; nothing when malformed.
  static std::optional<SamlRequest> decodeRequest(const std::string& text);
  bool checkPassword(const std::string& corp, const std::string& user,
                     const std::string& password) const;
  // Provider side: the signed SAMLResponse for a signed-in user, addressed
  // to the service the provider knows (not to whatever the request names).
  std::string issueAssertion(const SamlRequest& req, const std::string& user, std::int64_t now);
  // Service side: checks a SAMLResponse at time `now` (ms since 1970). A
  // request and an assertion are used up by the first check that gets to
  // them, successful or not.
  SamlVerdict consume(const std::string& response, std::int64_t now);

  // Admin: the next sign-in of `corp` at the consumer is refused with `message`.
  void refuseNext(const std::string& corp, const std::string& message);

  // One-time texts for the web application's message box, by id.
  std::string addNotice(const std::string& message);
  std::optional<std::string> takeNotice(const std::string& id);

  static constexpr std::int64_t kRequestLifetimeMs = 10 * 60 * 1000;
  static constexpr std::int64_t kAssertionLifetimeMs = 5 * 60 * 1000;
  // Clock difference between provider and consumer tolerated at notBefore.
  static constexpr std::int64_t kClockSkewMs = 60 * 1000;

 private:
  struct Pending {
    std::string corp;
    std::int64_t expires;
  };
  SamlVerdict refuse(const std::string& why) const;

  mutable std::mutex mutex_;
  std::map<std::string, SamlCompany> companies_;
  std::string serviceUrl_, idpUrl_;
  EVP_PKEY* key_ = nullptr;  // the provider's signing key; its public half verifies
  std::map<std::string, Pending> pending_;  // request id -> request
  std::set<std::string> usedAssertions_;
  std::map<std::string, std::vector<std::string>> refusals_;  // corp -> queued messages
  std::map<std::string, std::string> notices_;
};

// URL-safe Base64 without padding, the inverse of base64UrlNoPad; false on
// characters outside the alphabet or an impossible length.
bool base64UrlDecode(const std::string& in, std::string* out);

// Text safe to place in HTML element content and attribute values.
std::string htmlEscape(const std::string& text);

}  // namespace ambermoor
