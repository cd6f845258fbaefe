// The run logic behind the endurance test window "USB存储不安全弹出暴力测试".
//
// EnduranceRun checks the inputs (copy file, drive mount point, switch address) with their
// messages, remembers them, starts one endurance run at a time on its own thread and shows
// what it tells through EnduranceView, stops it on request, tests the switch on a thread of
// its own and exports the results as CSV. It owns no widget, so the window and tests share it.
//
// States: Idle (no run), Running ("开始" offers to stop), Stopping ("开始" disabled until
// the run reaches a safe point and ends: at once before the power is cut, after the power
// is back on once it may be off). Destroying the run logic asks a run to stop the same way
// and lets it finish alone: restoring the power may wait for the switch without limit.
#pragma once

#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "base/run_thread.h"
#include "usbtest/endurance_csv.h"
#include "usbtest/endurance_run.h"
#include "usbtest/switch_link.h"

namespace sorvanta::usbtest {

// Runs a task on the window thread later; a task posted once the window is gone is dropped.
// Any thread may call it, also after the window is gone.
using WindowPost = std::function<void(std::function<void()> task)>;

// The input fields as the user left them, paths in the file system's encoding.
struct EnduranceInputs {
  std::string copyFile;
  std::string driveRoot;
  std::string switchAddress;
  bool safeEject = false;
};

// What the run logic needs of the endurance test window. Every call comes on the window
// thread; Poster is asked once, when the run logic is built.
class EnduranceView {
 public:
  virtual ~EnduranceView() = default;
  virtual EnduranceInputs Inputs() = 0;
  virtual void SetCopyFileField(const std::string& path) = 0;
  virtual void SetDriveField(const std::string& text) = 0;
  virtual void SetSwitchField(const std::string& text) = 0;
  // The results list: emptied, a row appended, a cell of row 0.. set.
  virtual void ClearRows() = 0;
  virtual void AddRow(const std::string& number, const std::string& path) = 0;
  virtual void SetCell(int row, int column, const std::string& text) = 0;
  // The overall progress bar: 0..maximum, and its value.
  virtual void SetProgressRange(int maximum) = 0;
  virtual void SetProgress(int value) = 0;
  virtual void SetSpace(int usedPercent) = 0;
  virtual void SetPassRate(const std::string& text) = 0;
  // The whole log; AppendLog adds a line (which may hold "\r\n") and scrolls to it.
  virtual void SetLogText(const std::string& text) = 0;
  virtual void AppendLog(const std::string& line) = 0;
  virtual void SetStartEnabled(bool enabled) = 0;
  virtual void SetTestEnabled(bool enabled) = 0;
  // An OK box; an empty caption means the toolkit's default.
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
  // A Yes/No question; true for Yes.
  virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
  // The file dialogs; "" when cancelled.
  virtual std::string ChooseCopyFile() = 0;
  virtual std::string ChooseCsvFile() = 0;
  virtual WindowPost Poster() = 0;
};

// Seams; every empty member means the real thing.
struct EnduranceConfig {
  std::string settingsPath;                              // UsbTestSettingsPath()
  std::function<std::vector<std::string>()> listDrives;  // UsbTestDriveRoots()
  std::function<void(UsbTestParams&)> adjustParams;      // shortens timings in tests
  // Called on the run's thread when a run has ended, even after the run logic is gone.
  std::function<void()> runEnded;
};

class EnduranceRun {
 public:
  EnduranceRun(EnduranceView& view, EnduranceConfig config = {});
  // Asks a running test to stop at a safe point and lets it finish alone; what it tells
  // afterwards is dropped.
  ~EnduranceRun();
  EnduranceRun(const EnduranceRun&) = delete;
  EnduranceRun& operator=(const EnduranceRun&) = delete;

  // Window opening: the remembered inputs, else the first offered drive.
  void OnOpen();
  void OnBrowse();          // "浏览"
  void OnStartOrStop();     // "开始"
  void OnTestSwitch();      // "测试"
  void OnExportCsv();       // "导出数据"
  // The safe-eject box changed; a run reads it at each pass's eject step.
  void OnSafeEjectToggled(bool on);

  // True from a successful start until the run's end has reached the window thread.
  bool Running() const { return running_; }
  // True while "测试" waits for the switch's answer.
  bool SwitchTestActive() const { return switchTestActive_; }
  const std::vector<UsbTestRow>& Rows() const { return table_.rows(); }

 private:
  class Relay;

  void SaveSettings();
  void OnRunEnded();
  void OnSwitchAnswered(const SwitchAnswer& answer);

  EnduranceView& view_;
  EnduranceConfig config_;
  WindowPost post_;
  std::shared_ptr<bool> alive_;  // window thread only: false once this object is gone
  LiveFlag safeEject_;
  UsbTestTable table_;
  bool running_ = false;
  int runNumber_ = 0;  // events of an earlier run are dropped
  bool switchTestActive_ = false;
  std::stop_source stop_;
  RunThread<UsbTestOutcome> runThread_;
  RunThread<void> switchThread_;
};

}  // namespace sorvanta::usbtest
