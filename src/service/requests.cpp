#include "service/requests.h"

#include <curl/curl.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <atomic>
#include <iterator>
#include <mutex>

#include "build_config.h"
#include "base/language.h"
#include "base/log.h"
#include "base/text.h"

namespace sorvanta {
namespace {

constexpr int kAttempts = 5;

// How one kind of request differs from the others.
struct RequestKind {
  bool post;
  long timeoutSeconds;
  long maxRedirects;
  size_t maxReplyBytes;
};

constexpr RequestKind kTextPost{true, kTextPostTimeoutSec, 5, kMaxTextReplyBytes};
constexpr RequestKind kTextGet{false, kTextGetTimeoutSec, 5, kMaxTextReplyBytes};
constexpr RequestKind kBinaryGet{false, kBinaryGetTimeoutSec, 10, kMaxBinaryReplyBytes};

// Response headers are read for the service's refusal reason; a hostile server must not
// grow them without bound.
constexpr size_t kMaxHeaderBytes = 1 << 20;

// A buffer that the transfer fills, and how far it may grow.
struct CappedBuffer {
  std::string* text;
  size_t limit;
};

std::once_flag curlInitOnce;
bool curlReady = false;
// Requests under way; the global clean-up at program end must not pull libcurl from under
// a thread that is never joined (the update check), so it is skipped while this is not 0.
std::atomic<int> requestsInFlight{0};

struct InFlight {
  InFlight() { ++requestsInFlight; }
  ~InFlight() { --requestsInFlight; }
};

// libcurl's global set-up is not thread-safe; doing it once here keeps requests from
// several threads safe even when the program start-up did not call ServiceGlobalInit.
bool EnsureCurlReady() {
  std::call_once(curlInitOnce,
                 [] { curlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return curlReady;
}

// libcurl write and header callback: appends to the CappedBuffer it is given. Data past
// the limit fails the attempt (libcurl reports a write error) instead of growing the
// buffer until memory runs out; nothing may throw through libcurl's C frames.
size_t AppendTo(char* data, size_t size, size_t count, void* target) {
  CappedBuffer* buffer = static_cast<CappedBuffer*>(target);
  const size_t bytes = size * count;
  if (bytes > buffer->limit - std::min(buffer->limit, buffer->text->size())) return 0;
  try {
    buffer->text->append(data, bytes);
  } catch (...) {
    return 0;
  }
  return bytes;
}

bool ReadFileText(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The trust list of a verified request: the system's CA store plus the CA certificate in
// $SORVANTA_SERVICE_CA, or when that is not set in the compiled-in file (the CA that the
// installed service keeps). Empty when there is no extra CA (libcurl then uses the store alone).
std::string ServiceCaBundle(CURL* handle) {
  const char* extraPath = ::secure_getenv("SORVANTA_SERVICE_CA");
  if (extraPath == nullptr) extraPath = SORVANTA_DEFAULT_SERVICE_CA;
  std::string extra;
  if (*extraPath == '\0' || !ReadFileText(extraPath, extra)) return {};
  std::string bundle;
  char* systemPath = nullptr;
  if (curl_easy_getinfo(handle, CURLINFO_CAINFO, &systemPath) == CURLE_OK && systemPath != nullptr) {
    ReadFileText(systemPath, bundle);
  }
  if (!bundle.empty() && bundle.back() != '\n') bundle += '\n';
  return bundle + extra;
}

// Failures that mean the peer could not be verified (or the address asked for no TLS).
bool IsTrustFailure(CURLcode code) {
  return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE ||
         code == CURLE_SSL_ISSUER_ERROR || code == CURLE_SSL_PINNEDPUBKEYNOTMATCH ||
         code == CURLE_UNSUPPORTED_PROTOCOL;
}

// Why a transfer failed, by the kind of failure a caller tells apart.
StatusCode CodeOfTransferFailure(CURLcode code, bool verified) {
  if (verified && IsTrustFailure(code)) return StatusCode::kUntrusted;
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT: return StatusCode::kUnreachable;
    case CURLE_OPERATION_TIMEDOUT: return StatusCode::kTimedOut;
    case CURLE_WRITE_ERROR:  // the reply or its headers passed the buffer's limit
    case CURLE_FILESIZE_EXCEEDED: return StatusCode::kTooLarge;
    default: return StatusCode::kTransferFailed;
  }
}

// Runs one request with up to five attempts on one handle. Returns the failure of the last
// attempt when every attempt failed; reply then holds nothing. With verified, the peer's
// certificate and host name are checked, only https is spoken (redirects included), and a
// refused certificate ends the request at once.
Status Perform(const RequestKind& kind, const std::string& url, const std::string* body,
               std::string& reply, bool verified = false, std::string* replyHeaders = nullptr) {
  reply.clear();
  if (url.empty()) return Status::Error(StatusCode::kInvalidArgument, "no address");
  LogLine(url, kLogNotice, true);

  InFlight inFlight;
  EnsureCurlReady();
  CURL* handle = curl_easy_init();
  if (handle == nullptr) return Status::Error(StatusCode::kTransferFailed, "libcurl cannot start a transfer");

  std::string headers;
  CappedBuffer replyBuffer{&reply, kind.maxReplyBytes};
  CappedBuffer headerBuffer{&headers, kMaxHeaderBytes};
  char errorBuffer[CURL_ERROR_SIZE] = {};
  std::string caBundle;  // PEM trust list of a verified request; empty = libcurl's default store
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kind.maxRedirects);
  if (kind.post) curl_easy_setopt(handle, CURLOPT_POST, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &replyBuffer);
  if (kind.post) curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body->c_str());
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, kind.timeoutSeconds);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &headerBuffer);
  // A reply that announces more than the limit fails before its body is fetched.
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kind.maxReplyBytes));
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &AppendTo);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &AppendTo);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);

  if (verified) {
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    caBundle = ServiceCaBundle(handle);
    if (!caBundle.empty()) {
      curl_blob blob{caBundle.data(), caBundle.size(), CURL_BLOB_NOCOPY};
      curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob);
    }
  }

  Status outcome;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    // A failed attempt may have received part of a reply; it must not precede the next
    // attempt's body.
    reply.clear();
    headers.clear();
    const CURLcode code = curl_easy_perform(handle);
    if (code == CURLE_OK) {
      outcome = Status::Ok();
      break;
    }
    LogLine("curl err ret=" + std::to_string(static_cast<int>(code)) + " url=" + url,
            kLogError, false);
    long osErrno = 0;
    curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &osErrno);
    outcome = Status::Error(CodeOfTransferFailure(code, verified),
                            errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code),
                            static_cast<int>(osErrno));
    if (outcome.code() == StatusCode::kUntrusted) break;  // trying again cannot change the certificate
  }
  curl_easy_cleanup(handle);
  if (!outcome.ok()) reply.clear();
  if (replyHeaders != nullptr) *replyHeaders = outcome.ok() ? std::move(headers) : std::string();
  return outcome;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of a header of the last response in headers (redirects leave earlier ones
// before it), %XX decoded; empty when that response has none.
std::string HeaderValue(const std::string& headers, const std::string& name) {
  size_t start = headers.rfind("\nHTTP/");
  start = start == std::string::npos ? 0 : start + 1;
  std::string value;
  for (size_t line = start; line < headers.size();) {
    size_t end = headers.find('\n', line);
    if (end == std::string::npos) end = headers.size();
    const std::string text = headers.substr(line, end - line);
    line = end + 1;
    if (text.size() <= name.size() || text[name.size()] != ':' ||
        strncasecmp(text.c_str(), name.c_str(), name.size()) != 0) {
      continue;
    }
    std::string raw = text.substr(name.size() + 1);
    raw.erase(0, raw.find_first_not_of(" \t"));
    while (!raw.empty() && (raw.back() == '\r' || raw.back() == ' ' || raw.back() == '\t')) raw.pop_back();
    value.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '%' && i + 2 < raw.size() && HexDigit(raw[i + 1]) >= 0 && HexDigit(raw[i + 2]) >= 0) {
        value += static_cast<char>(HexDigit(raw[i + 1]) * 16 + HexDigit(raw[i + 2]));
        i += 2;
      } else {
        value += raw[i];
      }
    }
  }
  return value;
}

