// The identity provider: a host of its own (127.0.0.2, so that the browser
// sees a different host than the service's), with the service's server
// certificate, which covers that address.
//   GET  idp/sso?corpId=..&SAMLRequest=..&RelayState=..   the sign-in form
//   POST idp/login   checks the provider user's password and answers with a
//                    page that posts the signed assertion to the service's
//                    assertion consumer
//   GET  idp/logout  the provider's logout page
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "saml.h"
#include "tls.h"

namespace httplib {
class SSLServer;
}

namespace ambermoor {

class IdpServer {
 public:
  static constexpr const char* kAddress = "127.0.0.2";

  IdpServer(SamlSite& saml, const TlsFiles& tls);
  ~IdpServer();
  IdpServer(const IdpServer&) = delete;
  IdpServer& operator=(const IdpServer&) = delete;

  bool bind(int port);  // on kAddress; false when taken
  void start();
  void stop();

 private:
  SamlSite& saml_;
  std::unique_ptr<httplib::SSLServer> srv_;
  std::thread thread_;
};

}  // namespace ambermoor
