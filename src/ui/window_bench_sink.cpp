#include "ui/window_bench_sink.h"

namespace sorvanta::ui {

std::shared_ptr<WindowBenchSink> WindowBenchSink::Create(QWidget* window, Handlers handlers) {
  return std::shared_ptr<WindowBenchSink>(new WindowBenchSink(window, std::move(handlers)));
}

WindowBenchSink::WindowBenchSink(QWidget* window, Handlers handlers)
    : calls_(window), handlers_(std::move(handlers)) {}

WindowBenchSink::~WindowBenchSink() {
  if (CurrentBenchSink() == this) SetCurrentBenchSink(nullptr);
}

void WindowBenchSink::Install() { SetCurrentBenchSink(this); }

void WindowBenchSink::Detach() {
  if (CurrentBenchSink() == this) SetCurrentBenchSink(nullptr);
  calls_.Detach();
}

void WindowBenchSink::Deliver(std::function<void()> task, bool wait) {
  // A queued call may run after the engine let go of the sink, and the task uses handlers_.
  calls_.Post([self = shared_from_this(), task = std::move(task)] { task(); }, wait);
}

void WindowBenchSink::Log(const std::string& text) {
  Deliver([this, text] { if (handlers_.log) handlers_.log(text); }, true);
}

void WindowBenchSink::Done(const std::string& text, const std::string& second) {
  Deliver([this, text, second] { if (handlers_.done) handlers_.done(text, second); }, true);
}

void WindowBenchSink::Progress(int percent, int chartLine, bool wait) {
  Deliver([this, percent, chartLine] { if (handlers_.progress) handlers_.progress(percent, chartLine); },
          wait);
}

void WindowBenchSink::Speed(std::optional<double> instant, std::optional<double> average, bool wait) {
  Deliver([this, instant, average] { if (handlers_.speed) handlers_.speed(instant, average); }, wait);
}

void WindowBenchSink::Bar(double mbps, int index) {
  Deliver([this, mbps, index] { if (handlers_.bar) handlers_.bar(mbps, index); }, true);
}

void WindowBenchSink::Cell(std::optional<double> mbps, int column) {
  Deliver([this, mbps, column] { if (handlers_.cell) handlers_.cell(mbps, column); }, true);
}

void WindowBenchSink::RowDone(int row) {
  Deliver([this, row] { if (handlers_.rowDone) handlers_.rowDone(row); }, true);
}

}  // namespace sorvanta::ui
