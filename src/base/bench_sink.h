// The benchmark window messages as an interface.
//
// The CPU and disk benchmark windows implement BenchSink and make themselves the
// process-wide current sink while they are open; engine threads report through it.
// Calls come from engine threads. "Waits" means the call returns only after the window
// has handled it; texts are only valid during the call, so a window must copy them.
#pragma once

#include <optional>
#include <string>

namespace sorvanta {

class BenchSink {
 public:
  virtual ~BenchSink() = default;
  // WM_BENCH_LOG: append a line to the log box. Waits.
  virtual void Log(const std::string& text) = 0;
  // WM_BENCH_DONE: the run is over. CPU: result text and a second text; disk: one text. Waits.
  virtual void Done(const std::string& text, const std::string& second) = 0;
  // WM_BENCH_PROGRESS: percent 0..100 and chart line 0, 1 or -1 (CPU always -1).
  // wait is true for the CPU session, false for the disk engine.
  virtual void Progress(int percent, int chartLine, bool wait) = 0;
  // WM_BENCH_SPEED: instant and average MB/s, each optional. Waits only when wait is set
  // (the disk engine's one clearing call).
  virtual void Speed(std::optional<double> instant, std::optional<double> average, bool wait) = 0;
  // WM_BENCH_BAR: MB/s for bar index 0..3. Waits.
  virtual void Bar(double mbps, int index) = 0;
  // WM_BENCH_CELL: MB/s, or none for "未测试", in result-list column 1..7. Waits.
  virtual void Cell(std::optional<double> mbps, int column) = 0;
  // WM_BENCH_ROW_DONE: result-list row 0..3 is complete. Waits.
  virtual void RowDone(int row) = 0;
};

// The process-wide current sink; nullptr when no benchmark window is open.
void SetCurrentBenchSink(BenchSink* sink);
BenchSink* CurrentBenchSink();

// Forwarders to the current sink; they do nothing when there is none.
void BenchLog(const std::string& text);
void BenchDone(const std::string& text, const std::string& second);
void BenchProgress(int percent, int chartLine, bool wait);
void BenchSpeed(std::optional<double> instant, std::optional<double> average, bool wait);
void BenchBar(double mbps, int index);
void BenchCell(std::optional<double> mbps, int column);
void BenchRowDone(int row);

}  // namespace sorvanta
