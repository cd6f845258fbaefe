#include "cpubench/cpu_presenter.h"

#include <utility>

#include "base/language.h"
#include "platform/clock.h"
#include "service/token.h"

namespace sorvanta::cpubench {

const char* const kCpuCaption = N_("CPU跑分");
const char* const kCpuConfirmText = N_(
    "1、CPU跑分请关闭后台应用，以免导致跑分偏低；\n"
    "2、笔记本电脑建议插上外接电源，并把电源策略调为“高性能”\n"
    "3、跑分时间不长（不到1分钟），确认开始？");
const char* const kCpuForceStopText = N_("正在跑分，强行中止吗？频繁中断将会被服务器判定为恶意行为并禁止跑分。");

namespace {

constexpr const char* kErrorCaption = N_("错误");
constexpr const char* kWarningCaption = N_("警告");

// A carrier whose calls run only while the presenter that alive belongs to still lives.
// The check is made on the view's thread, where the presenter is destroyed too.
CpuCallCarrier DroppingWhenGone(CpuCallCarrier carry, std::weak_ptr<int> alive) {
  return [carry = std::move(carry), alive = std::move(alive)](std::function<void()> call, bool wait) {
    carry(
        [alive, call = std::move(call)] {
          if (alive.lock()) call();
        },
        wait);
  };
}

}  // namespace

// The session's reports, texts copied, carried to the presenter; each call waits until the
// presenter has handled it, as the session expects.
class CpuBenchRun::Events : public CpuEvents {
 public:
  Events(CpuCallCarrier carry, CpuBenchRun* run) : carry_(std::move(carry)), run_(run) {}
  void Status(const std::string& line) override {
    carry_([run = run_, line] { run->view_.AppendLog(line); }, true);
  }
  void Progress(int percent) override {
    carry_([run = run_, percent] { run->view_.SetProgress(percent); }, true);
  }
  void Done(const std::string& result, const std::string&) override {
    carry_([run = run_, result] { run->OnDone(result); }, true);
  }
  // Not a session report: the run thread says that the session has returned.
  void Ended(const CpuExamOutcome& outcome) {
    carry_([run = run_, outcome] { run->OnSessionEnded(outcome); }, false);
  }

