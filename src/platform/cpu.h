// Processors of the process's affinity set.
#pragma once

namespace sorvanta::platform {

// Number of CPUs in the process's affinity set (sched_getaffinity); at least 1.
int ProcessCpuCount();
// Pins the calling thread to the k-th CPU (0-based) of the process's affinity set.
// False when k is out of range or the kernel refuses.
bool PinCurrentThreadToNthCpu(int k);

}  // namespace sorvanta::platform
