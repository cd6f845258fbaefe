// The disk benchmark run logic driven through a fake window: a task loop plays the window
// thread, the engine's do-nothing medium stands in for the disk, and a volume source
// reports free space that shrinks with what the medium holds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>

#include "diskbench/disk_presenter.h"
#include "diskbench/disk_events_loop.h"
#include "platform/clock.h"
#include "platform/volumes.h"
#include "support/loop_volume.h"
#include "support/simulated_medium.h"
#include "support/temp_dir.h"

#if __has_include("server/reference_service.h")
#include "server/reference_service.h"
#include "support/https_test_server.h"
#define HAVE_REFERENCE_SERVICE 1
#endif

namespace sorvanta {
namespace {

using namespace diskbench;
namespace fs = std::filesystem;

// Records what the run logic shows; option boxes and the laps field are set by the test.
class FakeView : public DiskRunView {
 public:
  explicit FakeView(TaskLoop& loop) : loop_(loop) {}

  void SetDriveLines(const std::vector<std::string>& lines, int) override { driveLines = lines; }
  DiskRunOptions Options() override {
    DiskRunOptions o = options;
    o.laps = laps.load();
    return o;
  }
  void SetOptionChecked(DiskOption option, bool checked) override {
    if (option == DiskOption::kWholeDisk) options.wholeDisk = checked;
    if (option == DiskOption::kPrefill50) options.prefill50 = checked;
    if (option == DiskOption::kPrefill90) options.prefill90 = checked;
  }
  void SetLaps(int n) override { laps = n; }
  void SetRunning(bool r) override { running = r; }
  void SetStopEnabled(bool e) override { stopEnabled = e; }
  void SetScoreText(const std::string& t) override { score = t; }
  void SetInfoLine(const std::string& t) override { info = t; }
  void AppendLog(const std::string& l) override { log.push_back(l); }
  void SetLogText(const std::string& t) override { log = {t}; }
  void SetProgress(int p) override { progress = p; }
  void SetCell(int row, int column, const std::string& text) override { cells[{row, column}] = text; }
  void DrawLine(int line, const double*, const double*, int count) override { draws.push_back({line, count}); }
  void SetBar(int bar, double x, double mbps) override { bars[bar] = {x, mbps}; }
  void ClearBar(int bar) override { bars.erase(bar); }
  void ShowStatus(const std::string& text) override { statuses.push_back(text); }
  void ShowMessage(const std::string& text, const std::string& title, DiskMessageIcon) override {
    messages.push_back(title.empty() ? text : title + "|" + text);
  }
  bool Confirm(const std::string& text) override {
    questions.push_back(text);
    return answer;
  }
  void SetSizeChoice(uint64_t bytes) override { sizeChoice = bytes; }
  void Post(std::function<void()> task) override { loop_.Post(std::move(task)); }
  void RowCompleted(int row, const std::string&, const DiskResult& result) override {
    completed.push_back({row, result});
  }
  void RowStopped(int row, const DiskResult& result) override { stopped.push_back({row, result}); }

  DiskRunOptions options;
  std::atomic<int> laps{1};
  bool running = false, stopEnabled = false;
  std::string score, info;
  std::vector<std::string> log, driveLines, statuses, messages;
  std::map<std::pair<int, int>, std::string> cells;
  std::vector<std::pair<int, int>> draws;
  std::map<int, std::pair<double, double>> bars;
  int progress = -1;
  std::vector<std::pair<int, DiskResult>> completed, stopped;
  std::vector<std::string> questions;
  bool answer = true;
  uint64_t sizeChoice = 1;

 private:
  TaskLoop& loop_;
};

constexpr uint64_t GiB = kGiB;

class DiskRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    fs::create_directories(dir_.Path("vol"));
    fs::create_directories(dir_.Path("tmp"));
    fs::create_directories(dir_.Path("history"));
    root_ = dir_.Path("vol");
  }
  void TearDown() override {
    loop_.Shutdown();
    run_.reset();
  }

