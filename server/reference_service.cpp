// HTTPS front of the service: routes every path of the contract to ServiceLogic.
#include "server/reference_service.h"

#include <httplib.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <cstdio>
#include <thread>

#include "server/ranking_page.h"
#include "server/service_logic.h"
#include "server/store.h"
#include "server/tls_identity.h"

namespace sorvanta::server {

namespace {

const char* const kText = "text/plain; charset=utf-8";
const char* const kRepliedHeader = "X-Sorvanta-Reply";
const int kRankingRows = 100;

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
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char buffer[65536];
  size_t n;
  out->clear();
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out->append(buffer, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// Host header values that may be echoed into a download link.
bool IsPlainHost(const std::string& host) {
  if (host.empty() || host.size() > 255) return false;
  for (char c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != ':' && c != '-' && c != '[' && c != ']') {
      return false;
    }
  }
  return true;
}

}  // namespace

struct ReferenceService::Impl {
  ServiceOptions options;
  std::unique_ptr<Store> store;
  std::unique_ptr<ServiceLogic> logic;
  std::unique_ptr<httplib::SSLServer> http;
  std::thread thread;
  int port = 0;
  std::atomic<bool> stopped{false};
  std::string caFile;  // the CA certificate served as "ca.pem"; empty with an operator's certificate

  std::string HostForUrl() const {
    const std::string& l = options.listen;
    if (l.empty() || l == "0.0.0.0") return "127.0.0.1";
    if (l == "::") return "[::1]";
    if (l.find(':') != std::string::npos) return "[" + l + "]";
    return l;
  }
  std::string BaseUrl() const { return "https://" + HostForUrl() + ":" + std::to_string(port) + "/"; }
  std::string PublicUrl(const httplib::Request& req) const {
    if (!options.publicUrl.empty()) return options.publicUrl;
    std::string host = req.get_header_value("Host");
    return IsPlainHost(host) ? "https://" + host + "/" : BaseUrl();
  }

  void Routes();
};

namespace {

void SendText(httplib::Response& res, const Reply& reply) {
  res.status = reply.ok ? 200 : 400;
  res.set_header(kRepliedHeader, "1");
  res.set_content(reply.body, kText);
}

}  // namespace

void ReferenceService::Impl::Routes() {
  httplib::SSLServer& s = *http;
  ServiceLogic* l = logic.get();

  // POST bodies are taken through a content reader: libcurl labels them as form data, and
  // the HTTP library would otherwise refuse form bodies over 8 KiB before any handler runs.
  const size_t maxBody = options.maxBodyBytes;
  auto post = [&s, maxBody](const char* path, std::function<Reply(const std::string&)> handle) {
    s.Post(path, [handle, maxBody](const httplib::Request&, httplib::Response& res,
                                   const httplib::ContentReader& reader) {
      std::string body;
      bool complete = reader([&body, maxBody](const char* data, size_t len) {
        if (body.size() + len > maxBody) return false;
        body.append(data, len);
        return true;
      });
      if (!complete) {
        SendText(res, Reply{false, "请求内容过大或不完整"});
        res.status = 413;
        return;
      }
      SendText(res, handle(body));
    });
  };
  post("/sorvanta/getTokenV3", [l](const std::string& body) { return l->IssueToken(body); });
  post("/sorvanta/startexam", [l](const std::string& body) { return l->StartExam(body); });
  post("/sorvanta/endexam", [l](const std::string& body) { return l->EndExam(body); });
  post("/sorvanta/cpuscoresubmitV4", [l](const std::string& body) { return l->SubmitCpuScore(body); });
  post("/sorvanta/diskbench", [l](const std::string& body) { return l->SubmitDiskScore(body); });
  s.Get(R"(/exampaper/(.*))", [l](const httplib::Request& req, httplib::Response& res) {
    std::string bytes;
    res.set_header(kRepliedHeader, "1");
    if (!l->Paper(req.matches[1].str(), &bytes)) {
      res.status = 404;  // empty body: the client keeps an empty paper
      return;
    }
    res.set_content(bytes, "application/octet-stream");
  });
  s.Get("/update/sorvanta/getAnnouncementPC", [l](const httplib::Request&, httplib::Response& res) {
    SendText(res, Reply{true, l->Announcement()});
  });
  s.Get("/update/sorvanta/versionPC", [this, l](const httplib::Request& req, httplib::Response& res) {
    std::string text = l->Version(PublicUrl(req));
    SendText(res, Reply{!text.empty(), text});
    if (text.empty()) res.status = 404;
  });
  s.Get(R"(/update/sorvanta/download/(.*))", [l](const httplib::Request& req, httplib::Response& res) {
    std::string path = l->ReleasePath(req.matches[1].str());
    res.set_header(kRepliedHeader, "1");
    std::string bytes;
    FILE* f = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
    if (!f) {
      res.status = 404;
      return;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    std::fclose(f);
    res.set_content(bytes, "application/octet-stream");
  });
  s.Get("/RankingList/RankingList.html", [](const httplib::Request&, httplib::Response& res) {
    res.set_header(kRepliedHeader, "1");
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'");
    res.set_content(RankingPageHtml(), "text/html; charset=utf-8");
  });
  s.Get("/RankingList/cpu.json", [l](const httplib::Request&, httplib::Response& res) {
    res.set_header(kRepliedHeader, "1");
    res.set_header("Cache-Control", "no-store");
    res.set_content(l->CpuRankingJson(kRankingRows), "application/json; charset=utf-8");
  });
  s.Get("/RankingList/disk.json", [l](const httplib::Request&, httplib::Response& res) {
    res.set_header(kRepliedHeader, "1");
    res.set_header("Cache-Control", "no-store");
    res.set_content(l->DiskRankingJson(kRankingRows), "application/json; charset=utf-8");
  });
  s.Get("/ca.pem", [this](const httplib::Request&, httplib::Response& res) {
    std::string pem;
    if (caFile.empty() || !ReadWholeFile(caFile, &pem)) return;  // 404 from the error handler
    res.set_header(kRepliedHeader, "1");
    res.set_content(pem, "application/x-pem-file");
  });
  s.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/RankingList/RankingList.html");
  });

