// The service's HTTPS front under abuse: slow and silent clients, header floods, too many
// connections, pipelining, stopping, a second instance, and file modes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>
#include <vector>

#include "server/exam_protocol.h"
#include "server/reference_service.h"
#include "service/requests.h"
#include "base/text.h"
#include "service_client.h"
#include "support/deadline.h"
#include "support/temp_dir.h"

namespace sorvanta::testing {
namespace {

using Clock = std::chrono::steady_clock;

// receiveBuffer (bytes, 0: the system's) bounds how far the service can send ahead of a
// client that reads slowly.
int Connect(int port, int receiveBuffer = 0) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// A TLS connection (no verification: these tests are about the transport), after the raw
// bytes of prefix (a proxy's header).
struct Tls {
  explicit Tls(int port, const std::string& prefix = "", int receiveBuffer = 0) {
    // A write to a connection the service refused must fail, not end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    static SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    fd = Connect(port, receiveBuffer);
    if (fd < 0) return;
    if (!prefix.empty() && ::send(fd, prefix.data(), prefix.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(prefix.size())) return;
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) {
      SSL_free(ssl);
      ssl = nullptr;
    }
  }
  ~Tls() {
    if (ssl) SSL_free(ssl);
    if (fd >= 0) ::close(fd);
  }
  bool ok() const { return ssl != nullptr; }
  void Send(const std::string& s) { SSL_write(ssl, s.data(), static_cast<int>(s.size())); }
  // Everything until the service closes the connection (or 5 s of silence).
  std::string ReadAll() {
    std::string all;
    char buf[4096];
    int n;
    while ((n = SSL_read(ssl, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
    return all;
  }
  int fd = -1;
  SSL* ssl = nullptr;
};

// True when the service has closed the connection: after what it sent (TLS session
// tickets), a read gives end of file or a reset rather than "nothing yet".
bool ClosedByPeer(int fd) {
  char buf[4096];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) continue;
    return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
  }
}

// A PROXY protocol v2 header: command 1 names an IPv4 client, command 0 is the proxy's own
// connection (a health check).
std::string ProxyHeader(int command, const std::string& client = "") {
  std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
  h += static_cast<char>(0x20 | command);
  h += static_cast<char>(client.empty() ? 0x00 : 0x11);
  h += '\0';
  h += static_cast<char>(client.empty() ? 0 : 12);
  if (!client.empty()) {
    in_addr a{};
    ::inet_pton(AF_INET, client.c_str(), &a);
    h.append(reinterpret_cast<const char*>(&a), 4);
    h.append("\x7f\0\0\x01\x30\x39\x20\xfb", 8);  // destination 127.0.0.1, ports 12345 and 8443
  }
  return h;
}

server::ServiceOptions FastOptions() {
  server::ServiceOptions o = RunningService::TestOptions();
  o.handshakeTimeoutMs = 600;
  o.headTimeoutMs = 600;
  o.stopGraceMs = 300;
  return o;
}

TEST(ServiceFront, SlowAndSilentClientsAreCutOffWhileOthersAreServed) {
  RunningService service(FastOptions());
  ASSERT_TRUE(service.ok()) << service.error();
  // 100 clients that send a part of a ClientHello, 100 that finish TLS and send part of a head.
  std::vector<int> silent;
  std::vector<std::unique_ptr<Tls>> slow;
  const unsigned char partialHello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00};
  for (int i = 0; i < 100; ++i) {
    int fd = Connect(service.Port());
    ASSERT_GE(fd, 0);
    ::send(fd, partialHello, sizeof partialHello, MSG_NOSIGNAL);
    silent.push_back(fd);
    slow.push_back(std::make_unique<Tls>(service.Port()));
    ASSERT_TRUE(slow.back()->ok());
    slow.back()->Send("GET / HTTP/1.1\r\nHo");
  }
  // Honest requests go through at once.
  for (int i = 0; i < 8; ++i) {
    auto start = Clock::now();
    EXPECT_EQ(ServiceGetText(ServiceUrl("update/sorvanta/getAnnouncementPC")).value_or(""), "欢迎使用参考跑分服务。");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  }
  // And the slow ones are gone after their deadline.
  int closed = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        closed = 0;
        for (int fd : silent) closed += ClosedByPeer(fd);
        for (auto& t : slow) closed += ClosedByPeer(t->fd);
        return closed == 200;
      },
      "the service to cut off all 200 slow clients after 600 ms"))
      << closed << " of 200 were cut off";
  for (int fd : silent) ::close(fd);
}

