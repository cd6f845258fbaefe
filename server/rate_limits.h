// Every limit the service puts on how often its clients may ask, in one place: the token
// request budget per client address (checked before any decryption), the token and disk
// score counts per window (counted by the store, atomically with the insert) and the rule
// that a token limit of 0 without an explicit address limit lifts them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "server/service_options.h"
#include "server/store.h"

namespace sorvanta::server {

class RateLimits {
 public:
  explicit RateLimits(const ServiceOptions& options);

  // Admits one token request from the address: a burst of tokenRequestBurst, then one per
  // second. False when its budget is spent. Any thread. Constant time: addresses are kept
  // in the order they were last seen, refilled ones are forgotten from the old end, and
  // beyond kMaxAddresses the longest unseen is forgotten even before it has refilled.
  bool AdmitTokenRequest(const std::string& clientAddress, int64_t nowMs);
  static constexpr size_t kMaxAddresses = 100000;
  size_t AddressesKept();
  // What a token issued at nowSec must fit: per address and machine identity (so nobody
  // elsewhere can use up a machine's quota by sending its identity) and per address.
  TokenLimits TokenLimitsAt(int64_t nowSec) const;
  // What a disk score stored at nowSec must fit: per disk serial and per address.
  DiskLimits DiskScoreLimitsAt(int64_t nowSec) const;

 private:
  struct Bucket {
    std::string address;
    double tokens = 0;
    int64_t lastMs = 0;
  };
  const int burst_;
  const int tokenWindowSec_, tokensPerAddressAndMachine_, tokensPerAddress_;
  const int diskWindowSec_, disksPerSerial_, disksPerAddress_;
  std::mutex mu_;
  std::list<Bucket> recent_;  // least recently seen first
  std::unordered_map<std::string, std::list<Bucket>::iterator> buckets_;
};

// The program's options: --rate-limit 0 without --address-limit switches every request
// limit off (a test bed or a trusted network); an explicit address limit stays.
void LiftLimitsWithoutTokenLimit(ServiceOptions* options, bool addressLimitGiven);

}  // namespace sorvanta::server
