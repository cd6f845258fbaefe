// The engine's 4 KiB random tests at queue depth 1 on an existing file, for comparing them
// with fio on the very same file (bench/disk_4k_vs_fio.sh runs both, alternating).
//
// SORVANTA_BENCH_FILE names the file (it must exist; it is written to but kept);
// SORVANTA_BENCH_MS sets each test's duration (default 10000).
//
// Besides MB/s it reports the thread's CPU time (user + system, from getrusage like fio's
// own usr/sys figures) per I/O: what the program itself spends on each transfer, which the
// device's speed swings do not blur.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>

#include "diskbench/disk_engine.h"
#include "platform/direct_io.h"

namespace sorvanta::diskbench {
namespace {

double ThreadCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void Run4K(benchmark::State& state, bool write) {
  const char* file = std::getenv("SORVANTA_BENCH_FILE");
  if (!file) return state.SkipWithError("set SORVANTA_BENCH_FILE to an existing file");
  const char* ms = std::getenv("SORVANTA_BENCH_MS");
  DiskTestOptions opt;
  opt.root = "bench";
  opt.engine.randomTestMs = ms ? static_cast<uint32_t>(std::atoi(ms)) : 10000;
  platform::AlignedBuffer block(kBlockSize);
  NoDiskEvents events;
  DiskResult result;
  bool ok = true;
  double cpuSeconds = 0;
  double wallSeconds = 0;
  for (auto _ : state) {
    double cpuBefore = ThreadCpuSeconds();
    auto wallBefore = std::chrono::steady_clock::now();
    ok = write ? RandWrite4KTest(file, opt, block.data(), events, result, {})
               : RandRead4KTest(file, opt, block.data(), events, result, {});
    wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    cpuSeconds = ThreadCpuSeconds() - cpuBefore;
  }
  if (!ok) return state.SkipWithError("the test failed");
  const double mbps = result.cells.Value(write ? 4 : 5).value_or(0);
  state.counters["MBps"] = mbps;
  // The test's own figure is MB/s over its time, so MB/s x time gives its I/O count.
  double ios = mbps * 1048576.0 * wallSeconds / kSmallIo;
  state.counters["cpu_us_per_io"] = ios > 0 ? cpuSeconds * 1e6 / ios : 0;
}

void BM_RandWrite4K(benchmark::State& state) { Run4K(state, true); }
void BM_RandRead4K(benchmark::State& state) { Run4K(state, false); }
BENCHMARK(BM_RandWrite4K)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_RandRead4K)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace sorvanta::diskbench
