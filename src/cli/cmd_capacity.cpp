// sorvanta-cli capacity / wipe: fills a volume's free space with test data, then verifies it
// (capacity) or only overwrites it (wipe), with the same log lines as the window.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

#include "capacity/capacity_presenter.h"
#include "capacity/volume_choice.h"
#include "base/text.h"
#include "cli/command.h"
#include "platform/clock.h"

namespace sorvanta::cli {
namespace {

using capacity::CapacityMode;
using capacity::CapacityVolume;

// Prints log lines in time order with a time stamp and keeps a live status line on a
// terminal. With --json the log goes to standard error so that standard output holds only
// the JSON object.
class CliCapacityEvents : public capacity::CapacityEvents {
 public:
  explicit CliCapacityEvents(bool json) : json_(json), live_(!json && StdoutIsTerminal()) {}

  void Log(const std::string& message) override {
    std::lock_guard<std::mutex> lock(mu_);
    std::time_t now = platform::WallClock();
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "[%H:%M:%S]", &tm);
    if (live_) EndLiveLine();
    std::FILE* out = json_ ? stderr : stdout;
    std::fprintf(out, "%s%s\n", stamp, Printable(message).c_str());
    std::fflush(out);
    DrawLive();
  }
  void Remaining(uint64_t bytes) override { Update(&remaining_, capacity::MegabytesText(bytes)); }
  void Speed(uint64_t bytes, uint32_t stepMs) override { Update(&speed_, capacity::CapacitySpeedText(bytes, stepMs)); }
  void Progress(int percent) override { Update(&progress_, std::to_string(percent) + "%"); }

  void Finish() {
    std::lock_guard<std::mutex> lock(mu_);
    if (live_) EndLiveLine();
    live_ = false;
  }

 private:
  void Update(std::string* field, const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    *field = text;
    DrawLive();
  }
  void DrawLive() {
    if (live_)
      PrintLiveLine(FormatText(Tr("剩余数据: %s  速度: %s  进度: %s"), remaining_.c_str(), speed_.c_str(), progress_.c_str()));
  }

