// What the capacity-check window and the command line hold: the volumes with each one's
// label, file system and free bytes, and the window's run logic.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "base/run_thread.h"
#include "capacity/capacity_run.h"
#include "capacity/volume_choice.h"

namespace sorvanta::capacity {

struct CapacityVolume {
  std::string root;        // mount point
  std::string label;       // may be empty
  std::string fileSystem;  // display name, e.g. "FAT32", "EXT4"
  uint64_t freeBytes = 0;
};

// Every mounted volume root whose information can be read, in root order.
std::vector<std::string> ListCapacityVolumes();
// Reads a volume's information; nullopt when root is not a readable mounted volume (the
// window then lists the volumes again).
std::optional<CapacityVolume> ReadCapacityVolume(const std::string& root);
// "%s, %s": label and file-system name; only the file-system name when there is no label.
std::string VolumeInfoText(const CapacityVolume& volume);
// "%.2f MB" of the free bytes, in single precision.
std::string FreeSpaceText(uint64_t freeBytes);

// Texts of the window, in Chinese (shown through Tr).
std::string CapacityHelpText();              // the log's text when the window opens, in the current language
extern const char* const kBusyCloseText;     // "正在处理,请先停止!"
extern const char* const kChooseVolumeText;  // "请先选择驱动器"
constexpr uint32_t kEndPauseMs = 2333;       // Start stays disabled this long after a run

// Runs a task on the window thread later; a task posted once the window is gone is dropped.
// Any thread may call it.
using WindowPost = std::function<void(std::function<void()> task)>;

// What the run logic needs of the capacity-check window. Every call comes on the window
// thread; Poster is asked once, when the run logic is built.
class CapacityCheckView {
 public:
  virtual ~CapacityCheckView() = default;
  // Replaces the volume list and selects one entry (-1: none).
  virtual void SetVolumeLines(const std::vector<std::string>& lines, int selected) = 0;
  // The entry the list shows as selected; -1 when none.
  virtual int SelectedVolume() = 0;
  // The selected volume's "label, file system" and free space; empty texts clear them.
  virtual void SetVolumeFields(const std::string& info, const std::string& freeSpace) = 0;
  // The mode box: checked is a capacity check, unchecked a wipe.
  virtual CapacityMode Mode() = 0;
  virtual void SetMode(CapacityMode mode) = 0;
  // The volume list, "刷新" and the mode box.
  virtual void SetVolumeControlsEnabled(bool enabled) = 0;
  // The Start/Stop button.
  virtual void SetStartEnabled(bool enabled) = 0;
  virtual void SetStartText(const std::string& text) = 0;
  // The whole log, "\r\n" between lines, newest line first.
  virtual void SetLogText(const std::string& text) = 0;
  virtual void SetRemaining(const std::string& text) = 0;  // "剩余数据:"
  virtual void SetSpeed(const std::string& text) = 0;      // "速度:"
  virtual void SetProgress(int percent) = 0;
  // An OK box with the window's caption.
  virtual void ShowMessage(const std::string& text) = 0;
  // A Yes/No warning box with the window's caption; true for Yes. defaultNo: Enter answers No.
  virtual bool AskYesNo(const std::string& text, bool defaultNo) = 0;
  virtual WindowPost Poster() = 0;
};

// Seams and limits; defaults mean the real thing.
struct CapacityCheckConfig {
  VolumeFacts facts;                // sysfs roots and system paths
  uint32_t endPauseMs = kEndPauseMs;
  uint32_t seed = 0;                // of the pattern stream; 0: the time the window opened
  std::function<std::time_t()> now;  // the log's time stamps; empty: the wall clock
  CapacityOptions run;              // thread counts and file sizes of the runs (tests)
};

// The run logic behind the capacity-check window "扩容U盘鉴定": the volume list and its
// choice, the checks before a run, one run at a time on its own thread, the log, and the
// states Idle (all enabled, "开始"), Running (volume controls off, "停止"), Stopping (the
// button off until the run has ended) and Ending (the button off for the end pause).
class CapacityCheckRun {
 public:
  CapacityCheckRun(CapacityCheckView& view, CapacityCheckConfig config = {});
  // Stops a run still going and waits for it (it uses the volume and this object's relay).
  ~CapacityCheckRun();
  CapacityCheckRun(const CapacityCheckRun&) = delete;
  CapacityCheckRun& operator=(const CapacityCheckRun&) = delete;

  // Window opening: the help text in the log, the capacity check mode, the volume list.
  void OnOpen();
  // "刷新": lists the volumes again.
  void OnRefresh();
  // The user picked an entry of the list.
  void OnSelectVolume();
  // "开始" / "停止".
  void OnStartOrStop();
  // A volume came or went: listed again while idle.
  void OnMountTableChanged();
  // Close box, Esc and Enter: false, after "正在处理,请先停止!", while a run is active.
  bool OnCloseRequest();

  // From a successful start until the end pause is over.
  bool Active() const { return phase_ != Phase::kIdle; }
  const std::vector<VolumeChoice>& Choices() const { return choices_; }
  // The root of the entry the list shows as selected; empty when none.
  std::string SelectedRoot() const;
  const std::string& LogText() const { return log_; }
  // The result of the last run that ended.
  const std::optional<CapacityResult>& LastResult() const { return lastResult_; }

 private:
  enum class Phase { kIdle, kRunning, kStopping, kEnding };
  class Relay;

  void ListVolumes();
  void ReadSelectedVolume();
  bool ReadVolume(const std::string& root);
  void ClearVolumeFields();
  void AddLog(const std::string& message);
  // Window thread: the run's end message is out, then (after the pause) idle again.
  void OnRunEnded(const CapacityResult& result);
  void OnPauseOver();

  CapacityCheckView& view_;
  CapacityCheckConfig config_;
  WindowPost post_;
  std::shared_ptr<bool> alive_;  // window thread only: false once this object is gone
  std::shared_ptr<PatternStream> stream_;
  std::vector<VolumeChoice> choices_;
  std::string selectedRoot_;  // the volume whose fields are shown
  uint64_t freeBytes_ = 0;
  bool relisting_ = false;
  std::string log_;
  Phase phase_ = Phase::kIdle;
  std::optional<CapacityResult> lastResult_;
  std::stop_source stop_;     // the Stop button
  std::stop_source closing_;  // this object goes: the end pause is cut short too
  RunThread<CapacityResult> runThread_;
};

}  // namespace sorvanta::capacity
