// Endurance run events recorded in order, with the views the tests read of them.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "support/call_recorder.h"
#include "usbtest/endurance_csv.h"
#include "usbtest/endurance_run.h"

namespace sorvanta::testing {

struct UsbCall {
  std::string what;  // "started", "row", "cell", "progress", "space", "rate", "log", "ended"
  int number = 0;    // passes, row, pass index or percent
  int column = 0;    // "cell"
  std::string text{};  // row number, cell text, pass rate or log line
  std::string path{};  // "row"
};

class RecordingUsbEvents : public usbtest::UsbTestEvents, public CallRecorder<UsbCall> {
 public:
  void Started(int passes) override { Add({"started", passes}); }
  void RowAdded(int row, const std::string& number, const std::string& path) override {
    Add({"row", row, 0, number, path});
  }
  void CellSet(int row, int column, const std::string& text) override { Add({"cell", row, column, text}); }
  void Progress(int passIndex) override { Add({"progress", passIndex}); }
  void Space(int usedPercent) override { Add({"space", usedPercent}); }
  void PassRate(const std::string& text) override { Add({"rate", 0, 0, text}); }
  void Log(const std::string& line) override { Add({"log", 0, 0, line}); }
  void Ended() override { Add({"ended"}); }

  // Passes of the last "started" (-1: none) and how often the run ended.
  int startedWith() const {
    auto s = Of("started");
    return s.empty() ? -1 : s.back().number;
  }
  int ended() const { return static_cast<int>(Of("ended").size()); }
  std::vector<int> progress() const { return Numbers("progress"); }
  std::vector<int> space() const { return Numbers("space"); }
  std::vector<std::string> rates() const { return Texts("rate"); }
  std::vector<std::string> logs() const { return Texts("log"); }
  size_t Count(const std::string& line) const {
    auto l = logs();
    return static_cast<size_t>(std::count(l.begin(), l.end(), line));
  }
  // The results list as the run filled it since its last start.
  std::vector<usbtest::UsbTestRow> rows() const {
    usbtest::UsbTestTable table;
    for (const UsbCall& c : Calls()) {
      if (c.what == "started") table.Clear();
      if (c.what == "row") table.AddRow(c.number, c.text, c.path);
      if (c.what == "cell") table.SetCell(c.number, c.column, c.text);
    }
    return table.rows();
  }

 private:
  std::vector<UsbCall> Of(const std::string& what) const {
    return Where([&](const UsbCall& c) { return c.what == what; });
  }
  std::vector<int> Numbers(const std::string& what) const {
    std::vector<int> out;
    for (const UsbCall& c : Of(what)) out.push_back(c.number);
    return out;
  }
  std::vector<std::string> Texts(const std::string& what) const {
    std::vector<std::string> out;
    for (const UsbCall& c : Of(what)) out.push_back(c.text);
    return out;
  }
};

}  // namespace sorvanta::testing
