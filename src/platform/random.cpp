#include "platform/random.h"

namespace sorvanta::platform {
namespace {
thread_local uint32_t t_state = 1;
}

void ThreadSrand(uint32_t seed) { t_state = seed; }

int ThreadRand() {
  t_state = t_state * 214013u + 2531011u;
  return static_cast<int>((t_state >> 16) & 0x7fff);
}

}  // namespace sorvanta::platform
