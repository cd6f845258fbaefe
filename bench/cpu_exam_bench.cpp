// Exam throughput: blocks per second of one worker and of all CPUs working at once.
//
// BM_ExamBlock is the bare cost of one block (two SM3 and two SM4 passes over 1 MiB).
// BM_ExamPaperLoop runs the worker's own timed loop (answers, key decoding, clock) over a
// paper and should match it: anything the loop adds beyond the block is overhead.
// BM_ExamMultiCore pins one thread per CPU of the affinity set, as the multi-core phase
// does; its items/s is the machine's total blocks per second. Its ratio to BM_ExamBlock
// is the multi/single ratio that the two exam phases should show.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cpubench/exam_worker.h"
#include "platform/cpu.h"

namespace {

using sorvanta::cpubench::ExamBlockWorker;
using sorvanta::cpubench::GM_ExamData;

const std::string kKey = "00112233445566778899aabbccddeeff";

void BM_ExamBlock(benchmark::State& state) {
  ExamBlockWorker work;
  uint8_t block[32] = {1, 2, 3};
  uint8_t answer[32];
  for (auto _ : state) {
    block[0]++;
    benchmark::DoNotOptimize(work.WorkBlock(block, kKey, answer));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExamBlock)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ExamPaperLoop(benchmark::State& state) {
  ExamBlockWorker work;
  GM_ExamData data;
  data.sm4key = kKey;
  data.paper = std::string(32 * 16, 'p');
  long blocks = 0;
  for (auto _ : state) {
    data.answers.clear();
    blocks += sorvanta::cpubench::WorkExamPaper(&data, 1000000, &work);
  }
  state.SetItemsProcessed(blocks);
}
BENCHMARK(BM_ExamPaperLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

// One pinned thread per CPU, each working kBlocksPerThread blocks; items are the
// blocks of all threads, timed from the first start to the last join.
void BM_ExamMultiCore(benchmark::State& state) {
  constexpr int kBlocksPerThread = 4;
  const int cpus = sorvanta::platform::ProcessCpuCount();
  std::vector<std::unique_ptr<ExamBlockWorker>> workers;
  for (int i = 0; i < cpus; ++i) workers.push_back(std::make_unique<ExamBlockWorker>());
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int i = 0; i < cpus; ++i) {
      threads.emplace_back([i, &workers] {
        sorvanta::platform::PinCurrentThreadToNthCpu(i);
        uint8_t block[32] = {static_cast<uint8_t>(i)};
        uint8_t answer[32];
        for (int k = 0; k < kBlocksPerThread; ++k) {
          block[1] = static_cast<uint8_t>(k);
          benchmark::DoNotOptimize(workers[i]->WorkBlock(block, kKey, answer));
        }
      });
    }
    for (auto& t : threads) t.join();
  }
  state.SetItemsProcessed(state.iterations() * cpus * kBlocksPerThread);
  state.counters["cpus"] = cpus;
}
BENCHMARK(BM_ExamMultiCore)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
