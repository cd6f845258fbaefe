#include "base/run_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace sorvanta {
namespace {

using namespace std::chrono_literals;

// A gate a run blocks on until it is opened.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> l(mu_);
    open_ = true;
    cv_.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [this] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST(RunThreadTest, OneRunAtATimeStoppedThroughItsHookWithItsOutcome) {
  RunThread<int> run;
  EXPECT_FALSE(run.Active());
  EXPECT_FALSE(run.LastOutcome().has_value());
  run.RequestStop();  // idle: no hook to call, nothing happens

  auto gate = std::make_shared<Gate>();
  std::atomic<int> stops{0};
  ASSERT_TRUE(run.Start([gate] { gate->Pass(); return 7; },
                        [gate, &stops] { ++stops; gate->Open(); }));
  EXPECT_TRUE(run.Active());
  EXPECT_FALSE(run.Start([] { return 1; }));  // refused while the first one goes
  EXPECT_FALSE(run.Wait(20ms));               // the limit holds
  EXPECT_TRUE(run.Active());

  run.RequestStop();
  EXPECT_TRUE(run.Wait(10s));
  EXPECT_FALSE(run.Active());
  EXPECT_EQ(stops.load(), 1);
  ASSERT_TRUE(run.LastOutcome().has_value());
  EXPECT_EQ(*run.LastOutcome(), 7);
  run.RequestStop();  // the hook of an ended run is not called again
  EXPECT_EQ(stops.load(), 1);

  // The next run starts afresh; a body that throws leaves no outcome and no active run.
  ASSERT_TRUE(run.Start([]() -> int { throw std::runtime_error("lost medium"); }));
  run.Wait();
  EXPECT_FALSE(run.Active());
  EXPECT_FALSE(run.LastOutcome().has_value());
  ASSERT_TRUE(run.Start([] { return 9; }));
  run.Wait();
  EXPECT_EQ(run.LastOutcome().value_or(0), 9);
}

TEST(RunThreadTest, DestroyedMidRunAsksToStopAndLeavesTheRunToEndAlone) {
  auto gate = std::make_shared<Gate>();
  auto release = std::make_shared<Gate>();
  auto stopped = std::make_shared<std::atomic<bool>>(false);
  auto finished = std::make_shared<std::atomic<bool>>(false);
  {
    RunThread<void> run;
    ASSERT_TRUE(run.Start(
        [gate, release, finished] {
          gate->Pass();
          release->Pass();  // still going after its owner is gone
          *finished = true;
        },
        [gate, stopped] {
          *stopped = true;
          gate->Open();
        }));
  }  // must not block on the run, which waits for `release`
  EXPECT_TRUE(stopped->load());
  EXPECT_FALSE(finished->load());
  release->Open();
  for (int i = 0; i < 1000 && !finished->load(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(finished->load());
}

}  // namespace
}  // namespace sorvanta
