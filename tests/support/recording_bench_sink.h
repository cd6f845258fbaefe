// A BenchSink for tests: records every notification in order with its payload, from any
// thread, and can run a hook on each (for example to press stop at a chosen moment).
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/bench_sink.h"

namespace sorvanta::testing {

struct BenchEvent {
  char kind;  // L log, D done, P progress, S speed, B bar, C cell, R row done
  std::string text;
  int a = 0, b = 0;  // progress: percent, chart line; bar: index; cell: column; row
  std::optional<double> x{}, y{};  // speed: instant, average; bar and cell: MB/s
  bool wait = false;           // progress and speed: whether the call waited
};

class RecordingBenchSink : public BenchSink {
 public:
  // Runs after each event is recorded, on the notifying thread.
  std::function<void(const BenchEvent&)> hook;

  void Log(const std::string& text) override { Add({'L', text, 0, 0, {}, {}, false}); }
  void Done(const std::string& text, const std::string&) override { Add({'D', text, 0, 0, {}, {}, false}); }
  void Progress(int percent, int line, bool wait) override { Add({'P', "", percent, line, {}, {}, wait}); }
  void Speed(std::optional<double> i, std::optional<double> a, bool wait) override {
    Add({'S', "", 0, 0, i, a, wait});
  }
  void Bar(double v, int index) override { Add({'B', "", index, 0, v, {}, false}); }
  void Cell(std::optional<double> v, int column) override { Add({'C', "", column, 0, v, {}, false}); }
  void RowDone(int row) override { Add({'R', "", row, 0, {}, {}, false}); }

  std::vector<BenchEvent> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  // The events whose kind is one of kinds, in order.
  std::vector<BenchEvent> Of(const std::string& kinds) {
    std::vector<BenchEvent> out;
    for (const BenchEvent& e : Events())
      if (kinds.find(e.kind) != std::string::npos) out.push_back(e);
    return out;
  }
  std::vector<std::string> Logs() {
    std::vector<std::string> out;
    for (const BenchEvent& e : Of("L")) out.push_back(e.text);
    return out;
  }

 private:
  void Add(BenchEvent e) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(e);
    }
    if (hook) hook(e);
  }
  std::mutex mu_;
  std::vector<BenchEvent> events_;
};

}  // namespace sorvanta::testing
