// The run logic behind the disk benchmark window (and the command line's "disk").
//
// DiskBenchRun chooses the partition, checks it, applies the options (whole-disk laps,
// prefill to 50 % / 90 %, TRIM first, system cache), starts the engine on its run thread,
// applies the engine's notifications to the result table and chart, submits every
// completed row to the service and keeps the per-disk history. It owns no widget: it talks
// to the window through DiskRunView, so the window, the command line and tests share it.
//
// Threads: every On* handler, LoadHistory and SaveHistory run on the window thread (the
// thread that owns the view). The engine's notifications reach the handlers through the
// window's BenchSink, which carries them to that thread (TaskLoop does it without Qt).
// The run thread itself performs the TRIM and the score request, so the window keeps
// painting meanwhile; it waits until the window has handled each row.
#pragma once

#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "diskbench/disk_engine.h"
#include "diskbench/disk_history.h"
#include "diskbench/disk_identification.h"
#include "service/disk_score.h"
#include "diskbench/prefill.h"
#include "platform/system_info.h"
#include "platform/trim.h"
#include "base/bench_sink.h"
#include "base/run_thread.h"
#include "base/task_loop.h"

namespace sorvanta {

// The log's text when the window opens.
extern const char* const kDiskWelcomeText;
// Labels of the four result rows (column 0).
extern const std::array<const char*, 4> kDiskRowLabels;

enum class DiskOption { kWholeDisk, kPrefill50, kPrefill90, kTrim, kSystemCache };
enum class DiskMessageIcon { kNone, kInformation, kWarning, kError };

// The option boxes and the laps field as the user left them.
struct DiskRunOptions {
  bool wholeDisk = false;  // "全盘稳定性跑"
  bool prefill50 = false;  // "预占50%测速"
  bool prefill90 = false;  // "预占90%测速"
  bool trim = false;       // "跑分前TRIM"
  bool systemCache = false;  // "启用系统缓存"
  int laps = 1;            // the laps field ("圈"); 0 when empty
};

// What the run logic needs of the disk window. Every call comes on the window thread,
// except Post, which any thread may call.
class DiskRunView {
 public:
  virtual ~DiskRunView() = default;
  // Replaces the drive box lines and selects one (-1: none).
  virtual void SetDriveLines(const std::vector<std::string>& lines, int selected) = 0;
  virtual DiskRunOptions Options() = 0;
  virtual void SetOptionChecked(DiskOption option, bool checked) = 0;
  virtual void SetLaps(int laps) = 0;
  // Running: the start button, drive box, refresh button, option boxes and result list are
  // disabled and the stop button enabled; idle: everything enabled except the stop button.
  virtual void SetRunning(bool running) = 0;
  virtual void SetStopEnabled(bool enabled) = 0;
  virtual void SetScoreText(const std::string& text) = 0;
  virtual void SetInfoLine(const std::string& text) = 0;  // the run-information line
  virtual void AppendLog(const std::string& line) = 0;    // adds the line and scrolls to it
  virtual void SetLogText(const std::string& text) = 0;   // replaces the whole log
  virtual void SetProgress(int percent) = 0;
  // Result list cell of row 0..3, column 1..7 ("" empties it).
  virtual void SetCell(int row, int column, const std::string& text) = 0;
  // Draws chart line 0 (write), 1 (read) or 2 (reference) with the first count points;
  // count 0 clears it. The arrays stay valid only during the call.
  virtual void DrawLine(int line, const double* x, const double* y, int count) = 0;
  // Bar series 0..3: shows one bar at (x, mbps); ClearBar empties the series.
  virtual void SetBar(int bar, double x, double mbps) = 0;
  virtual void ClearBar(int bar) = 0;
  // The status window of the TRIM phase with text; "" closes it.
  virtual void ShowStatus(const std::string& text) = 0;
  // A message box; an empty title means the toolkit's default. Returns when dismissed.
  virtual void ShowMessage(const std::string& text, const std::string& title, DiskMessageIcon icon) = 0;
  // Runs task later on the window thread; a task posted after the window is gone is dropped.
  virtual void Post(std::function<void()> task) = 0;
  // A completed, unstopped row has been handled (score shown, history written); score is the
  // service's reply, "" when none was asked or none came. The window need not care.
  virtual void RowCompleted(int row, const std::string& score) {}
};

// Seams and limits; every empty member means the real thing.
struct DiskRunConfig {
  uint64_t standardWriteSize = kDefaultWriteSize;  // rows 0..2
  uint64_t minFreeBytes = 20 * kGiB;               // free space a run needs
  DiskEngineOptions engine;                        // durations; its tempFolder is used for prefill too
  std::string historyFolder;                       // DiskHistoryFolder()
  bool submit = true;                              // send rows to the service
  bool saveHistory = true;                         // keep rows in the history
  bool elevateTrim = true;                         // pkexec when not root (the command line: false)
  uint32_t secondMs = 1000;                        // one second of the TRIM countdown
  std::function<int(std::string* error)> openIdentification;  // InitDiskIdentification
  std::function<void()> closeIdentification;                 // ReleaseDiskIdentification
  std::function<bool(DiskList&)> enumerate;                   // EnumerateDisks
  std::function<platform::BoardInfo()> board;                 // platform::ReadBoardInfo
  std::function<std::string(const DiskSubmission&)> post;     // PostDiskSubmission, run thread
  std::function<platform::TrimOutcome(const std::string& root)> trim;  // platform::RunTrim, run thread
  std::function<void(const std::string& root, uint64_t size)> sequence;  // RunTestSequence, run thread
};

class DiskBenchRun {
 public:
  DiskBenchRun(DiskRunView& view, DiskRunConfig config = {});
  // A run still going is stopped and joined; its later notifications must already be
  // dropped by the sink (the window detaches it, TaskLoop::Shutdown does it too).
  ~DiskBenchRun();
  DiskBenchRun(const DiskBenchRun&) = delete;
  DiskBenchRun& operator=(const DiskBenchRun&) = delete;

