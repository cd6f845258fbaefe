// The run logic behind the disk benchmark window (and the command line's "disk").
//
// DiskBenchRun chooses the partition, checks it, applies the options (whole-disk laps,
// prefill to 50 % / 90 %, TRIM first, system cache), starts the engine on its run thread,
// applies the engine's events to the result table and chart, submits every completed row
// to the service and keeps the per-disk history. It owns no widget: it talks to the window
// through DiskRunView (disk_run_view.h), so the window, the command line and tests share it.
//
// Threads: every On* handler, LoadHistory and SaveHistory run on the window thread (the
// thread that owns the view). The engine's events reach the handlers through the events
// object given to SetEvents, which carries them to that thread (LoopDiskEvents does it
// without Qt). The run thread itself performs the TRIM and the score request, so the window
// keeps painting meanwhile; it waits until the window has handled each row.
#pragma once

#include <array>
#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "base/run_thread.h"
#include "diskbench/disk_engine.h"
#include "diskbench/disk_history.h"
#include "diskbench/disk_identification.h"
#include "diskbench/disk_run_view.h"
#include "diskbench/prefill.h"
#include "platform/system_info.h"
#include "platform/trim.h"
#include "service/disk_score.h"

namespace sorvanta::diskbench {

// Seams and limits; every empty member means the real thing.
struct DiskRunConfig {
  uint64_t standardWriteSize = 0;  // bytes each of rows 0..2 writes; 0: the view's size choice
  uint64_t minFreeBytes = 0;       // free space a run needs; 0: its write size
  std::string settingsPath;        // DiskSettingsPath(); "-" remembers nothing
  DiskEngineOptions engine;                        // durations; its tempFolder is used for prefill too
  std::string historyFolder;                       // DiskHistoryFolder()
  bool submit = true;                              // send rows to the service
  bool saveHistory = true;                         // keep rows in the history
  bool elevateTrim = true;                         // pkexec when not root (the command line: false)
  uint32_t secondMs = 1000;                        // one second of the TRIM countdown
  std::function<int(std::string* error)> openIdentification;  // DiskIdentification::Open of the run's own
  std::function<void()> closeIdentification;                 // DiskIdentification::Release
  std::function<bool(DiskList&)> enumerate;                   // DiskIdentification::Enumerate
  std::function<platform::BoardInfo()> board;                 // platform::ReadBoardInfo
  std::function<std::string(const DiskSubmission&)> post;     // PostDiskSubmission, run thread
  std::function<platform::TrimOutcome(const std::string& root)> trim;  // platform::RunTrim, run thread
  // RunTestSequence, run thread.
  std::function<DiskResult(const DiskTestOptions&, DiskEvents&, std::stop_token)> sequence;
};

// Submitted figures of the four result rows' seven cells (MB/s, 0 for an empty or "未测试" cell).
using DiskFigureTable = std::array<std::array<double, 7>, 4>;

class DiskBenchRun {
 public:
  DiskBenchRun(DiskRunView& view, DiskRunConfig config = {});
  // A run still going is stopped and joined; its later events must already be dropped by
  // the events object (the window detaches it, TaskLoop::Shutdown does it too).
  ~DiskBenchRun();
  DiskBenchRun(const DiskBenchRun&) = delete;
  DiskBenchRun& operator=(const DiskBenchRun&) = delete;

  // The events object the engine reports to during a run (window thread, before a run). It
  // must outlive every run: the owner keeps it until this object is gone. Without one the
  // engine's events are dropped.
  void SetEvents(DiskEvents* events) { events_ = events; }

  // Window opening: opens the identification (false, after an error box, when it cannot:
  // close the window), lists the disks, sets the laps field to 1, the score to "-" and the
  // log to the welcome text.
  bool OnOpen();
  // User actions.
  void OnSelectDisk(int index);
  void OnRefreshDisks();
  // True when a run started. Asks once (Confirm) for the volume and the amount it writes.
  bool OnStartRun();
  // The size box: bytes of one of kDiskSizeChoicesGiB (remembered for the next start of the
  // window), or 0 for "整盘", which checks the whole-disk box.
  void OnSizeChosen(uint64_t bytes);
  void OnStopRun();
  // False (after "先停止跑分后再退出！") while a run exists.
  bool OnCloseRequest();
  void OnOptionClicked(DiskOption option);
  // Row −1 loads the list only; a click on the result list passes the clicked row or −1.
  void LoadHistory(int row);
  void SaveHistory(int row);

