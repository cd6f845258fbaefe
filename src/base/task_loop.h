// A task queue that plays the window thread where there is no window (the command line,
// tests, benchmarks): any thread posts, the owning thread runs the tasks in order.
//
// Presenters talk to their view from the window thread only; a view without Qt posts what
// an engine thread hands it into a TaskLoop and the owner runs RunUntil.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace sorvanta {

class TaskLoop {
 public:
  // Queues task; with wait, returns once it ran (or the loop was shut down). Any thread.
  void Post(std::function<void()> task, bool wait = false);
  // Runs queued tasks until done() holds (checked after each task) or timeoutMs passed
  // without one; false on the time-out. Owning thread only.
  bool RunUntil(const std::function<bool()>& done, uint32_t timeoutMs = 600000);
  // Drops queued and later tasks and releases every waiting poster.
  void Shutdown();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::pair<std::function<void()>, std::shared_ptr<bool>>> tasks_;
  bool shutdown_ = false;
};

}  // namespace sorvanta
