// A per-thread pseudo-random generator with rand()'s range 0..32767.
// Each thread has its own state (never glibc's shared rand()), seeded with ThreadSrand.
#pragma once

#include <cstdint>

namespace sorvanta::platform {

constexpr int kThreadRandMax = 32767;
void ThreadSrand(uint32_t seed);
int ThreadRand();

}  // namespace sorvanta::platform