  // Engine events, on the window thread.
  void OnLog(const std::string& text);
  void OnProgress(int percent, int chartLine);
  void OnSpeed(std::optional<double> instant, std::optional<double> average);
  void OnBar(double mbps, int bar);
  void OnCell(std::optional<double> mbps, int column);

  // State, for the window and tests.
  bool Running() const;
  // True from a stop (the button, or the window going away) until the run has ended.
  bool StopRequested() const { return stop_.stop_requested(); }
  const std::string& Root() const { return root_; }
  const std::string& DriveText() const { return driveText_; }
  const std::string& Serial() const { return serial_; }
  const std::string& ScoreText() const { return scoreText_; }
  const std::vector<DiskEntry>& Entries() const { return entries_; }
  const DiskResultTable& Table() const { return table_; }
  // The figures a score request would carry for each cell of Table().
  const DiskFigureTable& Figures() const { return figures_; }
  const DiskChartData& Chart() const { return chart_; }
  double WriteSizeGiB() const { return writeSizeGiB_; }
  // The score replies of this run's rows, in order (empty text for a failed request).
  const std::vector<std::string>& Replies() const { return replies_; }
  // The shown result as plain text (the drive and board line, the row and its size, every
  // figure with its unit, the score and the time); "" when no row has been run or loaded.
  // The window copies it, the command line prints it.
  std::string ResultText() const { return ResultText(shownRow_); }
  std::string ResultText(int row) const;

 private:
  struct Shared;  // state shared with the run thread

  // The end of a row and of the run, handed over by the run thread.
  void OnRowDone(int row, const DiskResult& result);
  void OnRunFinished(const std::string& text);
  bool StartRun(bool ask);
  void ClearRow(int row);
  void SetScore(const std::string& text);
  void SetTableCell(int row, int column, const std::string& text, double figure);
  void ClearChart(bool referenceLine);
  void ClearBars();
  void ToIdle();
  DiskHistoryFiles HistoryFiles() const;
  void CompleteRow(int row, const std::string& reply);
  // Run thread bodies and their parts.
  void StandardRun(const DiskTestOptions& test, bool trim, DiskEvents& events, std::stop_token stop);
  void PrefillRun(const DiskTestOptions& test, std::vector<PrefillStep> steps, bool trim, DiskEvents& events,
                  std::stop_token stop);
  void TrimPhase(const std::string& root, DiskEvents& events, std::stop_token stop);
  void FinishRow(int row, const DiskResult& result);
  // Posts task to the window thread and waits until it ran (or the run is abandoned).
  void CallOnWindow(std::function<void()> task);
  void PostToWindow(std::function<void()> task);
  // The run thread: started through the engine-wide owner; "running" (the handle of the
  // window) ends with OnRunFinished, a moment before the thread itself returns.
  bool StartRunThread(std::function<void(std::stop_token)> body);
  void ReleaseRunThread();
  void StartNextLap(int laps);

  DiskRunView& view_;
  DiskRunConfig config_;
  std::shared_ptr<Shared> shared_;
  DiskIdentification identification_;
  bool identificationOpen_ = false;
  DiskEvents* events_ = nullptr;
  NoDiskEvents noEvents_;

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
  DiskFigureTable figures_{};
  DiskChartData chart_{};
  double smoothed_ = 0;
  int lastIndex_ = 0;
  // Result row 0..3 that cells go to: set on the window thread when a run starts and by
  // the run thread between prefill steps (after the previous step's cells were handled).
  std::atomic<int> currentRow_{0};
  DiskResult rowResult_;  // the finishing row's result, from OnRowDone to RowCompleted
  std::vector<std::string> replies_;
  uint64_t sizeChoice_ = kDefaultWriteSize;  // the last size chosen in the box (never 0)
  int shownRow_ = -1;                        // the row ResultText() gives
  std::array<std::time_t, 4> rowTimes_{};    // when each row was measured (0: unknown)
  bool running_ = false;  // a run (or its next lap) is in progress
  // Of the current run: a new one at each start and once the run has ended. The run thread
  // holds its own token, the stop hook its own copy of the source.
  std::stop_source stop_;
  RunThread<void> runThread_;
};

}  // namespace sorvanta::diskbench