  // Window opening: opens the identification (false, after an error box, when it cannot:
  // close the window), lists the disks, sets the laps field to 1, the score to "-", the log
  // to the welcome text, and clears the stop and cache flags.
  bool OnOpen();
  // User actions.
  void OnSelectDisk(int index);
  void OnRefreshDisks();
  // True when a run (or the next lap) started.
  bool OnStartRun();
  void OnStopRun();
  // False (after "先停止跑分后再退出！") while a run exists.
  bool OnCloseRequest();
  void OnOptionClicked(DiskOption option);
  // Row −1 loads the list only; a click on the result list passes the clicked row or −1.
  void LoadHistory(int row);
  void SaveHistory(int row);

  // Engine notifications, on the window thread.
  void OnLog(const std::string& text);
  void OnProgress(int percent, int chartLine);
  void OnSpeed(std::optional<double> instant, std::optional<double> average);
  void OnBar(double mbps, int bar);
  void OnCell(std::optional<double> mbps, int column);
  void OnRowDone(int row);
  void OnRunFinished(const std::string& text);

  // State, for the window and tests.
  bool Running() const;
  const std::string& Root() const { return root_; }
  const std::string& DriveText() const { return driveText_; }
  const std::string& Serial() const { return serial_; }
  const std::string& ScoreText() const { return scoreText_; }
  const std::vector<DiskEntry>& Entries() const { return entries_; }
  const DiskResultTable& Table() const { return table_; }
  const DiskChartData& Chart() const { return chart_; }
  double WriteSizeGiB() const { return writeSizeGiB_; }
  // The score replies of this run's rows, in order (empty text for a failed request).
  const std::vector<std::string>& Replies() const { return replies_; }

 private:
  struct Shared;  // state shared with the run thread

  void SetScore(const std::string& text);
  void SetTableCell(int row, int column, const std::string& text);
  void ClearChart(bool referenceLine);
  void ClearBars();
  void ToIdle();
  DiskHistoryFiles HistoryFiles() const;
  void CompleteRow(int row, const std::string& reply);
  // Run thread bodies and their parts.
  void StandardRun(const std::string& root, uint64_t size, bool trim);
  void PrefillRun(const std::string& root, std::vector<PrefillStep> steps, uint64_t size, bool trim);
  void TrimPhase(const std::string& root);
  void FinishRow();
  void RunSequence(const std::string& root, uint64_t size);
  // Posts task to the window thread and waits until it ran (or the run is abandoned).
  void CallOnWindow(std::function<void()> task);
  void PostToWindow(std::function<void()> task);
  // The run thread: started through the engine-wide owner; "running" (the handle of the
  // window) ends with OnRunFinished, a moment before the thread itself returns.
  bool StartRunThread(std::function<void()> body);
  void ReleaseRunThread();
  void StartNextLap(int laps);

  DiskRunView& view_;
  DiskRunConfig config_;
  std::shared_ptr<Shared> shared_;
  bool identificationOpen_ = false;

  std::vector<DiskEntry> entries_;
  std::vector<std::string> lines_;
  std::string driveText_;
  std::string root_;
  std::string serial_;
  bool removable_ = false;
  uint64_t freeBytes_ = 0;
  uint64_t totalBytes_ = 0;
  double writeSizeGiB_ = 20.0;
  bool cacheRun_ = false;  // the cache box at the start of the run
  std::string scoreText_ = "-";
  DiskResultTable table_{};
  DiskChartData chart_{};
  double smoothed_ = 0;
  int lastIndex_ = 0;
  std::vector<std::string> replies_;
  bool running_ = false;  // a run (or its next lap) is in progress
  RunThread<void> runThread_;
};

// Carries the engine's notifications to a DiskBenchRun through a TaskLoop, waiting where
// the notification waits.
class LoopBenchSink : public BenchSink {
 public:
  LoopBenchSink(TaskLoop& loop, DiskBenchRun& run) : loop_(loop), run_(run) {}
  void Log(const std::string& text) override;
  void Done(const std::string& text, const std::string& second) override;
  void Progress(int percent, int chartLine, bool wait) override;
  void Speed(std::optional<double> instant, std::optional<double> average, bool wait) override;
  void Bar(double mbps, int index) override;
  void Cell(std::optional<double> mbps, int column) override;
  void RowDone(int row) override;

 private:
  TaskLoop& loop_;
  DiskBenchRun& run_;
};

}  // namespace sorvanta