  // A run over one disk entry at root_, with a fake sequence that fills every cell.
  void Make(DiskRunConfig config = {}) {
    config.historyFolder = dir_.Path("history") + "/";
    config.settingsPath = dir_.Path("config/disk.conf");
    config.engine.tempFolder = dir_.Path("tmp") + "/";
    config.secondMs = 1;
    config.openIdentification = [](std::string*) { return 0; };
    config.closeIdentification = [] {};
    config.enumerate = [this](DiskList& list) {
      list["Model X/" + root_] = DiskEntry{serial_, {root_}, "Model X", removable_};
      return true;
    };
    if (!config.board) config.board = [] { return platform::BoardInfo{true, "Maker", "Board X"}; };
    if (!config.post)
      config.post = [this](const DiskSubmission& s) {
        std::lock_guard<std::mutex> lock(mu_);
        posted_.push_back(s);
        return std::string("4321");
      };
    if (!config.sequence && !realEngine_)
      config.sequence = [this](const DiskTestOptions& test, DiskEvents& events, std::stop_token) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          sequences_.push_back({test.root, test.writeSize});
        }
        // The laps field as the window shows it while this lap runs.
        loop_.Post([this] { lapsSeen_.push_back(view_.laps.load()); }, true);
        if (duringSequence_) duringSequence_();
        events.Progress(50, 0);
        DiskResult result;
        for (int c = 1; c <= 7; ++c) {
          if (cellsOfLap_ && !cellsOfLap_(static_cast<int>(sequences_.size()), c)) continue;
          events.Cell(100.0 * c + 0.125, c);
          result.cells.SetCell(c, 100.0 * c + 0.125);
        }
        events.Bar(400.125, 0);
        result.failedWorkers = incomplete_ ? 1 : 0;
        result.completed = result.cells.Value(7) && !incomplete_;
        return result;
      };
    config.trim = [this](const std::string& root) {
      trims_.push_back(root);
      return platform::TrimOutcome{true, 0};
    };
    run_ = std::make_unique<DiskBenchRun>(view_, config);
    events_ = std::make_unique<LoopDiskEvents>(loop_, *run_);
    run_->SetEvents(events_.get());
    ASSERT_TRUE(run_->OnOpen());
  }
  // Starts and waits until the run (with all its laps) is over.
  bool StartAndFinish() {
    if (!run_->OnStartRun()) return false;
    EXPECT_TRUE(loop_.RunUntil([this] { return !run_->Running(); }, 20000));
    return true;
  }
  std::string Log() const {
    std::string all;
    for (const std::string& l : view_.log) all += l + "\n";
    return all;
  }

  testing::TempDir dir_{"diskrun"};
  std::string root_;
  std::string serial_ = "\x03" "ABCDEFGH12345678";
  TaskLoop loop_;
  FakeView view_{loop_};
  std::unique_ptr<DiskBenchRun> run_;
  std::unique_ptr<LoopDiskEvents> events_;
  std::mutex mu_;
  std::vector<DiskSubmission> posted_;
  std::vector<std::pair<std::string, uint64_t>> sequences_;
  std::vector<int> lapsSeen_;
  std::vector<std::string> trims_;
  std::function<void()> duringSequence_;
  // Which cells lap n (1, 2, ...) of the fake sequence reports; unset: all seven.
  std::function<bool(int lap, int column)> cellsOfLap_;
  bool incomplete_ = false;  // the fake sequence reports a failed 64-thread worker
  bool realEngine_ = false;
  bool removable_ = false;
};

TEST(PrefillPlanTest, StepsAndRefusals) {
  // Empty 100 GiB volume, both boxes: 50 GiB, then only the 40 GiB difference.
  PrefillPlan both = PlanPrefill(true, true, 300 * GiB, 300 * GiB);
  ASSERT_EQ(both.steps.size(), 2u);
  EXPECT_EQ(both.steps[0].amount, 150 * GiB);
  EXPECT_EQ(both.steps[0].row, 1);
  EXPECT_EQ(both.steps[1].amount, 120 * GiB);
  EXPECT_EQ(both.steps[1].row, 2);
  // More than half used: no 50 % step and no refusal; 90 % adds the full amount from the use.
  PrefillPlan late = PlanPrefill(true, true, 300 * GiB, 100 * GiB);
  ASSERT_EQ(late.steps.size(), 1u);
  EXPECT_EQ(late.steps[0].row, 2);
  EXPECT_EQ(late.steps[0].amount, 70 * GiB);
  EXPECT_EQ(late.refusedPercent, 0);
  // Every target reached: nothing to do, no message.
  PrefillPlan none = PlanPrefill(true, true, 300 * GiB, 10 * GiB);
  EXPECT_TRUE(none.steps.empty());
  EXPECT_EQ(none.refusedPercent, 0);
  // 50 % needs 40 GiB partitions, 90 % needs 200 GiB.
  EXPECT_EQ(PlanPrefill(true, false, 39 * GiB, 39 * GiB).refusedPercent, 50);
  EXPECT_EQ(PlanPrefill(true, false, 40 * GiB, 40 * GiB).refusedPercent, 0);
  EXPECT_EQ(PlanPrefill(false, true, 199 * GiB, 199 * GiB).refusedPercent, 90);
  PrefillPlan refused90 = PlanPrefill(true, true, 100 * GiB, 100 * GiB);
  EXPECT_EQ(refused90.refusedPercent, 90);
  EXPECT_TRUE(refused90.steps.empty());
}

TEST_F(DiskRun, StartChecksRefuseFatAndSmallVolumes) {
  testing::SimulatedMedium medium;
  {
    medium.ListAsVolume(root_, 100 * GiB, 80 * GiB, "vfat");
    Make();
    EXPECT_FALSE(run_->OnStartRun());
    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_EQ(view_.messages[0], "不支持当前文件系统“FAT32”！如需测速，需要格式化为NTFS或者exFat文件系统！");
    EXPECT_EQ(view_.score, "待评分");
  }
  {
    medium.ListAsVolume(root_, 100 * GiB, 20 * GiB - 1);
    view_.messages.clear();
    EXPECT_FALSE(run_->OnStartRun());
    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_EQ(view_.messages[0], "至少需要20G以上空闲空间！");
    EXPECT_FALSE(run_->Running());
    EXPECT_TRUE(sequences_.empty());
  }
}

