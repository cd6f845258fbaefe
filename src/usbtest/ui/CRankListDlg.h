// The USB endurance test window "USB存储不安全弹出暴力测试".
//
// Collects the copy file, the drive's mount point and the switch address, starts the
// endurance run (UsbTestRunner) and shows what it reports: one row per pass, the overall
// progress, the drive's used space, the pass rate and the log. The run reports through a
// small adapter that posts every call to this window's thread; once the window is gone the
// posts are dropped, and destroying the window asks the run to stop at its next pass
// without waiting for it.
//
// States: Idle (no run), Running ("开始" offers to stop), Stopping ("开始" disabled until
// the run reaches its next pass and ends).
#pragma once

#include <QDialog>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usbtest/endurance_run.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace sorvanta::ui {

class CRankListDlg : public QDialog {
  Q_OBJECT
 public:
  // Seams for tests and screenshots; every empty member means the real thing.
  struct Options {
    std::string settingsPath;                                   // UsbTestSettingsPath()
    std::function<std::vector<std::string>()> listDrives;       // UsbTestDriveRoots()
    std::function<QString()> chooseCopyFile;                    // open-file dialog; empty: cancelled
    std::function<QString()> chooseCsvFile;                     // save dialog; empty: cancelled
    std::function<void(UsbTestParams&)> adjustParams;           // shortens timings in tests
    // Called on the run's thread when a run has ended, even after the window is gone.
    std::function<void()> runEnded;
  };

  explicit CRankListDlg(QWidget* parent = nullptr, Options options = Options());
  // Asks a running test to stop at its next pass and lets it finish alone.
  ~CRankListDlg() override;

  // True from a successful start until the run's end has reached the window.
  bool RunActive() const { return running_; }
  // True while "测试" waits for the switch's answer on its helper thread.
  bool SwitchTestActive() const { return switchTests_ > 0; }

  // What the window shows, for tests and screenshots.
  std::vector<QStringList> Rows() const;
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
  class Sink;

  void BuildControls();
  void FitColumns();
  void LoadSettings();
  void SaveSettings() const;
  void AppendLog(const QString& line);
  void OnRunStarted(int passes);
  void OnRowAdded(int row, const QString& number, const QString& path);
  void OnCellSet(int row, int column, const QString& text);
  void OnRunEnded();

  Options options_;
  bool running_ = false;
  bool columnsFitted_ = false;
  int switchTests_ = 0;
  std::shared_ptr<Sink> sink_;
  std::unique_ptr<UsbTestRunner> runner_;

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
