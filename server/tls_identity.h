// The service's TLS identity: a small CA of its own and a server certificate issued by it.
//
// Files in the data folder:
//   ca-key.pem  the CA's private key (0600)
//   ca.pem      the CA certificate; clients that trust it verify the service (also served
//               under the base URL as "ca.pem")
//   key.pem     the server's private key (0600)
//   cert.pem    the server certificate, issued by the CA
#pragma once

#include <string>
#include <vector>

namespace sorvanta::server {

extern const char* const kCaCertFileName;  // "ca.pem"

// Names a certificate for listen must carry: localhost, 127.0.0.1, ::1, this host's name,
// every interface address and the listen address itself when it is not a wildcard.
std::vector<std::string> NamesForListenAddress(const std::string& listen);

// Makes sure dataDir holds the CA and a server certificate from it that covers every name
// of NamesForListenAddress(listen), is not close to expiry and matches its key; otherwise
// writes a fresh server certificate. A CA is created only when neither ca-key.pem nor
// ca.pem exists; one that exists but cannot be used (unreadable, not matching, expiring)
// is an error. Keys are created readable by the owner only. False and *error on failure.
bool EnsureServiceIdentity(const std::string& dataDir, const std::string& listen, std::string* error);

// Writes contents to path through a temporary file created with mode 0600 that is synced
// and renamed into place, so no other user can ever open it. False and *error on failure.
bool WriteOwnerOnlyFile(const std::string& path, const std::string& contents, std::string* error);

// SHA-256 fingerprint of the PEM certificate in certPath ("AB:CD:..."); empty when unreadable.
std::string CertificateFingerprint(const std::string& certPath);

// True when the PEM certificate in certPath names host (a DNS name or an IP address).
bool CertificateCovers(const std::string& certPath, const std::string& host);

}  // namespace sorvanta::server
