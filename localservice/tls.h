// The service's private certificate authority: created in the data directory
// on first start, it signs the server certificate (for "localhost",
// "127.0.0.1" and the identity provider's 127.0.0.2) and the client certificates used for certificate sign-in.
#pragma once

#include <string>

typedef struct ssl_st SSL;

namespace ambermoor {

struct TlsFiles {
  std::string caCert, caKey, serverCert, serverKey;
};

// Creates what is missing under dataDir/tls; throws std::runtime_error.
TlsFiles ensureCertificateAuthority(const std::string& dataDir);

// Writes a PEM file holding a client certificate (subject O=corp, CN=user)
// and its private key; returns the file's path. Throws std::runtime_error.
std::string issueClientCertificate(const std::string& dataDir, const std::string& corp,
                                   const std::string& user, const std::string& outPath);

// Corporate ID and user ID of the verified client certificate of a connection.
bool peerIdentity(const SSL* ssl, std::string* corp, std::string* user);

}  // namespace ambermoor
