// The capacity-check window "扩容U盘鉴定".
//
// Lists the volumes (removable drives first, the system volume never preselected), shows the
// selected one's label, file system and free space, and runs one capacity check or
// free-space wipe at a time through a CapacityCheck. The run reports through a reporter whose
// calls are queued to this window's thread; the log shows the newest line first.
//
// States: Idle (all controls enabled, "开始"), Running (volume controls disabled, "停止"),
// Stopping (after "停止", the button disabled until the run has ended), Ending (the button
// disabled for 2333 ms after the end message). The window refuses to close while a run is
// active; while idle it lists the volumes again whenever the mount table changes.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capacity/capacity_check.h"
#include "capacity/volume_choice.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace sorvanta::platform {
class MountWatch;
}

namespace sorvanta::ui {

class QueuedCalls;

// Seams for tests and the launcher; defaults mean the real thing.
struct CdriveclearOptions {
  VolumeFacts facts;                                   // sysfs roots and system paths
  std::string mountInfoPath = "/proc/self/mountinfo";  // watched for volumes coming and going
  uint32_t endPauseMs = kEndPauseMs;                   // Start stays disabled this long after a run
  std::function<void(QWidget* parent)> showAbout;      // the program's about box
};

class CdriveclearDlg : public QDialog {
  Q_OBJECT
 public:
  using Options = CdriveclearOptions;

  explicit CdriveclearDlg(QWidget* parent = nullptr, Options options = Options());
  ~CdriveclearDlg() override;

  // What the window shows, for tests and screenshots.
  QString LogText() const;  // with "\r\n" line ends, newest line first
  QStringList DriveRoots() const;
  QStringList DriveEntries() const;
  QString SelectedRoot() const;  // empty when nothing is selected
  QString VolumeInfo() const;
  QString FreeSpace() const;
  QString Remaining() const;
  QString Speed() const;
  int ProgressValue() const;
  bool RunActive() const;
  QComboBox* DriveList() const { return drives_; }
  QPushButton* RefreshButton() const { return refresh_; }
  QCheckBox* ModeCheck() const { return mode_; }
  QPushButton* StartButton() const { return start_; }
  QPushButton* AboutButton() const { return about_; }

 public slots:
  void ListVolumes();     // "刷新"
  void StartOrStop();     // "开始" / "停止"
  void ShowAbout();       // "关于" and the context menu entry
  void OnMountTableChanged();  // a volume came or went
  // Close box, Esc and Enter: refused with "正在处理,请先停止!" while a run is active.
  void reject() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  class Reporter;
  void BuildControls();
  void ReadSelectedVolume();
  bool ReadVolume(const QString& root);
  void ClearVolumeFields();
  void AddLog(const QString& message);
  void ShowLog();
  void SetVolumeControlsEnabled(bool enabled);
  bool RefuseWhileRunning();

  Options options_;
  std::vector<VolumeChoice> choices_;
  QString selectedRoot_;
  uint64_t freeBytes_ = 0;
  QString log_;
  bool relisting_ = false;

  std::unique_ptr<QueuedCalls> calls_;
  std::unique_ptr<Reporter> reporter_;
  std::unique_ptr<CapacityCheck> check_;  // after the reporter: it dies first and waits
  std::unique_ptr<platform::MountWatch> mountWatch_;

  QComboBox* drives_;
  QLineEdit* info_;
  QPushButton* refresh_;
  QCheckBox* mode_;
  QPushButton* start_;
  QPushButton* about_;
  QLineEdit* free_;
  QLineEdit* remaining_;
  QLineEdit* speed_;
  QProgressBar* progress_;
  QPlainTextEdit* logView_;
};

}  // namespace sorvanta::ui