TEST_F(DiskRun, NormalRunSubmitsSavesAndReturnsToIdle) {
  testing::SimulatedMedium medium;
  medium.ListAsVolume(root_, 500 * GiB, 250 * GiB);
  Make();
  EXPECT_EQ(view_.info, "分区" + root_ + " 可用空间：250.00G/500.00G");
  view_.options.trim = true;
  ASSERT_TRUE(StartAndFinish());
  ASSERT_EQ(sequences_.size(), 1u);
  EXPECT_EQ(sequences_[0].second, 21474836480ull);
  EXPECT_EQ(trims_, std::vector<std::string>{root_});
  ASSERT_GE(view_.statuses.size(), 12u);
  EXPECT_EQ(view_.statuses[0], "执行TRIM中......");
  EXPECT_EQ(view_.statuses[2], "等待10秒......");
  EXPECT_EQ(view_.statuses[11], "等待1秒......");
  EXPECT_EQ(view_.statuses.back(), "");

  // x positions of a normal run: 0 to 20 GB in steps of 0.2.
  EXPECT_DOUBLE_EQ(run_->Chart().x[1], 0.2);
  EXPECT_DOUBLE_EQ(run_->Chart().x[100], 20.0);
  EXPECT_EQ(view_.cells[std::make_pair(0, 1)], "100.12MB/s");  // "%.2fMB/s" of the double
  ASSERT_EQ(posted_.size(), 1u);
  EXPECT_EQ(posted_[0].prefill, 0);
  EXPECT_EQ(posted_[0].diskName, root_ + " Model X");
  EXPECT_EQ(posted_[0].platform, "Maker_Board X");
  EXPECT_EQ(posted_[0].serial, serial_);
  EXPECT_DOUBLE_EQ(posted_[0].writeSizeGiB, 20.0);
  EXPECT_EQ(view_.score, "4321");
  EXPECT_NE(Log().find("测试结果：\n4321\n[>>>]分区" + root_ + "测试结束！\n"), std::string::npos) << Log();
  EXPECT_FALSE(view_.running);
  EXPECT_FALSE(view_.stopEnabled);
  EXPECT_EQ(view_.progress, 100);

  // The history holds the row and the score the service gave.
  std::string base = dir_.Path("history") + "/" + DiskHistoryBaseName(root_ + " Model X");
  EXPECT_EQ(testing::ReadWholeFile(base + "_0_score.bin"), std::string("\xE1\x10\0\0", 4));
  EXPECT_EQ(testing::ReadWholeFile(base + "_lines_0").size(), 3232u);
  EXPECT_EQ(testing::ReadWholeFile(base).substr(0, 22), "100.12MB/s,200.12MB/s,");
}

TEST_F(DiskRun, UnreadableBoardSendsNothingAndRemovableDisksAreNotTrimmed) {
  testing::SimulatedMedium medium;
  medium.ListAsVolume(root_, 500 * GiB, 250 * GiB);
  removable_ = true;
  DiskRunConfig config;
  config.board = [] { return platform::BoardInfo{}; };  // neither DMI nor a device tree
  Make(config);
  view_.options.trim = true;
  ASSERT_TRUE(StartAndFinish());
  EXPECT_TRUE(trims_.empty());
  EXPECT_TRUE(view_.statuses.empty());
  EXPECT_TRUE(posted_.empty());
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0], "主板信息获取异常！");
  EXPECT_EQ(view_.score, "");
  std::string base = dir_.Path("history") + "/" + DiskHistoryBaseName(root_ + " Model X");
  EXPECT_EQ(testing::ReadWholeFile(base + "_0_score.bin"), std::string(4, '\0'));
}

TEST_F(DiskRun, StoppedRowIsNeitherSubmittedNorSavedAndCacheRunSavesZero) {
  testing::SimulatedMedium medium;
  medium.ListAsVolume(root_, 500 * GiB, 250 * GiB);
  Make();
  duringSequence_ = [this] { loop_.Post([this] { run_->OnStopRun(); }, true); };
  ASSERT_TRUE(StartAndFinish());
  EXPECT_TRUE(posted_.empty());
  std::string base = dir_.Path("history") + "/" + DiskHistoryBaseName(root_ + " Model X");
  EXPECT_FALSE(fs::exists(base));
  EXPECT_EQ(view_.score, "待评分");
  EXPECT_FALSE(run_->StopRequested());  // cleared when the run ended

  duringSequence_ = nullptr;
  view_.options.systemCache = true;
  ASSERT_TRUE(StartAndFinish());
  EXPECT_TRUE(posted_.empty());
  EXPECT_EQ(view_.score, "待评分");
  EXPECT_EQ(testing::ReadWholeFile(base + "_0_score.bin"), std::string(4, '\0'));
  EXPECT_TRUE(fs::exists(base));
}

