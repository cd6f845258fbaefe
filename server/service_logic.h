// What the service answers to each request of the contract, without the HTTP layer: every
// method takes the request body and returns the reply body (and, where it matters, whether
// the request was accepted). Safe to call from many request threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "server/rate_limits.h"
#include "server/service_options.h"
#include "server/store.h"

namespace sorvanta::server {

struct Reply {
  bool ok = false;   // false: refused, body explains (or is empty where the contract says so)
  std::string body;
  // Why a request was refused, in words for the user, sent beside the body (whose form the
  // contract fixes); and after how many seconds asking again can succeed (0 = not said).
  std::string reason;
  int retryAfterSec = 0;
};

// Score formulas, documented for the ranking page and the clients:
//   exam score  = floor(blocks * 100000 / max(exam duration ms, budget ms)),
//                 i.e. 100 points per block answered per second of the exam budget;
//   disk score  = round(0.25 * (linerbufferwrite + linernobufferwrite) + 0.5 * linerread
//                       + 8 * fourkwrite + 10 * fourkread + 1 * mtfourkwrite + 1.5 * mtfourkread).
int64_t ExamScore(int64_t blocks, int64_t durationMs, int64_t budgetMs);
int DiskScore(const double speeds[7]);
// The seven speed keys of a disk submission in the order of DiskScoreRecord::speeds.
extern const char* const kDiskSpeedKeys[7];

class ServiceLogic {
 public:
  ServiceLogic(Store* store, const ServiceOptions& options);

  // clientAddress: the requesting address (IPv6: its /64), the key of the per-address
  // limits; empty counts as one address of its own.
  Reply IssueToken(const std::string& body, const std::string& clientAddress);
  Reply IssueToken(const std::string& body) { return IssueToken(body, std::string()); }
  // The bytes of a known paper; false for any other name.
  bool Paper(const std::string& name, std::string* bytes);
  Reply StartExam(const std::string& body);
  Reply EndExam(const std::string& body);
  Reply SubmitCpuScore(const std::string& body);
  Reply SubmitDiskScore(const std::string& body, const std::string& clientAddress);
  Reply SubmitDiskScore(const std::string& body) { return SubmitDiskScore(body, std::string()); }
  std::string Announcement();
  // "version||URL" of the offered release, or empty when none is configured.
  std::string Version(const std::string& baseUrl);
  // The release file's path when name is the offered release file, else empty.
  std::string ReleasePath(const std::string& name);
  // JSON texts of the ranking page.
  std::string CpuRankingJson(int limit);
  std::string DiskRankingJson(int limit);

  // Test seams: the clocks in milliseconds and seconds since the epoch.
  void SetClockForTesting(std::function<int64_t()> nowMs);

 private:
  int64_t NowMs() const;
  int64_t NowSec() const { return NowMs() / 1000; }
  void ForgetOldTokens();
  Reply RepeatedSubmission(int64_t tokenId, const std::string& bodyDigest);
  // Papers are named by encrypting (token id, slot) under a kept key, so a download finds
  // its token without a stored row per paper; older tokens' papers come from the store.
  std::string PaperName(int64_t tokenId, int slot) const;
  std::optional<PaperRecord> FindPaper(const std::string& name);
  bool ReleaseInfo(std::string* version, std::string* path);

  Store* store_;
  ServiceOptions options_;
  std::function<int64_t()> clock_;

  std::string paperNameKey_;
  RateLimits limits_;
  std::mutex janitorMu_;
  int64_t lastJanitorSec_ = 0;
};

}  // namespace sorvanta::server
