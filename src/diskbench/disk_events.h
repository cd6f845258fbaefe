// What the disk test engine reports while it runs.
//
// The engine calls these from its own threads (the sequence's thread; Log also from the
// 64 concurrent workers). A call that "waits" returns only after the receiver has handled
// it (a window: once its thread ran the handler); the others may return at once. Texts are
// valid only during the call, so a receiver that keeps one copies it.
#pragma once

#include <optional>
#include <string>

namespace sorvanta::diskbench {

class DiskEvents {
 public:
  virtual ~DiskEvents() = default;
  // A line for the log. Waits.
  virtual void Log(const std::string& text) = 0;
  // Percent 0..100 of the running test, and the chart line it belongs to: 0 (sequential
  // write), 1 (sequential read) or -1 (none). Does not wait.
  virtual void Progress(int percent, int chartLine) = 0;
  // Instant and average MB/s, each optional. Waits only when wait is set (the one call
  // with neither value that clears the speed line before the concurrent test).
  virtual void Speed(std::optional<double> instant, std::optional<double> average, bool wait) = 0;
  // The MB/s of chart bar 0..3 (4K write, 4K read, 64-thread write, 64-thread read). Waits.
  virtual void Bar(double mbps, int bar) = 0;
  // A result cell as it completes: MB/s, or none for "未测试", in result column 1..7. Waits.
  virtual void Cell(std::optional<double> mbps, int column) = 0;
};

// Events nobody listens to (benchmarks of the engine alone).
class NoDiskEvents : public DiskEvents {
 public:
  void Log(const std::string&) override {}
  void Progress(int, int) override {}
  void Speed(std::optional<double>, std::optional<double>, bool) override {}
  void Bar(double, int) override {}
  void Cell(std::optional<double>, int) override {}
};

}  // namespace sorvanta::diskbench
