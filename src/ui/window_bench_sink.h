// The benchmark window messages delivered to a Qt window.
//
// A benchmark window creates one WindowBenchSink with a handler per message it cares
// about and installs it as the current benchmark sink. Engine threads call the sink;
// each call is carried to the window thread through QueuedCalls (ui/queued_calls.h),
// texts copied: waiting messages block until the handler ran, the others are queued.
// Handlers run only while the window exists; after it is destroyed (or Detach) calls
// are dropped. A run thread keeps the sink alive by holding a copy of its shared_ptr for
// as long as it may call it.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/bench_sink.h"
#include "ui/queued_calls.h"

namespace sorvanta::ui {

class WindowBenchSink : public BenchSink, public std::enable_shared_from_this<WindowBenchSink> {
 public:
  // Handlers run on the window thread; an empty handler ignores its message.
  struct Handlers {
    std::function<void(const std::string& text)> log;
    std::function<void(const std::string& text, const std::string& second)> done;
    std::function<void(int percent, int chartLine)> progress;
    std::function<void(std::optional<double> instant, std::optional<double> average)> speed;
    std::function<void(double mbps, int index)> bar;
    std::function<void(std::optional<double> mbps, int column)> cell;
    std::function<void(int row)> rowDone;
  };

  // Call on the window thread. The sink is not installed; see Install.
  static std::shared_ptr<WindowBenchSink> Create(QWidget* window, Handlers handlers);
  ~WindowBenchSink() override;

  // Makes this sink the process-wide current benchmark sink (window thread).
  void Install();
  // Drops every later call and uninstalls the sink if it is current (window thread).
  void Detach();

  void Log(const std::string& text) override;
  void Done(const std::string& text, const std::string& second) override;
  void Progress(int percent, int chartLine, bool wait) override;
  void Speed(std::optional<double> instant, std::optional<double> average, bool wait) override;
  void Bar(double mbps, int index) override;
  void Cell(std::optional<double> mbps, int column) override;
  void RowDone(int row) override;

 private:
  WindowBenchSink(QWidget* window, Handlers handlers);
  // Posts task to the window thread; the hop holds the sink alive until it ran.
  void Deliver(std::function<void()> task, bool wait);

  QueuedCalls calls_;
  Handlers handlers_;  // used only on the window thread
};

}  // namespace sorvanta::ui
