#include "support/https_test_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace sorvanta::testing {
namespace {

struct KeyAndCertificate {
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  ~KeyAndCertificate() {
    X509_free(certificate);
    EVP_PKEY_free(key);
  }
};

// A P-256 key and a one-day self-signed certificate naming 127.0.0.1 (subject and
// subject alternative name), enough for a TLS client that skips peer verification.
bool MakeSelfSigned(KeyAndCertificate& out) {
  out.key = EVP_EC_gen("P-256");
  if (out.key == nullptr) return false;
  out.certificate = X509_new();
  if (out.certificate == nullptr) return false;
  X509* cert = out.certificate;
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_set_pubkey(cert, out.key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* san =
      X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1");
  if (san == nullptr) return false;
  X509_add_ext(cert, san, -1);
  X509_EXTENSION_free(san);
  return X509_sign(cert, out.key, EVP_sha256()) > 0;
}

}  // namespace

HttpsTestServer::HttpsTestServer() {
  KeyAndCertificate material;
  if (!MakeSelfSigned(material)) {
    ADD_FAILURE() << "cannot generate a self-signed certificate";
    return;
  }
  if (BIO* pem = BIO_new(BIO_s_mem())) {
    if (PEM_write_bio_X509(pem, material.certificate) == 1) {
      char* data = nullptr;
      long length = BIO_get_mem_data(pem, &data);
      certificatePem_.assign(data, static_cast<size_t>(length));
    }
    BIO_free(pem);
  }
  // The server context takes its own references to the key and certificate.
  server_ = std::make_unique<httplib::SSLServer>(material.certificate, material.key);
  if (!server_->is_valid()) {
    ADD_FAILURE() << "cannot set up the TLS server context";
    return;
  }
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) ADD_FAILURE() << "cannot bind a loopback port";
}

HttpsTestServer::~HttpsTestServer() {
  // The listening socket is only released by stopping a running server.
  if (!started_ && server_ && port_ > 0) Start();
  Stop();
}

HttpsTestServer::Handler HttpsTestServer::Counted(Handler handler) {
  return [this, handler = std::move(handler)](const httplib::Request& req,
                                              httplib::Response& res) {
    ++requests_;
    handler(req, res);
  };
}

HttpsTestServer& HttpsTestServer::Get(const std::string& path, Handler handler) {
  if (server_) server_->Get(path, Counted(std::move(handler)));
  return *this;
}

HttpsTestServer& HttpsTestServer::Post(const std::string& path, Handler handler) {
  if (server_) server_->Post(path, Counted(std::move(handler)));
  return *this;
}

HttpsTestServer& HttpsTestServer::Any(Handler handler) {
  catchAll_ = std::move(handler);
  return *this;
}

void HttpsTestServer::Start() {
  if (started_ || !server_ || port_ <= 0) return;
  if (catchAll_) {
    server_->Get(".*", Counted(catchAll_));
    server_->Post(".*", Counted(catchAll_));
  }
  started_ = true;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server_->is_running()) ADD_FAILURE() << "the HTTPS test server did not start";
}

void HttpsTestServer::Stop() {
  if (!started_) return;
  started_ = false;
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string HttpsTestServer::BaseUrl() const {
  return "https://127.0.0.1:" + std::to_string(port_) + "/";
}

void HttpsTestServer::SendTruncated(httplib::Response& res, std::string partial,
                                    std::size_t announcedLength) {
  res.set_content_provider(
      announcedLength, "application/octet-stream",
      [partial = std::move(partial)](size_t offset, size_t, httplib::DataSink& sink) {
        if (offset == 0 && !partial.empty()) sink.write(partial.data(), partial.size());
        return false;  // abort: the connection closes short of the announced length
      });
}

int UnusedLoopbackPort() {
  // Bind port 0 to let the kernel pick a free port, then release it without listening.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

ScopedServiceUrl::ScopedServiceUrl(const std::string& baseUrl) : env_("SORVANTA_SERVICE_URL", baseUrl) {}

ScopedServiceUrl::~ScopedServiceUrl() = default;

}  // namespace sorvanta::testing
