#include "base/task_loop.h"

#include <chrono>

namespace sorvanta {

void TaskLoop::Post(std::function<void()> task, bool wait) {
  auto done = std::make_shared<bool>(false);
  std::unique_lock<std::mutex> lock(mu_);
  if (shutdown_) return;
  tasks_.emplace_back(std::move(task), done);
  cv_.notify_all();
  if (wait) cv_.wait(lock, [&] { return *done || shutdown_; });
}

bool TaskLoop::RunUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
  for (;;) {
    if (done()) return true;
    std::pair<std::function<void()>, std::shared_ptr<bool>> item;
    {
      std::unique_lock<std::mutex> lock(mu_);
      if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !tasks_.empty() || shutdown_; }))
        return false;
      if (shutdown_) return done();
      item = std::move(tasks_.front());
      tasks_.pop_front();
    }
    item.first();
    std::lock_guard<std::mutex> lock(mu_);
    *item.second = true;
    cv_.notify_all();
  }
}

void TaskLoop::Shutdown() {
  std::lock_guard<std::mutex> lock(mu_);
  shutdown_ = true;
  tasks_.clear();
  cv_.notify_all();
}

}  // namespace sorvanta