// A release download gets time in proportion to its size: a client that takes it steadily
// but needs longer than the floor of the reply deadline receives it whole.
TEST(ServiceFront, LargeDownloadGetsTimeInProportionToItsSize) {
  server::ServiceOptions o = FastOptions();
  o.writeTimeoutMs = 200;
  RunningService service(o);
  ASSERT_TRUE(service.ok()) << service.error();
  const std::string release = service.dataDir() + "/release";
  ASSERT_TRUE(std::filesystem::create_directories(release));
  ASSERT_TRUE(WriteWholeFile(release + "/version.txt", "2.0.0\nsorvanta.bin\n"));
  std::string program(1 << 20, '\0');
  for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<char>(i * 7 + i / 4096);
  ASSERT_TRUE(WriteWholeFile(release + "/sorvanta.bin", program));

  Tls client(service.Port(), "", 16 * 1024);
  ASSERT_TRUE(client.ok());
  client.Send("GET /update/sorvanta/download/sorvanta.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  const auto start = Clock::now();
  std::string reply;
  char buf[8192];
  for (int n; (n = SSL_read(client.ssl, buf, sizeof buf)) > 0;) {
    reply.append(buf, static_cast<size_t>(n));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the client's own pace
  }
  ASSERT_GT(Clock::now() - start, std::chrono::milliseconds(o.writeTimeoutMs)) << "the reader was not slow enough";
  ASSERT_GE(reply.size(), program.size()) << "cut off after " << reply.size() << " bytes";
  EXPECT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0);
  EXPECT_EQ(reply.substr(reply.size() - program.size()), program);
}

TEST(ServiceFront, ConnectionsPerAddressAreCapped) {
  server::ServiceOptions o = FastOptions();
  o.maxConnectionsPerAddress = 4;
  o.headTimeoutMs = 5000;
  RunningService service(o);
  ASSERT_TRUE(service.ok()) << service.error();
  std::vector<std::unique_ptr<Tls>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(std::make_unique<Tls>(service.Port()));
    EXPECT_TRUE(held.back()->ok());
  }
  Tls fifth(service.Port());
  EXPECT_FALSE(fifth.ok());
  held.clear();
  // Once the service has seen them close, the next request goes through.
  EXPECT_TRUE(WaitUntil(
      [] {
        return ServiceGetText(ServiceUrl("update/sorvanta/getAnnouncementPC")).value_or("") == "欢迎使用参考跑分服务。";
      },
      "a request to go through after the four held connections closed"));
}

TEST(ServiceFront, HeaderFloodsGet431AndPipelinedRequestsAreAllAnswered) {
  RunningService service(FastOptions());
  ASSERT_TRUE(service.ok()) << service.error();
  {
    Tls t(service.Port());
    ASSERT_TRUE(t.ok());
    std::string flood = "GET /update/sorvanta/getAnnouncementPC HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 20000; ++i) flood += "X-" + std::to_string(i) + ": y\r\n";
    t.Send(flood + "\r\n");
    EXPECT_EQ(t.ReadAll().substr(0, 12), "HTTP/1.1 431");
  }
  {
    Tls t(service.Port());
    ASSERT_TRUE(t.ok());
    t.Send("GET /update/sorvanta/getAnnouncementPC HTTP/1.1\r\nHost: x\r\n\r\n"
           "GET /RankingList/disk.json HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    std::string replies = t.ReadAll();
    size_t first = replies.find("HTTP/1.1 200");
    ASSERT_NE(first, std::string::npos) << replies;
    EXPECT_NE(replies.find("欢迎使用参考跑分服务。"), std::string::npos);
    EXPECT_NE(replies.find("HTTP/1.1 200", first + 1), std::string::npos);
    EXPECT_NE(replies.find("{\"disk\":[]}"), std::string::npos) << replies;
  }
  {
    // A forged Host does not make its way into the update link.
    ASSERT_EQ(::mkdir((service.dataDir() + "/release").c_str(), 0700), 0);
    ASSERT_TRUE(WriteWholeFile(service.dataDir() + "/release/version.txt", "2.0.0\nnew.bin\n"));
    ASSERT_TRUE(WriteWholeFile(service.dataDir() + "/release/new.bin", "program"));
    Tls t(service.Port());
    ASSERT_TRUE(t.ok());
    t.Send("GET /update/sorvanta/versionPC HTTP/1.1\r\nHost: evil.example\r\nConnection: close\r\n\r\n");
    std::string reply = t.ReadAll();
    EXPECT_NE(reply.find("2.0.0||" + service.BaseUrl() + "update/sorvanta/download/new.bin"), std::string::npos)
        << reply;
    EXPECT_EQ(reply.find("evil.example"), std::string::npos) << reply;
  }
}

TEST(ServiceFront, StopClosesSlowClientsAfterTheGracePeriod) {
  server::ServiceOptions o = FastOptions();
  o.handshakeTimeoutMs = 60000;
  o.headTimeoutMs = 60000;
  TempDir dir("front");
  o.dataDir = dir.path();
  std::string error;
  auto service = server::ReferenceService::Start(o, &error);
  ASSERT_TRUE(service) << error;
  std::vector<std::unique_ptr<Tls>> slow;
  for (int i = 0; i < 50; ++i) {
    slow.push_back(std::make_unique<Tls>(service->Port()));
    slow.back()->Send("GET / HTTP/1.1\r\n");
  }
  auto start = Clock::now();
  service->Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  int closed = 0;
  for (auto& t : slow) closed += ClosedByPeer(t->fd);
  EXPECT_EQ(closed, 50);
}

TEST(ServiceFront, ControlCharactersInPathsCannotForgeLogLines) {
  server::ServiceOptions o = FastOptions();
  o.logRequests = true;
  RunningService service(o);
  ASSERT_TRUE(service.ok()) << service.error();
  ::testing::internal::CaptureStderr();
  ServiceGetText(ServiceUrl("nothing%0a127.0.0.1%20GET%20/forged%1b[2J")).value_or("");
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("GET /nothing%0a127.0.0.1%20GET%20/forged%1b[2J -> 404"), std::string::npos) << log;
  EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
  EXPECT_EQ(log.find("\n127.0.0.1 GET /forged"), std::string::npos) << log;
}

