// sorvanta-cli cpu: the CPU exam without the window. It drives the window's run logic
// (cpubench::CpuBenchRun) through a view that prints: the machine, the token request and its
// verdict, the session's status lines, a live progress line on a terminal, the result text
// and the newest history record.
#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/json_input.h"
#include "base/task_loop.h"
#include "base/text.h"
#include "cli/command.h"
#include "cpubench/cpu_history.h"
#include "cpubench/cpu_presenter.h"
#include "platform/clock.h"

namespace sorvanta::cli {
namespace {

using namespace cpubench;

// Prints what the run shows: the machine and its warnings, the request, status lines as
// lines and progress on one live line (with --json on standard error, so that standard
// output carries only the object); errors go to standard error. Every call comes on the
// thread that runs the loop; the record on show is asked of the run at the end.
class CliCpuView : public CpuRunView {
 public:
  explicit CliCpuView(std::FILE* out) : out_(out) {}

  void SetMachineLines(const std::string& cpu, const std::string& board, const std::string& memory,
                       const std::string& os) override {
    std::fprintf(out_, Tr("CPU信息：%s\n主板信息：%s\n内存信息：%s\n系统信息：%s\n"), Printable(cpu).c_str(),
                 Printable(board).c_str(), Printable(memory).c_str(), Printable(os).c_str());
  }
  void ShowRecord(const std::vector<CpuRecordRow>&, const std::string&) override {}
  void SetStartEnabled(bool) override {}
  void AppendLog(const std::string& line) override {
    if (out_ == stdout) EndLiveLine();
    std::fprintf(out_, "%s\n", Printable(line).c_str());
    std::fflush(out_);
    ShowProgress();
  }
  void SetProgress(int percent) override {
    percent_ = percent;
    ShowProgress();
  }
  void ShowWaiting(bool shown) override {
    if (!shown) return;
    std::fprintf(out_, "%s\n", Tr("服务器通讯中......"));
    std::fflush(out_);
  }
  void ShowResult(const std::string&) override {
    if (out_ == stdout) EndLiveLine();
  }
  void ShowMessage(const std::string& text, const std::string& caption, CpuMessageIcon icon) override {
    ShowNotice(Message{text, text}, caption, icon);
  }
  void ShowNotice(const Message& message, const std::string&, CpuMessageIcon icon) override {
    if (icon == CpuMessageIcon::kError) {
      lastError = message;
      std::fprintf(stderr, Tr("错误：%s\n"), Printable(message.shown).c_str());
    } else {
      std::fprintf(out_, "%s\n", Printable(message.shown).c_str());
    }
  }
  // Running the command is the confirmation.
  bool Ask(const std::string&, const std::string&, CpuMessageIcon, bool) override { return true; }

  Message lastError;  // the newest error message, for the JSON of a run that failed

 private:
  void ShowProgress() {
    if (out_ == stdout && percent_ >= 0) PrintLiveLine(FormatText(Tr("进度 %d%%"), percent_));
  }
  std::FILE* out_;
  int percent_ = -1;
};

int ShowHistory(const JsonStyle& style) {
  const bool json = style.on();
  const std::string path = CpuHistoryPath();
  std::vector<CpuScoreRecord> history = LoadCpuHistory(path);
  if (json) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    Json::Value root(Json::arrayValue);
    if (f) {
      std::string text;
      char buf[4096];
      size_t got;
      while ((got = std::fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, got);
      std::fclose(f);
      if (!ParseJsonInput(text, &root) || !root.isArray()) root = Json::Value(Json::arrayValue);
    }
    PrintJson(root, style);
    return kExitOk;
  }
  if (history.empty()) {
    std::printf(Tr("没有跑分记录（%s）\n"), path.c_str());
    return 0;
  }
  for (size_t i = 0; i < history.size(); ++i) {
    std::printf(Tr("--- 记录 %zu/%zu ---\n"), i + 1, history.size());
    std::printf("%s", CpuRecordText(CpuRecordRows(history[i]), CpuRecordAgeLabel(history[i], platform::WallClock())).c_str());
  }
  return 0;
}

int RunCpu(const JsonStyle& style, bool history) {
  if (history) return ShowHistory(style);
  const bool json = style.on();

  // With --json, standard output carries only the object; everything else goes to stderr.
  std::FILE* out = json ? stderr : stdout;
  TaskLoop loop;  // this thread plays the window thread
  CliCpuView view(out);
  CpuBenchRun run(view, [&loop](std::function<void()> call, bool wait) { loop.Post(std::move(call), wait); });
  auto runUntil = [&loop](const std::function<bool()>& done) {
    while (!loop.RunUntil(done)) {
    }
  };
  // On every way out the run's threads end before the program does (serving what they
  // post meanwhile), so that no request is still running while the process exits.
  struct Settle {
    TaskLoop& loop;
    CpuBenchRun& run;
    ~Settle() {
      while (!run.WaitForThreads(std::chrono::milliseconds(50))) loop.RunUntil([] { return false; }, 50);
    }
  } settle{loop, run};
  run.OnOpen();
  run.OnStart();
  runUntil([&run] { return run.State() != CpuRunState::kRequesting; });
  if (run.State() != CpuRunState::kRunning)  // the view said why
    return Failure(style, kExitFailed, view.lastError.shown.empty() ? SayText("未能开始考试") : view.lastError,
                   true);
  runUntil([&run] { return run.LastOutcome().has_value(); });
  const CpuExamOutcome outcome = *run.LastOutcome();

  if (!outcome.finished) {
    return Failure(style, kExitFailed, SayText("错误：考试凭据无效，成绩未提交"));
  }
  if (json) {
    Json::Value obj(Json::objectValue);
    obj["result"] = outcome.result;
    Json::Value record;
    if (outcome.scored && ParseJsonInput(outcome.second, &record)) obj["record"] = record;
    else obj["record"] = Json::Value::nullSingleton();
    PrintJson(obj, style);
    return outcome.scored ? kExitOk : kExitFailed;
  }
  std::printf(Tr("---------跑分结果---------\n%s\n"), Printable(outcome.shown.empty() ? outcome.result : outcome.shown).c_str());
  // The newest record after the machine lines: the text the window's "复制结果" copies.
  if (outcome.scored) std::printf("%s", Printable(run.ShownResultText()).c_str());
  return outcome.scored ? kExitOk : kExitFailed;
}

std::function<int()> SetUp(CLI::App& sub) {
  auto json = std::make_shared<JsonStyle>();
  auto history = std::make_shared<bool>(false);
  sub.add_flag("--history", *history, Tr("只显示本机的跑分历史记录，不考试"));
  AddJsonOption(sub, json.get());
  return [json, history] { return RunCpu(*json, *history); };
}

CliCommandRegistrar reg{CliCommand{"cpu", "cpu [--history] [--json]", N_("CPU跑分：向服务器申请考试、考试并提交成绩"), SetUp}};

}  // namespace
}  // namespace sorvanta::cli
