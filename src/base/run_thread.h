// Owns the thread of one engine run at a time: start, stop request, active, wait with a
// time limit, outcome. Every engine run (CPU session, capacity check, endurance test, disk
// run) is started through one of these, so all of them follow the same rules.
//
// Destruction mid-run: the owner asks the run to stop (the stop hook given to Start) and
// lets its thread finish alone; it never blocks. So the run must own what it uses: the
// body and the stop hook capture values or shared owners, and the thread's own state is
// shared with it. An owner that lends the run something by reference (a reporter, a
// pattern stream) must call RequestStop and Wait before that thing dies.
//
// All members may be called from any thread. A body that throws ends its run without an
// outcome.
#pragma once

#include <boost/thread/thread.hpp>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace sorvanta {

template <typename Outcome>
class RunThread {
 public:
  // What a run leaves behind; a run whose body returns void leaves std::monostate.
  using Result = std::conditional_t<std::is_void_v<Outcome>, std::monostate, Outcome>;

  RunThread() : state_(std::make_shared<State>()) {}
  ~RunThread() {
    RequestStop();
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->thread.joinable()) state_->thread.detach();
  }
  RunThread(const RunThread&) = delete;
  RunThread& operator=(const RunThread&) = delete;

  // Runs body on a new thread. stop (may be empty) is how RequestStop reaches the run; it
  // is called on the requesting thread, only while the run is active. False when a run is
  // still active or no thread could be started.
  bool Start(std::function<Outcome()> body, std::function<void()> stop = nullptr) {
    std::unique_lock<std::mutex> lock(state_->mu);
    if (state_->active) return false;
    JoinEnded(lock);
    if (state_->active) return false;  // another Start won while the lock was let go
    state_->active = true;
    state_->outcome.reset();
    state_->stop = std::move(stop);
    try {
      state_->thread = boost::thread([state = state_, body = std::move(body)] {
        std::optional<Result> outcome;
        try {
          if constexpr (std::is_void_v<Outcome>) {
            body();
            outcome.emplace();
          } else {
            outcome.emplace(body());
          }
        } catch (...) {
          outcome.reset();
        }
        std::lock_guard<std::mutex> lock(state->mu);
        state->outcome = std::move(outcome);
        state->active = false;
        state->stop = nullptr;
        state->ended.notify_all();
      });
    } catch (const boost::thread_resource_error&) {
      state_->active = false;
      state_->stop = nullptr;
      return false;
    }
    return true;
  }

  // Asks the active run to end through its stop hook; nothing happens when none is active.
  void RequestStop() {
    std::function<void()> stop;
    {
      std::lock_guard<std::mutex> lock(state_->mu);
      if (state_->active) stop = state_->stop;
    }
    if (stop) stop();
  }

  // True from Start until the body has returned.
  bool Active() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->active;
  }

  // Waits up to limit for the run to end; true when no run is active on return.
  bool Wait(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(state_->mu);
    if (!state_->ended.wait_for(lock, limit, [this] { return !state_->active; })) return false;
    JoinEnded(lock);
    return true;
  }
  // Waits for the run to end, however long it takes.
  void Wait() {
    std::unique_lock<std::mutex> lock(state_->mu);
    state_->ended.wait(lock, [this] { return !state_->active; });
    JoinEnded(lock);
  }

  // What the last ended run left; nullopt while none has ended since the last Start, or
  // when its body threw.
  std::optional<Result> LastOutcome() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->outcome;
  }

 private:
  // Joins the thread of a run whose body has returned. The lock is let go meanwhile, as
  // the body's captures die with the thread and may call back into this owner.
  void JoinEnded(std::unique_lock<std::mutex>& lock) {
    boost::thread ended = std::move(state_->thread);
    lock.unlock();
    if (ended.joinable()) ended.join();
    lock.lock();
  }

  // Shared with the thread, so that it outlives an owner destroyed mid-run.
  struct State {
    mutable std::mutex mu;
    std::condition_variable ended;
    bool active = false;
    std::optional<Result> outcome;
    std::function<void()> stop;
    boost::thread thread;
  };
  std::shared_ptr<State> state_;
};

}  // namespace sorvanta