TEST(ServiceFront, Tls12OffersOnlyAuthenticatedEncryption) {
  RunningService service(FastOptions());
  ASSERT_TRUE(service.ok()) << service.error();
  auto handshake = [&service](const char* ciphers) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(ctx, ciphers);
    int fd = Connect(service.Port());
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    bool ok = SSL_connect(ssl) == 1;
    SSL_free(ssl);
    ::close(fd);
    SSL_CTX_free(ctx);
    return ok;
  };
  std::signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(handshake("ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA:ECDHE-ECDSA-AES128-SHA256"));
  EXPECT_TRUE(handshake("ECDHE-ECDSA-AES128-GCM-SHA256"));
}

TEST(ServiceFront, OneServicePerPortAndPerDataFolder) {
  TempDir a("front-a"), b("front-b");
  server::ServiceOptions o = FastOptions();
  o.dataDir = a.path();
  std::string error;
  auto first = server::ReferenceService::Start(o, &error);
  ASSERT_TRUE(first) << error;

  server::ServiceOptions samePort = o;
  samePort.dataDir = b.path();
  samePort.port = first->Port();
  EXPECT_FALSE(server::ReferenceService::Start(samePort, &error));
  EXPECT_NE(error.find("already in use"), std::string::npos) << error;

  server::ServiceOptions sameFolder = o;  // port 0: any free port
  EXPECT_FALSE(server::ReferenceService::Start(sameFolder, &error));
  EXPECT_NE(error.find("already using the data folder"), std::string::npos) << error;

  first.reset();
  auto again = server::ReferenceService::Start(sameFolder, &error);
  EXPECT_TRUE(again) << error;
}

