// The run logic behind the CPU benchmark window (and the command line's "cpu").
//
// CpuBenchRun reads the machine, keeps the score history and the record on show, and
// runs a benchmark: the confirmation, the token request on its own thread, the verdict on
// the reply, the exam session on the run thread, the session's reports and its end. It
// owns no widget: it talks to the window through CpuRunView, so the window, the command
// line and tests share it.
//
// States: Idle (start enabled), Requesting (token request under way), Running (session
// under way), Refused (the service turned the machine away; start stays disabled for the
// life of this object). Closing while Running asks first; Yes means restart the program.
//
// Threads: every public member and every view call run on the view's thread (the window
// thread, or the owner of a TaskLoop). The request and the session run on threads of their
// own and reach this object only through the carrier given to the constructor, which runs
// calls on the view's thread. Neither thread is stopped or waited for when this object goes:
// calls carried after that are dropped, so the carrier must stay callable while they run.
#pragma once

#include <chrono>

#include <json/value.h>

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "base/language.h"
#include "base/run_thread.h"
#include "cpubench/cpu_events.h"
#include "cpubench/cpu_history.h"
#include "cpubench/cpu_machine.h"
#include "cpubench/exam_session.h"
#include "service/token.h"

namespace sorvanta::cpubench {

enum class CpuRunState { kIdle, kRequesting, kRunning, kRefused };
enum class CpuMessageIcon { kNone, kQuestion, kWarning, kError };
// What the window does about a close request.
enum class CpuCloseAction { kStay, kClose, kRestart };

// Runs call on the view's thread, in order; with wait, returns once it ran or was dropped.
// Called from the request and session threads, possibly after the presenter is gone.
using CpuCallCarrier = std::function<void(std::function<void()> call, bool wait)>;

// What the run logic needs of the CPU window. Every call comes on the view's thread.
class CpuRunView {
 public:
  virtual ~CpuRunView() = default;
  // The four information lines: processor, board, memory, operating system.
  virtual void SetMachineLines(const std::string& cpu, const std::string& board, const std::string& memory,
                               const std::string& os) = 0;
  // The rows and the age label of the record on show; no rows and "" when there is none.
  virtual void ShowRecord(const std::vector<CpuRecordRow>& rows, const std::string& age) = 0;
  virtual void SetStartEnabled(bool enabled) = 0;
  // A status line of the session: adds it to the log and scrolls to it.
  virtual void AppendLog(const std::string& line) = 0;
  virtual void SetProgress(int percent) = 0;
  // The "服务器通讯中......" box while the token request is under way; false closes it.
  virtual void ShowWaiting(bool shown) = 0;
  // The session's result text, once it is over (the window adds it to the log under its
  // result header).
  virtual void ShowResult(const std::string& result) = 0;
  // A message box (an empty caption means the toolkit's default); returns when dismissed.
  virtual void ShowMessage(const std::string& text, const std::string& caption, CpuMessageIcon icon) = 0;
  // The same for a message whose Chinese source --json keeps (a failed token request).
  virtual void ShowNotice(const Message& message, const std::string& caption, CpuMessageIcon icon) {
    ShowMessage(message.shown, caption, icon);
  }
  // A Yes/No question; true for Yes. With defaultNo, Enter answers No.
  virtual bool Ask(const std::string& text, const std::string& caption, CpuMessageIcon icon, bool defaultNo) = 0;
};

// Seams; every empty member means the real thing.
struct CpuRunConfig {
  std::string historyPath;                                     // CpuHistoryPath()
  std::function<CpuMachine()> readMachine;                     // ReadCpuMachine()
  std::function<TokenReply(const CpuMachine&)> requestToken;   // AskForExamToken(), request thread
  // RunCpuExamSession() with the real timing, run thread.
  std::function<CpuExamOutcome(Json::Value device, CpuEvents& events, std::stop_token stop)> runExam;
  std::function<std::time_t()> now;                            // platform::WallClock(), for the age label
};

// Texts the run shows (the CLI and tests compare their own literals).
extern const char* const kCpuCaption;
extern const char* const kCpuConfirmText;
extern const char* const kCpuForceStopText;

class CpuBenchRun {
 public:
  CpuBenchRun(CpuRunView& view, CpuCallCarrier carry, CpuRunConfig config = {});
  ~CpuBenchRun();
  CpuBenchRun(const CpuBenchRun&) = delete;
  CpuBenchRun& operator=(const CpuBenchRun&) = delete;

  // Window opening: reads the machine into the information lines (a box for a board or
  // memory reading that failed), loads the history and shows its newest record.
  void OnOpen();
  // "跑分": in Idle, asks for confirmation and starts the token request. True when started.
  bool OnStart();
  // "上一次" / "下一次": browse the history, wrapping around.
  void OnPrevious();
  void OnNext();
  // Close box, Esc and Enter: ignored while Requesting, asks (No by default) while Running.
  CpuCloseAction OnCloseRequest();

  CpuRunState State() const { return state_; }
  const CpuMachine& Machine() const { return machine_; }
  int ShownIndex() const { return shown_; }
  int RecordCount() const { return static_cast<int>(history_.size()); }
  // The record on show as text, after the machine's four information lines ("CPU信息：..."),
  // as the command line prints it at the end of a run and the window copies it; empty when
  // no record is shown.
  std::string ShownResultText() const;
  // What the last session returned, once its thread has reported its end.
  const std::optional<CpuExamOutcome>& LastOutcome() const { return outcome_; }
  // Waits up to limit for the request and the exam threads to have ended and joins them;
  // true when none is left. A program that ends must not leave them running into its exit.
  bool WaitForThreads(std::chrono::milliseconds limit) { return request_.Wait(limit) && run_.Wait(limit); }

 private:
  class Events;  // the session's events, carried to this object

  void LoadHistory();
  void ShowRecord();
  void OnTokenReply(const TokenReply& reply);
  void OnDone(const std::string& result);
  void OnSessionEnded(const CpuExamOutcome& outcome);

  CpuRunView& view_;
  CpuRunConfig config_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  // The constructor's carrier, dropping calls that arrive after this object is gone.
  CpuCallCarrier carry_;
  CpuRunState state_ = CpuRunState::kIdle;
  CpuMachine machine_;
  std::vector<CpuScoreRecord> history_;
  int shown_ = -1;
  std::optional<CpuExamOutcome> outcome_;
  RunThread<void> request_;
  // The session; it has no stop hook, so an owner that goes leaves it to end by itself.
  RunThread<CpuExamOutcome> run_;
};

}  // namespace sorvanta::cpubench
