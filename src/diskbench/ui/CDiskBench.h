// The disk benchmark window "硬盘跑分".
//
// Shows the speed chart, the drive box, the options, the result list, the log and the score,
// and hands every user action to the run logic (DiskBenchRun), which it serves as the view.
// The engine's events reach the run logic on this window's thread through a
// DiskWindowEvents; the run logic's own posts go through the same queue, so nothing reaches
// the window once it is gone.
//
// States (switched by the run logic): idle (everything enabled but "终止") and running
// ("开始", the drive box, "刷新", the option boxes and the result list disabled, "终止"
// enabled). Closing while a run exists is refused; destroying the window during a run stops
// the run and waits for it.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>

#include "diskbench/disk_presenter.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace sorvanta::chart {
class ChartCtrl;
}

namespace sorvanta::ui {

class QueuedCalls;
class DiskWindowEvents;

class CDiskBench : public QDialog, private diskbench::DiskRunView {
  Q_OBJECT
 public:
  // config holds the run logic's seams; an empty member means the real thing.
  explicit CDiskBench(QWidget* parent = nullptr, diskbench::DiskRunConfig config = diskbench::DiskRunConfig());
  ~CDiskBench() override;

  // False when the disk identification could not be opened: exec() then returns at once.
  bool Opened() const { return opened_; }
  int exec() override;

  // The run logic and the controls, for tests and screenshots.
  diskbench::DiskBenchRun& Run() { return *run_; }
  chart::ChartCtrl* Chart() const { return chart_; }
  QTreeWidget* ResultList() const { return results_; }
  QComboBox* DriveBox() const { return drives_; }
  QComboBox* SizeBox() const { return sizes_; }
  // "复制结果" (context menu and Ctrl+C): the shown result as plain text on the clipboard.
  QAction* CopyAction() const { return copy_; }
  QPushButton* RefreshButton() const { return refresh_; }
  QPushButton* StartButton() const { return start_; }
  QPushButton* StopButton() const { return stop_; }
  QCheckBox* OptionBox(diskbench::DiskOption option) const;
  QLineEdit* LapsField() const { return laps_; }
  QString LogText() const;  // with "\r\n" line ends
  QString InfoLine() const;
  QString ScoreText() const;
  QString StatusText() const;  // the TRIM status window's text, "" while it is closed
  int ProgressValue() const;
  // Column texts of result row 0..3.
  QStringList RowTexts(int row) const;

 public slots:
  // Close box and Esc: refused with "先停止跑分后再退出！" while a run exists.
  void reject() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void BuildResultList();
  void BuildChart();

  // DiskRunView
  void SetDriveLines(const std::vector<std::string>& lines, int selected) override;
  diskbench::DiskRunOptions Options() override;
  void SetOptionChecked(diskbench::DiskOption option, bool checked) override;
  void SetLaps(int laps) override;
  void SetRunning(bool running) override;
  void SetStopEnabled(bool enabled) override;
  void SetScoreText(const std::string& text) override;
  void SetInfoLine(const std::string& text) override;
  void AppendLog(const std::string& line) override;
  void SetLogText(const std::string& text) override;
  void SetProgress(int percent) override;
  void SetCell(int row, int column, const std::string& text) override;
  void DrawLine(int line, const double* x, const double* y, int count) override;
  void SetBar(int bar, double x, double mbps) override;
  void ClearBar(int bar) override;
  void ShowStatus(const std::string& text) override;
  void ShowMessage(const std::string& text, const std::string& title, diskbench::DiskMessageIcon icon) override;
  bool Confirm(const std::string& text) override;
  void SetSizeChoice(uint64_t bytes) override;
  void CopyResult();
  void Post(std::function<void()> task) override;

  bool opened_ = false;
  std::unique_ptr<QueuedCalls> calls_;
  std::unique_ptr<DiskWindowEvents> events_;  // outlives run_, which the destructor ends first
  std::unique_ptr<diskbench::DiskBenchRun> run_;

  chart::ChartCtrl* chart_ = nullptr;
  QLabel* info_ = nullptr;
  QComboBox* drives_ = nullptr;
  QComboBox* sizes_ = nullptr;
  QAction* copy_ = nullptr;
  QPushButton* refresh_ = nullptr;
  QCheckBox* options_[5] = {};
  QLineEdit* laps_ = nullptr;
  QTreeWidget* results_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* score_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* stop_ = nullptr;
  QDialog* status_ = nullptr;
  QLabel* statusText_ = nullptr;
};

}  // namespace sorvanta::ui
