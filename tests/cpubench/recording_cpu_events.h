// The CPU session's events, recorded: every call in order, from the driver and the workers.
#pragma once

#include <string>
#include <vector>

#include "cpubench/cpu_events.h"
#include "support/call_recorder.h"

namespace sorvanta::testing {

struct CpuCall {
  char kind;  // 'L' status line, 'D' done, 'P' progress
  std::string text;
  std::string second;
  int percent = 0;
};

class RecordingCpuEvents : public cpubench::CpuEvents, public CallRecorder<CpuCall> {
 public:
  void Status(const std::string& line) override { Add({'L', line, "", 0}); }
  void Progress(int percent) override { Add({'P', "", "", percent}); }
  void Done(const std::string& result, const std::string& second) override { Add({'D', result, second, 0}); }

  std::vector<std::string> Logs() const {
    std::vector<std::string> out;
    for (const CpuCall& c : Where([](const CpuCall& c) { return c.kind == 'L'; })) out.push_back(c.text);
    return out;
  }
  std::vector<int> Progresses() const {
    std::vector<int> out;
    for (const CpuCall& c : Where([](const CpuCall& c) { return c.kind == 'P'; })) out.push_back(c.percent);
    return out;
  }
  std::vector<CpuCall> Dones() const {
    return Where([](const CpuCall& c) { return c.kind == 'D'; });
  }
};

}  // namespace sorvanta::testing
