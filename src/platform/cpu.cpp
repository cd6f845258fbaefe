#include "platform/cpu.h"

#include <pthread.h>
#include <sched.h>

namespace sorvanta::platform {
namespace {

// The process's affinity set as read at the first call, so that pinned threads do not
// shrink what later callers see.
const cpu_set_t& ProcessSet() {
  static const cpu_set_t set = [] {
    cpu_set_t s;
    CPU_ZERO(&s);
    if (sched_getaffinity(0, sizeof(s), &s) != 0) CPU_SET(0, &s);
    return s;
  }();
  return set;
}

}  // namespace

int ProcessCpuCount() {
  int n = CPU_COUNT(&ProcessSet());
  return n > 0 ? n : 1;
}

bool PinCurrentThreadToNthCpu(int k) {
  if (k < 0) return false;
  const cpu_set_t& set = ProcessSet();
  int seen = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &set)) continue;
    if (seen++ == k) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      return pthread_setaffinity_np(pthread_self(), sizeof(one), &one) == 0;
    }
  }
  return false;
}

}  // namespace sorvanta::platform
