#include "cpubench/exam_session.h"

#include <boost/thread/thread.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "cpubench/cpu_history.h"
#include "platform/clock.h"
#include "platform/cpu.h"
#include "platform/file_replace.h"
#include "platform/paths.h"
#include "base/crypto.h"
#include "base/json_input.h"
#include "base/language.h"
#include "base/log.h"
#include "service/requests.h"
#include "service/wire_protocol.h"
#include "base/text.h"

namespace sorvanta::cpubench {
namespace {

// A paper name as the service hands them out: a file name of letters, digits, ".", "_" and
// "-", not "." or "..". It goes into a request path, the log and the terminal.
bool IsPaperName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

// The workers of one phase, joined when the phase is left, however it is left: they
// write into records the phase's caller owns.
class PhaseWorkers {
 public:
  PhaseWorkers() = default;
  PhaseWorkers(const PhaseWorkers&) = delete;
  PhaseWorkers& operator=(const PhaseWorkers&) = delete;
  ~PhaseWorkers() { JoinAll(); }

  void Start(GM_ExamData* record, const CpuExamOptions& options, CpuEvents& events) {
    threads_.emplace_back([record, &options, &events] { ExamWorker(record, options, events); });
  }
  void JoinAll() {
    for (boost::thread& t : threads_)
      if (t.joinable()) t.join();
    threads_.clear();
  }

