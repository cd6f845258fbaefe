// The disk engine's events delivered to the disk window's run logic on the window thread.
//
// Engine threads call this object; each call copies its arguments and is carried to the
// window thread through ui::QueuedCalls: the waiting events block until the run logic's
// handler ran, the others are queued. After Detach (or once the window is gone) calls are
// dropped and waiting callers released, so the window may then wait for the run to end.
#pragma once

#include "diskbench/disk_presenter.h"
#include "diskbench/disk_events.h"
#include "ui/queued_calls.h"

class QWidget;

namespace sorvanta::ui {

class DiskWindowEvents : public diskbench::DiskEvents {
 public:
  // Window thread. run must stay alive until Detach.
  DiskWindowEvents(QWidget* window, diskbench::DiskBenchRun& run);
  ~DiskWindowEvents() override;
  DiskWindowEvents(const DiskWindowEvents&) = delete;
  DiskWindowEvents& operator=(const DiskWindowEvents&) = delete;

  // Window thread: drops every call not yet handled and every later one.
  void Detach();

  void Log(const std::string& text) override;
  void Progress(int percent, int chartLine) override;
  void Speed(std::optional<double> instant, std::optional<double> average, bool wait) override;
  void Bar(double mbps, int bar) override;
  void Cell(std::optional<double> mbps, int column) override;

 private:
  QueuedCalls calls_;
  diskbench::DiskBenchRun& run_;  // used only on the window thread, before Detach
};

}  // namespace sorvanta::ui
