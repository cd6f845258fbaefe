#include "server/tls_identity.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>

namespace sorvanta::server {
namespace {

struct Deleters {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
};

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool AddExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, Deleters> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

bool IsIpAddress(const std::string& host) {
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

bool EnsureSelfSignedPair(const std::string& certPath, const std::string& keyPath, const std::string& extraHost,
                          std::string* error) {
  if (Exists(certPath) && Exists(keyPath)) return true;
  std::unique_ptr<EVP_PKEY, Deleters> key(EVP_EC_gen("P-256"));
  std::unique_ptr<X509, Deleters> cert(X509_new());
  if (!key || !cert) {
    *error = "cannot create a key pair";
    return false;
  }
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  std::unique_ptr<BIGNUM, Deleters> bn(BN_bin2bn(serial, sizeof serial, nullptr));
  BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get()));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Sorvanta reference service"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  std::string san = "DNS:localhost,IP:127.0.0.1,IP:::1";
  if (!extraHost.empty() && extraHost != "127.0.0.1" && extraHost != "0.0.0.0" && extraHost != "localhost") {
    san += (IsIpAddress(extraHost) ? ",IP:" : ",DNS:") + extraHost;
  }
  if (!AddExtension(cert.get(), NID_subject_alt_name, san) ||
      !AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
      X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
    *error = "cannot build the certificate";
    return false;
  }

  // The key is written readable by the owner only.
  FILE* kf = std::fopen(keyPath.c_str(), "wb");
  if (!kf) {
    *error = "cannot write " + keyPath;
    return false;
  }
  ::chmod(keyPath.c_str(), 0600);
  bool keyOk = PEM_write_PrivateKey(kf, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  keyOk = std::fclose(kf) == 0 && keyOk;
  FILE* cf = std::fopen(certPath.c_str(), "wb");
  bool certOk = cf && PEM_write_X509(cf, cert.get()) == 1;
  if (cf) certOk = std::fclose(cf) == 0 && certOk;
  if (!keyOk || !certOk) {
    std::remove(keyPath.c_str());
    std::remove(certPath.c_str());
    *error = "cannot write the certificate or key in " + certPath;
    return false;
  }
  return true;
}

}  // namespace sorvanta::server
