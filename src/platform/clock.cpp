#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace sorvanta::platform {
namespace {
std::function<uint32_t()>& TickOverride() {
  static std::function<uint32_t()> f;
  return f;
}
std::function<std::time_t()>& WallOverride() {
  static std::function<std::time_t()> f;
  return f;
}
}  // namespace

uint32_t TickMs() {
  if (auto& f = TickOverride()) return f();
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

std::time_t WallClock() {
  if (auto& f = WallOverride()) return f();
  return std::time(nullptr);
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void SetTickSourceForTesting(std::function<uint32_t()> source) { TickOverride() = std::move(source); }
void SetWallClockForTesting(std::function<std::time_t()> source) { WallOverride() = std::move(source); }

}  // namespace sorvanta::platform
