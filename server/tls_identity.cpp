#include "server/tls_identity.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace sorvanta::server {

const char* const kCaCertFileName = "ca.pem";

namespace {

const long kDay = 24 * 3600;
const long kCaDays = 3650;
const long kServerDays = 825;
const long kRenewBeforeDays = 30;

struct Deleters {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleters>;
using CertPtr = std::unique_ptr<X509, Deleters>;

bool IsIpAddress(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

bool IsWildcard(const std::string& listen) { return listen.empty() || listen == "0.0.0.0" || listen == "::"; }

CertPtr ReadCert(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return nullptr;
  CertPtr cert(PEM_read_X509(f, nullptr, nullptr, nullptr));
  std::fclose(f);
  return cert;
}

KeyPtr ReadKey(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return nullptr;
  KeyPtr key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
  std::fclose(f);
  return key;
}

std::string KeyPem(EVP_PKEY* key) {
  std::unique_ptr<BIO, Deleters> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return {};
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

std::string CertPem(X509* cert) {
  std::unique_ptr<BIO, Deleters> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return {};
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, Deleters> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

void SetName(X509_NAME* name, const char* cn) {
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Sorvanta reference service"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
}

// A certificate body with a random serial and the given validity; not yet signed.
CertPtr NewCert(EVP_PKEY* key, long days) {
  CertPtr cert(X509_new());
  if (!cert) return nullptr;
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  std::unique_ptr<BIGNUM, Deleters> bn(BN_bin2bn(serial, sizeof serial, nullptr));
  BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get()));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kDay);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * kDay);
  X509_set_pubkey(cert.get(), key);
  return cert;
}

bool MakeCa(KeyPtr* caKey, CertPtr* caCert) {
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) return false;
  CertPtr cert = NewCert(key.get(), kCaDays);
  if (!cert) return false;
  SetName(X509_get_subject_name(cert.get()), "Sorvanta reference service CA");
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  if (!AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0") ||
      !AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign") ||
      !AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash") ||
      X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
    return false;
  }
  *caKey = std::move(key);
  *caCert = std::move(cert);
  return true;
}

bool MakeServerCert(EVP_PKEY* caKey, X509* caCert, const std::vector<std::string>& names, KeyPtr* outKey,
                    CertPtr* outCert) {
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) return false;
  CertPtr cert = NewCert(key.get(), kServerDays);
  if (!cert) return false;
  SetName(X509_get_subject_name(cert.get()), "localhost");
  X509_set_issuer_name(cert.get(), X509_get_subject_name(caCert));
  std::string san;
  for (const std::string& n : names) {
    if (!san.empty()) san += ',';
    san += (IsIpAddress(n) ? "IP:" : "DNS:") + n;
  }
  if (!AddExtension(cert.get(), caCert, NID_subject_alt_name, san) ||
      !AddExtension(cert.get(), caCert, NID_basic_constraints, "critical,CA:FALSE") ||
      !AddExtension(cert.get(), caCert, NID_key_usage, "critical,digitalSignature") ||
      !AddExtension(cert.get(), caCert, NID_ext_key_usage, "serverAuth") ||
      !AddExtension(cert.get(), caCert, NID_authority_key_identifier, "keyid:always") ||
      X509_sign(cert.get(), caKey, EVP_sha256()) == 0) {
    return false;
  }
  *outKey = std::move(key);
  *outCert = std::move(cert);
  return true;
}

bool Covers(X509* cert, const std::string& host) {
  if (IsIpAddress(host)) return X509_check_ip_asc(cert, host.c_str(), 0) == 1;
  return X509_check_host(cert, host.c_str(), host.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1;
}

// Expires within the renewal margin (or already has).
bool NearExpiry(X509* cert) {
  time_t limit = std::time(nullptr) + kRenewBeforeDays * kDay;
  return X509_cmp_time(X509_get0_notAfter(cert), &limit) <= 0;
}

bool UsableCa(EVP_PKEY* key, X509* cert) {
  return key && cert && X509_check_private_key(cert, key) == 1 && X509_check_ca(cert) >= 1 && !NearExpiry(cert);
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void SyncFolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

bool WritePublicFile(const std::string& path, const std::string& contents, std::string* error) {
  std::string tmp = path + ".tmp";
  ::unlink(tmp.c_str());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  // Readable by every user whatever the umask (the unit's is 0077): the installed programs
  // trust the CA certificate from this file.
  bool ok = fd >= 0 && ::fchmod(fd, 0644) == 0 && WriteAll(fd, contents) && ::fsync(fd) == 0;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  SyncFolderOf(path);
  return true;
}

}  // namespace

bool WriteOwnerOnlyFile(const std::string& path, const std::string& contents, std::string* error) {
  std::string tmp = path + ".tmp";
  ::unlink(tmp.c_str());
  // O_EXCL with mode 0600: the file is never visible with wider permissions.
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  bool ok = fd >= 0 && ::fchmod(fd, 0600) == 0 && WriteAll(fd, contents) && ::fsync(fd) == 0;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::unlink(tmp.c_str());
    *error = "cannot write " + path + ": " + std::strerror(saved);
    return false;
  }
  SyncFolderOf(path);
  return true;
}