  std::mutex mu_;
  const bool json_;
  bool live_;
  std::string remaining_ = "-";
  std::string speed_ = "-";
  std::string progress_ = "0%";
};

bool Yes() {
  std::fflush(stderr);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

bool Confirm(const CapacityVolume& volume, bool wipe) {
  if (!isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "%s\n", Tr("需要确认: 非交互运行请加 --yes"));
    return false;
  }
  std::fprintf(stderr,
               wipe ? Tr("擦除将用测试数据填满 %s 的全部可用空间 (%s)，结束后删除测试文件。继续吗? [y/N] ")
                    : Tr("扩容鉴定将用测试数据填满 %s 的全部可用空间 (%s)，结束后删除测试文件。继续吗? [y/N] "),
               volume.root.c_str(), capacity::FreeSpaceText(volume.freeBytes).c_str());
  if (!Yes()) return false;
  // The volume of the running system is asked about once more, by name.
  if (!capacity::IsSystemVolume(volume.root)) return true;
  std::fprintf(stderr, "%s [y/N] ",
               capacity::SystemVolumeQuestion(volume.root, wipe ? CapacityMode::kWipe : CapacityMode::kCapacityCheck).c_str());
  return Yes();
}

int ListVolumes(const JsonStyle& style) {
  const bool json = style.on();
  Json::Value list(Json::arrayValue);
  for (const std::string& root : capacity::ListCapacityVolumes()) {
    std::optional<CapacityVolume> v = capacity::ReadCapacityVolume(root);
    if (!v) continue;
    if (json) {
      Json::Value item;
      item["root"] = v->root;
      item["label"] = v->label;
      item["fileSystem"] = v->fileSystem;
      item["freeBytes"] = Json::UInt64(v->freeBytes);
      list.append(item);
    } else {
      std::printf("%-40s %-30s %s\n", Printable(v->root).c_str(), Printable(capacity::VolumeInfoText(*v)).c_str(), capacity::FreeSpaceText(v->freeBytes).c_str());
    }
  }
  if (json) PrintJson(list, style);
  return kExitOk;
}

struct FillArgs {
  std::string root;
  bool yes = false, list = false;
  JsonStyle json;
};

int RunFill(const FillArgs& a, CapacityMode mode) {
  const bool wipe = mode == CapacityMode::kWipe;
  const bool json = a.json.on();
  std::string root = a.root;
  if (a.list) return ListVolumes(a.json);
  if (root.empty()) {
    return Failure(a.json, kExitUsage,
                   UsageLine(wipe ? "wipe ROOT [--yes] [--json]" : "capacity ROOT [--yes] [--json] | capacity --list [--json]"));
  }
  if (char* resolved = realpath(root.c_str(), nullptr)) {  // relative paths and symlinks
    root = resolved;
    std::free(resolved);
  }
  std::optional<CapacityVolume> volume = capacity::ReadCapacityVolume(root);
  if (!volume) {
    return Failure(a.json, kExitUsage, Say("%s 不是已挂载的卷的根目录（capacity --list 列出全部卷）", root.c_str()));
  }
  if (!a.yes && !Confirm(*volume, wipe)) {
    return Failure(a.json, kExitUsage, SayText("已取消"));
  }
  if (!json) {
    std::printf(Tr("%s: %s, 可用容量: %s\n"), Printable(volume->root).c_str(), Printable(capacity::VolumeInfoText(*volume)).c_str(),
                capacity::FreeSpaceText(volume->freeBytes).c_str());
  }

  CliCapacityEvents events(json);
  capacity::CapacityOptions options;
  options.root = volume->root;
  options.freeBytes = volume->freeBytes;
  options.mode = mode;
  options.stream = std::make_shared<capacity::PatternStream>(static_cast<uint32_t>(std::time(nullptr)));
  // Ctrl-C acts like the Stop button, also when it comes before the run has started.
  std::stop_source stop;
  InterruptScope interrupt([stop]() mutable { stop.request_stop(); });
  std::optional<capacity::CapacityResult> result;
  try {
    result = capacity::RunCapacityCheck(options, events, stop.get_token());
  } catch (...) {
  }
  events.Finish();
  if (!result) return Failure(a.json, kExitFailed, SayText("扩容鉴定未能完成"));
  // Files left behind and the verdict end the log, as in the window.
  for (const std::string& f : result->keptFiles) events.Log(capacity::KeptFileLine(f));
  const std::string verdict = capacity::VerdictLine(result->verdict);
  if (!verdict.empty()) events.Log(verdict);

  using capacity::CapacityEnd;
  bool failed = result->aborted || result->errors > 0 || result->end == CapacityEnd::kCreateFailed;
  if (json) {
    Json::Value out;
    out["mode"] = wipe ? "wipe" : "capacity";
    out["root"] = volume->root;
    out["freeBytes"] = Json::UInt64(result->freeBytes);
    out["writtenBytes"] = Json::UInt64(result->writtenBytes);
    out["validSpace"] = Json::UInt64(result->verifiedBytes);
    out["errors"] = result->errors;
    out["aborted"] = result->aborted || result->end == CapacityEnd::kCreateFailed;
    out["endMessage"] = result->endMessage;
    capacity::AddVerdictJson(result->verdict, &out);
    Json::Value kept(Json::arrayValue);
    for (const std::string& f : result->keptFiles) kept.append(f);
    out["keptFiles"] = kept;
    PrintJson(out, a.json);
  }
  if (interrupt.Interrupted()) return kExitInterrupted;
  // A volume without free space could not be tested: a failure like any other.
  return failed || result->end == CapacityEnd::kNoFreeSpace ? kExitFailed : kExitOk;
}

std::function<int()> SetUp(CLI::App& sub, CapacityMode mode) {
  auto a = std::make_shared<FillArgs>();
  sub.add_option("ROOT", a->root, Tr("要写满的卷的根目录"))->type_name("");
  sub.add_flag("-y,--yes", a->yes, Tr("不再询问（非交互运行时必需）"));
  if (mode == CapacityMode::kCapacityCheck) sub.add_flag("--list", a->list, Tr("列出可测的卷及其可用空间"));
  AddJsonOption(sub, &a->json);
  return [a, mode] { return RunFill(*a, mode); };
}

CliCommandRegistrar capacityCommand{CliCommand{
    "capacity", "capacity ROOT [--yes] [--json] | capacity --list [--json]", N_("扩容鉴定：写满可用空间并校验，报告有效容量"),
    [](CLI::App& sub) { return SetUp(sub, CapacityMode::kCapacityCheck); }}};

CliCommandRegistrar wipeCommand{CliCommand{
    "wipe", "wipe ROOT [--yes] [--json]", N_("擦除可用空间：覆盖写满后删除，删除的文件不可恢复"),
    [](CLI::App& sub) { return SetUp(sub, CapacityMode::kWipe); }}};

}  // namespace
}  // namespace sorvanta::cli
