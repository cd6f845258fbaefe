// An HTTPS server on loopback for tests that exercise the service requests.
//
// Each server makes its own self-signed certificate (for 127.0.0.1) when it is built and
// listens on an ephemeral port of 127.0.0.1. A test registers handlers, calls Start(),
// and points the code under test at BaseUrl(). Handlers run on the server's own threads.
//
//   HttpsTestServer server;
//   server.Post("/sorvanta/startexam", [](const httplib::Request& req, httplib::Response& res) {
//     res.set_content("{\"ok\":1}", "application/json");
//   });
//   server.Start();
//   ScopedServiceUrl url(server.BaseUrl());   // or pass server.Url("...") directly
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "support/scoped_env_var.h"

namespace sorvanta::testing {

class HttpsTestServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  // Generates the certificate and binds the port; serving begins with Start().
  // Fails the current test (ADD_FAILURE) when either step is impossible.
  HttpsTestServer();
  // Stops serving and waits for the server thread.
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  // Handlers for one path, a regular expression matched against the whole path
  // ("/sorvanta/getTokenV3", "/exampaper/.*"). Register them before Start(); the first
  // registered match wins.
  HttpsTestServer& Get(const std::string& path, Handler handler);
  HttpsTestServer& Post(const std::string& path, Handler handler);
  // Handles every GET and POST that no path handler took (tried after all of them).
  HttpsTestServer& Any(Handler handler);

  // Starts serving on a background thread; returns once connections are accepted.
  void Start();
  // Stops serving; safe to call more than once.
  void Stop();

  int Port() const { return port_; }
  // "https://127.0.0.1:<port>/", the form of a service base URL.
  std::string BaseUrl() const;
  // BaseUrl() followed by a path without a leading "/".
  std::string Url(const std::string& path) const { return BaseUrl() + path; }
  // The server's self-signed certificate (PEM): a client that trusts it verifies the server.
  const std::string& CertificatePem() const { return certificatePem_; }
  // Number of requests that reached a handler so far.
  int RequestCount() const { return requests_.load(); }

  // Makes res announce `announcedLength` body bytes, send only `partial`, then drop the
  // connection: the client sees a failed transfer that already delivered some data.
  static void SendTruncated(httplib::Response& res, std::string partial,
                            std::size_t announcedLength);

 private:
  Handler Counted(Handler handler);

  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  Handler catchAll_;
  int port_ = -1;
  std::string certificatePem_;
  bool started_ = false;
  std::atomic<int> requests_{0};
};

// A TCP port of 127.0.0.1 on which nothing listens, so a connection is refused at once.
int UnusedLoopbackPort();

// Points ServiceBaseUrl() at another base URL ($SORVANTA_SERVICE_URL) for one scope and
// restores the previous value afterwards. Set it before starting threads that read it.
class ScopedServiceUrl {
 public:
  explicit ScopedServiceUrl(const std::string& baseUrl);
  ~ScopedServiceUrl();
  ScopedServiceUrl(const ScopedServiceUrl&) = delete;
  ScopedServiceUrl& operator=(const ScopedServiceUrl&) = delete;

 private:
  ScopedEnvVar env_;
};

}  // namespace sorvanta::testing
