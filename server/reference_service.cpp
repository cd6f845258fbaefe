// HTTPS front of the service on Boost.Beast: a few I/O threads multiplex every connection
// (a slow or silent client costs a socket and a little memory, never a thread), each step
// of a connection has a deadline, and requests are handled on a separate worker pool.
#include "server/reference_service.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <thread>
#include <unordered_map>

#include "server/proxy_protocol.h"
#include "server/ranking_page.h"
#include "server/service_logic.h"
#include "server/store.h"
#include "server/tls_identity.h"

namespace sorvanta::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

const char* const kText = "text/plain; charset=utf-8";
const char* const kReasonHeader = "X-Sorvanta-Reason";
const int kRankingRows = 100;
// Request line plus headers: this protocol's heads are a few hundred bytes.
const uint32_t kHeaderLimit = 8192;
// TLS 1.2 suites with authenticated encryption only (TLS 1.3 has nothing else).
const char* const kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-CHACHA20-POLY1305";

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

bool MakeFolders(const std::string& path) {
  std::string partial;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || (path[i] == '/' && i > 0)) {
      partial = path.substr(0, i);
      if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReadWholeFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The listen queue the kernel allows at most; asking for more is silently cut to it.
int SystemBacklog() {
  std::ifstream in("/proc/sys/net/core/somaxconn");
  int n = 0;
  if (in >> n && n > 0) return n;
  return 4096;
}

// Bytes outside printable ASCII (and '%' too when asked) as %XX.
std::string PercentEscaped(beast::string_view text, bool escapePercent) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7F || (escapePercent && c == '%')) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Control characters and bytes outside printable ASCII are written as %XX, so a request
// cannot forge or break lines of the log. Paths are logged as sent, still %-encoded.
std::string LogSafe(beast::string_view text) { return PercentEscaped(text, false); }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The request path without its query, %XX decoded; false for a broken escape.
bool DecodePath(beast::string_view target, std::string* path) {
  size_t q = target.find('?');
  if (q != beast::string_view::npos) target = target.substr(0, q);
  path->clear();
  for (size_t i = 0; i < target.size(); ++i) {
    if (target[i] != '%') {
      *path += target[i];
      continue;
    }
    if (i + 2 >= target.size() || HexValue(target[i + 1]) < 0 || HexValue(target[i + 2]) < 0) return false;
    *path += static_cast<char>(HexValue(target[i + 1]) * 16 + HexValue(target[i + 2]));
    i += 2;
  }
  return true;
}

// Connections are counted per client address; IPv6 clients per /64, the block one
// machine usually owns.
std::string AddressKey(const asio::ip::address& a) {
  if (a.is_v6()) {
    asio::ip::address_v6 v6 = a.to_v6();
    if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
    asio::ip::address_v6::bytes_type b = v6.to_bytes();
    std::fill(b.begin() + 8, b.end(), 0);
    return asio::ip::address_v6(b).to_string() + "/64";
  }
  return a.to_string();
}

// A header value stays ASCII: bytes outside printable ASCII and "%" are written as %XX
// (the reason header carries UTF-8 text this way).
std::string HeaderSafe(const std::string& text) { return PercentEscaped(text, true); }

Response TextResponse(http::status status, const std::string& text, const char* type = kText) {
  Response res{status, 11};
  res.set(http::field::content_type, type);
  res.body() = text;
  return res;
}

}  // namespace

class SessionBase {
 public:
  virtual ~SessionBase() = default;
  virtual void Close() = 0;
};

struct ReferenceService::Impl {
  ServiceOptions options;
  int lockFd = -1;
  std::unique_ptr<Store> store;
  std::unique_ptr<ServiceLogic> logic;
  std::string caFile;  // served as "ca.pem"; empty with an operator's certificate
  std::vector<std::string> certNames;  // host names a link may carry (wildcard listen)
  int port = 0;
  std::atomic<bool> stopped{false};

  // Live connections, per client address and in all; guarded by mu.
  std::mutex mu;
  std::condition_variable idle;
  std::map<std::string, int> perAddress;
  std::unordered_map<SessionBase*, std::weak_ptr<SessionBase>> sessions;
  int busy = 0;  // requests read and not yet answered
  std::map<std::string, int> downloadsPerAddress;  // release downloads being sent
  int downloads = 0;