TEST_F(DiskRun, LapsCountDownAndAStopEndsThemAll) {
  testing::SimulatedMedium medium;
  medium.ListAsVolume(root_, 500 * GiB, 250 * GiB);
  Make();
  view_.options.wholeDisk = true;
  view_.laps = 3;
  ASSERT_TRUE(StartAndFinish());
  EXPECT_EQ(lapsSeen_, (std::vector<int>{3, 2, 1}));
  EXPECT_EQ(view_.laps.load(), 1);
  ASSERT_EQ(sequences_.size(), 3u);
  EXPECT_EQ(sequences_[0].second, 250 * GiB);  // whole-disk run: write size = free bytes
  EXPECT_DOUBLE_EQ(run_->Chart().x[100], 250.0);
  ASSERT_EQ(posted_.size(), 3u);
  EXPECT_EQ(posted_[2].prefill, 3);
  EXPECT_DOUBLE_EQ(posted_[2].writeSizeGiB, 250.0);

  sequences_.clear();
  view_.laps = 3;
  duringSequence_ = [this] {
    if (sequences_.size() == 2) loop_.Post([this] { run_->OnStopRun(); }, true);
  };
  ASSERT_TRUE(StartAndFinish());
  EXPECT_EQ(sequences_.size(), 2u);
  EXPECT_EQ(view_.laps.load(), 2);
  EXPECT_FALSE(view_.running);

  view_.laps = 0;  // laps 0 starts nothing
  EXPECT_FALSE(run_->OnStartRun());
}

// A row holds only what its own run measured, and only a row with every figure is scored.
TEST_F(DiskRun, RowsHoldOnlyThisRunsFiguresAndOnlyCompleteRowsAreScored) {
  testing::SimulatedMedium medium;
  medium.ListAsVolume(root_, 500 * GiB, 250 * GiB);
  // The history holds a column-2 figure of an earlier whole-disk run.
  const std::string base = dir_.Path("history") + "/" + DiskHistoryBaseName(root_ + " Model X");
  const std::string nulls = "NULL,NULL,NULL,NULL,NULL,NULL,NULL,\r\n";
  ASSERT_TRUE(testing::WriteWholeFile(base, nulls + nulls + nulls + "1.00MB/s,999.00MB/s," + "NULL,NULL,NULL,NULL,NULL,\r\n"));
  Make();
  ASSERT_EQ(view_.cells[std::make_pair(3, 2)], "999.00MB/s");
  // Three laps over 20 GiB; only the second finds a cache drop and fills column 2.
  cellsOfLap_ = [](int lap, int column) { return column != 2 || lap == 2; };
  view_.options.wholeDisk = true;
  view_.laps = 3;
  ASSERT_TRUE(StartAndFinish());
  ASSERT_EQ(posted_.size(), 3u);
  EXPECT_EQ(posted_[0].figures[1], 0.0);
  EXPECT_DOUBLE_EQ(posted_[1].figures[1], static_cast<double>(200.12f));
  EXPECT_EQ(posted_[2].figures[1], 0.0);
  EXPECT_EQ(view_.cells[std::make_pair(3, 2)], "");
  EXPECT_EQ(view_.cells[std::make_pair(3, 1)], "100.12MB/s");

  struct Case {
    const char* name;
    std::function<bool(int, int)> cells;
    bool failedWorker;
    const char* logLine;
  };
  const std::vector<Case> incomplete = {
      {"4K write fails", [](int, int column) { return column <= 3; }, false,
       "[X]本次测试不完整（未测出：4K随机写、4K随机读、64T4K随机写、64T4K随机读），结果不提交，不计分"},
      {"a 64-thread worker fails", nullptr, true, "[X]本次测试不完整（1个64并发线程读写出错），结果不提交，不计分"},
  };
  view_.options.wholeDisk = false;
  view_.laps = 1;
  for (const Case& c : incomplete) {
    SCOPED_TRACE(c.name);
    posted_.clear();
    cellsOfLap_ = c.cells;
    incomplete_ = c.failedWorker;
    ASSERT_TRUE(StartAndFinish());
    EXPECT_TRUE(posted_.empty());
    EXPECT_EQ(view_.score, "-");
    EXPECT_NE(Log().find(std::string(c.logLine) + "\n"), std::string::npos) << Log();
    EXPECT_EQ(view_.cells[std::make_pair(0, 3)], "300.12MB/s");  // shown as measured
    EXPECT_EQ(view_.cells[std::make_pair(0, 4)], c.failedWorker ? "400.12MB/s" : "");
    // Kept in the history as measured, without a score.
    EXPECT_EQ(testing::ReadWholeFile(base + "_0_score.bin"), std::string(4, '\0'));
    EXPECT_EQ(testing::ReadWholeFile(base).substr(0, 33), "100.12MB/s,200.12MB/s,300.12MB/s,");
  }
  // The next complete run is scored again.
  cellsOfLap_ = nullptr;
  incomplete_ = false;
  ASSERT_TRUE(StartAndFinish());
  ASSERT_EQ(posted_.size(), 1u);
  EXPECT_EQ(view_.score, "4321");
}

