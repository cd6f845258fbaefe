// What the disk run logic adds to the engine's figures: the same short sequence on the same
// folder, once with the engine alone (events nobody listens to) and once through
// DiskBenchRun with its task loop playing the window thread, which is the path of the
// window and the command line. Each repetition is one whole sequence; run with
// --benchmark_enable_random_interleaving=true so that the two paths alternate
// (bench/disk_run_overhead.sh does). A third benchmark prices one event on each path.
//
// Needs SORVANTA_BENCH_DIR, a folder on a volume that accepts O_DIRECT (the test file goes
// there); SORVANTA_BENCH_BYTES sets the sequential size (default 1 GiB).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "diskbench/disk_presenter.h"
#include "diskbench/disk_events_loop.h"
#include "diskbench/disk_results.h"
#include "platform/volumes.h"

namespace sorvanta::diskbench {
namespace {

std::string BenchDir() {
  const char* d = std::getenv("SORVANTA_BENCH_DIR");
  std::string dir = d ? d : "";
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

uint64_t BenchBytes() {
  const char* b = std::getenv("SORVANTA_BENCH_BYTES");
  std::optional<uint64_t> n = b ? ParseByteSize(b) : std::nullopt;
  return n ? *n : (1ull << 30);
}

// The mount point that holds dir.
std::string VolumeOf(const std::string& dir) {
  std::string best;
  for (const platform::Volume& v : platform::Volumes().List()) {
    bool under = v.root == "/" || dir.rfind(v.root + "/", 0) == 0;
    if (under && v.root.size() >= best.size() && platform::SameFileSystem(v.root, dir)) best = v.root;
  }
  return best;
}

DiskEngineOptions Options(const std::string& dir) {
  DiskEngineOptions o;
  o.randomTestMs = 3000;
  o.concurrentTicks = 3;
  o.tickMs = 1000;
  o.tempFolder = dir;
  return o;
}

void Report(benchmark::State& state, const DiskCells& r) {
  const char* names[] = {"seqwrite", "nobuf", "seqread", "4kwrite", "4kread", "64twrite", "64tread"};
  for (int c = 1; c <= 7; ++c)
    if (c != 2) state.counters[names[c - 1]] = r.Value(c).value_or(0);
}

void BM_EngineDirect(benchmark::State& state) {
  std::string dir = BenchDir(), root = VolumeOf(dir);
  if (dir.empty() || root.empty()) return state.SkipWithError("set SORVANTA_BENCH_DIR to a folder on a volume");
  NoDiskEvents events;
  DiskTestOptions opt;
  opt.root = root;
  opt.writeSize = BenchBytes();
  opt.engine = Options(dir);
  DiskResult result;
  for (auto _ : state) result = RunTestSequence(opt, events, {});
  Report(state, result.cells);
}
BENCHMARK(BM_EngineDirect)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// A view that shows nothing: the window's drawing is not the run logic's cost.
class QuietView : public DiskRunView {
 public:
  explicit QuietView(TaskLoop& loop) : loop_(loop) {}
  void SetDriveLines(const std::vector<std::string>&, int) override {}
  DiskRunOptions Options() override { return {}; }
  void SetOptionChecked(DiskOption, bool) override {}
  void SetLaps(int) override {}
  void SetRunning(bool) override {}
  void SetStopEnabled(bool) override {}
  void SetScoreText(const std::string&) override {}
  void SetInfoLine(const std::string&) override {}
  void AppendLog(const std::string&) override {}
  void SetLogText(const std::string&) override {}
  void SetProgress(int) override {}
  void SetCell(int, int, const std::string&) override {}
  void DrawLine(int, const double*, const double*, int) override {}
  void SetBar(int, double, double) override {}
  void ClearBar(int) override {}
  void ShowStatus(const std::string&) override {}
  void ShowMessage(const std::string&, const std::string&, DiskMessageIcon) override {}
  bool Confirm(const std::string&) override { return true; }
  void Post(std::function<void()> task) override { loop_.Post(std::move(task)); }
  void RowCompleted(int, const std::string&, const DiskResult& r) override { result = r; }

  DiskResult result;  // of the last completed row

 private:
  TaskLoop& loop_;
};

void BM_ThroughRunLogic(benchmark::State& state) {
  std::string dir = BenchDir(), root = VolumeOf(dir);
  if (dir.empty() || root.empty()) return state.SkipWithError("set SORVANTA_BENCH_DIR to a folder on a volume");
  DiskResult result;
  for (auto _ : state) {
    TaskLoop loop;
    QuietView view(loop);
    DiskRunConfig config;
    config.standardWriteSize = BenchBytes();
    config.minFreeBytes = BenchBytes();
    config.engine = Options(dir);
    config.submit = config.saveHistory = false;
    config.enumerate = [root](DiskList& list) {
      list["bench/" + root] = DiskEntry{"", {root}, "bench", false};
      return true;
    };
    DiskBenchRun run(view, config);
    LoopDiskEvents events(loop, run);
    run.SetEvents(&events);
    run.OnRefreshDisks();
    if (!run.OnStartRun()) return state.SkipWithError("the run did not start (free space?)");
    loop.RunUntil([&run] { return !run.Running(); });
    result = view.result;
  }
  Report(state, result.cells);
}
BENCHMARK(BM_ThroughRunLogic)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// One progress event (the engine's most frequent) on each path: arg 0 the engine alone,
// arg 1 through the loop and the run logic, with the loop on its own thread.
void BM_ProgressNotification(benchmark::State& state) {
  NoDiskEvents direct;
  TaskLoop loop;
  QuietView view(loop);
  DiskRunConfig config;
  config.enumerate = [](DiskList&) { return true; };
  DiskBenchRun run(view, config);
  LoopDiskEvents throughLoop(loop, run);
  std::atomic<bool> done{false};
  std::thread window([&] {
    while (!done) loop.RunUntil([&] { return done.load(); }, 100);
  });
  DiskEvents& events = state.range(0) ? static_cast<DiskEvents&>(throughLoop) : direct;
  int p = 0;
  for (auto _ : state) events.Progress(p++ % 101, 0);
  if (state.range(0)) loop.Post([] {}, true);
  done = true;
  window.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProgressNotification)->Arg(0)->Arg(1);

}  // namespace
}  // namespace sorvanta::diskbench