bool IsLoopbackHost(const std::string& host) {
  return host == "localhost" || host == "[::1]" || host.rfind("127.", 0) == 0;
}

// What went wrong with a connection, from the system's errno behind it.
std::string ConnectFailureWords(int errnoValue) {
  switch (errnoValue) {
    case ECONNREFUSED: return Tr("连接被拒绝（服务没有运行？）");
    case ENETUNREACH: return Tr("网络不可达");
    case EHOSTUNREACH: return Tr("主机不可达");
    case ETIMEDOUT: return Tr("连接超时");
    case 0: return Tr("找不到该服务器的地址");
    default: return std::strerror(errnoValue);
  }
}

}  // namespace

Result<std::string> ServicePostText(const std::string& url, const std::string& body) {
  std::string reply;
  Status status = Perform(kTextPost, url, &body, reply);
  if (!status.ok()) return status;
  return ConvertReplyText(reply);
}

Result<ServiceReply> ServicePostForReply(const std::string& url, const std::string& body) {
  ServiceReply reply;
  std::string headers;
  Status status = Perform(kTextPost, url, &body, reply.body, false, &headers);
  if (!status.ok()) return status;
  reply.body = ConvertReplyText(reply.body);
  reply.refusal = HeaderValue(headers, "X-Sorvanta-Reason");
  const std::string retry = HeaderValue(headers, "Retry-After");
  if (!retry.empty() && retry.size() <= 9 && retry.find_first_not_of("0123456789") == std::string::npos) {
    reply.retryAfterSec = std::stoi(retry);
  }
  return reply;
}

