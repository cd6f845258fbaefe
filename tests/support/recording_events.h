// The one events double: every engine's events interface recorded the same way, as one kind
// of record, in order, from any thread, with a hook that runs after each call (for example
// to press stop at a chosen moment). Each engine's double only turns its calls into records.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "capacity/capacity_run.h"
#include "cpubench/cpu_events.h"
#include "diskbench/disk_events.h"
#include "support/call_recorder.h"
#include "usbtest/endurance_csv.h"
#include "usbtest/endurance_run.h"

namespace sorvanta::testing {

struct Event {
  std::string kind;                // "log", "progress", "speed", "cell", ... (the call's name)
  std::string text{};              // log line, shown text, cell text
  int a = 0, b = 0;                // the call's numbers, in its order
  std::optional<double> x{}, y{};  // disk speeds and figures
  bool wait = false;               // disk speed: whether the call waits
  std::string second{};            // a second text: a row's path, the CPU run's second result
};

class RecordingEvents : public CallRecorder<Event> {
 public:
  // The events of the given kinds, in order.
  std::vector<Event> Of(std::initializer_list<const char*> kinds) const {
    return Where([&](const Event& e) { return std::find(kinds.begin(), kinds.end(), e.kind) != kinds.end(); });
  }
  std::vector<Event> Of(const char* kind) const { return Of({kind}); }
  std::vector<std::string> Texts(const char* kind) const {
    std::vector<std::string> out;
    for (const Event& e : Of(kind)) out.push_back(e.text);
    return out;
  }
  std::vector<int> Numbers(const char* kind) const {
    std::vector<int> out;
    for (const Event& e : Of(kind)) out.push_back(e.a);
    return out;
  }
  std::vector<std::string> Logs() const { return Texts("log"); }
  // Log lines equal to line, and log lines that start with prefix.
  size_t Count(const std::string& line) const {
    auto l = Logs();
    return static_cast<size_t>(std::count(l.begin(), l.end(), line));
  }
  int CountLogsStartingWith(const std::string& prefix) const {
    auto l = Logs();
    return static_cast<int>(std::count_if(l.begin(), l.end(), [&](const std::string& s) { return s.rfind(prefix, 0) == 0; }));
  }
};

// Remaining and speed are recorded as the texts the window shows for them.
class RecordingCapacityEvents : public capacity::CapacityEvents, public RecordingEvents {
 public:
  void Log(const std::string& m) override { Add({"log", m}); }
  void Remaining(uint64_t bytes) override { Add({"remaining", capacity::MegabytesText(bytes)}); }
  void Speed(uint64_t bytes, uint32_t ms) override { Add({"speed", capacity::CapacitySpeedText(bytes, ms)}); }
  void Progress(int p) override { Add({"progress", std::to_string(p)}); }
};

class RecordingDiskEvents : public diskbench::DiskEvents, public RecordingEvents {
 public:
  void Log(const std::string& text) override { Add({"log", text}); }
  // a: percent, b: chart line.
  void Progress(int percent, int line) override { Add({"progress", "", percent, line}); }
  // x: instant, y: average.
  void Speed(std::optional<double> i, std::optional<double> a, bool wait) override {
    Add({"speed", "", 0, 0, i, a, wait});
  }
  // a: bar index or column, x: MB/s.
  void Bar(double v, int index) override { Add({"bar", "", index, 0, v}); }
  void Cell(std::optional<double> v, int column) override { Add({"cell", "", column, 0, v}); }
};

class RecordingCpuEvents : public cpubench::CpuEvents, public RecordingEvents {
 public:
  void Status(const std::string& line) override { Add({"log", line}); }
  void Progress(int percent) override { Add({"progress", "", percent}); }
  void Done(const std::string& result, const std::string& second) override {
    Add({"done", result, 0, 0, {}, {}, false, second});
  }
};

class RecordingUsbEvents : public usbtest::UsbTestEvents, public RecordingEvents {
 public:
  void Started(int passes) override { Add({"started", "", passes}); }
  // text: the row's number, a: row, second: path.
  void RowAdded(int row, const std::string& number, const std::string& path) override {
    Add({"row", number, row, 0, {}, {}, false, path});
  }
  void CellSet(int row, int column, const std::string& text) override { Add({"cell", text, row, column}); }
  void Progress(int passIndex) override { Add({"progress", "", passIndex}); }
  void Space(int usedPercent) override { Add({"space", "", usedPercent}); }
  void PassRate(const std::string& text) override { Add({"rate", text}); }
  void Log(const std::string& line) override { Add({"log", line}); }
  void Ended() override { Add({"ended"}); }

  // The results list as the run filled it since its last start.
  std::vector<usbtest::UsbTestRow> rows() const {
    usbtest::UsbTestTable table;
    for (const Event& e : Calls()) {
      if (e.kind == "started") table.Clear();
      if (e.kind == "row") table.AddRow(e.a, e.text, e.second);
      if (e.kind == "cell") table.SetCell(e.a, e.b, e.text);
    }
    return table.rows();
  }
};

}  // namespace sorvanta::testing