std::vector<std::string> NamesForListenAddress(const std::string& listen) {
  std::vector<std::string> names = {"localhost", "127.0.0.1", "::1"};
  auto add = [&names](const std::string& n) {
    if (!n.empty() && std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
  };
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0) add(host);
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || !(i->ifa_flags & IFF_UP)) continue;
      char text[INET6_ADDRSTRLEN] = {};
      if (i->ifa_addr->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
      } else if (i->ifa_addr->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr;
        if (IN6_IS_ADDR_LINKLOCAL(&a)) continue;  // needs a zone index: not usable in a URL
        inet_ntop(AF_INET6, &a, text, sizeof text);
      }
      add(text);
    }
    ::freeifaddrs(list);
  }
  if (!IsWildcard(listen)) add(listen);
  return names;
}

std::string CertificateFingerprint(const std::string& certPath) {
  CertPtr cert = ReadCert(certPath);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!cert || X509_digest(cert.get(), EVP_sha256(), digest, &size) != 1) return "";
  std::string text;
  char hex[4];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", digest[i]);
    text += hex;
  }
  return text;
}

bool CertificateCovers(const std::string& certPath, const std::string& host) {
  CertPtr cert = ReadCert(certPath);
  return cert && Covers(cert.get(), host);
}

bool EnsureServiceIdentity(const std::string& dataDir, const std::string& listen, std::string* error) {
  const std::string caKeyPath = dataDir + "/ca-key.pem", caPath = dataDir + "/" + kCaCertFileName;
  const std::string keyPath = dataDir + "/key.pem", certPath = dataDir + "/cert.pem";
  std::vector<std::string> names = NamesForListenAddress(listen);

  KeyPtr caKey = ReadKey(caKeyPath);
  CertPtr caCert = ReadCert(caPath);
  bool freshCa = false;
  if (!UsableCa(caKey.get(), caCert.get())) {
    // Clients trust the CA they were given: one that exists but cannot be used is never
    // silently replaced, only a data folder without either file gets a new one.
    struct stat st {};
    const bool keyThere = ::lstat(caKeyPath.c_str(), &st) == 0 || errno != ENOENT;
    const bool certThere = ::lstat(caPath.c_str(), &st) == 0 || errno != ENOENT;
    if (keyThere || certThere) {
      *error = "the service CA in " + dataDir + " cannot be used (" + caKeyPath +
               (caKey ? " is readable" : " is missing or unreadable") + ", " + caPath +
               (!caCert                      ? " is missing or unreadable"
                : NearExpiry(caCert.get())   ? " expires soon"
                : caKey                      ? " is no CA certificate for that key"
                                             : " is readable") +
               "); fix the files, or remove both to create a new CA that every client must then trust";
      return false;
    }
    if (!MakeCa(&caKey, &caCert)) {
      *error = "cannot create the service CA";
      return false;
    }
    if (!WriteOwnerOnlyFile(caKeyPath, KeyPem(caKey.get()), error) ||
        !WritePublicFile(caPath, CertPem(caCert.get()), error)) {
      return false;
    }
    freshCa = true;
  }

  KeyPtr key = ReadKey(keyPath);
  CertPtr cert = ReadCert(certPath);
  bool keep = !freshCa && key && cert && X509_check_private_key(cert.get(), key.get()) == 1 &&
              X509_verify(cert.get(), X509_get0_pubkey(caCert.get())) == 1 && !NearExpiry(cert.get());
  for (size_t i = 0; keep && i < names.size(); ++i) keep = Covers(cert.get(), names[i]);
  if (keep) {
    ::chmod(keyPath.c_str(), 0600);  // a key from an older release may be wider open
    ::chmod(caKeyPath.c_str(), 0600);
    return true;
  }
  if (!MakeServerCert(caKey.get(), caCert.get(), names, &key, &cert)) {
    *error = "cannot issue the server certificate";
    return false;
  }
  return WriteOwnerOnlyFile(keyPath, KeyPem(key.get()), error) &&
         WritePublicFile(certPath, CertPem(cert.get()), error);
}

}  // namespace sorvanta::server
