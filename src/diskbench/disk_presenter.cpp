#include "diskbench/disk_presenter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>

#include "platform/clock.h"
#include "platform/direct_io.h"
#include "platform/paths.h"
#include "platform/volumes.h"
#include "base/language.h"
#include "base/text.h"
#include "diskbench/disk_settings.h"

namespace sorvanta::diskbench {

std::string DiskWelcomeText() {
  // One catalogue entry a line; the lines are joined with CR LF like every log text.
  const char* const lines[] = {
      Tr("欢迎使用磁盘测速！"),
      Tr("1、如果刚买来的硬盘，建议只分一个区进行测试，否则软件只会在最大的分区上进行测试！"),
      Tr("2、常规跑分会占用20G磁盘空间进行跑分，您可以勾选左下角选项："),
      Tr("【掉速检测】是完整填充磁盘进行测速，目的看TLC、QLC、PLC磁盘在写入多少容量后会掉速，掉速后性能如何；"),
      // xgettext: no-c-format
      Tr("【xx%填充】测试是先将磁盘填充到一定比例后再进行常规测试，目的是测试磁盘在不同剩余容量下的成绩"),
      Tr("3、填充磁盘会消耗磁盘寿命，请自行做好数据备份，因测试导致数据丢失作者概不负责。"),
  };
  std::string text;
  for (const char* line : lines) text += (text.empty() ? "" : "\r\n") + std::string(line);
  return text;
}
const std::array<const char*, 4> kDiskRowLabels = {N_("缺省20G"), N_("预占50%"), N_("预占90%"), N_("跑圈")};

namespace {

std::string GiBText(uint64_t bytes) { return FloatText(static_cast<double>(bytes) / static_cast<double>(kGiB)); }

// What kept a row from being complete: the tests without a figure (column 2 has none when
// no cache drop was found, which is a result) and failed 64-thread workers.
std::string IncompleteReason(const DiskResult& result) {
  std::string missing;
  for (int column = 1; column <= 7; ++column) {
    if (column == 2 || result.cells.Value(column)) continue;
    missing += (missing.empty() ? "" : Tr("、")) + std::string(Tr(kDiskCellLabels[static_cast<size_t>(column - 1)]));
  }
  std::string reason = missing.empty() ? std::string() : FormatText(Tr("未测出：%s"), missing.c_str());
  if (result.failedWorkers > 0)
    reason += (reason.empty() ? "" : Tr("；")) + FormatText(Tr("%d个64并发线程读写出错"), result.failedWorkers);
  return reason.empty() ? Tr("测试未完成") : reason;
}

}  // namespace

// What the run thread shares with the window thread: the row hand-over and abandonment.
struct DiskBenchRun::Shared {
  std::mutex mu;
  std::condition_variable cv;
  bool abandoned = false;
  std::optional<DiskSubmission> pending;  // set by OnRowDone, taken by the run thread
  std::shared_ptr<int> alive = std::make_shared<int>(0);
};

DiskBenchRun::DiskBenchRun(DiskRunView& view, DiskRunConfig config)
    : view_(view), config_(std::move(config)), shared_(std::make_shared<Shared>()) {
  if (!config_.openIdentification)
    config_.openIdentification = [this](std::string* error) { return identification_.Open({}, error); };
  if (!config_.closeIdentification) config_.closeIdentification = [this] { identification_.Release(); };
  if (!config_.enumerate) config_.enumerate = [this](DiskList& list) { return identification_.Enumerate(list); };
  if (!config_.board) config_.board = [] { return platform::ReadBoardInfo(); };
  if (!config_.post) config_.post = [](const DiskSubmission& s) { return PostDiskSubmission(s).value_or(""); };
  bool elevate = config_.elevateTrim;
  if (!config_.trim) config_.trim = [elevate](const std::string& root) { return platform::RunTrim(root, elevate); };
  if (config_.engine.tempFolder.empty()) config_.engine.tempFolder = platform::TempFolder();
  if (!config_.sequence) config_.sequence = RunTestSequence;
  for (auto& row : table_) row.fill("");
}

DiskBenchRun::~DiskBenchRun() {
  // The run uses this object, so it must end before it: stop it and wait.
  runThread_.RequestStop();
  runThread_.Wait();
  shared_->alive.reset();
  if (identificationOpen_) config_.closeIdentification();
}

bool DiskBenchRun::OnOpen() {
  std::string error;
  if (config_.openIdentification(&error) != 0) {
    view_.ShowMessage(error, "", DiskMessageIcon::kError);
    return false;
  }
  identificationOpen_ = true;
  if (config_.settingsPath != "-") {
    std::optional<uint64_t> size =
        LoadDiskWriteSize(config_.settingsPath.empty() ? DiskSettingsPath() : config_.settingsPath);
    if (size) sizeChoice_ = *size;
  }
  view_.SetSizeChoice(sizeChoice_);
  OnRefreshDisks();
  view_.SetLaps(1);
  view_.SetLogText(DiskWelcomeText());
  SetScore("-");
  stop_ = std::stop_source();
  return true;
}

// ---- selection -------------------------------------------------------------------------

void DiskBenchRun::OnSelectDisk(int index) {
  freeBytes_ = totalBytes_ = 0;
  root_.clear();
  serial_.clear();
  removable_ = false;
  bool valid = index >= 0 && static_cast<size_t>(index) < entries_.size();
  driveText_ = valid ? lines_[static_cast<size_t>(index)] : std::string();
  if (valid) {
    const DiskEntry& entry = entries_[static_cast<size_t>(index)];
    for (const std::string& root : entry.roots) {
      std::optional<platform::VolumeSpace> space = platform::SpaceOf(root);
      if (space && space->freeBytes > freeBytes_) {
        root_ = root;
        freeBytes_ = space->freeBytes;
        totalBytes_ = space->totalBytes;
        serial_ = entry.serial;
        removable_ = entry.removable;
      }
    }
  }
  view_.SetInfoLine(FormatText(Tr("分区%s 可用空间：%sG/%sG"), root_.c_str(), GiBText(freeBytes_).c_str(),
                               GiBText(totalBytes_).c_str()));
  LoadHistory(-1);
}

void DiskBenchRun::OnRefreshDisks() {
  entries_.clear();
  lines_.clear();
  DiskList list;
  config_.enumerate(list);  // a failed enumeration still offers what it found
  for (auto& [key, entry] : list) {
    if (entry.roots.empty()) continue;
    lines_.push_back(entry.roots.front() + " " + entry.model);
    entries_.push_back(entry);
  }
  view_.SetDriveLines(lines_, lines_.empty() ? -1 : 0);
  OnSelectDisk(lines_.empty() ? -1 : 0);
}

// ---- start, stop, close ----------------------------------------------------------------

bool DiskBenchRun::OnStartRun() { return StartRun(true); }

void DiskBenchRun::OnSizeChosen(uint64_t bytes) {
  if (bytes == 0) {  // "整盘": the whole-disk run
    view_.SetOptionChecked(DiskOption::kWholeDisk, true);
    OnOptionClicked(DiskOption::kWholeDisk);
    return;
  }
  sizeChoice_ = bytes;
  view_.SetOptionChecked(DiskOption::kWholeDisk, false);
  if (config_.settingsPath != "-")
    SaveDiskWriteSize(config_.settingsPath.empty() ? DiskSettingsPath() : config_.settingsPath, bytes);
}

bool DiskBenchRun::StartRun(bool ask) {
  if (running_) return false;
  const std::string scoreBefore = scoreText_;
  SetScore(kDiskScorePending);
  if (root_.empty()) {
    view_.ShowNotice(SayText("没有可测试的分区！请插入硬盘后点击“刷新”。"), DiskMessageIcon::kNone);
    return false;
  }
  std::optional<platform::Volume> volume = platform::FindVolume(root_);
  std::string fsType = volume ? volume->fsType : std::string();
  if (fsType == "vfat" || fsType == "msdos" || fsType == "fat") {
    view_.ShowNotice(Say("不支持当前文件系统“%s”！如需测速，需要格式化为NTFS或者exFat文件系统！",
                         platform::FileSystemDisplayName(fsType).c_str()),
                     DiskMessageIcon::kNone);
    return false;
  }
  DiskRunOptions opt = view_.Options();
  const uint64_t writeSize = config_.standardWriteSize ? config_.standardWriteSize : opt.writeSize;
  // The free-space check follows the size that will be written.
  const uint64_t needFree = config_.minFreeBytes ? config_.minFreeBytes : writeSize;
  const std::string needText = needFree % kGiB == 0 ? std::to_string(needFree / kGiB) : GiBText(needFree);
  std::optional<platform::VolumeSpace> space = platform::SpaceOf(root_);
  uint64_t freeBytes = space ? space->freeBytes : 0;
  uint64_t totalBytes = space ? space->totalBytes : 0;
  if (freeBytes < needFree) {
    view_.ShowNotice(Say("至少需要%sG以上空闲空间！", needText.c_str()), DiskMessageIcon::kNone);
    return false;
  }

  // The mode's checks come before the question and the TRIM, so that a refused start asks
  // nothing and trims nothing.
  std::function<void(std::stop_token)> body;
  bool trim = opt.trim && !removable_;
  DiskEvents* events = events_ ? events_ : &noEvents_;
  DiskTestOptions test;
  test.root = root_;
  test.writeSize = writeSize;
  test.systemCache = opt.systemCache;
  test.engine = config_.engine;
  const double freeGiB = static_cast<double>(freeBytes) / static_cast<double>(kGiB);
  uint64_t toWrite = writeSize;  // what the question names
  std::vector<int> rows;         // the rows this run fills
  int row = 0;
  if (opt.wholeDisk) {
    if (opt.laps == 0) return false;
    row = 3;
    rows = {3};
    writeSizeGiB_ = freeGiB;
    test.writeSize = freeBytes;
    toWrite = freeBytes * static_cast<uint64_t>(opt.laps);
    body = [this, test, trim, events](std::stop_token stop) { StandardRun(test, trim, *events, stop); };
  } else if (opt.prefill50 || opt.prefill90) {
    PrefillPlan plan = PlanPrefill(opt.prefill50, opt.prefill90, totalBytes, freeBytes, needFree);
    if (plan.refusedPercent) {
      view_.ShowNotice(Say("填充%d%%后至少需要%sG以上空闲空间！", plan.refusedPercent, needText.c_str()),
                       DiskMessageIcon::kNone);
      return false;
    }
    row = plan.steps.empty() ? 1 : plan.steps.front().row;
    toWrite = 0;
    for (const PrefillStep& step : plan.steps) {
      rows.push_back(step.row);
      toWrite += step.amount + writeSize;
    }
    writeSizeGiB_ = static_cast<double>(writeSize) / static_cast<double>(kGiB);
    body = [this, test, steps = plan.steps, trim, events](std::stop_token stop) {
      PrefillRun(test, steps, trim, *events, stop);
    };
  } else {
    rows = {0};
    writeSizeGiB_ = static_cast<double>(writeSize) / static_cast<double>(kGiB);
    body = [this, test, trim, events](std::stop_token stop) { StandardRun(test, trim, *events, stop); };
  }
  if (ask && toWrite > 0) {
    const std::string amount = toWrite % kGiB == 0 ? std::to_string(toWrite / kGiB) : GiBText(toWrite);
    if (!view_.Confirm(FormatText(Tr("将在 %s 写入 %s GB 测试数据，继续吗？"), root_.c_str(), amount.c_str()))) {
      SetScore(scoreBefore);
      return false;
    }
  }
  currentRow_ = row;

  for (int i = 0; i < kChartPoints; ++i) {
    double x = opt.wholeDisk ? i * (freeGiB / 100) : i * (static_cast<double>(writeSize) / static_cast<double>(kGiB) / 100);
    chart_.x[static_cast<size_t>(i)] = x;
    for (auto& line : chart_.y) line[static_cast<size_t>(i)] = 0;
  }
  for (int line = 0; line < 3; ++line) view_.DrawLine(line, chart_.x.data(), chart_.y[line].data(), kChartPoints);
  smoothed_ = 0;
  lastIndex_ = 0;
  // A row holds only what this run measures: its old figures go before the run starts.
  for (int r : rows) ClearRow(r);
  shownRow_ = row;

  view_.SetLogText(Tr("[>>>]测试磁盘：") + std::string("\r\n") + driveText_);
  cacheRun_ = opt.systemCache;
  replies_.clear();
  {
    std::lock_guard<std::mutex> lock(shared_->mu);
    shared_->pending.reset();
    shared_->abandoned = false;
  }
  if (!StartRunThread(std::move(body))) {
    view_.ShowNotice(SayText("无法启动跑分线程！"), DiskMessageIcon::kError);
    return false;
  }
  ClearChart(false);
  ClearBars();
  view_.SetRunning(true);
  view_.SetStopEnabled(true);
  return true;
}

void DiskBenchRun::ClearRow(int row) {
  for (int c = 1; c <= 7; ++c) SetTableCell(row, c, "", 0);
  rowTimes_[static_cast<size_t>(row)] = 0;
}

void DiskBenchRun::OnStopRun() {
  if (StopRequested() || !running_) return;
  stop_.request_stop();
  view_.SetStopEnabled(false);
}

bool DiskBenchRun::OnCloseRequest() {
  if (!running_) return true;
  view_.ShowNotice(SayText("先停止跑分后再退出！"), DiskMessageIcon::kNone);
  return false;
}

void DiskBenchRun::OnOptionClicked(DiskOption option) {
  switch (option) {
    case DiskOption::kWholeDisk:
      view_.SetOptionChecked(DiskOption::kPrefill50, false);
      view_.SetOptionChecked(DiskOption::kPrefill90, false);
      view_.SetSizeChoice(view_.Options().wholeDisk ? 0 : sizeChoice_);
      break;
    case DiskOption::kPrefill50:
    case DiskOption::kPrefill90:
      view_.SetOptionChecked(DiskOption::kWholeDisk, false);
      view_.SetSizeChoice(sizeChoice_);
      break;
    case DiskOption::kSystemCache:
      if (view_.Options().systemCache)
        view_.ShowMessage(Tr("启用系统缓存会导致速度超过硬盘本身速度，测试结果不代表硬盘的真实实力，结果不会提交到服务器。"),
                          Tr("注意啊"), DiskMessageIcon::kInformation);
      break;
    case DiskOption::kTrim:
      break;
  }
}

bool DiskBenchRun::Running() const { return running_; }

// ---- notifications ---------------------------------------------------------------------

void DiskBenchRun::OnLog(const std::string& text) {
  view_.AppendLog(text);
  view_.SetInfoLine(text);
}

void DiskBenchRun::OnProgress(int percent, int chartLine) {
  view_.SetProgress(percent);
  int p = std::clamp(percent, 0, 100);
  if (chartLine < 0 || chartLine > 1 || p == lastIndex_) return;
  auto& y = chart_.y[static_cast<size_t>(chartLine)];
  y[static_cast<size_t>(lastIndex_)] = smoothed_;
  // A file of fewer than 100 blocks moves more than one percent per block: the points it
  // passes over get the same speed, so that the curve does not drop to 0 between blocks.
  for (int i = lastIndex_ + 1; i < p; ++i) y[static_cast<size_t>(i)] = smoothed_;
  if (p != 0) view_.DrawLine(chartLine, chart_.x.data(), y.data(), p);
  lastIndex_ = p;
}

void DiskBenchRun::OnSpeed(std::optional<double> instant, std::optional<double> average) {
  if (!instant) {
    view_.SetInfoLine("");
    return;
  }
  // The label leads the line as an entry of its own: the command line tells speed lines by it.
  std::string line = Tr("实时速度：") + FloatText(*instant) + "MB/s";
  if (average && *average != 0) line += FormatText(Tr(" 平均速度：%sMB/s"), FloatText(*average).c_str());
  view_.SetInfoLine(line);
  smoothed_ = smoothed_ == 0 ? *instant : 0.5 * *instant + 0.5 * smoothed_;
}

void DiskBenchRun::OnBar(double mbps, int bar) {
  if (bar < 0 || bar > 3) return;
  view_.ClearBar(bar);
  view_.SetBar(bar, chart_.x[static_cast<size_t>((bar + 1) * 100 / 6)], mbps);
}

void DiskBenchRun::OnCell(std::optional<double> mbps, int column) {
  int row = currentRow_.load();
  if (row < 0 || row > 3 || column < 1 || column > 7) return;
  // The text and the submitted figure come from the number once, so they always agree.
  SetTableCell(row, column, DiskCellText(mbps), DiskCellFigure(mbps));
}

void DiskBenchRun::OnRowDone(int row, const DiskResult& result) {
  if (StopRequested()) {  // a stopped row is neither submitted nor saved
    if (row >= 0 && row <= 3) rowTimes_[static_cast<size_t>(row)] = platform::WallClock();
    shownRow_ = row;
    view_.RowStopped(row, result);
    return;
  }
  rowResult_ = result;
  shownRow_ = row;
  if (row >= 0 && row <= 3) rowTimes_[static_cast<size_t>(row)] = platform::WallClock();
  if (!result.completed) {
    // Only a row with every figure of this run is scored: the rest is shown and kept as
    // measured, without a score.
    OnLog(FormatText(Tr("[X]本次测试不完整（%s），结果不提交，不计分"), IncompleteReason(result).c_str()));
    SetScore("-");
    SaveHistory(row);
    view_.RowCompleted(row, "", rowResult_);
    return;
  }
  if (cacheRun_) {
    SaveHistory(row);  // the score text still reads "待评分": stored as 0
    view_.RowCompleted(row, "", rowResult_);
    return;
  }
  if (!config_.submit) {
    SetScore("-");  // nothing was asked for a score
    SaveHistory(row);
    view_.RowCompleted(row, "", rowResult_);
    return;
  }
  platform::BoardInfo board = config_.board();
  if (!board.found) {
    view_.ShowNotice(SayText("主板信息获取异常！"), DiskMessageIcon::kNone);
    CompleteRow(row, "");
    return;
  }
  DiskSubmission s;
  if (row >= 0 && row <= 3) {
    s.figures = figures_[static_cast<size_t>(row)];
  }
  s.prefill = row;
  s.writeSizeGiB = writeSizeGiB_;
  s.timestamp = static_cast<int64_t>(platform::WallClock());
  s.platform = board.vendor + "_" + board.name;
  s.diskName = driveText_;
  s.serial = serial_;
  // The run thread sends it and hands the reply back through CompleteRow.
  std::lock_guard<std::mutex> lock(shared_->mu);
  shared_->pending = std::move(s);
}

void DiskBenchRun::CompleteRow(int row, const std::string& reply) {
  replies_.push_back(reply);
  SetScore(reply);
  OnLog(Tr("测试结果："));
  OnLog(reply);
  SaveHistory(row);
  view_.RowCompleted(row, reply, rowResult_);
}

void DiskBenchRun::OnRunFinished(const std::string& text) {
  view_.SetProgress(100);
  OnLog(text);
  ReleaseRunThread();
  DiskRunOptions opt = view_.Options();
  if (opt.wholeDisk && opt.laps >= 2 && !StopRequested()) {
    // The next lap starts once this handler has let the finished thread return; until
    // then the run counts as going on, so a stop meanwhile still ends all laps.
    running_ = true;
    std::weak_ptr<int> alive = shared_->alive;
    view_.Post([this, alive, laps = opt.laps] {
      if (alive.lock()) StartNextLap(laps);
    });
    return;
  }
  ToIdle();
  stop_ = std::stop_source();
}

void DiskBenchRun::StartNextLap(int laps) {
  running_ = false;
  if (!StopRequested() && StartRun(false)) {
    view_.SetLaps(laps - 1);
  } else {
    ToIdle();
    stop_ = std::stop_source();
  }
}

// ---- history ---------------------------------------------------------------------------

DiskHistoryFiles DiskBenchRun::HistoryFiles() const {
  std::string folder = config_.historyFolder.empty() ? DiskHistoryFolder() : config_.historyFolder;
  if (folder.back() != '/') folder += '/';
  return {folder, DiskHistoryBaseName(driveText_)};
}

void DiskBenchRun::SaveHistory(int row) {
  if (!config_.saveHistory || row < 0 || row > 3 || driveText_.empty()) return;
  SaveDiskHistory(HistoryFiles(), table_, row, ScoreFromText(scoreText_), chart_);
}

void DiskBenchRun::LoadHistory(int row) {
  DiskHistoryFiles files = HistoryFiles();
  std::optional<std::string> list = driveText_.empty() ? std::nullopt : ReadHistoryFile(files.List());
  if (!list || list->empty()) {
    for (int r = 0; r < 4; ++r)
      for (int c = 1; c <= 7; ++c) SetTableCell(r, c, "", 0);
    ClearBars();
    ClearChart(true);
    return;
  }
  DiskResultTable loaded = table_;
  ApplyHistoryList(*list, &loaded);
  for (int r = 0; r < 4; ++r)
    for (int c = 1; c <= 7; ++c) {
      // A stored text is read back the way a figure of this run would be.
      const std::string& text = loaded[static_cast<size_t>(r)][static_cast<size_t>(c - 1)];
      SetTableCell(r, c, text, CellNumber(text));
    }
  if (row < 0 || row > 3) {
    ClearBars();
    ClearChart(true);
    return;
  }
  std::optional<std::string> scoreBytes = ReadHistoryFile(files.Score(row));
  std::optional<int32_t> score = scoreBytes ? DecodeScore(*scoreBytes) : std::nullopt;
  SetScore(IntText(score.value_or(0)));
  shownRow_ = row;
  rowTimes_[static_cast<size_t>(row)] = scoreBytes ? HistoryFileTime(files.Score(row)) : 0;
  std::optional<std::string> chartBytes = ReadHistoryFile(files.Chart(row));
  std::optional<DiskChartData> chart = chartBytes ? DecodeChart(*chartBytes) : std::nullopt;
  if (!chart) {  // missing, or not the size of a chart file
    ClearBars();
    ClearChart(true);
    return;
  }
  chart_ = *chart;
  view_.DrawLine(2, chart_.x.data(), chart_.y[2].data(), kChartPoints);
  view_.DrawLine(0, chart_.x.data(), chart_.y[0].data(), kChartPoints - 1);
  view_.DrawLine(1, chart_.x.data(), chart_.y[1].data(), kChartPoints - 1);
  for (int b = 0; b < 4; ++b) {
    view_.ClearBar(b);
    view_.SetBar(b, chart_.x[static_cast<size_t>((b + 1) * 100 / 6)],
                 figures_[static_cast<size_t>(row)][static_cast<size_t>(b + 3)]);
  }
}

// ---- result text -----------------------------------------------------------------------

std::string DiskBenchRun::ResultText(int row) const {
  if (row < 0 || row > 3) return "";
  const size_t r = static_cast<size_t>(row);
  DiskReport report;
  report.driveText = driveText_;
  platform::BoardInfo board = config_.board();
  report.board = board.found ? board.vendor + " " + board.name : "";
  report.rowLabel = kDiskRowLabels[r];  // translated by DiskReportText
  report.writeGiB = chart_.x[kChartPoints - 1];
  report.cells = table_[r];
  report.score = scoreText_;
  report.time = rowTimes_[r];
  return DiskReportText(report);
}

// ---- small helpers ---------------------------------------------------------------------

void DiskBenchRun::SetScore(const std::string& text) {
  scoreText_ = text;
  view_.SetScoreText(ShownScoreText(text));
}

void DiskBenchRun::SetTableCell(int row, int column, const std::string& text, double figure) {
  table_[static_cast<size_t>(row)][static_cast<size_t>(column - 1)] = text;
  figures_[static_cast<size_t>(row)][static_cast<size_t>(column - 1)] = figure;
  view_.SetCell(row, column, ShownCellText(text));
}

void DiskBenchRun::ClearChart(bool referenceLine) {
  for (int line = 0; line < (referenceLine ? 3 : 2); ++line) view_.DrawLine(line, chart_.x.data(), chart_.y[line].data(), 0);
}

void DiskBenchRun::ClearBars() {
  for (int b = 0; b < 4; ++b) view_.ClearBar(b);
}

void DiskBenchRun::ToIdle() {
  view_.SetRunning(false);
  view_.SetStopEnabled(false);
}

// ---- run thread --------------------------------------------------------------------------

bool DiskBenchRun::StartRunThread(std::function<void(std::stop_token)> body) {
  runThread_.Wait();  // a finished run only had to return from its last event
  stop_ = std::stop_source();
  std::shared_ptr<Shared> shared = shared_;
  // Asked when the run must end without the window (the window is going away).
  auto abandon = [shared, stop = stop_]() mutable {
    stop.request_stop();
    std::lock_guard<std::mutex> lock(shared->mu);
    shared->abandoned = true;
    shared->cv.notify_all();
  };
  running_ = runThread_.Start([body = std::move(body), token = stop_.get_token()] { body(token); }, abandon);
  return running_;
}

void DiskBenchRun::ReleaseRunThread() { running_ = false; }

void DiskBenchRun::PostToWindow(std::function<void()> task) {
  std::weak_ptr<int> alive = shared_->alive;
  view_.Post([alive, task = std::move(task)] {
    if (alive.lock()) task();
  });
}

void DiskBenchRun::CallOnWindow(std::function<void()> task) {
  auto done = std::make_shared<bool>(false);
  std::shared_ptr<Shared> shared = shared_;
  PostToWindow([shared, done, task = std::move(task)] {
    task();
    std::lock_guard<std::mutex> lock(shared->mu);
    *done = true;
    shared->cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(shared->mu);
  shared->cv.wait(lock, [&] { return *done || shared->abandoned; });
}

void DiskBenchRun::TrimPhase(const std::string& root, DiskEvents& events, std::stop_token stop) {
  PostToWindow([this] { view_.ShowStatus(Tr("执行TRIM中......")); });
  platform::TrimOutcome outcome = config_.trim(root);
  PostToWindow([this] { view_.ShowStatus(""); });
  if (!outcome.started) {
    events.Log(platform::RunningAsRoot() || config_.elevateTrim ? Tr("[X]无法执行TRIM（未找到fstrim或pkexec）")
                                                                : Tr("[X]TRIM需要root权限，本次未执行TRIM"));
    return;
  }
  if (outcome.exitCode != 0) events.Log(FormatText(Tr("[X]TRIM执行失败，退出码%d"), outcome.exitCode));
  for (int n = 10; n >= 1 && !stop.stop_requested(); --n) {
    PostToWindow([this, n] { view_.ShowStatus(FormatText(Tr("等待%d秒......"), n)); });
    platform::SleepMs(config_.secondMs);
  }
  PostToWindow([this] { view_.ShowStatus(""); });
}

void DiskBenchRun::FinishRow(int row, const DiskResult& result) {
  CallOnWindow([this, row, result] { OnRowDone(row, result); });
  std::optional<DiskSubmission> job;
  {
    std::lock_guard<std::mutex> lock(shared_->mu);
    job.swap(shared_->pending);
  }
  if (!job) return;
  std::string reply = config_.post(*job);
  int jobRow = job->prefill;
  CallOnWindow([this, jobRow, reply] { CompleteRow(jobRow, reply); });
}

void DiskBenchRun::StandardRun(const DiskTestOptions& test, bool trim, DiskEvents& events, std::stop_token stop) {
  if (trim) TrimPhase(test.root, events, stop);
  DiskResult result;
  if (!stop.stop_requested()) result = config_.sequence(test, events, stop);
  FinishRow(currentRow_.load(), result);
  CallOnWindow([this, text = FormatText(Tr("[>>>]分区%s测试结束！"), test.root.c_str())] { OnRunFinished(text); });
}

void DiskBenchRun::PrefillRun(const DiskTestOptions& test, std::vector<PrefillStep> steps, bool trim,
                              DiskEvents& events, std::stop_token stop) {
  const std::string& root = test.root;
  if (trim) TrimPhase(root, events, stop);
  // Fill files go where the test file goes, so a volume whose root this user cannot write
  // is filled through the same folder it is measured in.
  const std::string folder = TestFileFolder(root, config_.engine.tempFolder);
  std::vector<std::string> files;
  for (size_t s = 0; s < steps.size() && !stop.stop_requested(); ++s) {
    currentRow_ = steps[s].row;
    uint64_t amount = steps[s].amount;
    events.Log(FormatText(Tr("[>>]预填充数据%.2f GB"),
                          static_cast<double>(static_cast<float>(static_cast<double>(amount) / static_cast<double>(kGiB)))));
    std::optional<platform::VolumeSpace> before = platform::SpaceOf(root);
    bool failed = false;
    auto create = [&](const std::string& name, uint64_t bytes) {
      int err = 0;
      std::string path;
      if (ClaimFilledFile(folder, name, bytes, &path, &err)) {
        files.push_back(path);
        return true;
      }
      char code[16];
      std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(err));
      events.Log(FormatText(Tr("[X]预填充文件%s创建失败！错误代码：0x%s测试终止"), path.c_str(), code));
      failed = true;
      return false;
    };
    const uint64_t chunks = amount / kGiB;
    for (uint64_t j = 0; j < chunks; ++j) {
      if (!create(PrefillChunkName(static_cast<int>(s), j), kGiB)) break;
      amount -= kGiB;
      events.Progress(static_cast<int>(j * 100 / chunks), -1);
      if (stop.stop_requested()) break;
    }
    if (!failed && !stop.stop_requested() && amount > 0)
      create(PrefillRemainderName(static_cast<int>(s)), amount);
    if (!failed && !stop.stop_requested() && before) {
      // The volume must really be as full as the step says, or the row would be mislabelled.
      std::optional<platform::VolumeSpace> after = platform::SpaceOf(root);
      uint64_t taken = after && before->freeBytes > after->freeBytes ? before->freeBytes - after->freeBytes : 0;
      uint64_t slack = steps[s].amount / 100 + (64ull << 20);
      if (taken + slack < steps[s].amount) {
        events.Log(FormatText(Tr("[X]预填充后可用空间只减少了%sG，少于预填充的%sG，测试终止"), GiBText(taken).c_str(),
                              GiBText(steps[s].amount).c_str()));
        failed = true;
      }
    }
    if (failed) break;  // a row without its fill is not measured
    DiskResult result;
    if (!stop.stop_requested()) result = config_.sequence(test, events, stop);
    FinishRow(steps[s].row, result);
  }
  for (const std::string& path : files) platform::Files().Remove(path);
  CallOnWindow([this, text = FormatText(Tr("[>>>]分区%s测试结束！"), root.c_str())] { OnRunFinished(text); });
}

}  // namespace sorvanta::diskbench