  // Declared last: destroyed first, while the members above are still there.
  std::unique_ptr<ssl::context> tls;
  std::unique_ptr<asio::thread_pool> workers;
  std::unique_ptr<asio::io_context> io;
  std::unique_ptr<tcp::acceptor> acceptor;
  std::unique_ptr<tcp::acceptor> httpAcceptor;  // the ranking page in plain HTTP on loopback
  int httpPort = 0;
  std::vector<std::thread> ioThreads;

  ~Impl() {
    ioThreads.clear();
    httpAcceptor.reset();
    acceptor.reset();
    io.reset();
    workers.reset();
    logic.reset();
    store.reset();
    if (lockFd >= 0) ::close(lockFd);
  }

  std::string HostForUrl() const {
    const std::string& l = options.listen;
    if (l.empty() || l == "0.0.0.0") return "127.0.0.1";
    if (l == "::") return "[::1]";
    if (l.find(':') != std::string::npos) return "[" + l + "]";
    return l;
  }
  std::string BaseUrl() const { return "https://" + HostForUrl() + ":" + std::to_string(port) + "/"; }
  std::string PublicUrl(const Request& req) const;

  // Answers one request. A release download takes a download slot, which *slot holds
  // until the reply is sent; a client over its share gets 503 instead.
  Response Route(const Request& req, const std::string& addressKey, std::shared_ptr<void>* slot);
  Response RouteLocal(const Request& req);
  std::optional<Response> RankingRoute(const std::string& path, bool get);
  std::shared_ptr<void> ClaimDownload(const std::string& key);
  template <bool kTls>
  void Accept(tcp::acceptor* on);
  // Counts a connection in all and, unless key is empty, for its client address.
  bool Admit(const std::string& key);
  // Counts a proxied connection for the client address its PROXY header named.
  bool AdmitAddress(const std::string& key);
  std::vector<asio::ip::address> trustedProxies;
  bool Trusted(asio::ip::address a) const {
    if (a.is_v6() && a.to_v6().is_v4_mapped()) a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    return options.proxyProtocol && std::find(trustedProxies.begin(), trustedProxies.end(), a) != trustedProxies.end();
  }
  void Release(SessionBase* s, const std::string& key);
};

// One client connection: TLS handshake (kTls) or none (the loopback ranking page), then
// requests one after another, each step under a deadline; pipelined requests are answered
// in order.
template <bool kTls>
class Session : public SessionBase, public std::enable_shared_from_this<Session<kTls>> {
  using Stream = std::conditional_t<kTls, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;
  using std::enable_shared_from_this<Session<kTls>>::shared_from_this;

  static Stream MakeStream(tcp::socket&& socket, ReferenceService::Impl* service) {
    if constexpr (kTls) {
      return Stream(std::move(socket), *service->tls);
    } else {
      return Stream(std::move(socket));
    }
  }

 public:
  // key empty: a connection from a trusted proxy, whose PROXY header names the client.
  Session(ReferenceService::Impl* service, tcp::socket&& socket, std::string key, std::string client)
      : service_(service), stream_(MakeStream(std::move(socket), service)), key_(std::move(key)),
        client_(std::move(client)) {}
  ~Session() override { service_->Release(this, key_); }

  void Start() {
    if constexpr (kTls) {
      Lowest().expires_after(std::chrono::milliseconds(service_->options.handshakeTimeoutMs));
      if (key_.empty()) return ReadProxyHeader();
      Handshake();
    } else {
      ReadHead(std::chrono::milliseconds(service_->options.headTimeoutMs));
    }
  }

  // Ends the connection now (service stopping); runs on the connection's strand.
  void Close() override {
    asio::dispatch(stream_.get_executor(), [self = shared_from_this()] {
      beast::error_code ignored;
      self->Lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
      self->Lowest().close();
    });
  }

 private:
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

  void Handshake() {
    stream_.async_handshake(ssl::stream_base::server,
                            [self = shared_from_this()](beast::error_code ec) { self->OnHandshake(ec); });
  }

  // Reads exactly the PROXY header (its fixed part, then the rest it announces), so the TLS
  // bytes behind it stay in the socket. A proxy that sends none is cut off.
  void ReadProxyHeader() {
    proxyHeader_.resize(kProxyHeaderPrefix);
    asio::async_read(Lowest(), asio::buffer(proxyHeader_), [self = shared_from_this()](beast::error_code ec, size_t) {
      size_t length = ec ? 0 : ProxyHeaderLength(self->proxyHeader_.data());
      if (length == 0) return;
      self->proxyHeader_.resize(length);
      asio::async_read(self->Lowest(), asio::buffer(self->proxyHeader_.data() + kProxyHeaderPrefix,
                                                    length - kProxyHeaderPrefix),
                       [self](beast::error_code e, size_t) { self->OnProxyHeader(e); });
    });
  }

