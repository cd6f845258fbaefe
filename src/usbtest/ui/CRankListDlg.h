// The USB endurance test window "USB存储不安全弹出暴力测试".
//
// Builds the controls (copy file, drive mount point, switch address, the results list, the
// overall progress, the drive's used space, the pass rate and the log) and shows what its
// run logic (usbtest::EnduranceRun, which holds the states, the runs and the switch test)
// tells it; clicks go to that logic. The run's events reach this window's thread through
// queued calls; once the window is gone they are dropped, and destroying the window asks
// the run to stop at a safe point without waiting for it.
#pragma once

#include <QDialog>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usbtest/endurance_presenter.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace sorvanta::ui {

class QueuedCalls;

class CRankListDlg : public QDialog, private usbtest::EnduranceView {
  Q_OBJECT
 public:
  // Seams for tests and screenshots; every empty member means the real thing.
  struct Options {
    std::string settingsPath;                                   // UsbTestSettingsPath()
    std::function<std::vector<std::string>()> listDrives;       // UsbTestDriveRoots()
    std::function<QString()> chooseCopyFile;                    // open-file dialog; empty: cancelled
    std::function<QString()> chooseCsvFile;                     // save dialog; empty: cancelled
    std::function<void(usbtest::UsbTestParams&)> adjustParams;  // shortens timings in tests
    // Called on the run's thread when a run has ended, even after the window is gone.
    std::function<void()> runEnded;
  };

  explicit CRankListDlg(QWidget* parent = nullptr, Options options = Options());
  // Asks a running test to stop at a safe point and lets it finish alone.
  ~CRankListDlg() override;

  // True from a successful start until the run's end has reached the window.
  bool RunActive() const { return run_->Running(); }
  // True while "测试" waits for the switch's answer on its helper thread.
  bool SwitchTestActive() const { return run_->SwitchTestActive(); }

  // What the window shows, for tests and screenshots.
  std::vector<QStringList> Rows() const;
  QString FileToolTip(int row) const;
  QString LogText() const;
  QString PassRateText() const;
  QString CopyFileText() const;
  QString DriveText() const;
  QStringList OfferedDrives() const;
  QString SwitchText() const;
  int ProgressValue() const;
  int ProgressMaximum() const;
  int SpaceValue() const;
  QList<int> ColumnWidths() const;
  QPushButton* BrowseButton() const { return browse_; }
  QPushButton* StartButton() const { return start_; }
  QPushButton* TestButton() const { return test_; }
  QPushButton* ExportButton() const { return export_; }
  QCheckBox* SafeEjectBox() const { return safeEject_; }
  void SetCopyFile(const QString& path);
  void SetDriveText(const QString& text);
  void SetSwitchText(const QString& text);

 public slots:
  void Browse();     // "浏览"
  void StartOrStop();  // "开始"
  void TestSwitch();   // "测试"
  void ExportCsv();    // "导出数据"

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // The view of the run logic.
  usbtest::EnduranceInputs Inputs() override;
  void SetCopyFileField(const std::string& path) override;
  void SetDriveField(const std::string& text) override;
  void SetSwitchField(const std::string& text) override;
  void ClearRows() override;
  void AddRow(const std::string& number, const std::string& path) override;
  void SetCell(int row, int column, const std::string& text) override;
  void SetProgressRange(int maximum) override;
  void SetProgress(int value) override;
  void SetSpace(int usedPercent) override;
  void SetPassRate(const std::string& text) override;
  void SetLogText(const std::string& text) override;
  void AppendLog(const std::string& line) override;
  void SetStartEnabled(bool enabled) override;
  void SetTestEnabled(bool enabled) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  bool AskYesNo(const std::string& text, const std::string& caption) override;
  std::string ChooseCopyFile() override;
  std::string ChooseCsvFile() override;
  usbtest::WindowPost Poster() override;

  void BuildControls();
  void FitColumns();

  Options options_;
  bool columnsFitted_ = false;
  std::shared_ptr<QueuedCalls> calls_;
  std::unique_ptr<usbtest::EnduranceRun> run_;

  QTreeWidget* results_;
  QProgressBar* progress_;
  QProgressBar* space_;
  QLabel* copyFile_;
  QPushButton* browse_;
  QComboBox* drive_;
  QLineEdit* switch_;
  QCheckBox* safeEject_;
  QPushButton* start_;
  QPushButton* test_;
  QPushButton* export_;
  QLabel* passRate_;
  QPlainTextEdit* log_;
};

}  // namespace sorvanta::ui
