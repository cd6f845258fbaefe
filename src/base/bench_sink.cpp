#include "base/bench_sink.h"

#include <atomic>

namespace sorvanta {
namespace {
std::atomic<BenchSink*> g_currentSink{nullptr};
}

void SetCurrentBenchSink(BenchSink* sink) { g_currentSink.store(sink, std::memory_order_release); }
BenchSink* CurrentBenchSink() { return g_currentSink.load(std::memory_order_acquire); }

void BenchLog(const std::string& text) {
  if (BenchSink* s = CurrentBenchSink()) s->Log(text);
}
void BenchDone(const std::string& text, const std::string& second) {
  if (BenchSink* s = CurrentBenchSink()) s->Done(text, second);
}
void BenchProgress(int percent, int chartLine, bool wait) {
  if (BenchSink* s = CurrentBenchSink()) s->Progress(percent, chartLine, wait);
}
void BenchSpeed(std::optional<double> instant, std::optional<double> average, bool wait) {
  if (BenchSink* s = CurrentBenchSink()) s->Speed(instant, average, wait);
}
void BenchBar(double mbps, int index) {
  if (BenchSink* s = CurrentBenchSink()) s->Bar(mbps, index);
}
void BenchCell(std::optional<double> mbps, int column) {
  if (BenchSink* s = CurrentBenchSink()) s->Cell(mbps, column);
}
void BenchRowDone(int row) {
  if (BenchSink* s = CurrentBenchSink()) s->RowDone(row);
}

}  // namespace sorvanta
