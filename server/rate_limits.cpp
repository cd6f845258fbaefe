#include "server/rate_limits.h"

#include <algorithm>
#include <iterator>

namespace sorvanta::server {

RateLimits::RateLimits(const ServiceOptions& options)
    : burst_(options.tokenRequestBurst),
      tokenWindowSec_(options.rateLimitWindowSec),
      tokensPerAddressAndMachine_(std::max(0, options.rateLimitTokens)),
      tokensPerAddress_(std::max(0, options.rateLimitPerAddress)),
      diskWindowSec_(options.diskScoreWindowSec),
      disksPerSerial_(std::max(0, options.diskScoresPerSerial)),
      disksPerAddress_(std::max(0, options.diskScoresPerAddress)) {}

bool RateLimits::AdmitTokenRequest(const std::string& clientAddress, int64_t nowMs) {
  if (burst_ <= 0 || clientAddress.empty()) return true;
  std::lock_guard<std::mutex> lock(mu_);
  if (buckets_.size() > 100000) {
    // Forget addresses whose budget has refilled: they are as good as new.
    for (auto it = buckets_.begin(); it != buckets_.end();) {
      it = nowMs - it->second.lastMs > burst_ * 1000LL ? buckets_.erase(it) : std::next(it);
    }
  }
  auto [it, fresh] = buckets_.try_emplace(clientAddress);
  Bucket& b = it->second;
  if (fresh) b.tokens = burst_;
  b.tokens = std::min<double>(burst_, b.tokens + static_cast<double>(nowMs - b.lastMs) / 1000.0);
  b.lastMs = nowMs;
  if (b.tokens < 1) return false;
  b.tokens -= 1;
  return true;
}

TokenLimits RateLimits::TokenLimitsAt(int64_t nowSec) const {
  TokenLimits limits;
  limits.since = nowSec - tokenWindowSec_;
  limits.perAddressAndMachine = tokensPerAddressAndMachine_;
  limits.perAddress = tokensPerAddress_;
  return limits;
}

DiskLimits RateLimits::DiskScoreLimitsAt(int64_t nowSec) const {
  DiskLimits limits;
  limits.since = nowSec - diskWindowSec_;
  limits.perSerial = disksPerSerial_;
  limits.perAddress = disksPerAddress_;
  return limits;
}

void LiftLimitsWithoutTokenLimit(ServiceOptions* options, bool addressLimitGiven) {
  if (options->rateLimitTokens == 0 && !addressLimitGiven) {
    options->rateLimitPerAddress = 0;
    options->tokenRequestBurst = 0;
  }
}

}  // namespace sorvanta::server
