// The CPU benchmark window "CPU跑分".
//
// Shows what the machine is, the stored scores one record at a time, and runs a CPU
// benchmark: after the confirmation it requests a token (on a helper thread while the
// "服务器通讯中......" box is shown, so the window keeps painting), then starts the exam
// session on its run thread, which reports back through a WindowBenchSink.
//
// States: Idle ("跑分" enabled), Requesting (token request under way), Running (session
// under way), Refused (the service turned the machine away; "跑分" stays disabled until
// the window is opened again). Closing while Running asks first; Yes restarts the program.
#pragma once

#include <json/value.h>

#include <QDialog>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cpubench/cpu_history.h"
#include "cpubench/cpu_machine.h"
#include "base/run_thread.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace sorvanta::ui {

class CLoadingDlg;
class WindowBenchSink;

class CCPUBench : public QDialog {
  Q_OBJECT
 public:
  enum class State { kIdle, kRequesting, kRunning, kRefused };

  // Seams for tests; every empty member means the real thing.
  struct Options {
    std::string historyPath;                                   // CpuHistoryPath()
    std::function<CpuMachine()> readMachine;                   // ReadCpuMachine()
    std::function<std::string(const CpuMachine&)> requestToken;  // RequestExamToken(), helper thread
    std::function<void(Json::Value device)> runExam;           // RunCpuExam(), run thread
    std::function<void()> restart;                             // start a new copy, end this one
  };

  explicit CCPUBench(QWidget* parent = nullptr, Options options = Options());
  ~CCPUBench() override;

  State CurrentState() const { return state_; }

  // What the window shows, for tests and screenshots.
  QString InfoLine(int index) const;  // 0 CPU, 1 board, 2 memory, 3 OS
  std::vector<QStringList> Rows() const;
  QString AgeText() const;
  QString LogText() const;
  int ProgressValue() const;
  int ShownIndex() const { return shown_; }
  int RecordCount() const { return static_cast<int>(history_.size()); }
  QPushButton* StartButton() const { return start_; }
  QPushButton* PreviousButton() const { return previous_; }
  QPushButton* NextButton() const { return next_; }

 public slots:
  void StartRun();      // "跑分"
  void ShowPrevious();  // "上一次"
  void ShowNext();      // "下一次"
  // Close box, Esc and Enter: asks first while a run is going.
  void reject() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildControls();
  void ReadMachineLines();
  void LoadHistory();
  void ShowRecord();
  void AppendLog(const QString& line);
  void OnTokenReply(const std::string& reply);
  void OnRunFinished(const std::string& result);

  Options options_;
  State state_ = State::kIdle;
  CpuMachine machine_;
  std::vector<CpuScoreRecord> history_;
  int shown_ = -1;
  std::shared_ptr<WindowBenchSink> sink_;
  RunThread<void> run_;  // the session; it cannot be stopped, so it has no stop hook
  CLoadingDlg* loading_ = nullptr;

  QLineEdit* info_[4] = {};
  QTreeWidget* results_;
  QPlainTextEdit* log_;
  QPushButton* previous_;
  QPushButton* next_;
  QLabel* age_;
  QProgressBar* progress_;
  QPushButton* start_;
};

}  // namespace sorvanta::ui
