// A benchmark sink that records every call, in order, for the CPU exam tests.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/bench_sink.h"

namespace sorvanta::testing {

class RecordingCpuSink : public BenchSink {
 public:
  struct Call {
    char kind;  // 'L' log, 'D' done, 'P' progress
    std::string text;
    std::string second;
    int percent = 0;
  };

  RecordingCpuSink() { SetCurrentBenchSink(this); }
  ~RecordingCpuSink() override { SetCurrentBenchSink(nullptr); }

  void Log(const std::string& text) override { Add({'L', text, "", 0}); }
  void Done(const std::string& text, const std::string& second) override { Add({'D', text, second, 0}); }
  void Progress(int percent, int chartLine, bool wait) override {
    Add({'P', "", "", percent});
    std::lock_guard<std::mutex> g(mu_);
    if (chartLine != -1 || !wait) badProgressCalls_++;
  }
  void Speed(std::optional<double>, std::optional<double>, bool) override { Unexpected(); }
  void Bar(double, int) override { Unexpected(); }
  void Cell(std::optional<double>, int) override { Unexpected(); }
  void RowDone(int) override { Unexpected(); }

  std::vector<Call> Calls() const {
    std::lock_guard<std::mutex> g(mu_);
    return calls_;
  }
  std::vector<std::string> Logs() const {
    std::vector<std::string> out;
    for (const Call& c : Calls())
      if (c.kind == 'L') out.push_back(c.text);
    return out;
  }
  std::vector<int> Progresses() const {
    std::vector<int> out;
    for (const Call& c : Calls())
      if (c.kind == 'P') out.push_back(c.percent);
    return out;
  }
  std::vector<Call> Dones() const {
    std::vector<Call> out;
    for (const Call& c : Calls())
      if (c.kind == 'D') out.push_back(c);
    return out;
  }
  int BadCalls() const {
    std::lock_guard<std::mutex> g(mu_);
    return badProgressCalls_ + unexpected_;
  }

 private:
  void Add(Call c) {
    std::lock_guard<std::mutex> g(mu_);
    calls_.push_back(std::move(c));
  }
  void Unexpected() {
    std::lock_guard<std::mutex> g(mu_);
    unexpected_++;
  }
  mutable std::mutex mu_;
  std::vector<Call> calls_;
  int badProgressCalls_ = 0;
  int unexpected_ = 0;
};

}  // namespace sorvanta::testing