  void OnProxyHeader(beast::error_code ec) {
    ProxySource source;
    if (ec || !ParseProxyHeader(proxyHeader_.data(), proxyHeader_.size(), &source)) return;
    if (!source.local) {
      beast::error_code e;
      asio::ip::address client = asio::ip::make_address(source.address, e);
      if (e) return;
      client_ = client.to_string();
      std::string key = AddressKey(client);
      if (!service_->AdmitAddress(key)) return;  // over its connection limit: closed
      key_ = key;
    }
    proxyHeader_.clear();
    Handshake();
  }

  void OnHandshake(beast::error_code ec) {
    if (ec) return;  // timed out or broken: the socket closes with the session
    ReadHead(std::chrono::milliseconds(service_->options.headTimeoutMs));
  }

  void ReadHead(std::chrono::milliseconds deadline) {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(service_->options.maxBodyBytes);
    Lowest().expires_after(deadline);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHead(ec); });
  }

  void OnHead(beast::error_code ec) {
    if (ec == http::error::header_limit) return Fail(http::status::request_header_fields_too_large, "请求头过大");
    if (ec == http::error::body_limit) return Fail(http::status::payload_too_large, "请求内容过大");
    if (ec) {
      // A head that does not parse gets an answer; a closed, silent or too slow client none.
      if (ec.category() == http::make_error_code(http::error::bad_target).category() &&
          ec != http::error::end_of_stream && ec != http::error::partial_message) {
        return Fail(http::status::bad_request, "请求无效");
      }
      return;
    }
    Lowest().expires_after(std::chrono::milliseconds(service_->options.bodyTimeoutMs));
    const auto& head = parser_->get();
    if (beast::iequals(head[http::field::expect], "100-continue")) {
      // libcurl waits for this before it sends a body of more than a kilobyte.
      auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
      http::async_write(stream_, *interim, [self = shared_from_this(), interim](beast::error_code e, size_t) {
        if (!e) self->ReadBody();
      });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) { self->OnBody(ec); });
  }

  void OnBody(beast::error_code ec) {
    if (ec == http::error::body_limit) return Fail(http::status::payload_too_large, "请求内容过大");
    if (ec) return;
    auto request = std::make_shared<Request>(parser_->release());
    {
      std::lock_guard<std::mutex> lock(service_->mu);
      ++service_->busy;
    }
    Lowest().expires_never();
    // The handlers may take milliseconds (decryption, answers recomputed, the store): they
    // run on the worker pool, and the reply is written back on this connection's strand.
    asio::post(*service_->workers, [self = shared_from_this(), request] {
      std::shared_ptr<void> slot;
      auto response = std::make_shared<Response>(kTls ? self->service_->Route(*request, self->key_, &slot)
                                                      : self->service_->RouteLocal(*request));
      response->keep_alive(request->keep_alive() && !self->service_->stopped);
      response->prepare_payload();
      if (self->service_->options.logRequests) {
        std::fprintf(stderr, "%s %s %s -> %d (%zu bytes)\n", self->client_.c_str(),
                     LogSafe(request->method_string()).c_str(), LogSafe(request->target()).c_str(),
                     response->result_int(), response->body().size());
      }
      asio::dispatch(self->stream_.get_executor(), [self, response, slot = std::move(slot)] {
        if (slot) return self->WriteDownload(response, slot);
        self->Write(response, true);
      });
    });
  }

  void Write(std::shared_ptr<Response> response, bool counted) {
    // Time to send the reply: a floor plus 64 KiB/s for large downloads.
    auto ms = service_->options.writeTimeoutMs + static_cast<int64_t>(response->body().size() / 64);
    Lowest().expires_after(std::chrono::milliseconds(ms));
    http::async_write(stream_, *response, [self = shared_from_this(), response, counted](beast::error_code ec, size_t) {
      if (counted) self->Done();
      if (ec) return;
      if (!response->keep_alive()) return self->Shutdown();
      self->ReadHead(std::chrono::milliseconds(self->service_->options.keepAliveTimeoutMs));
    });
  }

  // A release download: a small send buffer, and written piece by piece, each piece within
  // the progress deadline and the whole within the usual one, so that a client that stops
  // reading is dropped soon and holds little memory meanwhile.
  void WriteDownload(std::shared_ptr<Response> response, std::shared_ptr<void> slot) {
    beast::error_code ignored;
    Lowest().socket().set_option(asio::socket_base::send_buffer_size(service_->options.downloadSendBufferBytes),
                                 ignored);
    auto serializer = std::make_shared<http::response_serializer<http::string_body>>(*response);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(service_->options.writeTimeoutMs +
                                                    static_cast<int64_t>(response->body().size() / 64));
    WritePiece(std::move(response), std::move(serializer), std::move(slot), deadline);
  }

  void WritePiece(std::shared_ptr<Response> response,
                  std::shared_ptr<http::response_serializer<http::string_body>> serializer,
                  std::shared_ptr<void> slot, std::chrono::steady_clock::time_point deadline) {
    Lowest().expires_at(std::min(deadline, std::chrono::steady_clock::now() +
                                               std::chrono::milliseconds(service_->options.downloadProgressMs)));
    http::async_write_some(stream_, *serializer,
                           [self = shared_from_this(), response, serializer, slot, deadline](beast::error_code ec, size_t) {
                             if (!ec && !serializer->is_done()) {
                               return self->WritePiece(response, serializer, slot, deadline);
                             }
                             self->Done();
                             if (ec) return;
                             if (!response->keep_alive()) return self->Shutdown();
                             self->ReadHead(std::chrono::milliseconds(self->service_->options.keepAliveTimeoutMs));
                           });
  }

  void Done() {
    std::lock_guard<std::mutex> lock(service_->mu);
    if (--service_->busy == 0) service_->idle.notify_all();
  }

  // Answers a request that cannot be read whole, then closes.
  void Fail(http::status status, const std::string& text) {
    auto response = std::make_shared<Response>(TextResponse(status, text));
    response->keep_alive(false);
    response->prepare_payload();
    Write(response, false);
  }

  void Shutdown() {
    if constexpr (kTls) {
      Lowest().expires_after(std::chrono::seconds(2));
      stream_.async_shutdown([self = shared_from_this()](beast::error_code) {});
    } else {
      beast::error_code ignored;
      Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
    }
  }

  ReferenceService::Impl* service_;
  Stream stream_;
  beast::flat_buffer buffer_{1u << 16};
  std::optional<http::request_parser<http::string_body>> parser_;
  std::string key_, client_;
  std::vector<uint8_t> proxyHeader_;
};

