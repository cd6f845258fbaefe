// The token request budget per client address: a burst, then one per second, and a map of
// addresses that stays bounded however many addresses come.
#include "server/rate_limits.h"

#include <gtest/gtest.h>

#include <string>

namespace sorvanta::server {
namespace {

TEST(RateLimits, BudgetPerAddressAndABoundedNumberOfAddresses) {
  ServiceOptions options;
  options.tokenRequestBurst = 3;
  RateLimits limits(options);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(limits.AdmitTokenRequest("192.0.2.1", 0));
  EXPECT_FALSE(limits.AdmitTokenRequest("192.0.2.1", 0));
  EXPECT_TRUE(limits.AdmitTokenRequest("192.0.2.1", 1000));  // one more per second

  // Many addresses within one second: the oldest are forgotten, the map stops growing.
  for (size_t i = 0; i < RateLimits::kMaxAddresses + 1000; ++i) {
    limits.AdmitTokenRequest("10." + std::to_string(i), 1500);
  }
  EXPECT_EQ(limits.AddressesKept(), RateLimits::kMaxAddresses);
  // Once their budgets refilled, addresses are forgotten as new ones come.
  EXPECT_TRUE(limits.AdmitTokenRequest("192.0.2.9", 10000));
  EXPECT_EQ(limits.AddressesKept(), 1u);
}

}  // namespace
}  // namespace sorvanta::server
