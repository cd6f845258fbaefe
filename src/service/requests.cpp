#include "service/requests.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "build_config.h"
#include "service/log.h"
#include "service/text.h"

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

// Runs one request with up to five attempts on one handle. Returns false when every
// attempt failed; reply then holds nothing.
bool Perform(const RequestKind& kind, const std::string& url, const std::string* body,
             std::string& reply) {
  reply.clear();
  if (url.empty()) return false;
  LogLine(url, kLogNotice, true);

  EnsureCurlReady();
  CURL* handle = curl_easy_init();
  if (handle == nullptr) return false;

  std::string headers;  // collected because the transfer needs somewhere to put them
  CappedBuffer replyBuffer{&reply, kind.maxReplyBytes};
  CappedBuffer headerBuffer{&headers, kMaxHeaderBytes};
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

  bool done = false;
  for (int attempt = 0; attempt < kAttempts && !done; ++attempt) {
    // A failed attempt may have received part of a reply; it must not precede the next
    // attempt's body.
    reply.clear();
    headers.clear();
    const CURLcode code = curl_easy_perform(handle);
    if (code == CURLE_OK) {
      done = true;
    } else {
      LogLine("curl err ret=" + std::to_string(static_cast<int>(code)) + " url=" + url,
              kLogError, true);
    }
  }
  curl_easy_cleanup(handle);
  if (!done) reply.clear();
  return done;
}

}  // namespace

std::string ServicePostText(const std::string& url, const std::string& body) {
  std::string reply;
  if (!Perform(kTextPost, url, &body, reply)) return {};
  return ConvertReplyText(reply);
}

std::string ServiceGetText(const std::string& url) {
  std::string reply;
  if (!Perform(kTextGet, url, nullptr, reply)) return {};
  return ConvertReplyText(reply);
}

std::string ServiceGetBinary(const std::string& url) {
  std::string reply;
  if (!Perform(kBinaryGet, url, nullptr, reply)) return {};
  return reply;
}

std::string ServiceBaseUrl() {
  const char* fromEnvironment = std::getenv("SORVANTA_SERVICE_URL");
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
  if (EnsureCurlReady()) curl_global_cleanup();
}

}  // namespace sorvanta
