// Plays an adversary against a reference service on loopback and measures what it costs
// the honest users. Run by bench/service_attack.sh; every scenario is bounded in count and
// time.
//
//   service_attack slow     --port P [--conns N] [--seconds S] [--hello]
//       N connections that finish the TLS handshake (or, with --hello, send only part of a
//       ClientHello) and then trickle one header byte every 4 s, while honest requests on
//       fresh connections measure latency and failures.
//   service_attack headers  --port P --pid PID [--lines N] [--conns C]
//       C requests with N header lines each; the reply status and the service's memory.
//   service_attack tokencpu --port P --pid PID [--requests N]
//       N well-formed but garbage token requests; service CPU time per request.
//   service_attack ratelimit --port P [--conns N] [--identities M]
//       N concurrent token requests from one identity, then M from M identities: tokens got.
//   service_attack pipeline --port P
//       two requests in one write on one connection: how many replies come back.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/exam_protocol.h"
#include "base/crypto.h"

namespace {

using Clock = std::chrono::steady_clock;
int g_port = 18544;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

int Connect() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(g_port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

SSL_CTX* ClientContext() {
  static SSL_CTX* ctx = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
    return c;
  }();
  return ctx;
}

// A TLS connection to the service, or nullptr.
SSL* TlsConnect(int* fdOut) {
  int fd = Connect();
  if (fd < 0) return nullptr;
  SSL* ssl = SSL_new(ClientContext());
  SSL_set_fd(ssl, fd);
  if (SSL_connect(ssl) != 1) {
    SSL_free(ssl);
    ::close(fd);
    return nullptr;
  }
  *fdOut = fd;
  return ssl;
}

size_t Append(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// One honest request on a fresh connection; its HTTP status (0 on a transport failure).
long HonestRequest(const std::string& path, const std::string* body, std::string* reply, long timeoutSec = 20) {
  CURL* curl = curl_easy_init();
  std::string url = "https://127.0.0.1:" + std::to_string(g_port) + "/" + path;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeoutSec);
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, reply);
  if (body) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
  }
  long status = 0;
  if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  return status;
}

// Resident memory of a process in MB, from /proc.
double RssMb(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return -1;
}

