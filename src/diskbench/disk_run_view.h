// What the disk benchmark's run logic (DiskBenchRun) needs of its window: the view
// interface, the option boxes it reads and the texts it opens with.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "base/language.h"
#include "diskbench/disk_engine.h"

namespace sorvanta::diskbench {

// The log's text when the window opens, in the current language.
std::string DiskWelcomeText();
// Labels of the four result rows (column 0), in Chinese: shown through Tr, kept as they are
// where a later run or a script reads them.
extern const std::array<const char*, 4> kDiskRowLabels;

enum class DiskOption { kWholeDisk, kPrefill50, kPrefill90, kTrim, kSystemCache };
enum class DiskMessageIcon { kNone, kInformation, kWarning, kError };

// The option boxes and the laps field as the user left them.
struct DiskRunOptions {
  bool wholeDisk = false;    // "全盘稳定性跑"
  bool prefill50 = false;    // "预占50%测速"
  bool prefill90 = false;    // "预占90%测速"
  bool trim = false;         // "跑分前TRIM"
  bool systemCache = false;  // "启用系统缓存"
  int laps = 1;              // the laps field ("圈"); 0 when empty
  uint64_t writeSize = kDefaultWriteSize;  // the size box: bytes each row of rows 0..2 writes
};

// The sizes the window offers beside the drive box (GiB); "整盘" (the whole disk) is the
// whole-disk box.
constexpr std::array<int, 4> kDiskSizeChoicesGiB = {1, 4, 8, 20};

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
  // The run logic's own message boxes, in both languages: a view that reports the text to a
  // program (the command line's --json) keeps message.source, the Chinese text, whatever
  // the language. The default shows message.shown.
  virtual void ShowNotice(const Message& message, DiskMessageIcon icon) { ShowMessage(message.shown, "", icon); }
  // Asks before a run writes to the volume; true only for an explicit Yes (No is the default).
  virtual bool Confirm(const std::string& text) = 0;
  // Shows a size choice in the size box: bytes of one of kDiskSizeChoicesGiB, or 0 for "整盘".
  virtual void SetSizeChoice(uint64_t bytes) {}
  // Runs task later on the window thread; a task posted after the window is gone is dropped.
  virtual void Post(std::function<void()> task) = 0;
  // A completed, unstopped row has been handled (score shown, history written); score is the
  // service's reply, "" when none was asked or none came, and result what the row's sequence
  // measured, at full precision. The window need not care.
  virtual void RowCompleted(int row, const std::string& score, const DiskResult& result) {}
  // A row's run was stopped: result holds what it measured before the stop (never
  // submitted or saved).
  virtual void RowStopped(int row, const DiskResult& result) {}
};

}  // namespace sorvanta::diskbench
