// The CPU benchmark run logic driven through a fake window: a task loop plays the window
// thread, and the token request and the session are stand-ins.
#include "cpubench/cpu_presenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>

#include "base/task_loop.h"
#include "support/temp_dir.h"

namespace sorvanta::cpubench {
namespace {

// Records what the run logic shows; questions are answered Yes.
class FakeView : public CpuRunView {
 public:
  void SetMachineLines(const std::string&, const std::string&, const std::string&, const std::string&) override {}
  void ShowRecord(const std::vector<CpuRecordRow>& shown, const std::string& shownAge) override {
    rows = shown;
    age = shownAge;
  }
  void SetStartEnabled(bool enabled) override { startEnabled = enabled; }
  void AppendLog(const std::string& line) override { log.push_back(line); }
  void SetProgress(int percent) override { progress = percent; }
  void ShowWaiting(bool shown) override { waiting.push_back(shown); }
  void ShowResult(const std::string& result) override { log.push_back("[result] " + result); }
  void ShowMessage(const std::string& text, const std::string& caption, CpuMessageIcon) override {
    boxes.push_back(caption + "|" + text);
  }
  bool Ask(const std::string&, const std::string& caption, CpuMessageIcon, bool) override {
    boxes.push_back(caption + "|?");
    return true;
  }

  std::string age;
  std::vector<CpuRecordRow> rows;
  bool startEnabled = true;
  std::vector<std::string> log, boxes;
  std::vector<bool> waiting;
  int progress = -1;
};

CpuMachine GoodMachine() {
  CpuMachine m;
  m.cpuName = m.brandString = "Test CPU";
  m.clockMhz = 3600;
  m.logicalCores = 2;
  m.boardFound = m.memoryOk = true;
  return m;
}

class CpuRun : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  void TearDown() override { loop_.Shutdown(); }

  // A presenter whose token request answers reply (counting the requests).
  std::unique_ptr<CpuBenchRun> Make(const std::string& reply, CpuRunConfig config = {}) {
    config.historyPath = dir_.Path("cputest.bin");
    config.readMachine = GoodMachine;
    config.requestToken = [this, reply](const CpuMachine&) {
      ++requests_;
      return reply;
    };
    auto run = std::make_unique<CpuBenchRun>(
        view_, [this](std::function<void()> call, bool wait) { loop_.Post(std::move(call), wait); }, std::move(config));
    run->OnOpen();
    return run;
  }
  void RunUntil(const std::function<bool()>& done) { ASSERT_TRUE(loop_.RunUntil(done, 30000)); }

  testing::TempDir dir_{"cpurun"};
  TaskLoop loop_;
  FakeView view_;
  std::atomic<int> requests_{0};
};

// No reply goes back to Idle with the start enabled; a refusal keeps it disabled for good
// and lets the window close without asking.
TEST_F(CpuRun, TokenVerdictsSayWhyAndSetTheStart) {
  struct Case {
    std::string reply;
    CpuRunState state;
    bool startEnabled;
    std::string box;
  };
  const Case cases[] = {
      {"", CpuRunState::kIdle, true, "错误|服务器通讯错误，此时无法跑分，请检查网络或者请稍后再试！"},
      // 16 bytes of credential ("AAAAAAAAAAAAAAAAAAAAAA==") and three paper names.
      {"AAAAAAAAAAAAAAAAAAAAAA==||p1||p2||p3", CpuRunState::kRefused, false, "错误|当前跑分人数过多，请稍后再试！"},
  };
  for (const Case& c : cases) {
    view_ = FakeView();
    requests_ = 0;
    auto run = Make(c.reply);
    ASSERT_TRUE(run->OnStart());
    EXPECT_EQ(run->State(), CpuRunState::kRequesting);
    EXPECT_FALSE(view_.startEnabled);
    EXPECT_EQ(run->OnCloseRequest(), CpuCloseAction::kStay);  // ignored while the request is under way
    RunUntil([&] { return run->State() != CpuRunState::kRequesting; });
    EXPECT_EQ(run->State(), c.state) << c.reply;
    EXPECT_EQ(view_.startEnabled, c.startEnabled) << c.reply;
    EXPECT_EQ(view_.waiting, (std::vector<bool>{true, false})) << c.reply;
    EXPECT_EQ(view_.boxes, (std::vector<std::string>{"CPU跑分|?", c.box})) << c.reply;
    if (c.state == CpuRunState::kRefused) {
      EXPECT_FALSE(run->OnStart());
      EXPECT_EQ(requests_.load(), 1);
      EXPECT_EQ(run->OnCloseRequest(), CpuCloseAction::kClose);  // no run: closes without asking
      EXPECT_EQ(view_.boxes.size(), 2u);
    }
  }
}

// The session's reports reach the view in order; its Done shows the result, reloads the
// history with the session's new record on show and enables the start again.
TEST_F(CpuRun, DoneShowsTheResultAndTheNewRecord) {
  CpuRunConfig config;
  config.runExam = [this](Json::Value device, CpuEvents& events, std::stop_token) {
    events.Status("工作中:" + device["token"].asString());
    events.Progress(40);
    const std::string record = "{\"singlecore\":1234,\"runtime\":1}";
    EXPECT_TRUE(AppendCpuHistory(dir_.Path("cputest.bin"), record));
    events.Done("单核 1234", record);
    return CpuExamOutcome{true, true, "单核 1234", record};
  };
  auto run = Make("AAAAAAAAAAAAAAAAAAAAAAA=||p1||p2", std::move(config));
  EXPECT_EQ(run->RecordCount(), 0);
  EXPECT_TRUE(view_.rows.empty());
  ASSERT_TRUE(run->OnStart());
  RunUntil([&] { return run->LastOutcome().has_value(); });
  EXPECT_EQ(run->State(), CpuRunState::kIdle);
  EXPECT_TRUE(view_.startEnabled);
  EXPECT_EQ(view_.log, (std::vector<std::string>{"工作中:AAAAAAAAAAAAAAAAAAAAAAA=||p1||p2", "[result] 单核 1234"}));
  EXPECT_EQ(view_.progress, 40);
  EXPECT_EQ(run->RecordCount(), 1);
  EXPECT_EQ(run->ShownIndex(), 0);
  ASSERT_FALSE(view_.rows.empty());
  EXPECT_EQ(view_.rows[0].item, "单核跑分");
  EXPECT_EQ(view_.rows[0].value, "1234");
  EXPECT_TRUE(run->LastOutcome()->scored);
  EXPECT_EQ(run->OnCloseRequest(), CpuCloseAction::kClose);
}

}  // namespace
}  // namespace sorvanta::cpubench
