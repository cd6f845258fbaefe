#include "support/deadline.h"

#include <cstdlib>
#include <thread>

namespace sorvanta::testing {

std::chrono::milliseconds Scaled(std::chrono::milliseconds base) {
  const char* text = std::getenv("SORVANTA_TEST_TIME_SCALE");
  if (!text || !*text) return base;
  char* end = nullptr;
  const double scale = std::strtod(text, &end);
  if (*end != '\0' || !(scale >= 1.0) || scale > 1000.0) return base;
  return std::chrono::milliseconds(static_cast<long long>(static_cast<double>(base.count()) * scale));
}

::testing::AssertionResult WaitUntil(const std::function<bool()>& done, const std::string& what,
                                     std::chrono::milliseconds deadline) {
  const auto limit = Scaled(deadline);
  const auto until = std::chrono::steady_clock::now() + limit;
  for (auto pause = std::chrono::microseconds(50);; pause = std::min(pause * 2, std::chrono::microseconds(2000))) {
    if (done()) return ::testing::AssertionSuccess();
    if (std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(pause);
  }
  if (done()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "timed out after " << limit.count() << " ms waiting for " << what;
}

}  // namespace sorvanta::testing
