// Records calls of a test double in order, from any thread, with a hook that runs after each
// (for example to press stop at a chosen moment). The engines' events doubles share one on
// one record (support/recording_events.h); a view double builds its own record on it.
#pragma once

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace sorvanta::testing {

template <typename Call>
class CallRecorder {
 public:
  // Runs after each call is recorded, on the calling thread.
  std::function<void(const Call&)> hook;

  void Add(Call call) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      calls_.push_back(call);
    }
    if (hook) hook(call);
  }
  std::vector<Call> Calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  // The calls for which keep holds, in order.
  template <typename Keep>
  std::vector<Call> Where(Keep keep) const {
    std::vector<Call> out;
    for (const Call& c : Calls())
      if (keep(c)) out.push_back(c);
    return out;
  }

 private:
  mutable std::mutex mu_;
  std::vector<Call> calls_;
};

}  // namespace sorvanta::testing