bool ReferenceService::Impl::Admit(const std::string& key) {
  std::lock_guard<std::mutex> lock(mu);
  if (static_cast<int>(sessions.size()) >= options.maxConnections) return false;
  if (key.empty()) return true;
  int& n = perAddress[key];
  if (n >= options.maxConnectionsPerAddress) return false;
  ++n;
  return true;
}

bool ReferenceService::Impl::AdmitAddress(const std::string& key) {
  std::lock_guard<std::mutex> lock(mu);
  int& n = perAddress[key];
  if (n >= options.maxConnectionsPerAddress) return false;
  ++n;
  return true;
}

std::shared_ptr<void> ReferenceService::Impl::ClaimDownload(const std::string& key) {
  std::lock_guard<std::mutex> lock(mu);
  int& mine = downloadsPerAddress[key];
  if (downloads >= options.maxDownloads || mine >= options.maxDownloadsPerAddress) {
    if (mine == 0) downloadsPerAddress.erase(key);
    return nullptr;
  }
  ++mine;
  ++downloads;
  // The slot is given back when the last holder (the reply being written) lets go.
  return std::shared_ptr<void>(static_cast<void*>(this), [this, key](void*) {
    std::lock_guard<std::mutex> lock(mu);
    --downloads;
    auto it = downloadsPerAddress.find(key);
    if (it != downloadsPerAddress.end() && --it->second <= 0) downloadsPerAddress.erase(it);
  });
}

void ReferenceService::Impl::Release(SessionBase* s, const std::string& key) {
  std::lock_guard<std::mutex> lock(mu);
  sessions.erase(s);
  auto it = key.empty() ? perAddress.end() : perAddress.find(key);
  if (it != perAddress.end() && --it->second <= 0) perAddress.erase(it);
  if (sessions.empty()) idle.notify_all();
}