  // Anything no handler answered (unknown path, wrong method, body too large) gets a text.
  s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
    if (res.has_header(kRepliedHeader)) return httplib::Server::HandlerResponse::Unhandled;
    const char* text = res.status == 413 ? "请求内容过大"
                       : res.status == 404 ? "没有这个地址"
                       : res.status == 405 ? "不支持的请求方法"
                                           : "请求无效";
    res.set_content(text, kText);
    return httplib::Server::HandlerResponse::Handled;
  }));
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    res.status = 500;
    res.set_header(kRepliedHeader, "1");
    res.set_content("服务器内部错误", kText);
  });
  if (options.logRequests) {
    s.set_logger([](const httplib::Request& req, const httplib::Response& res) {
      std::fprintf(stderr, "%s %s %s -> %d (%zu bytes)\n", req.remote_addr.c_str(), req.method.c_str(),
                   req.path.c_str(), res.status, res.body.size());
    });
  }
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
  if (options.port < 0 || options.port > 65535) {
    *error = "port out of range: " + std::to_string(options.port);
    return nullptr;
  }
  std::string cert = options.certFile, key = options.keyFile;
  if (cert.empty() != key.empty()) {
    *error = "give both a certificate and a key, or neither";
    return nullptr;
  }
  if (cert.empty()) {
    cert = options.dataDir + "/cert.pem";
    key = options.dataDir + "/key.pem";
    if (!EnsureServiceIdentity(options.dataDir, options.listen, error)) return nullptr;
    impl->caFile = options.dataDir + "/" + kCaCertFileName;
  }
  impl->store = OpenSqliteStore(options.dataDir + "/service.sqlite", error);
  if (!impl->store) return nullptr;
  impl->logic = std::make_unique<ServiceLogic>(impl->store.get(), options);

  impl->http = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
  if (!impl->http->is_valid()) {
    *error = "cannot load the certificate " + cert + " and key " + key;
    return nullptr;
  }
  int threads = std::max(4, options.threads);
  impl->http->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  impl->http->set_payload_max_length(options.maxBodyBytes);
  impl->http->set_read_timeout(10);
  impl->http->set_write_timeout(10);
  impl->http->set_keep_alive_timeout(5);
  impl->http->set_tcp_nodelay(true);
  impl->Routes();

  if (options.port == 0) {
    impl->port = impl->http->bind_to_any_port(options.listen);
  } else if (impl->http->bind_to_port(options.listen, options.port)) {
    impl->port = options.port;
  } else {
    impl->port = -1;
  }
  if (impl->port <= 0) {
    *error = "cannot listen on " + options.listen + ":" + std::to_string(options.port);
    return nullptr;
  }
  httplib::SSLServer* http = impl->http.get();
  impl->thread = std::thread([http] { http->listen_after_bind(); });
  // Stop() must not race the start of the accept loop (stopping a server that is not yet
  // running is a no-op in the HTTP library, and the join would then wait forever).
  for (int i = 0; i < 500 && !http->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return std::unique_ptr<ReferenceService>(new ReferenceService(std::move(impl)));
}

ReferenceService::ReferenceService(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ReferenceService::~ReferenceService() { Stop(); }

int ReferenceService::Port() const { return impl_->port; }

std::string ReferenceService::BaseUrl() const { return impl_->BaseUrl(); }

void ReferenceService::Stop() {
  if (impl_->stopped.exchange(true)) return;
  impl_->http->stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

}  // namespace sorvanta::server