std::string ServiceHostOf(const std::string& url) {
  size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  const size_t end = url.find_first_of("/?#", start);
  std::string host = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  const size_t at = host.rfind('@');  // no user name or password in what is shown
  return at == std::string::npos ? host : host.substr(at + 1);
}

std::string ServiceFailureText(const Status& failure, const std::string& url) {
  const std::string host = ServiceHostOf(url);
  switch (failure.code()) {
    case StatusCode::kUnreachable:
      return FormatText(Tr("无法连接服务器 %s：%s"), host.c_str(), ConnectFailureWords(failure.errnoValue()).c_str());
    case StatusCode::kTimedOut: return FormatText(Tr("服务器 %s 没有及时应答（超时）"), host.c_str());
    case StatusCode::kUntrusted: return FormatText(Tr("服务器 %s 的证书无法验证"), host.c_str());
    case StatusCode::kTooLarge: return FormatText(Tr("服务器 %s 的应答过大，已放弃"), host.c_str());
    case StatusCode::kInvalidArgument: return Tr("没有设置服务器地址");
    default: return FormatText(Tr("与服务器 %s 的通讯中断"), host.c_str());
  }
}

std::string RankingPageUrl() {
  const std::string base = ServiceBaseUrl();
  const std::string hostPort = ServiceHostOf(base);
  const size_t colon = hostPort.rfind(':');
  const bool https = base.rfind("https://", 0) == 0;
  if (https && colon != std::string::npos && hostPort.back() != ']' && IsLoopbackHost(hostPort.substr(0, colon))) {
    const std::string portText = hostPort.substr(colon + 1);
    if (!portText.empty() && portText.size() <= 5 && portText.find_first_not_of("0123456789") == std::string::npos) {
      const int port = std::stoi(portText);
      if (port >= 1 && port < 65535) {
        return "http://127.0.0.1:" + std::to_string(port + 1) + "/RankingList/RankingList.html";
      }
    }
  }
  return ServiceUrl("RankingList/RankingList.html");
}

Result<std::string> ServiceGetText(const std::string& url) {
  std::string reply;
  Status status = Perform(kTextGet, url, nullptr, reply);
  if (!status.ok()) return status;
  return ConvertReplyText(reply);
}

Result<std::string> ServiceGetBinary(const std::string& url) {
  std::string reply;
  Status status = Perform(kBinaryGet, url, nullptr, reply);
  if (!status.ok()) return status;
  return reply;
}

Result<std::string> ServiceGetVerifiedText(const std::string& url) {
  std::string reply;
  Status status = Perform(kTextGet, url, nullptr, reply, true);
  if (!status.ok()) return status;
  return ConvertReplyText(reply);
}

Result<std::string> ServiceGetVerifiedBinary(const std::string& url) {
  std::string reply;
  Status status = Perform(kBinaryGet, url, nullptr, reply, true);
  if (!status.ok()) return status;
  return reply;
}

std::string ServiceBaseUrl() {
  const char* fromEnvironment = ::secure_getenv("SORVANTA_SERVICE_URL");
  std::string base = (fromEnvironment != nullptr && *fromEnvironment != '\0') ? fromEnvironment
                                                                            : SORVANTA_DEFAULT_SERVICE_URL;
  // Paths are appended without a leading "/", so a base given without its final "/"
  // would glue the path onto the host or the last folder name.
  if (!base.empty() && base.back() != '/') base += '/';
  return base;
}

std::string ServiceUrl(const std::string& path) { return ServiceBaseUrl() + path; }

const std::string& ClientTag() {
  static const std::string tag;
  return tag;
}

bool ServiceGlobalInit() { return EnsureCurlReady(); }

void ServiceGlobalCleanup() {
  // The process is ending: with a request still running the system reclaims libcurl anyway.
  if (requestsInFlight.load() > 0) return;
  if (EnsureCurlReady()) curl_global_cleanup();
}

}  // namespace sorvanta