TEST_F(DiskRun, ChosenSizeIsAskedForWrittenAndRemembered) {
  testing::SimulatedMedium medium;
  medium.ListAsVolume(root_, 500 * GiB, 250 * GiB);
  Make();
  EXPECT_EQ(view_.sizeChoice, 20 * GiB);  // nothing remembered yet
  run_->OnSizeChosen(1 * GiB);
  EXPECT_EQ(testing::ReadWholeFile(dir_.Path("config/disk.conf")), "write_size_gib=1\n");
  view_.options.writeSize = 1 * GiB;

  // No (the default) writes nothing.
  view_.answer = false;
  EXPECT_FALSE(run_->OnStartRun());
  EXPECT_EQ(view_.questions, std::vector<std::string>{"将在 " + root_ + " 写入 1 GB 测试数据，继续吗？"});
  EXPECT_TRUE(sequences_.empty());
  EXPECT_FALSE(view_.running);
  EXPECT_EQ(view_.score, "-");

  view_.answer = true;
  ASSERT_TRUE(StartAndFinish());
  ASSERT_EQ(sequences_.size(), 1u);
  EXPECT_EQ(sequences_[0].second, 1 * GiB);
  EXPECT_DOUBLE_EQ(run_->Chart().x[100], 1.0);
  ASSERT_EQ(posted_.size(), 1u);
  EXPECT_DOUBLE_EQ(posted_[0].writeSizeGiB, 1.0);

  // "整盘" is the whole-disk run; its laps are asked for once, with what they all write.
  run_->OnSizeChosen(0);
  EXPECT_TRUE(view_.options.wholeDisk);
  EXPECT_EQ(view_.sizeChoice, 0u);
  view_.laps = 2;
  ASSERT_TRUE(StartAndFinish());
  EXPECT_EQ(sequences_.size(), 3u);
  EXPECT_EQ(view_.questions.size(), 3u);
  EXPECT_EQ(view_.questions.back(), "将在 " + root_ + " 写入 500 GB 测试数据，继续吗？");
  run_->OnOptionClicked(DiskOption::kPrefill50);  // leaving the whole disk shows the size again
  EXPECT_EQ(view_.sizeChoice, 1 * GiB);

  // The free-space check follows the size.
  medium.ListAsVolume(root_, 500 * GiB, 3 * GiB);
  view_.options = {};
  view_.options.writeSize = 4 * GiB;
  EXPECT_FALSE(run_->OnStartRun());
  EXPECT_EQ(view_.messages.back(), "至少需要4G以上空闲空间！");
  EXPECT_EQ(view_.questions.size(), 3u);

  Make();  // the window opened again
  EXPECT_EQ(view_.sizeChoice, 1 * GiB);
}

TEST_F(DiskRun, PrefillCreatesChunksAndRemainderAndDeletesThem) {
  testing::SimulatedMedium medium;
  // 60 GiB with 27.5 GiB used: the 50 % step adds 2.5 GiB.
  medium.ListAsVolume(root_, 60 * GiB, 60 * GiB - (55 * GiB) / 2);
  Make();
  view_.options.prefill50 = true;
  // A file of someone else's under a fill file's name is neither filled nor deleted.
  const std::string theirs = dir_.Path("tmp") + "/prewritefileE_0";
  ASSERT_EQ(medium.Open(theirs, platform::OpenMode::kCreateNew, false).value()->Write("mine", 4), 4);
  std::map<std::string, int64_t> during;
  duringSequence_ = [&] {
    for (const auto& [path, n] : medium.Created()) during[fs::path(path).filename().string()] = medium.SizeOf(path);
  };
  ASSERT_TRUE(StartAndFinish());
  std::map<std::string, int64_t> want = {{"prewritefile0_0", 1073741824}, {"prewritefile0_1", 1073741824},
                                         {"prewritefileE_0", 4}, {"prewritefileE_0_1", 536870912 - 4}};  // theirs counts as used
  EXPECT_EQ(during, want);
  EXPECT_EQ(view_.log[1], "[>>]预填充数据2.50 GB");
  for (const auto& [path, n] : medium.Created()) EXPECT_EQ(medium.Exists(path), path == theirs) << path;
  EXPECT_EQ(medium.SizeOf(theirs), 4);
  ASSERT_EQ(posted_.size(), 1u);
  EXPECT_EQ(posted_[0].prefill, 1);
  EXPECT_EQ(view_.cells[std::make_pair(1, 1)], "100.12MB/s");
}

TEST_F(DiskRun, StopDuringPrefillChunksCreatesNoRemainderAndMeasuresNothing) {
  testing::SimulatedMedium medium;
  medium.ListAsVolume(root_, 60 * GiB, 60 * GiB - (55 * GiB) / 2);
  Make();
  view_.options.prefill50 = true;
  view_.options.prefill90 = false;
  // The stop button is pressed while the first 1 GiB chunk is being made; the run thread
  // waits until the window thread has handled it.
  medium.OnCreate([this](const std::string& path) {
    if (fs::path(path).filename() == "prewritefile0_0") loop_.Post([this] { run_->OnStopRun(); }, true);
  });
  ASSERT_TRUE(StartAndFinish());
  std::map<std::string, int> created = medium.Created();
  for (const auto& [path, n] : created) {
    EXPECT_EQ(fs::path(path).filename().string().rfind("prewritefile0_", 0), 0u) << path;
    EXPECT_FALSE(medium.Exists(path));
  }
  EXPECT_EQ(created.size(), 1u);
  EXPECT_TRUE(sequences_.empty());
  EXPECT_TRUE(posted_.empty());
}

