// sorvanta-cli cpu: the CPU exam without the window. It reads the machine, asks for the
// token the way the window does, runs the exam session and prints its status lines, a
// live progress line on a terminal, the result text and the newest history record.
#include <json/json.h>

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cpubench/cpu_history.h"
#include "cpubench/cpu_machine.h"
#include "cpubench/exam_session.h"
#include "service/token.h"
#include "service/wire_protocol.h"
#include "platform/clock.h"
#include "base/bench_sink.h"
#include "base/json_input.h"

namespace sorvanta::cli {
namespace {

// Columns on a terminal: CJK and other wide characters take two.
size_t DisplayWidth(const std::string& s) {
  size_t width = 0;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    width += len >= 3 ? 2 : 1;
    i += len;
  }
  return width;
}

std::string Pad(const std::string& s, size_t width) {
  size_t w = DisplayWidth(s);
  return w >= width ? s : s + std::string(width - w, ' ');
}

void PrintRecord(std::FILE* out, const CpuScoreRecord& r) {
  std::vector<CpuRecordRow> rows = CpuRecordRows(r);
  size_t w0 = DisplayWidth("项目"), w1 = DisplayWidth("数值");
  for (const auto& row : rows) {
    w0 = std::max(w0, DisplayWidth(row.item));
    w1 = std::max(w1, DisplayWidth(row.value));
  }
  std::fprintf(out, "%s  %s  %s\n", Pad("项目", w0).c_str(), Pad("数值", w1).c_str(), "系数");
  for (const auto& row : rows)
    std::fprintf(out, "%s  %s  %s\n", Pad(row.item, w0).c_str(), Pad(row.value, w1).c_str(), row.ratio.c_str());
  std::fprintf(out, "(%s)\n", CpuRecordAgeLabel(r, platform::WallClock()).c_str());
}

// JSON for people and scripts: indented, Chinese kept as UTF-8 rather than escaped.
std::string JsonText(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "  ";
  b["emitUTF8"] = true;
  return Json::writeString(b, v) + "\n";
}

// Prints what the session reports: status lines as lines, progress on one live line.
// The exam workers report from their own threads, so every call takes the lock: the
// live line and the lines around it are shared state.
class CliCpuSink : public BenchSink {
 public:
  explicit CliCpuSink(std::FILE* out) : out_(out) {}
  void Log(const std::string& text) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (out_ == stdout) EndLiveLine();
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
    ShowProgress();
  }
  void Done(const std::string&, const std::string&) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (out_ == stdout) EndLiveLine();
  }
  void Progress(int percent, int, bool) override {
    std::lock_guard<std::mutex> guard(lock_);
    percent_ = percent;
    ShowProgress();
  }
  void Speed(std::optional<double>, std::optional<double>, bool) override {}
  void Bar(double, int) override {}
  void Cell(std::optional<double>, int) override {}
  void RowDone(int) override {}

 private:
  void ShowProgress() {
    if (out_ == stdout && percent_ >= 0) PrintLiveLine("进度 " + std::to_string(percent_) + "%");
  }
  std::mutex lock_;
  std::FILE* out_;
  int percent_ = -1;
};

int ShowHistory(bool json) {
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
    std::printf("%s", JsonText(root).c_str());
    return 0;
  }
  if (history.empty()) {
    std::printf("没有跑分记录（%s）\n", path.c_str());
    return 0;
  }
  for (size_t i = 0; i < history.size(); ++i) {
    std::printf("--- 记录 %zu/%zu ---\n", i + 1, history.size());
    PrintRecord(stdout, history[i]);
  }
  return 0;
}

int RunCpu(const std::vector<std::string>& args) {
  bool json = false, history = false;
  for (const std::string& a : args) {
    if (a == "--json") json = true;
    else if (a == "--history") history = true;
    else {
      std::fprintf(stderr, "未知参数: %s\n用法: sorvanta-cli cpu [--history] [--json]\n", a.c_str());
      return 2;
    }
  }
  if (history) return ShowHistory(json);

  // With --json, standard output carries only the object; everything else goes to stderr.
  std::FILE* out = json ? stderr : stdout;
  CpuMachine machine = ReadCpuMachine();
  std::fprintf(out, "CPU信息：%s\n主板信息：%s\n内存信息：%s\n系统信息：%s\n", CpuInfoLine(machine).c_str(),
               BoardInfoLine(machine).c_str(), MemoryInfoLine(machine).c_str(), OsInfoLine(machine).c_str());
  if (!machine.boardFound) std::fprintf(out, "主板信息获取异常！\n");
  if (!machine.memoryOk) std::fprintf(out, "内存信息获取异常！\n");
  std::fprintf(out, "服务器通讯中......\n");
  std::fflush(out);

  const Result<std::string> reply = RequestExamToken(machine.brandString, machine.machineId, machine.logicalCores);
  switch (JudgeTokenReply(reply)) {
    case TokenVerdict::kNoReply:
      std::fprintf(stderr, "错误：%s\n", kTokenNoReplyText);
      return 1;
    case TokenVerdict::kRefused:
      std::fprintf(stderr, "错误：%s\n", kTokenRefusedText);
      return 1;
    case TokenVerdict::kAccepted:
      break;
  }

  CliCpuSink sink(out);
  SetCurrentBenchSink(&sink);
  CpuExamOutcome outcome = RunCpuExamSession(BuildDeviceObject(machine, reply.value()), CpuExamOptions());
  SetCurrentBenchSink(nullptr);

  if (!outcome.finished) {
    std::fprintf(stderr, "错误：考试凭据无效，成绩未提交\n");
    return 1;
  }
  if (json) {
    Json::Value obj(Json::objectValue);
    obj["result"] = outcome.result;
    Json::Value record;
    if (outcome.scored && ParseJsonInput(outcome.second, &record)) obj["record"] = record;
    else obj["record"] = Json::Value::nullSingleton();
    std::printf("%s", JsonText(obj).c_str());
    return outcome.scored ? 0 : 1;
  }
  std::printf("---------跑分结果---------\n%s\n", outcome.result.c_str());
  if (outcome.scored) {
    std::vector<CpuScoreRecord> records = LoadCpuHistory();
    if (!records.empty()) PrintRecord(stdout, records.back());
  }
  return outcome.scored ? 0 : 1;
}

CliCommandRegistrar reg{CliCommand{"cpu", "cpu [--history] [--json]",
                                   "CPU跑分：向服务器申请考试、单核与多核考试、提交并显示成绩（--history 显示历史记录）",
                                   RunCpu}};

}  // namespace
}  // namespace sorvanta::cli
