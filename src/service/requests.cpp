#include "service/requests.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <atomic>
#include <iterator>
#include <mutex>

#include "build_config.h"
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

// Response headers are only collected, never read; a hostile server must not grow them
// without bound either.
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
// $SORVANTA_SERVICE_CA. Empty when there is no extra CA (libcurl then uses the store alone).
std::string ServiceCaBundle(CURL* handle) {
  const char* extraPath = ::secure_getenv("SORVANTA_SERVICE_CA");
  std::string extra;
  if (extraPath == nullptr || *extraPath == '\0' || !ReadFileText(extraPath, extra)) return {};
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
               std::string& reply, bool verified = false) {
  reply.clear();
  if (url.empty()) return Status::Error(StatusCode::kInvalidArgument, "no address");
  LogLine(url, kLogNotice, true);

  InFlight inFlight;
  EnsureCurlReady();
  CURL* handle = curl_easy_init();
  if (handle == nullptr) return Status::Error(StatusCode::kTransferFailed, "libcurl cannot start a transfer");

  std::string headers;  // collected because the transfer needs somewhere to put them
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
            kLogError, true);
    outcome = Status::Error(CodeOfTransferFailure(code, verified),
                            errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code));
    if (outcome.code() == StatusCode::kUntrusted) break;  // trying again cannot change the certificate
  }
  curl_easy_cleanup(handle);
  if (!outcome.ok()) reply.clear();
  return outcome;
}

}  // namespace

Result<std::string> ServicePostText(const std::string& url, const std::string& body) {
  std::string reply;
  Status status = Perform(kTextPost, url, &body, reply);
  if (!status.ok()) return status;
  return ConvertReplyText(reply);
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