TEST_F(DiskRun, PrefillThatDoesNotTakeTheSpaceIsNotMeasured) {
  testing::SimulatedMedium medium;
  medium.ListAsVolume(root_, 60 * GiB, 60 * GiB - (55 * GiB) / 2, "ext4", false);  // a file system that takes nothing
  Make();
  view_.options.prefill50 = true;
  ASSERT_TRUE(StartAndFinish());
  EXPECT_TRUE(sequences_.empty());
  EXPECT_TRUE(posted_.empty());
  EXPECT_NE(Log().find("[X]预填充后可用空间只减少了0.00G，少于预填充的2.50G，测试终止"), std::string::npos) << Log();
  for (const auto& [path, n] : medium.Created()) EXPECT_FALSE(medium.Exists(path));
}

TEST_F(DiskRun, HistoryFilesMatchTheirByteLayoutBothWays) {
  DiskResultTable table{};
  table[0] = {"812.34MB/s", "未测试", "1500.00MB/s", "40.50MB/s", "30.25MB/s", "300.00MB/s", "400.00MB/s"};
  table[3][0] = "99.00MB/s";
  DiskChartData chart{};
  for (int i = 0; i < 101; ++i) {
    chart.x[i] = i / 5.0;
    chart.y[0][i] = 1000 + i;
    chart.y[1][i] = -0.5 * i;
  }
  DiskHistoryFiles files{dir_.Path("history") + "/", DiskHistoryBaseName("/media/u/My:Disk Model X")};
  EXPECT_EQ(files.base, "-media-u-My-Disk Model X");
  ASSERT_TRUE(SaveDiskHistory(files, table, 0, -2, chart));

  const std::string list =
      "812.34MB/s,未测试,1500.00MB/s,40.50MB/s,30.25MB/s,300.00MB/s,400.00MB/s,\r\n"
      "NULL,NULL,NULL,NULL,NULL,NULL,NULL,\r\n"
      "NULL,NULL,NULL,NULL,NULL,NULL,NULL,\r\n"
      "99.00MB/s,NULL,NULL,NULL,NULL,NULL,NULL,\r\n";
  EXPECT_EQ(testing::ReadWholeFile(files.folder + "-media-u-My-Disk Model X"), list);
  EXPECT_EQ(testing::ReadWholeFile(files.folder + "-media-u-My-Disk Model X_0_score.bin"), "\xFE\xFF\xFF\xFF");
  std::string bytes = testing::ReadWholeFile(files.folder + "-media-u-My-Disk Model X_lines_0");
  ASSERT_EQ(bytes.size(), 3232u);
  // x[1] = 0.2 at bytes 8..15, y0[0] = 1000.0 at 808, y1[1] = -0.5 at 1624, reference zeros at the end.
  EXPECT_EQ(bytes.substr(8, 8), std::string("\x9a\x99\x99\x99\x99\x99\xc9\x3f", 8));
  EXPECT_EQ(bytes.substr(808, 8), std::string("\0\0\0\0\0\x40\x8f\x40", 8));
  EXPECT_EQ(bytes.substr(1624, 8), std::string("\0\0\0\0\0\0\xe0\xbf", 8));
  EXPECT_EQ(bytes.substr(2424), std::string(808, '\0'));
  EXPECT_FALSE(fs::exists(files.folder + "-media-u-My-Disk Model X.new"));
  EXPECT_EQ(DecodeChart(bytes)->y[1][1], -0.5);
}

TEST_F(DiskRun, LoadHistoryToleratesShortLinesNullCellsAndBadChartFiles) {
  testing::SimulatedMedium medium;
  medium.ListAsVolume(root_, 500 * GiB, 250 * GiB);
  Make();
  const std::string base = dir_.Path("history") + "/" + DiskHistoryBaseName(root_ + " Model X");
  // Row 0 has three fields (one NULL); row 1 is complete; the list ends there.
  ASSERT_TRUE(testing::WriteWholeFile(base, "1.00MB/s,NULL,3.00MB/s,\r\n"
                                             "11.00MB/s,12.00MB/s,13.00MB/s,14.00MB/s,15.50MB/s,16.00MB/s,17.00MB/s,\r\n"));
  ASSERT_TRUE(testing::WriteWholeFile(base + "_1_score.bin", std::string("\x39\x30\0\0", 4)));
  DiskChartData chart{};
  chart.x[16] = 3.2;
  chart.x[33] = 6.6;
  ASSERT_TRUE(testing::WriteWholeFile(base + "_lines_1", EncodeChart(chart)));
  view_.cells[{0, 5}] = "kept";
  run_->LoadHistory(1);
  EXPECT_EQ(view_.cells[std::make_pair(0, 1)], "1.00MB/s");
  EXPECT_EQ(view_.cells[std::make_pair(0, 2)], "");
  EXPECT_EQ(view_.cells[std::make_pair(1, 7)], "17.00MB/s");
  EXPECT_EQ(view_.score, "12345");
  ASSERT_EQ(view_.bars.size(), 4u);
  EXPECT_EQ(view_.bars[0], std::make_pair(3.2, 14.0));
  EXPECT_EQ(view_.bars[1].second, 15.5);
  // Write and read lines with 100 points, the reference line with 101.
  std::vector<std::pair<int, int>> last(view_.draws.end() - 3, view_.draws.end());
  EXPECT_EQ(last, (std::vector<std::pair<int, int>>{{2, 101}, {0, 100}, {1, 100}}));

  // A chart file of the wrong size counts as missing: bars and lines cleared, never read.
  ASSERT_TRUE(testing::WriteWholeFile(base + "_lines_1", EncodeChart(chart) + "x"));
  view_.draws.clear();
  run_->LoadHistory(1);
  EXPECT_TRUE(view_.bars.empty());
  EXPECT_EQ(view_.draws, (std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {2, 0}}));
  // No score or chart file for row 2: score 0, chart cleared.
  run_->LoadHistory(2);
  EXPECT_EQ(view_.score, "0");
  EXPECT_TRUE(view_.bars.empty());
}