// User + system CPU seconds of a process, from /proc.
double CpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  long utime = 0, stime = 0;
  for (int i = 3; fields >> f; ++i) {
    if (i == 14) utime = std::atol(f.c_str());
    if (i == 15) {
      stime = std::atol(f.c_str());
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int Slow(int conns, int seconds, bool hello) {
  std::atomic<bool> stop{false};
  std::atomic<int> open{0}, closedEarly{0};
  std::vector<std::thread> attackers;
  // One thread per connection, so that a handshake the service does not answer holds up
  // no other connection.
  for (int t = 0; t < conns; ++t) {
    attackers.emplace_back([&] {
      int fd = -1;
      SSL* ssl = nullptr;
      if (hello) {
        fd = Connect();
        // The first bytes of a TLS record holding a ClientHello, and nothing more.
        const unsigned char partial[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xfc, 0x03, 0x03};
        if (fd >= 0 && ::send(fd, partial, sizeof partial, MSG_NOSIGNAL) < 0) {
          ::close(fd);
          fd = -1;
        }
      } else {
        ssl = TlsConnect(&fd);
      }
      if (fd < 0) return;
      ++open;
      const char* head = "GET /update/sorvanta/getAnnouncementPC HTTP/1.1\r\nHost: x\r\nX-Slow: ";
      size_t pos = 0;
      auto end = Clock::now() + std::chrono::seconds(seconds);
      while (!stop && Clock::now() < end) {
        char byte = head[pos++ % std::strlen(head)];
        int n = hello ? static_cast<int>(::send(fd, "\x00", 1, MSG_NOSIGNAL)) : SSL_write(ssl, &byte, 1);
        if (n <= 0) {
          ++closedEarly;
          break;
        }
        for (int i = 0; i < 40 && !stop && Clock::now() < end; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      }
      if (ssl) SSL_free(ssl);
      ::close(fd);
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::printf("slow connections opened: %d of %d (%s)\n", open.load(), conns,
              hello ? "partial ClientHello" : "handshake done, one header byte per 4 s");
  // Honest requests while the slow connections are there, four at a time.
  std::vector<double> latencies;
  int failed = 0;
  auto honestEnd = Clock::now() + std::chrono::seconds(std::max(4, seconds - 4));
  // Honest batches every half second for the whole run, so the slow clients stay for
  // their full time and the service's deadlines show.
  while (Clock::now() < honestEnd) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<std::thread> batch;
    std::vector<double> lat(4, -1);
    for (int i = 0; i < 4; ++i) {
      batch.emplace_back([&lat, i] {
        std::string reply;
        auto a = Clock::now();
        if (HonestRequest("update/sorvanta/getAnnouncementPC", nullptr, &reply, 20) == 200) {
          lat[i] = Seconds(a, Clock::now());
        }
      });
    }
    for (auto& b : batch) b.join();
    for (double l : lat) {
      if (l < 0) ++failed;
      else latencies.push_back(l);
    }
  }
  stop = true;
  for (auto& a : attackers) a.join();
  std::sort(latencies.begin(), latencies.end());
  double median = latencies.empty() ? -1 : latencies[latencies.size() / 2];
  double worst = latencies.empty() ? -1 : latencies.back();
  std::printf("honest requests: %zu ok, %d failed or timed out (20 s); latency median %.3f s, max %.3f s\n",
              latencies.size(), failed, median, worst);
  std::printf("slow connections closed by the service before the end: %d\n", closedEarly.load());
  return 0;
}

int Headers(int pid, int lines, int conns) {
  double before = RssMb(pid);
  std::vector<std::thread> threads;
  std::atomic<int> got431{0}, other{0};
  for (int c = 0; c < conns; ++c) {
    threads.emplace_back([&] {
      int fd = -1;
      SSL* ssl = TlsConnect(&fd);
      if (!ssl) {
        ++other;
        return;
      }
      std::string head = "GET /update/sorvanta/getAnnouncementPC HTTP/1.1\r\nHost: x\r\n";
      std::string chunk;
      for (int i = 0; i < 1000; ++i) chunk += "X-Flood-" + std::to_string(i) + ": y\r\n";
      bool sent = SSL_write(ssl, head.data(), static_cast<int>(head.size())) > 0;
      for (int i = 0; sent && i < lines / 1000; ++i) {
        sent = SSL_write(ssl, chunk.data(), static_cast<int>(chunk.size())) > 0;
      }
      if (sent) SSL_write(ssl, "\r\n", 2);
      char buf[256] = {};
      int n = SSL_read(ssl, buf, sizeof buf - 1);
      std::string status = n > 0 ? std::string(buf, static_cast<size_t>(n)).substr(0, 12) : "";
      if (status == "HTTP/1.1 431") ++got431;
      else ++other;
      SSL_free(ssl);
      ::close(fd);
    });
  }
  for (auto& t : threads) t.join();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  double after = RssMb(pid);
  std::printf("%d requests with %d header lines: %d answered 431, %d otherwise; service memory %.1f MB -> %.1f MB\n",
              conns, lines, got431.load(), other.load(), before, after);
  return 0;
}

int TokenCpu(int pid, int requests) {
  // 65 random bytes whose last is zero: passes every check that needs no decryption.
  std::vector<std::string> bodies;
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  for (int i = 0; i < requests; ++i) {
    std::string bytes(65, '\0');
    for (int j = 0; j < 64; ++j) bytes[j] = static_cast<char>(std::rand());
    bodies.push_back(sorvanta::Base64Encode(bytes));
  }
  // Warm up, then measure over kept-alive connections so TLS handshakes do not count.
  CURL* curl = curl_easy_init();
  std::string url = "https://127.0.0.1:" + std::to_string(g_port) + "/sorvanta/getTokenV3";
  std::string reply;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  auto post = [&](const std::string& body) {
    reply.clear();
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_perform(curl);
  };
  post(bodies[0]);
  // The cost of the same number of cheap requests (the announcement) is taken off.
  double c0 = CpuSeconds(pid);
  for (int i = 0; i < requests; ++i) post(bodies[i]);
  double c1 = CpuSeconds(pid);
  std::string empty;
  for (int i = 0; i < requests; ++i) post(empty);
  double c2 = CpuSeconds(pid);
  curl_easy_cleanup(curl);
  double tokenMs = (c1 - c0) * 1000 / requests, baseMs = (c2 - c1) * 1000 / requests;
  std::printf("%d garbage token requests: service CPU %.3f ms each (an empty body: %.3f ms; difference %.3f ms)\n",
              requests, tokenMs, baseMs, tokenMs - baseMs);
  return 0;
}

int RateLimit(int conns, int identities) {
  auto run = [](int conns, bool sameIdentity) {
    std::atomic<int> tokens{0};
    std::vector<std::thread> threads;
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    for (int i = 0; i < conns; ++i) {
      threads.emplace_back([&, i] {
        std::string identity = sameIdentity ? "attack-same" : "attack-" + std::to_string(i) + "-" +
                                                                  std::to_string(now);
        std::string body =
            sorvanta::server::MakeTokenRequestBody(sorvanta::server::MakeFingerprint(identity, now), 4);
        std::string reply;
        HonestRequest("sorvanta/getTokenV3", &body, &reply, 30);
        // A usable token has paper names after the credential.
        if (reply.find("||") != std::string::npos) ++tokens;
      });
    }
    for (auto& t : threads) t.join();
    return tokens.load();
  };
  std::printf("%d concurrent token requests, one identity: %d tokens\n", conns, run(conns, true));
  std::printf("%d concurrent token requests, %d identities from one address: %d tokens\n", identities, identities,
              run(identities, false));
  return 0;
}

int Pipeline() {
  int fd = -1;
  SSL* ssl = TlsConnect(&fd);
  if (!ssl) return 1;
  std::string two =
      "GET /update/sorvanta/getAnnouncementPC HTTP/1.1\r\nHost: x\r\n\r\n"
      "GET /update/sorvanta/getAnnouncementPC HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  SSL_write(ssl, two.data(), static_cast<int>(two.size()));
  std::string all;
  char buf[4096];
  int n;
  while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
  int replies = 0;
  for (size_t p = all.find("HTTP/1.1 "); p != std::string::npos; p = all.find("HTTP/1.1 ", p + 1)) ++replies;
  std::printf("two pipelined requests: %d replies\n", replies);
  SSL_free(ssl);
  ::close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: service_attack slow|headers|tokencpu|ratelimit|pipeline [options]\n");
    return 2;
  }
  std::string mode = argv[1];
  int pid = 0, conns = -1, seconds = 20, lines = 100000, requests = 400, identities = 100;
  bool hello = false;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
    if (a == "--port") g_port = next();
    else if (a == "--pid") pid = next();
    else if (a == "--conns") conns = next();
    else if (a == "--seconds") seconds = std::min(next(), 120);
    else if (a == "--lines") lines = std::min(next(), 2000000);
    else if (a == "--requests") requests = std::max(1, std::min(next(), 100000));
    else if (a == "--identities") identities = next();
    else if (a == "--hello") hello = true;
  }
  std::signal(SIGPIPE, SIG_IGN);  // the service closing a connection ends only that connection
  curl_global_init(CURL_GLOBAL_DEFAULT);
  if (mode == "slow") return Slow(conns < 0 ? 200 : std::min(conns, 2000), seconds, hello);
  if (mode == "headers") return Headers(pid, lines, conns < 0 ? 1 : std::min(conns, 16));
  if (mode == "tokencpu") return TokenCpu(pid, requests);
  if (mode == "ratelimit") return RateLimit(conns < 0 ? 40 : std::min(conns, 200), std::min(identities, 200));
  if (mode == "pipeline") return Pipeline();
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
