// The reference online service: HTTPS on a background thread, state in SQLite.
//
// Anybody can run it (build/bin/sorvanta-service) or start it in-process from a test:
//
//   sorvanta::server::ServiceOptions options;
//   options.port = 0;                      // a free port
//   options.dataDir = someTemporaryFolder;
//   std::string error;
//   auto service = sorvanta::server::ReferenceService::Start(options, &error);
//   setenv("SORVANTA_SERVICE_URL", service->BaseUrl().c_str(), 1);
#pragma once

#include <memory>
#include <string>

#include "server/service_options.h"

namespace sorvanta::server {

class ReferenceService {
 public:
  // Starts serving HTTPS on a background thread; nullptr and *error on failure.
  static std::unique_ptr<ReferenceService> Start(const ServiceOptions& options, std::string* error);
  ~ReferenceService();  // stops and joins
  ReferenceService(const ReferenceService&) = delete;
  ReferenceService& operator=(const ReferenceService&) = delete;

  int Port() const;
  std::string BaseUrl() const;  // "https://127.0.0.1:PORT/"
  // The ranking page in plain HTTP on loopback ("http://127.0.0.1:PORT/RankingList/...");
  // its HTTPS address when that is switched off.
  std::string RankingUrl() const;
  // Stops accepting, gives requests in flight stopGraceMs to be answered, closes every
  // connection and joins the threads. Idempotent.
  void Stop();

  struct Impl;

 private:
  explicit ReferenceService(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace sorvanta::server
