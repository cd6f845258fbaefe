// The capacity window's run logic without a window: what the controls do from Start to the
// end pause for every way a run ends, the close refusal meanwhile, and the pause itself.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "base/task_loop.h"
#include "capacity/capacity_presenter.h"
#include "support/call_recorder.h"
#include "support/fake_volumes.h"
#include "support/simulated_medium.h"
#include "support/temp_dir.h"

namespace sorvanta::capacity {
namespace {

constexpr uint64_t kB = kCapacityBlockSize;
using Clock = std::chrono::steady_clock;

// When the task that makes a view call was posted: the loop may run it late, and a gap
// between two calls measured when they ran would shrink by that delay.
thread_local Clock::time_point postedAt{};

struct ViewCall {
  std::string what;  // "controls", "start", "text", "message", ...
  std::string text;
  Clock::time_point at = postedAt == Clock::time_point{} ? Clock::now() : postedAt;
};

// Records every call of the run logic; posts go through a TaskLoop that the test runs.
class RecordingView : public CapacityCheckView, public testing::CallRecorder<ViewCall> {
 public:
  explicit RecordingView(TaskLoop& loop) : loop_(loop) {}

  void SetVolumeLines(const std::vector<std::string>& lines, int selected) override {
    selected_ = selected;
    Add({"lines", std::to_string(lines.size())});
  }
  int SelectedVolume() override { return selected_; }
  void SetVolumeFields(const std::string& info, const std::string& freeSpace) override {
    Add({"fields", info + "|" + freeSpace});
  }
  CapacityMode Mode() override { return mode_; }
  void SetMode(CapacityMode mode) override { mode_ = mode; }
  void SetVolumeControlsEnabled(bool on) override { Add({"controls", on ? "on" : "off"}); }
  void SetStartEnabled(bool on) override { Add({"start", on ? "on" : "off"}); }
  void SetStartText(const std::string& text) override { Add({"text", text}); }
  void SetLogText(const std::string& text) override { log = text; }
  void SetRemaining(const std::string& text) override { Add({"remaining", text}); }
  void SetSpeed(const std::string& text) override { Add({"speed", text}); }
  void SetProgress(int percent) override { Add({"progress", std::to_string(percent)}); }
  void ShowMessage(const std::string& text) override { Add({"message", text}); }
  bool AskYesNo(const std::string& text, bool defaultNo) override {
    Add({"ask", text + (defaultNo ? " [default no]" : "")});
    return true;
  }
  WindowPost Poster() override {
    return [loop = &loop_](std::function<void()> task) {
      loop->Post([task = std::move(task), posted = Clock::now()] {
        postedAt = posted;
        task();
        postedAt = Clock::time_point{};
      });
    };
  }

  // The calls that enable, disable or name the controls, as "what:text".
  std::vector<std::string> ControlCalls() const {
    std::vector<std::string> out;
    for (const ViewCall& c : Where([](const ViewCall& c) { return c.what == "controls" || c.what == "start" || c.what == "text"; }))
      out.push_back(c.what + ":" + c.text);
    return out;
  }

  std::string log;

 private:
  TaskLoop& loop_;
  int selected_ = -1;
  CapacityMode mode_ = CapacityMode::kWipe;
};

class CapacityCheckRunTest : public ::testing::Test {
 protected:
  CapacityCheckConfig Config(uint32_t pauseMs = 0) {
    CapacityCheckConfig config;
    config.facts.block.sys = "/nonexistent";  // no removable drives
    config.facts.systemPaths = {"/proc"};      // no declared folder holds the system
    config.endPauseMs = pauseMs;
    config.seed = 11;
    config.run.generatorThreads = 2;
    config.run.hashThreads = 2;
    return config;
  }

