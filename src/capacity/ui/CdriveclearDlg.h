// The capacity-check window "扩容U盘鉴定".
//
// Builds the controls and shows what its run logic (capacity::CapacityCheckRun, which holds
// the volume list, the states and the runs) tells it; clicks go to that logic. The run's
// events reach this window's thread through queued calls; the log shows the newest line
// first. While idle the volumes are listed again whenever the mount table changes.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capacity/capacity_presenter.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QProcess;
class QProgressBar;
class QPushButton;

namespace sorvanta::platform {
class MountWatch;
}

namespace sorvanta::ui {

class QueuedCalls;

// Seams for tests and the launcher; defaults mean the real thing.
struct CdriveclearOptions {
  capacity::VolumeFacts facts;                         // sysfs roots and system paths
  std::string mountInfoPath = "/proc/self/mountinfo";  // watched for volumes coming and going
  uint32_t endPauseMs = capacity::kEndPauseMs;         // Start stays disabled this long after a run
  std::function<void(QWidget* parent)> showAbout;      // the program's about box
  // The whole removable disk under a volume root, empty for none (the quick probe is offered
  // only for one); by default from the mount table and sysfs.
  std::function<std::string(const std::string& root)> removableDiskOf;
  // The quick probe's command before its arguments; by default pkexec and the helper.
  std::vector<std::string> probeCommand;
};

class CdriveclearDlg : public QDialog, private capacity::CapacityCheckView {
  Q_OBJECT
 public:
  using Options = CdriveclearOptions;

  explicit CdriveclearDlg(QWidget* parent = nullptr, Options options = Options());
  ~CdriveclearDlg() override;

  // What the window shows, for tests and screenshots.
  QString LogText() const;  // with "\r\n" line ends, newest line first (quick probe lines on top)
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
  QPushButton* QuickProbeButton() const { return quick_; }
  bool ProbeActive() const { return probe_ != nullptr; }

 public slots:
  void ListVolumes();     // "刷新"
  void StartOrStop();     // "开始" / "停止"
  void ShowAbout();       // "关于" and the context menu entry
  void QuickProbe();      // "快速鉴定" / "停止快速鉴定"
  void OnMountTableChanged();  // a volume came or went
  // Close box, Esc and Enter: refused with "正在处理,请先停止!" while a run is active.
  void reject() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  // The view of the run logic.
  void SetVolumeLines(const std::vector<std::string>& lines, int selected) override;
  int SelectedVolume() override;
  void SetVolumeFields(const std::string& info, const std::string& freeSpace) override;
  capacity::CapacityMode Mode() override;
  void SetMode(capacity::CapacityMode mode) override;
  void SetVolumeControlsEnabled(bool enabled) override;
  void SetStartEnabled(bool enabled) override;
  void SetStartText(const std::string& text) override;
  void SetLogText(const std::string& text) override;
  void SetRemaining(const std::string& text) override;
  void SetSpeed(const std::string& text) override;
  void SetProgress(int percent) override;
  void ShowMessage(const std::string& text) override;
  bool AskYesNo(const std::string& text, bool defaultNo) override;
  capacity::WindowPost Poster() override;

  void BuildControls();
  void UpdateQuickProbe();
  void AddProbeLine(const QString& line);
  void ProbeOutput();
  void ProbeFinished();

  Options options_;
  std::shared_ptr<QueuedCalls> calls_;
  std::unique_ptr<capacity::CapacityCheckRun> run_;  // after the calls: it dies first and waits
  std::unique_ptr<platform::MountWatch> mountWatch_;

  QComboBox* drives_;
  QLineEdit* info_;
  QPushButton* refresh_;
  QCheckBox* mode_;
  QPushButton* start_;
  QPushButton* about_;
  QPushButton* quick_;
  QProcess* probe_ = nullptr;   // the running quick probe
  QString probeErr_;            // its standard error not yet split into lines
  QString probeLog_;            // its lines, newest first, above the run's log
  bool controlsEnabled_ = true;
  QLineEdit* free_;
  QLineEdit* remaining_;
  QLineEdit* speed_;
  QProgressBar* progress_;
  QPlainTextEdit* logView_;
};

}  // namespace sorvanta::ui
