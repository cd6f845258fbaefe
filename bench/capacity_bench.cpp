// Capacity check speed: SM3 over 16 MiB blocks (one core, all cores), the generator threads'
// block rate, and a whole run on a folder (fill and read-back throughput, peak memory).
//
// The whole-run benchmark needs SORVANTA_BENCH_DIR (a folder it may fill with test files)
// and SORVANTA_BENCH_BYTES (how much to write); bench/capacity_vs_dd.sh sets both and puts
// the figures beside a plain direct sequential write and read of the same amount.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>

#include "capacity/capacity_run.h"
#include "platform/cpu.h"
#include "base/crypto.h"

namespace sorvanta::capacity {
namespace {

void BM_Sm3Block(benchmark::State& state) {
  platform::AlignedBuffer block(kCapacityBlockSize);
  PatternStream stream(1);
  BuildTestBlock(stream, block.data());
  uint8_t digest[32];
  for (auto _ : state) {
    Sm3Digest(block.data(), kCapacityBlockSize, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kCapacityBlockSize);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sm3Block)->Unit(benchmark::kMillisecond)->UseRealTime()->ThreadRange(1, 4);

void BM_BuildBlock(benchmark::State& state) {
  platform::AlignedBuffer block(kCapacityBlockSize);
  PatternStream stream(1);
  for (auto _ : state) BuildTestBlock(stream, block.data());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kCapacityBlockSize);
}
BENCHMARK(BM_BuildBlock)->Unit(benchmark::kMillisecond);

// Blocks per second the generators deliver with digests (min(CPUs, 4) threads by default).
void BM_Generators(benchmark::State& state) {
  int threads = state.range(0) > 0 ? static_cast<int>(state.range(0)) : std::min(platform::ProcessCpuCount(), 4);
  PatternStream stream(1);
  BlockBufferPool pool;
  BlockGenerators generators(stream, pool, true);
  generators.Start(threads);
  // Let the queue fill once, so that the rate below is the steady one.
  for (size_t i = 0; i < kBlockQueueLimit; ++i) pool.Release(generators.Take().data);
  for (auto _ : state) pool.Release(generators.Take().data);
  generators.Join();
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kCapacityBlockSize);
  state.counters["threads"] = threads;
}
BENCHMARK(BM_Generators)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);

// CPU seconds used so far by the whole process (every thread), or by the calling thread.
double CpuSeconds(int who) {
  rusage ru{};
  getrusage(who, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Notes when (wall clock and process CPU time) the fill and the read-back begin and end.
class TimingReporter : public CapacityEvents {
 public:
  using Clock = std::chrono::steady_clock;
  void Log(const std::string& m) override {
    std::lock_guard<std::mutex> l(mu_);
    if (m == "准备填充...") {
      fillStart = Clock::now();
      cpuFillStart = CpuSeconds(RUSAGE_SELF);
    }
    if (m.rfind("校验文件：", 0) == 0 && verifyStart == Clock::time_point{}) {
      verifyStart = Clock::now();
      cpuVerifyStart = CpuSeconds(RUSAGE_SELF);
    }
    if (m == "清理数据中...") {
      verifyEnd = Clock::now();
      cpuVerifyEnd = CpuSeconds(RUSAGE_SELF);
    }
    last = m;
  }
  double cpuFillStart = 0, cpuVerifyStart = 0, cpuVerifyEnd = 0;
  void Remaining(uint64_t) override {}
  void Speed(uint64_t, uint32_t) override {}
  void Progress(int) override {}
  std::mutex mu_;
  Clock::time_point fillStart, verifyStart, verifyEnd;
  std::string last;
};

void BM_CapacityRunOnFolder(benchmark::State& state) {
  const char* dir = std::getenv("SORVANTA_BENCH_DIR");
  const char* bytes = std::getenv("SORVANTA_BENCH_BYTES");
  if (!dir || !bytes) {
    state.SkipWithError("set SORVANTA_BENCH_DIR and SORVANTA_BENCH_BYTES (see bench/capacity_vs_dd.sh)");
    return;
  }
  auto stream = std::make_shared<PatternStream>(1);
  // SM3's cost per byte on one core, in CPU time, which a busy machine does not distort.
  platform::AlignedBuffer block(kCapacityBlockSize);
  BuildTestBlock(*stream, block.data());
  uint8_t digest[32];
  double t0 = CpuSeconds(RUSAGE_THREAD);
  for (int i = 0; i < 4; ++i) Sm3Digest(block.data(), kCapacityBlockSize, digest);
  const double sm3CpuPerByte = (CpuSeconds(RUSAGE_THREAD) - t0) / (4.0 * kCapacityBlockSize);
  CapacityResult result;
  TimingReporter reporter;
  for (auto _ : state) {
    CapacityOptions o;
    o.root = dir;
    o.freeBytes = std::strtoull(bytes, nullptr, 10);
    o.stream = stream;
    result = RunCapacityCheck(o, reporter, std::stop_token());
  }
  if (result.end != CapacityEnd::kFinished || result.errors != 0) {
    state.SkipWithError(("run did not finish cleanly: " + reporter.last).c_str());
    return;
  }
  auto secs = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
  const double mib = 1024.0 * 1024.0;
  state.counters["fill_MiBps"] = result.writtenBytes / mib / secs(reporter.fillStart, reporter.verifyStart);
  state.counters["readback_MiBps"] = result.verifiedBytes / mib / secs(reporter.verifyStart, reporter.verifyEnd);
  // Share of the run's CPU time that is SM3 itself: near 1 means generation, copying and
  // the pipeline add little, so on idle cores the run goes as fast as SM3 allows.
  state.counters["fill_sm3_share"] = result.writtenBytes * sm3CpuPerByte / (reporter.cpuVerifyStart - reporter.cpuFillStart);
  state.counters["readback_sm3_share"] = result.verifiedBytes * sm3CpuPerByte / (reporter.cpuVerifyEnd - reporter.cpuVerifyStart);
  state.counters["sm3_core_MiBps"] = 1.0 / sm3CpuPerByte / mib;
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  state.counters["peak_RSS_MiB"] = ru.ru_maxrss / 1024.0;
}
BENCHMARK(BM_CapacityRunOnFolder)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace
}  // namespace sorvanta::capacity