TEST_F(DiskRun, ProgressAndSpeedFollowTheChartRules) {
  testing::SimulatedMedium medium;
  medium.ListAsVolume(root_, 500 * GiB, 250 * GiB);
  Make();
  view_.draws.clear();
  run_->OnSpeed(100.0, std::nullopt);
  EXPECT_EQ(view_.info, "实时速度：100.00MB/s");
  run_->OnSpeed(200.0, 150.0);
  EXPECT_EQ(view_.info, "实时速度：200.00MB/s 平均速度：150.00MB/s");  // smoothed: 150
  run_->OnProgress(0, 0);    // same as the last index: nothing stored or drawn
  run_->OnProgress(5, -1);   // line -1 moves only the bar
  run_->OnProgress(3, 0);    // stores y[0][0] = 150, draws 3 points
  run_->OnProgress(3, 0);    // repeated percent: bar only
  run_->OnProgress(140, 1);  // above 100 counts as 100: y[1][3] stored, 100 points
  EXPECT_EQ(view_.draws, (std::vector<std::pair<int, int>>{{0, 3}, {1, 100}}));
  EXPECT_EQ(run_->Chart().y[0][0], 150.0);
  EXPECT_EQ(run_->Chart().y[0][2], 150.0);  // a jump of several percent fills the points it passes
  EXPECT_EQ(run_->Chart().y[0][3], 0.0);
  EXPECT_EQ(run_->Chart().y[1][3], 150.0);
  EXPECT_EQ(view_.progress, 140);
  run_->OnSpeed(std::nullopt, std::nullopt);
  EXPECT_EQ(view_.info, "");
}

TEST_F(DiskRun, CloseIsRefusedDuringARunAndOptionBoxesUncheckEachOther) {
  testing::SimulatedMedium medium;
  medium.ListAsVolume(root_, 500 * GiB, 250 * GiB);
  Make();
  view_.options.prefill50 = view_.options.prefill90 = true;
  run_->OnOptionClicked(DiskOption::kWholeDisk);
  EXPECT_FALSE(view_.options.prefill50 || view_.options.prefill90);
  view_.options.wholeDisk = true;
  run_->OnOptionClicked(DiskOption::kPrefill90);
  EXPECT_FALSE(view_.options.wholeDisk);
  view_.options.systemCache = true;
  run_->OnOptionClicked(DiskOption::kSystemCache);
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0],
            "注意啊|启用系统缓存会导致速度超过硬盘本身速度，测试结果不代表硬盘的真实实力，结果不会提交到服务器。");

  std::atomic<bool> release{false};
  duringSequence_ = [&] {
    while (!release) platform::SleepMs(1);
  };
  view_.options = {};
  ASSERT_TRUE(run_->OnStartRun());
  EXPECT_TRUE(view_.running);
  EXPECT_FALSE(run_->OnCloseRequest());
  EXPECT_EQ(view_.messages.back(), "先停止跑分后再退出！");
  release = true;
  EXPECT_TRUE(loop_.RunUntil([this] { return !run_->Running(); }, 20000));
  EXPECT_TRUE(run_->OnCloseRequest());
}

