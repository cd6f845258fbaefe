// A CapacityReporter that records every call in order, for capacity tests.
#pragma once

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "capacity/capacity_run.h"

namespace sorvanta::testing {

class RecordingReporter : public CapacityReporter {
 public:
  struct Call {
    std::string what;  // "log", "remaining", "speed", "progress", "controls", "button", "text"
    std::string text;
  };

  void Log(const std::string& m) override { Add("log", m); }
  void Remaining(const std::string& t) override { Add("remaining", t); }
  void Speed(const std::string& t) override { Add("speed", t); }
  void Progress(int p) override { Add("progress", std::to_string(p)); }
  void VolumeControlsEnabled(bool e) override { Add("controls", e ? "on" : "off"); }
  void StartButtonEnabled(bool e) override { Add("button", e ? "on" : "off"); }
  void StartButtonText(const std::string& t) override { Add("text", t); }

  // Runs after every recorded call (on the run's thread).
  std::function<void(const Call&)> onCall;

  std::vector<Call> calls() {
    std::lock_guard<std::mutex> l(mu_);
    return calls_;
  }
  std::vector<std::string> logs() { return Texts("log"); }
  std::vector<std::string> Texts(const std::string& what) {
    std::vector<std::string> out;
    for (const Call& c : calls())
      if (c.what == what) out.push_back(c.text);
    return out;
  }
  int CountLogsStartingWith(const std::string& prefix) {
    auto l = logs();
    return static_cast<int>(std::count_if(l.begin(), l.end(), [&](const std::string& s) { return s.rfind(prefix, 0) == 0; }));
  }

 private:
  void Add(const char* what, const std::string& text) {
    Call c{what, text};
    {
      std::lock_guard<std::mutex> l(mu_);
      calls_.push_back(c);
    }
    if (onCall) onCall(c);
  }
  std::mutex mu_;
  std::vector<Call> calls_;
};

}  // namespace sorvanta::testing