TEST(ServiceFront, DatabaseFilesArePrivateAndPapersAreNotStored) {
  TempDir dir("front");
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  server::ServiceOptions o = FastOptions();
  o.dataDir = dir.path();
  RunningService service(o);
  ASSERT_TRUE(service.ok()) << service.error();
  IssuedToken token = RequestToken("machine-many-cores", 254);
  ASSERT_EQ(token.papers.size(), 255u);
  EXPECT_EQ(ServiceGetBinary(ServiceUrl("exampaper/" + token.papers[254])).value_or("").size(), 4096u);
  for (const char* name : {"service.sqlite", "service.sqlite-wal", "service.sqlite-shm", "key.pem", "ca-key.pem"}) {
    struct stat st;
    ASSERT_EQ(::stat(dir.Path(name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  // One row for the token, none per paper.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(dir.Path("service.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM papers", -1, &s, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(s, 0), 0);
  sqlite3_finalize(s);
  sqlite3_close(db);
}

// The loopback HTTP listener serves the ranking page and its JSON, nothing else, and only to
// requests that name this machine.
TEST(ServiceFront, RankingPageInPlainHttpOnLoopbackOnly) {
  RunningService service;
  ASSERT_TRUE(service.ok()) << service.error();
  const std::string page = service.service()->RankingUrl();
  ASSERT_EQ(page.rfind("http://127.0.0.1:", 0), 0u) << page;
  const int port = std::stoi(page.substr(17));
  ASSERT_NE(port, service.Port());
  auto statusOf = [port](const std::string& method, const std::string& path, const std::string& host) {
    int fd = Connect(port);
    if (fd < 0) return std::string("no connection");
    const std::string request = method + " " + path + " HTTP/1.1\r\nHost: " + host +
                                "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    (void)!::write(fd, request.data(), request.size());
    char buffer[64] = {};
    ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    std::string head(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    return head.substr(0, head.find('\r'));
  };
  const std::string self = "127.0.0.1:" + std::to_string(port);
  struct Case {
    const char *method, *path;
    std::string host;
    const char* status;
  };
  const Case cases[] = {
      {"GET", "/RankingList/RankingList.html", self, "HTTP/1.1 200 OK"},
      {"GET", "/RankingList/cpu.json", "localhost:" + std::to_string(port), "HTTP/1.1 200 OK"},
      {"GET", "/RankingList/disk.json", self, "HTTP/1.1 200 OK"},
      {"GET", "/", self, "HTTP/1.1 302 Found"},
      {"POST", "/sorvanta/getTokenV3", self, "HTTP/1.1 404 Not Found"},
      {"GET", "/ca.pem", self, "HTTP/1.1 404 Not Found"},
      {"GET", "/update/sorvanta/getAnnouncementPC", self, "HTTP/1.1 404 Not Found"},
      {"POST", "/RankingList/cpu.json", self, "HTTP/1.1 405 Method Not Allowed"},
      {"GET", "/RankingList/cpu.json", "ranking.example.org:" + std::to_string(port), "HTTP/1.1 421 Misdirected Request"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(statusOf(c.method, c.path, c.host), c.status) << c.method << " " << c.path << " " << c.host;
  }
  EXPECT_NE(ServiceGetText(page).value_or("").find("<html"), std::string::npos);
}

}  // namespace
}  // namespace sorvanta::testing

namespace sorvanta::testing {
namespace {

// Connections from a trusted proxy must open with a PROXY v2 header, which then names the
// client (its connections are counted for that client); from anyone else a header is refused.
TEST(ServiceFront, ProxyHeaderIsTakenOnlyFromTrustedProxies) {
  server::ServiceOptions trusting = FastOptions(), other = FastOptions();
  trusting.proxyProtocol = other.proxyProtocol = true;
  trusting.trustedProxies = {"127.0.0.1"};
  trusting.maxConnectionsPerAddress = 1;
  other.trustedProxies = {"192.0.2.1"};
  RunningService proxied(trusting), direct(other);
  ASSERT_TRUE(proxied.ok()) << proxied.error();
  ASSERT_TRUE(direct.ok()) << direct.error();
  std::string broken = ProxyHeader(1, "203.0.113.9");
  broken[3] = 'X';
  struct Case {
    const char* what;
    int port;
    std::string prefix;
    bool served;
  };
  const Case cases[] = {
      {"trusted proxy naming a client", proxied.Port(), ProxyHeader(1, "203.0.113.9"), true},
      {"trusted proxy's health check", proxied.Port(), ProxyHeader(0), true},
      {"trusted proxy without a header", proxied.Port(), "", false},
      {"trusted proxy with a broken header", proxied.Port(), broken, false},
      {"header from an untrusted address", direct.Port(), ProxyHeader(1, "203.0.113.9"), false},
      {"untrusted address without a header", direct.Port(), "", true},
  };
  for (const Case& c : cases) {
    Tls t(c.port, c.prefix);
    if (t.ok()) t.Send("GET /RankingList/cpu.json HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    bool served = t.ok() && t.ReadAll().rfind("HTTP/1.1 200", 0) == 0;
    EXPECT_EQ(served, c.served) << c.what;
  }
  // One connection per client address: a second one for the same client is refused, one
  // for another client through the same proxy is not.
  Tls first(proxied.Port(), ProxyHeader(1, "198.51.100.1"));
  ASSERT_TRUE(first.ok());
  EXPECT_FALSE(Tls(proxied.Port(), ProxyHeader(1, "198.51.100.1")).ok());
  EXPECT_TRUE(Tls(proxied.Port(), ProxyHeader(1, "198.51.100.2")).ok());
}

}  // namespace
}  // namespace sorvanta::testing
