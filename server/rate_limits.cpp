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
  // Addresses whose budget has refilled are as good as new: forget them from the old end.
  while (!recent_.empty() && (nowMs - recent_.front().lastMs > burst_ * 1000LL || recent_.size() >= kMaxAddresses)) {
    if (recent_.front().address == clientAddress) break;
    buckets_.erase(recent_.front().address);
    recent_.pop_front();
  }
  auto found = buckets_.find(clientAddress);
  if (found == buckets_.end()) {
    recent_.push_back(Bucket{clientAddress, static_cast<double>(burst_), nowMs});
    found = buckets_.emplace(clientAddress, std::prev(recent_.end())).first;
  } else {
    recent_.splice(recent_.end(), recent_, found->second);
  }
  Bucket& b = *found->second;
  b.tokens = std::min<double>(burst_, b.tokens + static_cast<double>(nowMs - b.lastMs) / 1000.0);
  b.lastMs = nowMs;
  if (b.tokens < 1) return false;
  b.tokens -= 1;
  return true;
}

size_t RateLimits::AddressesKept() {
  std::lock_guard<std::mutex> lock(mu_);
  return buckets_.size();
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
