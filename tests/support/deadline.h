// Deadlines for tests that wait on a condition. Each wait has a deadline of its own, a few
// seconds, multiplied by SORVANTA_TEST_TIME_SCALE (a number, default 1) on a machine loaded
// so much that ordinary work takes longer; a wait that runs out names what it waited for.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace sorvanta::testing {

// base times SORVANTA_TEST_TIME_SCALE (ignored unless it is a number of at least 1).
std::chrono::milliseconds Scaled(std::chrono::milliseconds base);
inline int ScaledMs(int ms) { return static_cast<int>(Scaled(std::chrono::milliseconds(ms)).count()); }

// Looks at done every millisecond or so until it holds, for at most the scaled deadline.
// Fails with "timed out after N ms waiting for <what>".
::testing::AssertionResult WaitUntil(const std::function<bool()>& done, const std::string& what,
                                     std::chrono::milliseconds deadline = std::chrono::seconds(5));

}  // namespace sorvanta::testing
