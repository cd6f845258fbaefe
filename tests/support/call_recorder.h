// The one way test doubles of engine events record what they are told: every call, in
// order, from any thread, with a hook that runs after each (for example to press stop at a
// chosen moment). An events double derives from the engine's events interface and from
// CallRecorder<its call record>, and each override only builds the record and calls Add.
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
