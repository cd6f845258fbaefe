// sorvanta-cli capacity / wipe: fills a volume's free space with test data, then verifies it
// (capacity) or only overwrites it (wipe), with the same log lines as the window.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

#include "capacity/capacity_presenter.h"
#include "capacity/volume_choice.h"
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
    if (live_) PrintLiveLine("剩余数据: " + remaining_ + "  速度: " + speed_ + "  进度: " + progress_);
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
    std::fprintf(stderr, "需要确认: 非交互运行请加 --yes\n");
    return false;
  }
  std::fprintf(stderr, "%s将用测试数据填满 %s 的全部可用空间 (%s)，结束后删除测试文件。继续吗? [y/N] ",
               wipe ? "擦除" : "扩容鉴定", volume.root.c_str(), capacity::FreeSpaceText(volume.freeBytes).c_str());
  if (!Yes()) return false;
  // The volume of the running system is asked about once more, by name.
  if (!capacity::IsSystemVolume(volume.root)) return true;
  std::fprintf(stderr, "%s [y/N] ",
               capacity::SystemVolumeQuestion(volume.root, wipe ? CapacityMode::kWipe : CapacityMode::kCapacityCheck).c_str());
  return Yes();
}

int ListVolumes(bool json) {
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
  if (json) std::printf("%s\n", Json::writeString(Json::StreamWriterBuilder(), list).c_str());
  return 0;
}

int RunFill(const std::vector<std::string>& args, CapacityMode mode) {
  const bool wipe = mode == CapacityMode::kWipe;
  const char* usage = wipe ? "用法: sorvanta-cli wipe ROOT [--yes] [--json]\n"
                           : "用法: sorvanta-cli capacity ROOT [--yes] [--json] | capacity --list [--json]\n";
  bool yes = false, json = false, list = false;
  std::string root;
  for (const std::string& a : args) {
    if (a == "--yes" || a == "-y") {
      yes = true;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--list" && !wipe) {
      list = true;
    } else if (a == "--help" || a == "-h") {
      std::printf("%s", usage);
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "未知参数: %s\n%s", a.c_str(), usage);
      return 2;
    } else if (root.empty()) {
      root = a;
    } else {
      std::fprintf(stderr, "多余的参数: %s\n%s", a.c_str(), usage);
      return 2;
    }
  }
  if (list) return ListVolumes(json);
  if (root.empty()) {
    std::fprintf(stderr, "%s", usage);
    return 2;
  }
  if (char* resolved = realpath(root.c_str(), nullptr)) {  // relative paths and symlinks
    root = resolved;
    std::free(resolved);
  }
  std::optional<CapacityVolume> volume = capacity::ReadCapacityVolume(root);
  if (!volume) {
    std::fprintf(stderr, "%s 不是已挂载的卷的根目录（capacity --list 列出全部卷）\n", root.c_str());
    return 2;
  }
  if (!yes && !Confirm(*volume, wipe)) {
    std::fprintf(stderr, "已取消\n");
    return 2;
  }
  if (!json) {
    std::printf("%s: %s, 可用容量: %s\n", Printable(volume->root).c_str(), Printable(capacity::VolumeInfoText(*volume)).c_str(),
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
  if (!result) return 1;
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
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    builder["precision"] = 2;  // the speeds, in MB/s
    builder["precisionType"] = "decimal";
    std::printf("%s\n", Json::writeString(builder, out).c_str());
  }
  if (result->end == CapacityEnd::kNoFreeSpace) return 3;
  return failed ? 1 : 0;
}

CliCommandRegistrar capacityCommand{CliCommand{
    "capacity", "capacity ROOT [--yes] [--json] | --list",
    "扩容鉴定: 写满可用空间并校验，报告有效容量 (退出码 1: 有错误或中断)",
    [](const std::vector<std::string>& args) { return RunFill(args, CapacityMode::kCapacityCheck); }}};

CliCommandRegistrar wipeCommand{CliCommand{
    "wipe", "wipe ROOT [--yes] [--json]", "擦除可用空间: 覆盖写满后删除，已删除的文件不可恢复",
    [](const std::vector<std::string>& args) { return RunFill(args, CapacityMode::kWipe); }}};

}  // namespace
}  // namespace sorvanta::cli
