// sorvanta-service: runs the reference online service until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <algorithm>
#include <sys/resource.h>

#include "platform/paths.h"
#include "server/rate_limits.h"
#include "server/reference_service.h"
#include "server/tls_identity.h"

namespace {

const char* const kUsage =
    "usage: sorvanta-service [options]\n"
    "  --port N               port to listen on (default 8443; 0 = any free port)\n"
    "  --listen ADDR          address to listen on (default 127.0.0.1; 0.0.0.0 for the LAN)\n"
    "  --http-port N|off      also serve the ranking page, read-only, in plain HTTP on\n"
    "                         127.0.0.1:N (default: the port above + 1; 0 = any free port)\n"
    "  --cert FILE --key FILE TLS certificate and key (PEM); default: a self-signed pair\n"
    "                         generated on first start in the data folder\n"
    "  --data DIR             data folder (default ~/.local/share/sorvanta-service)\n"
    "  --announcement TEXT    announcement text (announcement.txt in the data folder wins)\n"
    "  --release-version V    version offered to clients, with --release-file\n"
    "  --release-file FILE    program file served as that version's download\n"
    "  --public-url URL       base URL written into download links (default: from the request)\n"
    "  --rate-limit N         tokens per machine and address per 10 minutes (default 6;\n"
    "                         0 = no limit, and no per-address limits unless --address-limit)\n"
    "  --address-limit N      tokens per client address per 10 minutes (default 60; 0 = none);\n"
    "                         token requests per address are also held to a burst of 60, then\n"
    "                         one per second\n"
    "  --max-conns-per-address N  open connections per client address (default 64)\n"
    "  --exam-budget-ms N     exam length the checks allow (default 10000)\n"
    "  --sync full|normal     database sync: at every commit (default, survives power loss)\n"
    "                         or only at checkpoints (faster)\n"
    "  --quiet                do not log requests\n"
    "several instances on one store (connection and burst limits above count per instance;\n"
    "token and disk-score limits are counted in the store and hold across instances):\n"
    "  --store URI            PostgreSQL store shared by every instance (postgresql://...);\n"
    "                         default: the SQLite file in the data folder\n"
    "  --store-replica URI    a streaming replica of it for the ranking reads\n"
    "  --service-key FILE     key paper names derive from, the same file at every instance\n"
    "                         (at least 16 bytes, mode 600); default: kept in the store\n"
    "  --proxy-protocol       connections from a trusted proxy start with a PROXY v2 header\n"
    "  --trusted-proxy ADDR   a proxy address allowed to send it (repeatable, or ADDR,ADDR)\n";

bool ParseInt(const char* text, int* out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < 0 || v > 1000000000L) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  sorvanta::server::ServiceOptions options;
  options.logRequests = true;
  bool addressLimitGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "sorvanta-service: %s needs a value\n%s", arg.c_str(), kUsage);
        std::exit(2);
      }
      *out = argv[++i];
    };
    const char* v = nullptr;
    bool numberOk = true;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--port") {
      value(&v);
      numberOk = ParseInt(v, &options.port) && options.port <= 65535;
    } else if (arg == "--http-port") {
      value(&v);
      options.rankingHttp = std::strcmp(v, "off") != 0;
      numberOk = !options.rankingHttp || (ParseInt(v, &options.rankingHttpPort) && options.rankingHttpPort <= 65535);
    } else if (arg == "--listen") {
      value(&v);
      options.listen = v;
    } else if (arg == "--cert") {
      value(&v);
      options.certFile = v;
    } else if (arg == "--key") {
      value(&v);
      options.keyFile = v;
    } else if (arg == "--data") {
      value(&v);
      options.dataDir = v;
    } else if (arg == "--announcement") {
      value(&v);
      options.announcement = v;
    } else if (arg == "--release-version") {
      value(&v);
      options.releaseVersion = v;
    } else if (arg == "--release-file") {
      value(&v);
      options.releaseFile = v;
    } else if (arg == "--public-url") {
      value(&v);
      options.publicUrl = v;
      if (options.publicUrl.empty() || options.publicUrl.back() != '/') options.publicUrl += '/';
    } else if (arg == "--rate-limit") {
      value(&v);
      numberOk = ParseInt(v, &options.rateLimitTokens);
    } else if (arg == "--address-limit") {
      value(&v);
      numberOk = ParseInt(v, &options.rateLimitPerAddress);
      addressLimitGiven = true;
    } else if (arg == "--max-conns-per-address") {
      value(&v);
      numberOk = ParseInt(v, &options.maxConnectionsPerAddress) && options.maxConnectionsPerAddress > 0;
    } else if (arg == "--exam-budget-ms") {
      value(&v);
      numberOk = ParseInt(v, &options.examBudgetMs);
    } else if (arg == "--sync") {
      value(&v);
      numberOk = std::strcmp(v, "full") == 0 || std::strcmp(v, "normal") == 0;
      options.syncEveryCommit = std::strcmp(v, "full") == 0;
      if (!numberOk) {
        std::fprintf(stderr, "sorvanta-service: --sync takes full or normal, not \"%s\"\n", v);
        return 2;
      }
    } else if (arg == "--store") {
      value(&v);
      options.store = v;
    } else if (arg == "--store-replica") {
      value(&v);
      options.storeReplica = v;
    } else if (arg == "--service-key") {
      value(&v);
      options.serviceKeyFile = v;
    } else if (arg == "--proxy-protocol") {
      options.proxyProtocol = true;
    } else if (arg == "--trusted-proxy") {
      value(&v);
      for (std::string rest = v; !rest.empty();) {
        size_t comma = rest.find(',');
        if (comma != 0) options.trustedProxies.push_back(rest.substr(0, comma));
        rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
      }
    } else if (arg == "--quiet") {
      options.logRequests = false;
    } else {
      std::fprintf(stderr, "sorvanta-service: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
    if (!numberOk) {
      std::fprintf(stderr, "sorvanta-service: %s needs a whole number, not \"%s\"\n", arg.c_str(), v);
      return 2;
    }
  }
  if (options.releaseVersion.empty() != options.releaseFile.empty()) {
    std::fprintf(stderr, "sorvanta-service: give --release-version and --release-file together\n");
    return 2;
  }
  sorvanta::server::LiftLimitsWithoutTokenLimit(&options, addressLimitGiven);
  if (options.dataDir.empty()) {
    const std::string userData = sorvanta::platform::LocalAppDataFolder();
    if (userData.empty()) {
      std::fprintf(stderr, "sorvanta-service: no home folder (HOME is not set and the user has no passwd entry); give --data\n");
      return 2;
    }
    options.dataDir = sorvanta::platform::JoinPath(userData, "sorvanta-service");
  }

  // Block the stop signals in every thread; the main thread waits for them below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  // Every connection is a descriptor: allow as many as the system lets this process have.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
    options.maxConnections = static_cast<int>(std::min<rlim_t>(options.maxConnections, files.rlim_cur > 64 ? files.rlim_cur - 64 : 1));
  }

  std::string error;
  auto service = sorvanta::server::ReferenceService::Start(options, &error);
  if (!service) {
    std::fprintf(stderr, "sorvanta-service: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "sorvanta-service: serving %s (data in %s)\n", service->BaseUrl().c_str(),
               options.dataDir.c_str());
  if (!options.store.empty()) std::fprintf(stderr, "sorvanta-service: store on PostgreSQL\n");
  if (options.certFile.empty()) {
    const std::string caPath = options.dataDir + "/" + sorvanta::server::kCaCertFileName;
    std::fprintf(stderr, "sorvanta-service: CA %s, SHA-256 fingerprint %s\n", caPath.c_str(),
                 sorvanta::server::CertificateFingerprint(caPath).c_str());
  }
  std::fprintf(stderr, "sorvanta-service: ranking page %s\n", service->RankingUrl().c_str());
  int received = 0;
  sigwait(&signals, &received);
  std::fprintf(stderr, "sorvanta-service: stopping\n");
  service->Stop();
  return 0;
}
