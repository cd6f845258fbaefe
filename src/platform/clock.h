// Time sources: the 32-bit millisecond tick and the wall clock. Both can be replaced in
// tests; the replacement is process-wide and must be installed before threads use it.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>

namespace sorvanta::platform {

// Milliseconds from CLOCK_MONOTONIC, truncated to 32 bits (wraps after ~49 days).
uint32_t TickMs();
// Milliseconds from earlier to later, correct across one wrap-around.
inline uint32_t TickDiff(uint32_t later, uint32_t earlier) { return later - earlier; }
// Seconds since the epoch (time()).
std::time_t WallClock();
// Sleeps the calling thread.
void SleepMs(uint32_t ms);

// Test seams: nullptr restores the real source.
void SetTickSourceForTesting(std::function<uint32_t()> source);
void SetWallClockForTesting(std::function<std::time_t()> source);

}  // namespace sorvanta::platform
