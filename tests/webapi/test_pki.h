// Certificates for the test servers, made once per test process in a
// private directory: a trusted CA with a server certificate for 127.0.0.1
// and localhost and a client certificate, and a second CA nobody trusts
// with its own server certificate.
#pragma once

#include <string>

namespace webapi_test {

struct TestPki {
  std::string dir;
  std::string caFile;             // trusted CA (CURL_CA_BUNDLE points here)
  std::string serverCert, serverKey;
  std::string clientPem;          // client certificate + key, signed by the CA
  std::string clientSubjectCN;    // "test-client"
  std::string rogueServerCert, rogueServerKey;  // signed by the untrusted CA
  std::string keyOnlyPem;         // a private key without certificate
  std::string mismatchedPem;      // client certificate with another key
};

const TestPki& pki();

}  // namespace webapi_test
