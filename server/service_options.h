// Everything a running reference service is told: where it listens and keeps its data, the
// exam rules, the limits it puts on clients, and what it announces and offers. Read by the
// HTTPS front (server/reference_service.h), the service logic and the rate limits; filled
// by the program's options (server/main.cpp) or by a test.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sorvanta::server {

struct ServiceOptions {
  std::string listen = "127.0.0.1";
  int port = 8443;                 // 0 = pick a free port
  std::string dataDir;             // SQLite file, certificate, release files live here
  // The ranking page and its JSON, read-only, also in plain HTTP on 127.0.0.1 (a browser
  // takes that as secure without trusting any certificate). Port -1: the HTTPS port + 1,
  // or a free port when that is 0; 0: a free port.
  bool rankingHttp = true;
  int rankingHttpPort = -1;
  std::string certFile, keyFile;   // empty = generate a self-signed pair in dataDir on first start
  int examBudgetMs = 10000;        // exam length the checks allow (tests shorten it)
  int examToleranceMs = 3000;      // allowance on top of the budget (one block, network, load)
  int paperBytes = 131072;         // size of each exam paper (4096 blocks of 32 bytes)
  int sampledAnswers = 64;         // answers recomputed per submission (about 3 ms each), at
                                   // least one per exam
  int fingerprintMaxAgeSec = 600;  // a fingerprint whose time is further off is stale
  // An exam must start within this time after the token's first paper download, plus two
  // exam budgets and half a second per paper: a client has no time to work the papers
  // before the clock runs.
  int examStartSlackMs = 60000;
  int tokenLifetimeSec = 1800;     // exams and the submission must happen within this time
  int rateLimitTokens = 6;         // tokens per machine identity and address per window; 0 = no limit
  int rateLimitWindowSec = 600;
  int threads = 8;                 // worker threads that run the request handlers
  int ioThreads = 2;               // threads that move bytes for every connection
  size_t maxBodyBytes = 2u << 20;  // larger request bodies are refused
  // Deadlines of a connection's steps: a client that is slower is disconnected.
  int handshakeTimeoutMs = 10000;  // TLS handshake
  int headTimeoutMs = 10000;       // request line and headers of the first request
  int keepAliveTimeoutMs = 5000;   // the whole head of each later request on the connection
  int bodyTimeoutMs = 30000;       // the request body
  int writeTimeoutMs = 30000;      // the reply, plus a millisecond per 64 bytes of it
  int stopGraceMs = 2000;          // on stop, time for requests in flight to be answered
  int maxConnections = 16384;      // open connections in all
  int maxConnectionsPerAddress = 64;  // per client address (IPv6: per /64): an office behind one NAT
  // Release downloads being sent, per client address and in all; more get "503, try later".
  // Each has a small send buffer and must take a piece at least every downloadProgressMs,
  // so clients that do not read cannot pin kernel memory.
  int maxDownloadsPerAddress = 4;
  int maxDownloads = 64;
  int downloadSendBufferBytes = 64 * 1024;
  int downloadProgressMs = 10000;
  // Token requests per client address (IPv6: per /64) per rate-limit window, whatever
  // identity they claim; 0 = no limit. rateLimitTokens counts per address and identity.
  int rateLimitPerAddress = 60;
  // Token requests read per client address: a burst of this many, then one per second
  // (each costs about 1.6 ms of CPU before it can be told from garbage); 0 = no limit.
  int tokenRequestBurst = 60;
  // Disk scores stored per disk serial and per client address per window; 0 = no limit.
  int diskScoresPerSerial = 10;
  int diskScoresPerAddress = 60;
  int diskScoreWindowSec = 3600;
  // Announcement text; the file announcement.txt in dataDir, when present, wins.
  std::string announcement = "欢迎使用参考跑分服务。";
  // Release offered to clients: version text and a file to serve. Both empty = read
  // release/version.txt in dataDir (line 1 version, line 2 file name in release/).
  std::string releaseVersion;
  std::string releaseFile;
  // Base URL written into replies (download links); empty = the listen address, or behind
  // a wildcard address the request's Host when the certificate names it.
  std::string publicUrl;
  // Sync the database at every commit (power-loss safe); false: only at checkpoints.
  bool syncEveryCommit = true;
  // One line per request (method, path, status, reply size) on standard error.
  bool logRequests = false;

  // Several instances on one store. store: a PostgreSQL URI (postgresql://...) shared by
  // every instance; empty = the SQLite file in dataDir. serviceKey: bytes that paper names
  // derive from, the same at every instance (read from serviceKeyFile when that is given);
  // empty = a key kept in the store.
  std::string store;
  std::string storeReplica;  // a streaming replica of it that serves the ranking reads
  std::string serviceKeyFile;
  std::string serviceKey;
  // Connections from a trustedProxies address start with a PROXY protocol v2 header naming
  // the client; connections from anywhere else are served as they come.
  bool proxyProtocol = false;
  std::vector<std::string> trustedProxies;
};

}  // namespace sorvanta::server