template <bool kTls>
void ReferenceService::Impl::Accept(tcp::acceptor* on) {
  on->async_accept(asio::make_strand(*io), [this, on](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !on->is_open()) return;
    if (!ec) {
      beast::error_code e;
      tcp::endpoint remote = socket.remote_endpoint(e);
      // A trusted proxy's connections are counted per client once its header is read.
      // Only the HTTPS listener takes PROXY headers from a trusted proxy.
      std::string key = e                                   ? std::string("?")
                        : kTls && Trusted(remote.address()) ? std::string()
                                                            : AddressKey(remote.address());
      if (!e && !stopped && Admit(key)) {
        socket.set_option(tcp::no_delay(true), e);
        auto session = std::make_shared<Session<kTls>>(this, std::move(socket), key, remote.address().to_string());
        {
          std::lock_guard<std::mutex> lock(mu);
          sessions[session.get()] = session;
        }
        session->Start();
      }
      // Refused sockets close here, before any TLS work is spent on them.
    } else if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space) {
      // Out of file descriptors: pause instead of spinning on the failing accept.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Accept<kTls>(on);
  });
}

std::string ReferenceService::Impl::PublicUrl(const Request& req) const {
  if (!options.publicUrl.empty()) return options.publicUrl;
  // Behind a wildcard address the link follows the name the client used, but only a name
  // this service's certificate carries, with this service's port.
  bool wildcard = options.listen.empty() || options.listen == "0.0.0.0" || options.listen == "::";
  if (wildcard) {
    std::string host(req[http::field::host]), name, portText;
    if (!host.empty() && host[0] == '[') {
      size_t close = host.find(']');
      if (close != std::string::npos && host.compare(close + 1, 1, ":") == 0) {
        name = host.substr(1, close - 1);
        portText = host.substr(close + 2);
      }
    } else if (size_t colon = host.rfind(':'); colon != std::string::npos) {
      name = host.substr(0, colon);
      portText = host.substr(colon + 1);
    }
    if (!name.empty() && portText == std::to_string(port) &&
        std::find(certNames.begin(), certNames.end(), name) != certNames.end()) {
      return "https://" + host + "/";
    }
  }
  return BaseUrl();
}

Response ReferenceService::Impl::Route(const Request& req, const std::string& addressKey,
                                       std::shared_ptr<void>* slot) {
  std::string path;
  if (!DecodePath(req.target(), &path)) return TextResponse(http::status::bad_request, "请求无效");
  const bool get = req.method() == http::verb::get, post = req.method() == http::verb::post;
  ServiceLogic* l = logic.get();
  auto wrongMethod = [] { return TextResponse(http::status::method_not_allowed, "不支持的请求方法"); };
  // A refusal keeps its body and says why in a header that clients may show.
  auto text = [](const Reply& reply) {
    Response res = TextResponse(reply.ok ? http::status::ok : http::status::bad_request, reply.body);
    if (!reply.ok && !reply.reason.empty()) res.set(kReasonHeader, HeaderSafe(reply.reason));
    if (!reply.ok && reply.retryAfterSec > 0) res.set(http::field::retry_after, std::to_string(reply.retryAfterSec));
    return res;
  };
  auto binary = [](std::string bytes) {
    Response res = TextResponse(http::status::ok, "", "application/octet-stream");
    res.body() = std::move(bytes);
    return res;
  };

  try {
    static const std::map<std::string, std::function<Reply(ServiceLogic*, const std::string&, const std::string&)>>
        kPosts = {
            {"/sorvanta/getTokenV3",
             [](ServiceLogic* s, const std::string& b, const std::string& c) { return s->IssueToken(b, c); }},
            {"/sorvanta/startexam",
             [](ServiceLogic* s, const std::string& b, const std::string&) { return s->StartExam(b); }},
            {"/sorvanta/endexam",
             [](ServiceLogic* s, const std::string& b, const std::string&) { return s->EndExam(b); }},
            {"/sorvanta/cpuscoresubmitV4",
             [](ServiceLogic* s, const std::string& b, const std::string&) { return s->SubmitCpuScore(b); }},
            {"/sorvanta/diskbench",
             [](ServiceLogic* s, const std::string& b, const std::string& c) { return s->SubmitDiskScore(b, c); }},
        };
    auto p = kPosts.find(path);
    if (p != kPosts.end()) return post ? text(p->second(l, req.body(), addressKey)) : wrongMethod();

    const std::string paperPrefix = "/exampaper/", downloadPrefix = "/update/sorvanta/download/";
    if (path.rfind(paperPrefix, 0) == 0) {
      if (!get) return wrongMethod();
      std::string bytes;
      if (!l->Paper(path.substr(paperPrefix.size()), &bytes)) {
        return TextResponse(http::status::not_found, "", "application/octet-stream");  // the client keeps an empty paper
      }
      return binary(std::move(bytes));
    }
    if (path.rfind(downloadPrefix, 0) == 0) {
      if (!get) return wrongMethod();
      std::string file = l->ReleasePath(path.substr(downloadPrefix.size())), bytes;
      if (file.empty()) return TextResponse(http::status::not_found, "", "application/octet-stream");
      *slot = ClaimDownload(addressKey);
      if (!*slot) {
        Response busyReply = TextResponse(http::status::service_unavailable, "下载人数过多，请稍后再试");
        busyReply.set(http::field::retry_after, "30");
        return busyReply;
      }
      if (!ReadWholeFile(file, &bytes)) {
        slot->reset();
        return TextResponse(http::status::not_found, "", "application/octet-stream");
      }
      return binary(std::move(bytes));
    }
    if (path == "/update/sorvanta/getAnnouncementPC") {
      return get ? text(Reply{true, l->Announcement(), "", 0}) : wrongMethod();
    }
    if (path == "/update/sorvanta/versionPC") {
      if (!get) return wrongMethod();
      std::string version = l->Version(PublicUrl(req));
      return TextResponse(version.empty() ? http::status::not_found : http::status::ok, version);
    }
    if (std::optional<Response> ranking = RankingRoute(path, get)) return std::move(*ranking);
    if (path == "/ca.pem") {
      if (!get) return wrongMethod();
      std::string pem;
      if (caFile.empty() || !ReadWholeFile(caFile, &pem)) return TextResponse(http::status::not_found, "没有这个地址");
      return TextResponse(http::status::ok, pem, "application/x-pem-file");
    }
    return TextResponse(http::status::not_found, "没有这个地址");
  } catch (const std::exception&) {
    return TextResponse(http::status::internal_server_error, "服务器内部错误");
  }
}