  testing::TempDir dir_{"capacity_run"};
  testing::FakeVolumes volumes_;
  TaskLoop loop_;
};

// Start turns the volume controls off and names the button "停止" at once, unless there is
// nothing to fill; every end disables the button for the pause, then all comes back.
TEST_F(CapacityCheckRunTest, ControlsFromStartToIdleForEveryEnd) {
  const std::vector<std::string> running = {"controls:off", "text:停止"};
  const std::vector<std::string> idleAgain = {"start:off", "controls:on", "start:on", "text:开始"};
  struct Case {
    const char* name;
    uint64_t freeBytes;
    bool refuseCreate;
    bool stop;
    const char* lastLog;
  } cases[] = {
      {"finished", 2 * kB, false, false, "检测完成，未发现错误。有效容量 0.03 GB（可用空间 0.03 GB），平均写入 "},
      {"no free space", 0, false, false, "剩余0字节..."},
      {"no file can be created", 2 * kB, true, false, "检测未完成，无法得出结论。"},
      {"stopped", 4 * kB, false, true, "检测已被用户停止，无法得出结论。"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    volumes_.Add(dir_.path(), static_cast<long long>(c.freeBytes));
    testing::SimulatedMedium medium(4 * kB, testing::SimulatedMedium::Beyond::kFiller);
    if (c.refuseCreate) medium.RefuseCreateFrom(0);
    RecordingView view(loop_);
    {
      CapacityCheckRun run(view, Config());
      run.OnOpen();
      ASSERT_EQ(run.SelectedRoot(), dir_.path());
      run.OnStartOrStop();
      ASSERT_TRUE(run.Active());
      // Asked first, by volume and amount, unless there is nothing to write.
      auto asks = view.Where([](const ViewCall& v) { return v.what == "ask"; });
      ASSERT_EQ(asks.size(), c.freeBytes > 0 ? 1u : 0u);
      if (c.freeBytes > 0) {
        EXPECT_EQ(asks[0].text.rfind("将向 " + dir_.path() + "（", 0), 0u) << asks[0].text;
        const std::string tail = "）写满可用空间 " + std::to_string(c.freeBytes >> 20) +
                                 " MB 的测试数据，测试后删除。继续吗？ [default no]";
        EXPECT_EQ(asks[0].text.substr(asks[0].text.size() - std::min(tail.size(), asks[0].text.size())), tail);
      }
      std::vector<std::string> expected = c.freeBytes > 0 ? running : std::vector<std::string>{};
      EXPECT_EQ(view.ControlCalls(), expected);
      if (c.stop) {
        ASSERT_TRUE(loop_.RunUntil([&] { return view.log.find("创建文件:") != std::string::npos; }, 30000));
        run.OnStartOrStop();
        expected.push_back("start:off");  // at once, until the run has ended
        EXPECT_EQ(view.ControlCalls(), expected);
      }
      ASSERT_TRUE(loop_.RunUntil([&] { return !run.Active(); }, 60000));
      expected.insert(expected.end(), idleAgain.begin(), idleAgain.end());
      EXPECT_EQ(view.ControlCalls(), expected);
      const std::string newest = view.log.substr(10, view.log.find("\r\n") - 10);  // after "[HH:MM:SS]"
      EXPECT_EQ(newest.substr(0, std::string(c.lastLog).size()), c.lastLog);
      ASSERT_TRUE(run.LastResult());
      EXPECT_EQ(run.LastResult()->aborted, c.stop);
    }
    volumes_.Remove(dir_.path());
  }
}

// A file the run leaves on the volume is named in the log, right under the verdict: one kept
// after a later file could not be created, and files the volume refused to delete.
TEST_F(CapacityCheckRunTest, FilesLeftBehindAreListedUnderTheVerdict) {
  const std::string file0 = dir_.path() + "/temp_0.tmp";
  const std::string file1 = dir_.path() + "/temp_1.tmp";
  struct Case {
    const char* name;
    std::function<void(testing::SimulatedMedium&)> setup;
    std::vector<std::string> kept;
  } cases[] = {
      {"second file cannot be created", [](testing::SimulatedMedium& m) { m.RefuseCreateFrom(1); }, {file0}},
      {"files cannot be deleted", [](testing::SimulatedMedium& m) { m.FailRemoves(); }, {file0, file1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    volumes_.Add(dir_.path(), static_cast<long long>(2 * kB));
    testing::SimulatedMedium medium(4 * kB, testing::SimulatedMedium::Beyond::kFiller);
    c.setup(medium);
    RecordingView view(loop_);
    CapacityCheckConfig config = Config();
    config.run.blocksPerFile = 1;
    CapacityCheckRun run(view, config);
    run.OnOpen();
    run.OnStartOrStop();
    ASSERT_TRUE(loop_.RunUntil([&] { return !run.Active(); }, 60000));
    std::vector<std::string> newest;  // messages without their stamps, newest first
    for (size_t at = 0; newest.size() < c.kept.size() + 1 && at < view.log.size();) {
      const size_t end = view.log.find("\r\n", at);
      newest.push_back(view.log.substr(at + 10, end - at - 10));
      at = end + 2;
    }
    std::vector<std::string> expected = {newest.at(0)};
    for (auto it = c.kept.rbegin(); it != c.kept.rend(); ++it) expected.push_back("测试文件未删除，请手动删除：" + *it);
    EXPECT_EQ(newest, expected);
    EXPECT_EQ(newest.at(0).rfind("检测", 0), 0u) << newest.at(0);
    for (const std::string& f : c.kept) EXPECT_TRUE(medium.Exists(f)) << f;
    volumes_.Remove(dir_.path());
  }
}

// The window cannot close while a run or its end pause lasts; the button comes back only
// after the pause.
TEST_F(CapacityCheckRunTest, EndPauseKeepsStartDisabledAndClosingRefused) {
  volumes_.Add(dir_.path(), static_cast<long long>(kB));
  testing::SimulatedMedium medium(kB, testing::SimulatedMedium::Beyond::kFiller);
  RecordingView view(loop_);
  CapacityCheckRun run(view, Config(200));
  run.OnOpen();
  run.OnStartOrStop();
  EXPECT_FALSE(run.OnCloseRequest());
  ASSERT_TRUE(loop_.RunUntil([&] { return view.log.find("处理结束！") != std::string::npos; }, 30000));
  ASSERT_TRUE(loop_.RunUntil([&] { return !view.Where([](const ViewCall& c) { return c.what == "start"; }).empty(); }, 30000));
  EXPECT_TRUE(run.Active());
  EXPECT_FALSE(run.OnCloseRequest());
  ASSERT_TRUE(loop_.RunUntil([&] { return !run.Active(); }, 30000));
  EXPECT_TRUE(run.OnCloseRequest());
  auto starts = view.Where([](const ViewCall& c) { return c.what == "start"; });
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].text, "off");
  EXPECT_EQ(starts[1].text, "on");
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(starts[1].at - starts[0].at).count(), 200);
  auto messages = view.Where([](const ViewCall& c) { return c.what == "message"; });
  ASSERT_EQ(messages.size(), 2u);
  for (const ViewCall& m : messages) EXPECT_EQ(m.text, "正在处理,请先停止!");
}

}  // namespace
}  // namespace sorvanta::capacity
