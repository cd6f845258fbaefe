#include "diskbench/ui/disk_window_events.h"

namespace sorvanta::ui {

DiskWindowEvents::DiskWindowEvents(QWidget* window, diskbench::DiskBenchRun& run) : calls_(window), run_(run) {}

DiskWindowEvents::~DiskWindowEvents() { Detach(); }

void DiskWindowEvents::Detach() { calls_.Detach(); }

// A queued call runs only before Detach, which the owner calls before this object and the
// run logic go, so capturing this is safe.
void DiskWindowEvents::Log(const std::string& text) {
  calls_.Post([this, text] { run_.OnLog(text); }, true);
}

void DiskWindowEvents::Progress(int percent, int chartLine) {
  calls_.Post([this, percent, chartLine] { run_.OnProgress(percent, chartLine); }, false);
}

void DiskWindowEvents::Speed(std::optional<double> instant, std::optional<double> average, bool wait) {
  calls_.Post([this, instant, average] { run_.OnSpeed(instant, average); }, wait);
}

void DiskWindowEvents::Bar(double mbps, int bar) {
  calls_.Post([this, mbps, bar] { run_.OnBar(mbps, bar); }, true);
}

void DiskWindowEvents::Cell(std::optional<double> mbps, int column) {
  calls_.Post([this, mbps, column] { run_.OnCell(mbps, column); }, true);
}

}  // namespace sorvanta::ui