// The ranking page, its two JSON texts and "/" leading to the page; nothing for any other path.
std::optional<Response> ReferenceService::Impl::RankingRoute(const std::string& path, bool get) {
  const bool known = path == "/" || path == "/RankingList/RankingList.html" || path == "/RankingList/cpu.json" ||
                     path == "/RankingList/disk.json";
  if (!known) return std::nullopt;
  if (!get) return TextResponse(http::status::method_not_allowed, "不支持的请求方法");
  if (path == "/") {
    Response res = TextResponse(http::status::found, "");
    res.set(http::field::location, "/RankingList/RankingList.html");
    return res;
  }
  if (path == "/RankingList/RankingList.html") {
    Response res = TextResponse(http::status::ok, RankingPageHtml(), "text/html; charset=utf-8");
    res.set(http::field::cache_control, "no-store");
    res.set("Content-Security-Policy",
            "default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'");
    return res;
  }
  Response res = TextResponse(http::status::ok,
                              path == "/RankingList/cpu.json" ? logic->CpuRankingJson(kRankingRows)
                                                               : logic->DiskRankingJson(kRankingRows),
                              "application/json; charset=utf-8");
  res.set(http::field::cache_control, "no-store");
  return res;
}

// The plain-HTTP listener on loopback serves the ranking alone, read-only, and only to
// requests naming this machine: a page elsewhere whose name is made to point at 127.0.0.1
// cannot read it through its own name.
Response ReferenceService::Impl::RouteLocal(const Request& req) {
  const std::string host(req[http::field::host]), port = ":" + std::to_string(httpPort);
  if (host != "127.0.0.1" + port && host != "localhost" + port && host != "[::1]" + port) {
    return TextResponse(http::status::misdirected_request, "没有这个地址");
  }
  std::string path;
  if (!DecodePath(req.target(), &path)) return TextResponse(http::status::bad_request, "请求无效");
  try {
    if (std::optional<Response> ranking = RankingRoute(path, req.method() == http::verb::get)) {
      return std::move(*ranking);
    }
  } catch (const std::exception&) {
    return TextResponse(http::status::internal_server_error, "服务器内部错误");
  }
  return TextResponse(http::status::not_found, "没有这个地址");
}