 private:
  std::vector<boost::thread> threads_;
};

int CountProcessors(const CpuExamOptions& options) {
  return options.countProcessors ? options.countProcessors() : CountLogicalProcessors();
}

CpuExamOutcome Finish(CpuEvents& events, const Message& result, const std::string& second, bool scored) {
  events.Done(result.shown, second);
  return CpuExamOutcome{true, scored, result.source, second, result.shown};
}

Json::Value ExamEntry(const GM_ExamData& d, int coreid) {
  Json::Value e(Json::objectValue);
  e["id"] = d.id;
  e["coreid"] = coreid;
  e["result"] = Base64Encode(d.answers);
  return e;
}

}  // namespace

int CountLogicalProcessors() { return platform::ProcessCpuCount(); }

void RunExamPhase(int* progress, std::vector<GM_ExamData>* records, int count, const CpuExamOptions& options,
                  CpuEvents& events) {
  if (count < 0 || static_cast<size_t>(count) != records->size()) return;

  PhaseWorkers workers;
  for (int j = 0; j < count; ++j) {
    GM_ExamData* record = &(*records)[j];
    record->coreid = j;
    workers.Start(record, options, events);
  }
  events.Status(FormatText(Tr("开始！使用%d核！"), count));
  for (int step = 0; step < 10; ++step) {
    platform::SleepMs(options.paceStepMs);
    *progress += 5;
    events.Progress(*progress);
  }
  events.Status(Tr("停笔！"));
  platform::SleepMs(options.paceStepMs);
  workers.JoinAll();
}

Json::Value BuildResultObject(Json::Value device, const GM_ExamData& single,
                              const std::vector<GM_ExamData>& multi) {
  if (!device.isObject()) device = Json::Value(Json::objectValue);
  device["singlecore"] = ExamEntry(single, 1);
  device.removeMember("token");
  Json::Value cores(Json::arrayValue);
  for (const GM_ExamData& d : multi) cores.append(ExamEntry(d, d.coreid));
  device["multicore"] = cores;
  return device;
}

bool AppendCpuHistory(const std::string& path, const std::string& record) {
  // One whole object, and one that still parses one level deeper, inside the array.
  Json::Value parsed;
  if (!ParseJsonObjectText(record, &parsed) || !ParseJsonInput("[" + record + "\r\n]", &parsed)) return false;
  // Never through a link, never as root into another user's folder, never relative to
  // wherever the process happens to be (no home folder).
  if (path.empty() || path[0] != '/') return false;
  if (const std::string refusal = platform::ForeignFolderRefusal(path.substr(0, path.rfind('/')));
      !refusal.empty()) {
    LogLine(refusal, kLogError, false);
    return false;
  }
  const int existing = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  std::FILE* f = existing >= 0 ? ::fdopen(existing, "r+b") : nullptr;
  if (existing >= 0 && !f) ::close(existing);
  if (existing < 0 && errno != ENOENT) return false;
  bool ok = true;
  long end = -1;
  if (f && std::fseek(f, 0, SEEK_END) == 0) end = std::ftell(f);
  // Step back over line ends or blanks after the closing "]", which an editor may add.
  long close = end;
  while (f && close > 0) {
    std::fseek(f, close - 1, SEEK_SET);
    int c = std::fgetc(f);
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
    --close;
  }
  if (f && close > 0) {
    // Onto the closing "]" of the array, which the separator replaces.
    ok = std::fseek(f, close - 1, SEEK_SET) == 0 && std::fputs(",\r\n", f) >= 0;
  } else if (f) {
    // An empty file (a write cut short): start the array afresh in it.
    ok = std::fseek(f, 0, SEEK_SET) == 0 && std::fputs("[\r\n", f) >= 0;
  } else {
    // No file yet. "x": a file that exists but could not be opened is never replaced.
    const int created = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    f = created >= 0 ? ::fdopen(created, "wb") : nullptr;
    if (!f) {
      if (created >= 0) ::close(created);
      return false;
    }
    ok = std::fputs("[\r\n", f) >= 0;
  }
  ok = ok && std::fwrite(record.data(), 1, record.size(), f) == record.size();
  ok = ok && std::fputs("\r\n]", f) >= 0;
  const long written = std::ftell(f);
  ok = (std::fclose(f) == 0) && ok;
  // Drop whatever trailed the old "]" beyond the new end.
  if (ok && written >= 0 && written < end) ok = truncate(path.c_str(), written) == 0;
  return ok;
}

CpuExamOutcome RunCpuExamSession(Json::Value device, const CpuExamOptions& options, CpuEvents& events,
                                 std::stop_token stop) {
  events.Progress(10);
  int progress = 0;

  const Json::Value& tokenValue = device.isObject() ? device["token"] : Json::Value::nullSingleton();
  const std::string token = tokenValue.isString() ? tokenValue.asString() : std::string();
  const std::vector<std::string> pieces = SplitPieces(token, "||");
  const int n = CountProcessors(options);
  if (n < 1 || pieces.size() != static_cast<size_t>(n) + 2 ||
      !std::all_of(pieces.begin() + 1, pieces.end(), IsPaperName))
    return Finish(events, SayText("服务器返回错误信息"), "", false);

  events.Status(Tr("请求试卷中...."));
  std::vector<GM_ExamData> single, multi;
  multi.reserve(pieces.size() - 2);
  for (size_t i = 1; i < pieces.size(); ++i) {
    GM_ExamData d;
    d.token = pieces[0];
    d.examFile = pieces[i];
    d.paper = ServiceGetBinary(ServiceUrl("exampaper/" + pieces[i])).value_or("");
    (i == 1 ? single : multi).push_back(std::move(d));
    events.Progress(static_cast<int>(i * 90 / pieces.size()));
  }

  events.Status(Tr("请求开始单核考试...."));
  events.Progress(100);
  events.Status(Tr("开始单核考试...."));
  RunExamPhase(&progress, &single, 1, options, events);

  events.Status(Tr("请求开始多核考试...."));
  events.Status(Tr("开始多核考试...."));
  RunExamPhase(&progress, &multi, CountProcessors(options), options, events);

  events.Status(Tr("考试结束，等待判分...."));
  Json::Value result = BuildResultObject(std::move(device), single[0], multi);

  const std::string credential = Base64Decode(pieces[0]);
  // A stop is honoured here only, where a short credential ends the session too.
  if (credential.size() <= 16 || stop.stop_requested()) return CpuExamOutcome{};
  uint8_t key[16];
  std::memcpy(key, credential.data(), sizeof(key));
  const int rounds = static_cast<int8_t>(static_cast<uint8_t>(credential[16]));

  const std::string plaintext = result.toStyledString() + "||" + ClientTag();
  std::string cipher;
  if (!EncryptSubmission(plaintext, key, rounds, &cipher)) {
    const Message text = SayText("成绩数据超过1MB，无法提交！");
    events.Status(text.shown);
    return Finish(events, text, "", false);
  }
  const std::string body = pieces[0] + "||" + Base64Encode(cipher);
  const std::string reply = ServicePostText(ServiceUrl("sorvanta/cpuscoresubmitV4"), body).value_or("");

  const std::vector<std::string> answer = SplitPieces(reply, "||");
  if (answer.size() != 2) return Finish(events, Message{reply, reply}, body, false);
  platform::SetWorkingDirectory(platform::ProgramWriteFolder(platform::ProgramFolder()));
  const std::string historyPath = CpuHistoryPath();
  if (!AppendCpuHistory(historyPath, answer[1]))
    LogLine("history record not stored in " + historyPath + " (not a JSON object, or the file cannot be written)",
            kLogError, false);
  return Finish(events, Message{answer[0], answer[0]}, answer[1], true);
}

}  // namespace sorvanta::cpubench
