// Capacity events recorded in order, each as what it was and the text the window shows for it.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "capacity/capacity_run.h"
#include "support/call_recorder.h"

namespace sorvanta::testing {

struct CapacityCall {
  std::string what;  // "log", "remaining", "speed", "progress"
  std::string text;
};

class RecordingCapacityEvents : public capacity::CapacityEvents, public CallRecorder<CapacityCall> {
 public:
  void Log(const std::string& m) override { Add({"log", m}); }
  void Remaining(uint64_t bytes) override { Add({"remaining", capacity::MegabytesText(bytes)}); }
  void Speed(uint64_t bytes, uint32_t ms) override { Add({"speed", capacity::CapacitySpeedText(bytes, ms)}); }
  void Progress(int p) override { Add({"progress", std::to_string(p)}); }

  std::vector<std::string> logs() const { return Texts("log"); }
  std::vector<std::string> Texts(const std::string& what) const {
    std::vector<std::string> out;
    for (const CapacityCall& c : Where([&](const CapacityCall& c) { return c.what == what; })) out.push_back(c.text);
    return out;
  }
  int CountLogsStartingWith(const std::string& prefix) const {
    auto l = logs();
    return static_cast<int>(std::count_if(l.begin(), l.end(), [&](const std::string& s) { return s.rfind(prefix, 0) == 0; }));
  }
};

}  // namespace sorvanta::testing
