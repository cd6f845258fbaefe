// The CPU benchmark window "CPU跑分".
//
// Shows what the machine is, the stored scores one record at a time, and runs a CPU
// benchmark. The run logic (states, confirmations, the token request, the session, the
// history, the closing rules) is cpubench::CpuBenchRun; this window builds the controls,
// serves the run as its view and hands it every user action. The run's threads reach the
// window through one QueuedCalls, detached when the window goes.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cpubench/cpu_presenter.h"

class QAction;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace sorvanta::ui {

class CLoadingDlg;
class QueuedCalls;

class CCPUBench : public QDialog, private cpubench::CpuRunView {
  Q_OBJECT
 public:
  using State = cpubench::CpuRunState;

  // Seams for tests (every empty member means the real thing), and the forced stop.
  struct Options : cpubench::CpuRunConfig {
    std::function<void()> restart;  // start a new copy, end this one
  };

  explicit CCPUBench(QWidget* parent = nullptr, Options options = Options());
  ~CCPUBench() override;

  State CurrentState() const { return run_->State(); }

  // What the window shows, for tests and screenshots.
  QString InfoLine(int index) const;  // 0 CPU, 1 board, 2 memory, 3 OS
  std::vector<QStringList> Rows() const;
  QString AgeText() const;
  QString LogText() const;
  int ProgressValue() const;
  int ShownIndex() const { return run_->ShownIndex(); }
  int RecordCount() const { return run_->RecordCount(); }
  QPushButton* StartButton() const { return start_; }
  QAction* CopyAction() const { return copy_; }
  QPushButton* PreviousButton() const { return previous_; }
  QPushButton* NextButton() const { return next_; }

 public slots:
  void StartRun();      // "跑分"
  void ShowPrevious();  // "上一次"
  void ShowNext();      // "下一次"
  // "复制结果" (context menu of the results, Ctrl+C): the record on show as text, the same
  // text the command line prints, onto the clipboard; nothing when no record is shown.
  void CopyResult();
  // Close box, Esc and Enter: asks first while a run is going.
  void reject() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildControls();
  void AppendLogLine(const QString& line);

  // CpuRunView, on the window thread.
  void SetMachineLines(const std::string& cpu, const std::string& board, const std::string& memory,
                       const std::string& os) override;
  void ShowRecord(const std::vector<cpubench::CpuRecordRow>& rows, const std::string& age) override;
  void SetStartEnabled(bool enabled) override;
  void AppendLog(const std::string& line) override;
  void SetProgress(int percent) override;
  void ShowWaiting(bool shown) override;
  void ShowResult(const std::string& result) override;
  void ShowMessage(const std::string& text, const std::string& caption, cpubench::CpuMessageIcon icon) override;
  bool Ask(const std::string& text, const std::string& caption, cpubench::CpuMessageIcon icon,
           bool defaultNo) override;

  std::function<void()> restart_;
  std::shared_ptr<QueuedCalls> calls_;  // shared with the carrier the run's threads hold
  std::unique_ptr<cpubench::CpuBenchRun> run_;
  CLoadingDlg* loading_ = nullptr;

  QLineEdit* info_[4] = {};
  QTreeWidget* results_;
  QAction* copy_;
  QPlainTextEdit* log_;
  QPushButton* previous_;
  QPushButton* next_;
  QLabel* age_;
  QProgressBar* progress_;
  QPushButton* start_;
};

}  // namespace sorvanta::ui
