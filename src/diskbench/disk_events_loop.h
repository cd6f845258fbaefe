// Carries the disk engine's events to a DiskBenchRun through a TaskLoop that plays the
// window thread (the command line, tests, benchmarks): each call is posted to the loop,
// waiting where the event waits, and runs the matching handler there.
#pragma once

#include "base/task_loop.h"
#include "diskbench/disk_presenter.h"
#include "diskbench/disk_events.h"

namespace sorvanta::diskbench {

class LoopDiskEvents : public DiskEvents {
 public:
  // Both must outlive every call; TaskLoop::Shutdown drops later ones.
  LoopDiskEvents(TaskLoop& loop, DiskBenchRun& run) : loop_(loop), run_(run) {}
  void Log(const std::string& text) override;
  void Progress(int percent, int chartLine) override;
  void Speed(std::optional<double> instant, std::optional<double> average, bool wait) override;
  void Bar(double mbps, int bar) override;
  void Cell(std::optional<double> mbps, int column) override;

 private:
  TaskLoop& loop_;
  DiskBenchRun& run_;
};

}  // namespace sorvanta::diskbench
