#include "diskbench/disk_events_loop.h"

namespace sorvanta::diskbench {

void LoopDiskEvents::Log(const std::string& text) {
  loop_.Post([this, text] { run_.OnLog(text); }, true);
}
void LoopDiskEvents::Progress(int percent, int chartLine) {
  loop_.Post([this, percent, chartLine] { run_.OnProgress(percent, chartLine); }, false);
}
void LoopDiskEvents::Speed(std::optional<double> instant, std::optional<double> average, bool wait) {
  loop_.Post([this, instant, average] { run_.OnSpeed(instant, average); }, wait);
}
void LoopDiskEvents::Bar(double mbps, int bar) {
  loop_.Post([this, mbps, bar] { run_.OnBar(mbps, bar); }, true);
}
void LoopDiskEvents::Cell(std::optional<double> mbps, int column) {
  loop_.Post([this, mbps, column] { run_.OnCell(mbps, column); }, true);
}

}  // namespace sorvanta::diskbench