std::unique_ptr<ReferenceService> ReferenceService::Start(const ServiceOptions& options, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  if (options.dataDir.empty()) {
    *error = "no data folder given";
    return nullptr;
  }
  if (!MakeFolders(options.dataDir)) {
    *error = "cannot create the data folder " + options.dataDir;
    return nullptr;
  }
  // Whoever may write the data folder may swap the keys and the store under the service.
  struct stat folder {};
  if (::stat(options.dataDir.c_str(), &folder) != 0 || (folder.st_mode & 0022) != 0 ||
      (folder.st_uid != ::geteuid() && folder.st_uid != 0)) {
    *error = "the data folder " + options.dataDir +
             " is writable by other users or belongs to another user (chmod go-w and chown it to the service's user)";
    return nullptr;
  }
  if (options.port < 0 || options.port > 65535) {
    *error = "port out of range: " + std::to_string(options.port);
    return nullptr;
  }
  // One service per data folder with its SQLite store; instances on a shared server store
  // may share a folder (certificate, announcement, release), but not with a SQLite one.
  const bool sharedStore = IsPostgresUri(options.store);
  if (!options.store.empty() && !sharedStore) {
    *error = "--store takes a postgresql:// URI, not \"" + options.store + "\"";
    return nullptr;
  }
  const std::string lockPath = options.dataDir + "/service.lock";
  impl->lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (impl->lockFd < 0) {
    *error = "cannot open " + lockPath + ": " + std::strerror(errno);
    return nullptr;
  }
  if (::flock(impl->lockFd, (sharedStore ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    *error = sharedStore ? "a sorvanta-service with its own SQLite store is using the data folder " + options.dataDir
                         : "another sorvanta-service is already using the data folder " + options.dataDir;
    return nullptr;
  }
  if (!options.serviceKeyFile.empty()) {
    struct stat st;
    std::string key;
    if (::stat(options.serviceKeyFile.c_str(), &st) != 0 || !ReadWholeFile(options.serviceKeyFile, &key)) {
      *error = "cannot read the service key " + options.serviceKeyFile;
      return nullptr;
    }
    if ((st.st_mode & 077) != 0) {
      *error = "the service key " + options.serviceKeyFile + " is readable by others; chmod 600 it";
      return nullptr;
    }
    if (key.size() < 16) {
      *error = "the service key " + options.serviceKeyFile + " holds fewer than 16 bytes";
      return nullptr;
    }
    impl->options.serviceKey = key;
  }
  if (options.proxyProtocol && options.trustedProxies.empty()) {
    *error = "--proxy-protocol needs the proxies' addresses (--trusted-proxy)";
    return nullptr;
  }
  for (const std::string& text : options.trustedProxies) {
    beast::error_code bad;
    impl->trustedProxies.push_back(asio::ip::make_address(text, bad));
    if (bad) {
      *error = "not a proxy address: " + text;
      return nullptr;
    }
  }
  std::string cert = options.certFile, key = options.keyFile;
  if (cert.empty() != key.empty()) {
    *error = "give both a certificate and a key, or neither";
    return nullptr;
  }
  if (cert.empty()) {
    cert = options.dataDir + "/cert.pem";
    key = options.dataDir + "/key.pem";
    // Instances sharing the folder take turns, so that only the first one creates it.
    int identityLock = sharedStore ? ::open((options.dataDir + "/identity.lock").c_str(),
                                            O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)
                                   : -1;
    if (identityLock >= 0) ::flock(identityLock, LOCK_EX);
    bool made = EnsureServiceIdentity(options.dataDir, options.listen, error);
    if (identityLock >= 0) ::close(identityLock);
    if (!made) return nullptr;
    impl->caFile = options.dataDir + "/" + kCaCertFileName;
  }
  impl->certNames = NamesForListenAddress(options.listen);
  impl->store = sharedStore ? OpenPostgresStore(options.store, std::max(1, options.threads), error, options.storeReplica)
                            : OpenSqliteStore(options.dataDir + "/service.sqlite", error, options.syncEveryCommit);
  if (!impl->store) return nullptr;
  impl->logic = std::make_unique<ServiceLogic>(impl->store.get(), impl->options);

  impl->tls = std::make_unique<ssl::context>(ssl::context::tls_server);
  impl->tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
  SSL_CTX_set_options(impl->tls->native_handle(), SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  beast::error_code ec;
  impl->tls->use_certificate_chain_file(cert, ec);
  if (!ec) impl->tls->use_private_key_file(key, ssl::context::pem, ec);
  if (ec || SSL_CTX_set_cipher_list(impl->tls->native_handle(), kTls12Ciphers) != 1) {
    *error = "cannot load the certificate " + cert + " and key " + key;
    return nullptr;
  }

  impl->io = std::make_unique<asio::io_context>();
  tcp::endpoint endpoint;
  endpoint.address(asio::ip::make_address(options.listen.empty() ? "0.0.0.0" : options.listen, ec));
  if (ec) {
    *error = "not an address to listen on: " + options.listen;
    return nullptr;
  }
  endpoint.port(static_cast<unsigned short>(options.port));
  impl->acceptor = std::make_unique<tcp::acceptor>(*impl->io);
  impl->acceptor->open(endpoint.protocol(), ec);
  // Address reuse lets a restart bind over connections in TIME_WAIT; it does not let a
  // second listener share the port (no SO_REUSEPORT).
  if (!ec) impl->acceptor->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec && endpoint.address().is_v6()) impl->acceptor->set_option(asio::ip::v6_only(false), ec);
  if (!ec) impl->acceptor->bind(endpoint, ec);
  if (ec == asio::error::address_in_use) {
    *error = "port " + std::to_string(options.port) + " on " + options.listen +
             " is already in use (is another sorvanta-service running?)";
    return nullptr;
  }
  if (!ec) impl->acceptor->listen(SystemBacklog(), ec);
  if (ec) {
    *error = "cannot listen on " + options.listen + ":" + std::to_string(options.port) + ": " + ec.message();
    return nullptr;
  }
  impl->port = impl->acceptor->local_endpoint().port();

  if (options.rankingHttp) {
    const int wanted = options.rankingHttpPort >= 0 ? options.rankingHttpPort
                       : options.port == 0      ? 0
                                                : options.port + 1;
    const tcp::endpoint local(asio::ip::address_v4::loopback(), static_cast<unsigned short>(wanted));
    impl->httpAcceptor = std::make_unique<tcp::acceptor>(*impl->io);
    impl->httpAcceptor->open(local.protocol(), ec);
    if (!ec) impl->httpAcceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) impl->httpAcceptor->bind(local, ec);
    if (!ec) impl->httpAcceptor->listen(SystemBacklog(), ec);
    if (ec) {
      *error = "cannot serve the ranking page on 127.0.0.1:" + std::to_string(wanted) + ": " + ec.message() +
               " (choose another port with --http-port, or --http-port off)";
      return nullptr;
    }
    impl->httpPort = impl->httpAcceptor->local_endpoint().port();
  }

  impl->workers = std::make_unique<asio::thread_pool>(static_cast<size_t>(std::max(1, options.threads)));
  impl->Accept<true>(impl->acceptor.get());
  if (impl->httpAcceptor) impl->Accept<false>(impl->httpAcceptor.get());
  for (int i = 0; i < std::max(1, options.ioThreads); ++i) {
    impl->ioThreads.emplace_back([io = impl->io.get()] { io->run(); });
  }
  return std::unique_ptr<ReferenceService>(new ReferenceService(std::move(impl)));
}

ReferenceService::ReferenceService(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ReferenceService::~ReferenceService() { Stop(); }

int ReferenceService::Port() const { return impl_->port; }

std::string ReferenceService::BaseUrl() const { return impl_->BaseUrl(); }

std::string ReferenceService::RankingUrl() const {
  if (impl_->httpPort == 0) return impl_->BaseUrl() + "RankingList/RankingList.html";
  return "http://127.0.0.1:" + std::to_string(impl_->httpPort) + "/RankingList/RankingList.html";
}

void ReferenceService::Stop() {
  Impl& s = *impl_;
  if (s.stopped.exchange(true)) return;
  // No new connections; requests being answered get the grace period to finish.
  asio::post(*s.io, [&s] {
    beast::error_code ignored;
    s.acceptor->close(ignored);
    if (s.httpAcceptor) s.httpAcceptor->close(ignored);
  });
  {
    std::unique_lock<std::mutex> lock(s.mu);
    s.idle.wait_for(lock, std::chrono::milliseconds(s.options.stopGraceMs), [&s] { return s.busy == 0; });
  }
  // Then every connection is closed, however slow its client.
  std::vector<std::shared_ptr<SessionBase>> live;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    for (auto& entry : s.sessions) {
      if (auto session = entry.second.lock()) live.push_back(std::move(session));
    }
  }
  for (auto& session : live) session->Close();
  live.clear();
  {
    std::unique_lock<std::mutex> lock(s.mu);
    s.idle.wait_for(lock, std::chrono::milliseconds(1000), [&s] { return s.sessions.empty(); });
  }
  s.workers->join();
  s.io->stop();
  for (std::thread& t : s.ioThreads) t.join();
  s.ioThreads.clear();
}

}  // namespace sorvanta::server