TEST_F(DiskRun, RealEngineOnTheDoNothingMediumFillsTheRow) {
  testing::SimulatedMedium medium;
  medium.ListAsVolume(root_, 500 * GiB, 250 * GiB);
  DiskRunConfig config;
  config.standardWriteSize = 64ull << 20;
  config.minFreeBytes = 1 << 20;
  config.engine.randomTestMs = 50;
  config.engine.concurrentTicks = 2;
  config.engine.tickMs = 20;
  config.engine.stopPauseMs = 1;
  realEngine_ = true;  // the real engine runs against the medium
  Make(config);
  ASSERT_TRUE(StartAndFinish());
  ASSERT_EQ(posted_.size(), 1u);
  for (int col = 1; col <= 7; ++col)
    EXPECT_FALSE(view_.cells[std::make_pair(0, col)].empty()) << col;
  EXPECT_EQ(view_.cells[std::make_pair(0, 2)], "未测试");
  EXPECT_DOUBLE_EQ(posted_[0].writeSizeGiB, 0.0625);
  // The row's own figures travel with it: the sequence's result, and the texts' read-back.
  ASSERT_EQ(view_.completed.size(), 1u);
  EXPECT_EQ(view_.completed[0].first, 0);
  const DiskResult& result = view_.completed[0].second;
  EXPECT_TRUE(result.completed);
  for (int col = 1; col <= 7; ++col) {
    ASSERT_TRUE(result.cells.cells[static_cast<size_t>(col - 1)].has_value()) << col;
    EXPECT_EQ(posted_[0].figures[static_cast<size_t>(col - 1)], CellNumber(view_.cells[std::make_pair(0, col)]));
  }
}

#ifdef HAVE_REFERENCE_SERVICE
TEST_F(DiskRun, TheReferenceServiceScoresTheSubmittedRow) {
  testing::TempDir serviceDir("disksvc");
  server::ServiceOptions so;
  so.port = 0;
  so.dataDir = serviceDir.path();
  std::string error;
  std::unique_ptr<server::ReferenceService> service = server::ReferenceService::Start(so, &error);
  ASSERT_TRUE(service) << error;
  testing::ScopedServiceUrl url(service->BaseUrl());

  DiskSubmission s;
  s.figures = {800.0, 0.0, 1000.0, 40.0, 30.0, 200.0, 300.0};
  s.prefill = 0;
  s.writeSizeGiB = 20;
  s.timestamp = 1700000000;
  s.platform = "Maker_Board";
  s.diskName = "/ Model X";
  // 0.25 x (800 + 0) + 0.5 x 1000 + 8 x 40 + 10 x 30 + 200 + 1.5 x 300 = 1970
  s.serial = "\x02" "SERIAL-0001";
  EXPECT_EQ(PostDiskSubmission(s).value_or(""), "1970");
  // A serial whose first byte gives no rounds sends the plain text; the service takes it.
  s.serial = "\xC3\xA9" "X";
  s.timestamp += 1;
  EXPECT_EQ(PostDiskSubmission(s).value_or(""), "1970");
  s.serial = "Z";  // too short for a key: nothing is sent
  EXPECT_EQ(DiskSubmissionBody(s, ""), "");
  EXPECT_EQ(PostDiskSubmission(s).value_or(""), "");
}
#endif

TEST(PrefillFiles, NamesTakenByAnotherUserOrALinkAreLeftAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  testing::TempDir dir("prefillnames");
  ASSERT_TRUE(dir.ok());
  const std::string theirs = dir.Path("prewritefileE_0"), link = dir.Path("prewritefileE_0_1");
  const std::string victim = dir.Path("victim");
  ASSERT_TRUE(testing::WriteWholeFile(theirs, "theirs"));
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  ASSERT_TRUE(testing::WriteWholeFile(victim, "victim"));
  fs::create_symlink(victim, link);
  std::string path;
  int err = -1;
  ASSERT_TRUE(ClaimFilledFile(dir.path(), "prewritefileE_0", 1 << 20, &path, &err)) << err;
  EXPECT_EQ(path, dir.Path("prewritefileE_0_2"));
  EXPECT_EQ(fs::file_size(path), 1u << 20);
  EXPECT_EQ(testing::ReadWholeFile(theirs), "theirs");
  struct stat st {};
  ASSERT_EQ(stat(theirs.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(testing::ReadWholeFile(victim), "victim");
  EXPECT_TRUE(fs::is_symlink(link));
}

TEST(DiskRunLoopVolume, PrefillStepLowersTheFreeSpaceByItsAmount) {
  std::string why = testing::LoopVolume::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  testing::LoopVolume volume(256ull << 20);
  if (!volume.ok()) GTEST_SKIP() << volume.error();
  struct statvfs before {};
  ASSERT_EQ(statvfs(volume.root().c_str(), &before), 0);
  std::string path = volume.root() + "/prewritefileE_0";
  int err = -1;
  ASSERT_TRUE(CreateFilledFile(path, 100ull << 20, &err)) << err;
  EXPECT_EQ(err, 0);
  struct statvfs after {};
  ASSERT_EQ(statvfs(volume.root().c_str(), &after), 0);
  uint64_t taken = (static_cast<uint64_t>(before.f_bavail) - after.f_bavail) * before.f_frsize;
  EXPECT_GE(taken, 100ull << 20);
  EXPECT_LT(taken, 104ull << 20);
  EXPECT_EQ(fs::file_size(path), 100ull << 20);
  // A request larger than the volume fails and leaves no file behind.
  EXPECT_FALSE(CreateFilledFile(volume.root() + "/big", 1ull << 30, &err));
  EXPECT_EQ(err, ENOSPC);
  EXPECT_FALSE(fs::exists(volume.root() + "/big"));
}

}  // namespace
}  // namespace sorvanta
