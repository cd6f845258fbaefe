// The service's own CA: verified HTTPS with ca.pem, certificates that follow the listen
// address, and private files that nobody else can read.
#include "server/tls_identity.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "server/reference_service.h"
#include "service_client.h"
#include "support/temp_dir.h"

namespace sorvanta::server {
namespace {

using sorvanta::testing::ReadWholeFile;
using sorvanta::testing::TempDir;

size_t Append(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// A GET with full peer and host verification against caFile; the curl result.
CURLcode VerifiedGet(const std::string& url, const std::string& caFile, std::string* body) {
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
  CURLcode rc = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  return rc;
}

// Re-signs the certificate at certPath with the CA key so that it expires in days (a
// fraction counts); false when a file cannot be read or written.
bool ExpireIn(const std::string& certPath, const std::string& caKeyPath, double days) {
  FILE* f = std::fopen(caKeyPath.c_str(), "rb");
  if (!f) return false;
  EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  f = std::fopen(certPath.c_str(), "rb");
  X509* cert = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
  if (f) std::fclose(f);
  bool ok = key && cert && X509_gmtime_adj(X509_getm_notAfter(cert), static_cast<long>(days * 86400)) &&
            X509_sign(cert, key, EVP_sha256()) > 0;
  f = ok ? std::fopen(certPath.c_str(), "wb") : nullptr;
  ok = f && PEM_write_X509(f, cert) == 1;
  if (f) ok = std::fclose(f) == 0 && ok;
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

// Days until the certificate at path expires, or -1e9 when it cannot be read.
double DaysLeft(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  X509* cert = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
  if (f) std::fclose(f);
  int days = 0, seconds = 0;
  const bool ok = cert && ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(cert)) == 1;
  X509_free(cert);
  return ok ? days + seconds / 86400.0 : -1e9;
}

int Mode(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

TEST(ServiceIdentity, ClientsThatTrustCaPemVerifyTheServiceByEveryLoopbackName) {
  TempDir dir("identity");
  // A self-signed pair from an older release is replaced by one from the CA.
  ASSERT_TRUE(sorvanta::testing::WriteWholeFile(dir.Path("cert.pem"), "not a certificate"));
  testing::RunningService service([&] {
    ServiceOptions o = testing::RunningService::TestOptions();
    o.dataDir = dir.path();
    return o;
  }());
  ASSERT_TRUE(service.ok()) << service.error();
  const std::string port = std::to_string(service.Port());
  const std::string caFile = dir.Path("ca.pem");
  const std::string caPem = ReadWholeFile(caFile);
  ASSERT_NE(caPem.find("-----BEGIN CERTIFICATE-----"), std::string::npos);

  // Served under the base URL exactly as written to the data folder.
  std::string served;
  EXPECT_EQ(VerifiedGet("https://127.0.0.1:" + port + "/ca.pem", caFile, &served), CURLE_OK);
  EXPECT_EQ(served, caPem);
  std::string body;
  EXPECT_EQ(VerifiedGet("https://localhost:" + port + "/update/sorvanta/getAnnouncementPC", caFile, &body), CURLE_OK);
  // Another CA does not verify it.
  TempDir other("identity-other");
  std::string error;
  ASSERT_TRUE(EnsureServiceIdentity(other.path(), "127.0.0.1", &error)) << error;
  EXPECT_NE(VerifiedGet("https://127.0.0.1:" + port + "/ca.pem", other.Path("ca.pem"), &body), CURLE_OK);
}

TEST(ServiceIdentity, CertificateFollowsTheListenAddressAndKeysStayPrivate) {
  TempDir dir("identity");
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);  // an operator-made folder others can list
  std::string error;
  // The system unit runs with umask 0077; the CA certificate must still be readable by all.
  const mode_t umaskBefore = ::umask(0077);
  const bool made = EnsureServiceIdentity(dir.path(), "127.0.0.1", &error);
  ::umask(umaskBefore);
  ASSERT_TRUE(made) << error;
  const std::string ca = ReadWholeFile(dir.Path("ca.pem"));
  const std::string cert = ReadWholeFile(dir.Path("cert.pem"));
  EXPECT_EQ(Mode(dir.Path("ca-key.pem")), 0600);
  EXPECT_EQ(Mode(dir.Path("key.pem")), 0600);
  EXPECT_EQ(Mode(dir.Path("ca.pem")), 0644);
  for (const std::string& name : NamesForListenAddress("0.0.0.0")) {
    EXPECT_TRUE(CertificateCovers(dir.Path("cert.pem"), name)) << name;  // hostname and every interface
  }

  // Same address again: nothing is rewritten.
  ASSERT_TRUE(EnsureServiceIdentity(dir.path(), "127.0.0.1", &error)) << error;
  EXPECT_EQ(ReadWholeFile(dir.Path("cert.pem")), cert);

  // An address the kept certificate does not name: a new certificate from the same CA.
  EXPECT_FALSE(CertificateCovers(dir.Path("cert.pem"), "192.0.2.7"));
  ASSERT_TRUE(EnsureServiceIdentity(dir.path(), "192.0.2.7", &error)) << error;
  EXPECT_TRUE(CertificateCovers(dir.Path("cert.pem"), "192.0.2.7"));
  EXPECT_TRUE(CertificateCovers(dir.Path("cert.pem"), "127.0.0.1"));
  EXPECT_EQ(ReadWholeFile(dir.Path("ca.pem")), ca);
  EXPECT_EQ(Mode(dir.Path("key.pem")), 0600);
}

// The service certificate is renewed at a start within its last 30 days, and kept before.
TEST(ServiceIdentity, CertificateAboutToExpireIsRenewedAtTheNextStart) {
  TempDir dir("identity");
  std::string error;
  ASSERT_TRUE(EnsureServiceIdentity(dir.path(), "127.0.0.1", &error)) << error;
  const std::string certPath = dir.Path("cert.pem");
  for (double days : {31.0, 29.5, -1.0}) {
    SCOPED_TRACE(days);
    ASSERT_TRUE(ExpireIn(certPath, dir.Path("ca-key.pem"), days));
    const std::string before = ReadWholeFile(certPath);
    ASSERT_TRUE(EnsureServiceIdentity(dir.path(), "127.0.0.1", &error)) << error;
    if (days > 30) {
      EXPECT_TRUE(ReadWholeFile(certPath) == before) << "renewed with " << DaysLeft(certPath) << " days left";
    } else {
      EXPECT_GT(DaysLeft(certPath), 800) << "not renewed";
    }
  }
}

// A kept CA that cannot be used is never replaced behind the clients' back: the service
// refuses to start and leaves both files as they were; only with both gone is a new one
// made. A data folder others may write is refused before anything is read from it.
TEST(ServiceIdentity, UnusableCaOrOpenDataFolderStopsTheStart) {
  TempDir dir("identity");
  std::string error;
  ASSERT_TRUE(EnsureServiceIdentity(dir.path(), "127.0.0.1", &error)) << error;
  const std::string ca = ReadWholeFile(dir.Path("ca.pem"));
  ASSERT_FALSE(CertificateFingerprint(dir.Path("ca.pem")).empty());
  EXPECT_EQ(CertificateFingerprint(dir.Path("ca.pem")).size(), 32u * 3 - 1);  // "AB:CD:..."

  for (const char* damaged : {"ca-key.pem", "ca.pem"}) {
    SCOPED_TRACE(damaged);
    const std::string kept = ReadWholeFile(dir.Path(damaged));
    ASSERT_TRUE(sorvanta::testing::WriteWholeFile(dir.Path(damaged), "unreadable"));
    ServiceOptions o = testing::RunningService::TestOptions();
    o.dataDir = dir.path();
    EXPECT_EQ(ReferenceService::Start(o, &error), nullptr);
    EXPECT_NE(error.find("the service CA in " + dir.path() + " cannot be used"), std::string::npos) << error;
    EXPECT_NE(error.find("remove both to create a new CA"), std::string::npos) << error;
    EXPECT_EQ(ReadWholeFile(dir.Path(damaged)), "unreadable");
    ASSERT_TRUE(sorvanta::testing::WriteWholeFile(dir.Path(damaged), kept));
  }
  EXPECT_EQ(ReadWholeFile(dir.Path("ca.pem")), ca);

  ASSERT_EQ(::unlink(dir.Path("ca.pem").c_str()), 0);
  ASSERT_EQ(::unlink(dir.Path("ca-key.pem").c_str()), 0);
  ASSERT_TRUE(EnsureServiceIdentity(dir.path(), "127.0.0.1", &error)) << error;
  EXPECT_NE(ReadWholeFile(dir.Path("ca.pem")), ca);

  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  ServiceOptions o = testing::RunningService::TestOptions();
  o.dataDir = dir.path();
  EXPECT_EQ(ReferenceService::Start(o, &error), nullptr);
  EXPECT_EQ(error, "the data folder " + dir.path() +
                       " is writable by other users or belongs to another user (chmod go-w and chown it to the "
                       "service's user)");
}

}  // namespace
}  // namespace sorvanta::server
