// The three blocking request operations to the online service (libcurl).
//
// Each logs the URL (level Notice, echoed), tries the transfer up to five times, logs
// every failure ("curl err ret=<code> url=<url>", level Error, in the file only: the user is
// told once, in words, through ServiceFailureText) and returns the
// reply body of the one successful attempt, or, when none succeeded, the failure of the
// last attempt: kUnreachable (no connection), kTimedOut, kTooLarge (the reply passed its
// limit), kUntrusted (verified requests only), kTransferFailed (cut short, too many
// redirects, anything else), with libcurl's words as the message and the errno of a failed
// connection; an empty URL fails with kInvalidArgument before anything is logged. HTTP
// status codes are not examined: an error page is a reply. Safe from any thread.
#pragma once

#include <cstddef>
#include <string>

#include "base/status.h"

namespace sorvanta {

// Whole-transfer time-outs of the three operations, in seconds.
constexpr long kTextPostTimeoutSec = 20;
constexpr long kTextGetTimeoutSec = 5;
constexpr long kBinaryGetTimeoutSec = 10;

// Largest reply body accepted, far above any honest one (text replies are a few
// kilobytes, papers and the program file a few megabytes). A longer reply fails that
// attempt like a transport error ("curl err ret=" 23 or 63) and is tried again.
constexpr size_t kMaxTextReplyBytes = size_t{16} << 20;
constexpr size_t kMaxBinaryReplyBytes = size_t{256} << 20;

// Text POST (20 s time-out, 5 redirects); the reply gets ConvertReplyText.
Result<std::string> ServicePostText(const std::string& url, const std::string& body);

// A reply with what the service said beside its body.
struct ServiceReply {
  std::string body;      // as ServicePostText returns it
  std::string refusal;   // the X-Sorvanta-Reason header, decoded; empty when there is none
  int retryAfterSec = 0; // the Retry-After header in seconds; 0 when there is none
};
// ServicePostText, keeping the service's reason for a refusal.
Result<ServiceReply> ServicePostForReply(const std::string& url, const std::string& body);

// One line for the user saying which server a failed request went to and what happened,
// e.g. "无法连接服务器 127.0.0.1:8443：连接被拒绝（服务没有运行？）".
std::string ServiceFailureText(const Status& failure, const std::string& url);
// "host:port" of a URL (just the host when it names no port).
std::string ServiceHostOf(const std::string& url);
// Where "排行榜" leads: for a service on this machine (its URL names 127.0.0.0/8, ::1 or
// localhost) the ranking page the service also serves in plain HTTP on 127.0.0.1 at its
// port + 1, which a browser opens without a certificate; otherwise the HTTPS page.
std::string RankingPageUrl();
// Text GET (5 s time-out, 5 redirects); the reply gets ConvertReplyText.
Result<std::string> ServiceGetText(const std::string& url);
// Binary GET (10 s time-out, 10 redirects); the reply bytes unchanged.
Result<std::string> ServiceGetBinary(const std::string& url);

// The service base URL: $SORVANTA_SERVICE_URL when set, else the compiled-in one. Always
// ends in "/" (added when the configured value lacks it).
std::string ServiceBaseUrl();
// Base URL followed by a path without a leading "/".
std::string ServiceUrl(const std::string& path);

// The process-wide client tag appended after "||" to both result submissions (may be empty).
const std::string& ClientTag();

// A GET whose peer must prove itself: the certificate must chain to the system's CA store
// or to the CA certificate in the file $SORVANTA_SERVICE_CA (when that is not set, the
// compiled-in file of the installed service's CA, /var/lib/sorvanta-service/ca.pem), and
// name the host; only https
// is spoken, redirects included. A peer that cannot be verified, or an address that is not
// https, fails at once with kUntrusted. Otherwise like ServiceGetText / ServiceGetBinary.
Result<std::string> ServiceGetVerifiedText(const std::string& url);
Result<std::string> ServiceGetVerifiedBinary(const std::string& url);

// libcurl's process-wide set-up and release: call Init at program start and Cleanup once at
// the end, after the last request. Init returns false when libcurl cannot start. (The first
// request sets libcurl up by itself when Init was not called, once and thread-safely.)
// Cleanup does nothing while a request is still running on another thread.
bool ServiceGlobalInit();
void ServiceGlobalCleanup();

}  // namespace sorvanta
