// The disk engine's events double: records every event in order with its payload, from
// any thread (the 64 concurrent workers log too), with CallRecorder's hook on each.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "diskbench/disk_events.h"
#include "support/call_recorder.h"

namespace sorvanta::testing {

struct DiskEvent {
  char kind;  // L log, P progress, S speed, B bar, C cell
  std::string text;
  int a = 0, b = 0;                // progress: percent, chart line; bar: index; cell: column
  std::optional<double> x{}, y{};  // speed: instant, average; bar and cell: MB/s
  bool wait = false;               // speed: whether the call waits
};

class RecordingDiskEvents : public diskbench::DiskEvents, public CallRecorder<DiskEvent> {
 public:
  void Log(const std::string& text) override { Add({'L', text}); }
  void Progress(int percent, int line) override { Add({'P', "", percent, line}); }
  void Speed(std::optional<double> i, std::optional<double> a, bool wait) override {
    Add({'S', "", 0, 0, i, a, wait});
  }
  void Bar(double v, int index) override { Add({'B', "", index, 0, v}); }
  void Cell(std::optional<double> v, int column) override { Add({'C', "", column, 0, v}); }

  // The events whose kind is one of kinds, in order.
  std::vector<DiskEvent> Of(const std::string& kinds) const {
    return Where([&](const DiskEvent& e) { return kinds.find(e.kind) != std::string::npos; });
  }
  std::vector<std::string> Logs() const {
    std::vector<std::string> out;
    for (const DiskEvent& e : Of("L")) out.push_back(e.text);
    return out;
  }
};

}  // namespace sorvanta::testing