 private:
  CpuCallCarrier carry_;
  CpuBenchRun* run_;  // used only in carried calls, which run while it lives
};

CpuBenchRun::CpuBenchRun(CpuRunView& view, CpuCallCarrier carry, CpuRunConfig config)
    : view_(view), config_(std::move(config)), carry_(DroppingWhenGone(std::move(carry), alive_)) {
  if (!config_.readMachine) config_.readMachine = [] { return ReadCpuMachine(); };
  if (!config_.requestToken) {
    config_.requestToken = [](const CpuMachine& m) {
      return AskForExamToken(m.brandString, m.machineId, m.logicalCores);
    };
  }
  if (!config_.runExam) {
    config_.runExam = [](Json::Value device, CpuEvents& events, std::stop_token stop) {
      return RunCpuExamSession(std::move(device), CpuExamOptions(), events, stop);
    };
  }
  if (!config_.now) config_.now = [] { return platform::WallClock(); };
}

// The request and the session are left to end by themselves; what they carry back later
// is dropped (alive_ goes first of all members).
CpuBenchRun::~CpuBenchRun() { alive_.reset(); }

void CpuBenchRun::OnOpen() {
  machine_ = config_.readMachine();
  view_.SetMachineLines(CpuInfoLine(machine_), BoardInfoLine(machine_), MemoryInfoLine(machine_),
                        OsInfoLine(machine_));
  if (!machine_.boardFound) view_.ShowMessage(Tr("主板信息获取异常！"), "", CpuMessageIcon::kNone);
  if (!machine_.memoryOk) view_.ShowMessage(Tr("内存信息获取异常！"), "", CpuMessageIcon::kNone);
  LoadHistory();
  ShowRecord();
}

void CpuBenchRun::LoadHistory() {
  history_ = LoadCpuHistory(config_.historyPath.empty() ? CpuHistoryPath() : config_.historyPath);
  shown_ = static_cast<int>(history_.size()) - 1;
}

void CpuBenchRun::ShowRecord() {
  if (shown_ < 0 || shown_ >= static_cast<int>(history_.size())) {
    view_.ShowRecord({}, "");
    return;
  }
  const CpuScoreRecord& record = history_[static_cast<size_t>(shown_)];
  view_.ShowRecord(CpuRecordRows(record), CpuRecordAgeLabel(record, config_.now()));
}

std::string CpuBenchRun::ShownResultText() const {
  if (shown_ < 0 || shown_ >= static_cast<int>(history_.size())) return "";
  const CpuScoreRecord& record = history_[static_cast<size_t>(shown_)];
  return Tr("CPU信息：") + CpuInfoLine(machine_) + "\n" + Tr("主板信息：") + BoardInfoLine(machine_) + "\n" +
         Tr("内存信息：") + MemoryInfoLine(machine_) + "\n" + Tr("系统信息：") + OsInfoLine(machine_) + "\n" +
         CpuRecordText(CpuRecordRows(record), CpuRecordAgeLabel(record, config_.now()));
}

void CpuBenchRun::OnPrevious() {
  if (shown_ < 0) return;
  shown_ = PreviousRecordIndex(shown_, static_cast<int>(history_.size()));
  ShowRecord();
}

void CpuBenchRun::OnNext() {
  if (shown_ < 0) return;
  shown_ = NextRecordIndex(shown_, static_cast<int>(history_.size()));
  ShowRecord();
}

bool CpuBenchRun::OnStart() {
  if (state_ != CpuRunState::kIdle) return false;
  if (!view_.Ask(Tr(kCpuConfirmText), Tr(kCpuCaption), CpuMessageIcon::kQuestion, false)) return false;

  state_ = CpuRunState::kRequesting;
  view_.SetStartEnabled(false);
  view_.ShowWaiting(true);
  // The request blocks for up to a few minutes; on its own thread the view keeps painting.
  const bool started = request_.Start([carry = carry_, request = config_.requestToken, machine = machine_, this] {
    TokenReply reply = request(machine);
    carry([this, reply] { OnTokenReply(reply); }, false);
  });
  if (!started) OnTokenReply(TokenReply());  // no thread, no request: as if no reply came
  return true;
}

void CpuBenchRun::OnTokenReply(const TokenReply& reply) {
  view_.ShowWaiting(false);
  switch (JudgeTokenReply(reply.body)) {
    case TokenVerdict::kNoReply:
      state_ = CpuRunState::kIdle;
      view_.ShowNotice(SayComposed([&reply] { return TokenFailureText(reply); }), Tr(kErrorCaption), CpuMessageIcon::kError);
      view_.SetStartEnabled(true);
      return;
    case TokenVerdict::kRefused:
      state_ = CpuRunState::kRefused;
      view_.ShowNotice(SayComposed([&reply] { return TokenFailureText(reply); }), Tr(kErrorCaption), CpuMessageIcon::kError);
      return;
    case TokenVerdict::kAccepted:
      break;
  }
  state_ = CpuRunState::kRunning;
  outcome_.reset();
  // The session owns its copy of the device object and its events; a session started
  // earlier returned right after its Done, long before a new token came back.
  auto events = std::make_shared<Events>(carry_, this);
  const bool started = run_.Start(
      [events, run = config_.runExam, device = BuildDeviceObject(machine_, reply.body)]() mutable {
        CpuExamOutcome outcome = run(std::move(device), *events, std::stop_token());
        events->Ended(outcome);
        return outcome;
      });
  if (!started) {
    state_ = CpuRunState::kIdle;
    view_.SetStartEnabled(true);
  }
}

void CpuBenchRun::OnDone(const std::string& result) {
  view_.SetStartEnabled(true);
  view_.ShowResult(result);
  state_ = CpuRunState::kIdle;
  LoadHistory();
  ShowRecord();
}

void CpuBenchRun::OnSessionEnded(const CpuExamOutcome& outcome) { outcome_ = outcome; }

CpuCloseAction CpuBenchRun::OnCloseRequest() {
  if (state_ == CpuRunState::kRequesting) return CpuCloseAction::kStay;  // no answer meanwhile
  if (state_ != CpuRunState::kRunning) return CpuCloseAction::kClose;
  // "否" is the default: a stray Enter must not abandon the run and restart the program.
  if (!view_.Ask(Tr(kCpuForceStopText), Tr(kWarningCaption), CpuMessageIcon::kWarning, true)) return CpuCloseAction::kStay;
  // The run ended while the question was up: just close.
  if (state_ != CpuRunState::kRunning) return CpuCloseAction::kClose;
  return CpuCloseAction::kRestart;
}

}  // namespace sorvanta::cpubench
