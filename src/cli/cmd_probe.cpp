// sorvanta-cli probe: the quick probe of a whole removable drive, run as root. A command of
// its own rather than an option of capacity, since it takes a device instead of a volume
// root, needs root and writes the raw drive instead of files.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stop_token>
#include <string>
#include <vector>

#include <json/json.h>

#include "capacity/disk_probe.h"
#include "cli/command.h"

namespace sorvanta::cli {

struct ProbeCommandOptions {
  std::string device;
  bool force = false;
  bool unmount = false;
  bool yes = false;
  bool json = false;
  uint64_t flushMiB = capacity::kProbeDefaultFlushBytes / (1024 * 1024);
};

namespace {

class CliProbeEvents : public capacity::ProbeEvents {
 public:
  explicit CliProbeEvents(bool json) : json_(json) {}
  void Log(const std::string& message) override {
    std::FILE* out = json_ ? stderr : stdout;
    std::fprintf(out, "%s\n", Printable(message).c_str());
    std::fflush(out);
  }
  void Progress(int) override {}

 private:
  const bool json_;
};

bool Confirmed(const std::string& device) {
  if (!isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "需要确认: 非交互运行请加 --yes\n");
    return false;
  }
  std::fprintf(stderr,
               "快速鉴定将在 %s 的若干位置写入测试数据；被覆盖的数据先备份到 %s，结束时写回并核对。继续吗? [y/N] ",
               device.c_str(), capacity::ProbeBackupDir().c_str());
  std::fflush(stderr);
  std::string answer;
  return std::getline(std::cin, answer) && (answer == "y" || answer == "Y" || answer == "yes");
}

}  // namespace

// Runs the probe the options describe; the exit status: 0 no sign of a fake, 1 a fake or a
// failure, 2 refused or bad arguments.
int RunProbeCommand(const ProbeCommandOptions& o) {
  if (geteuid() != 0) {
    std::fprintf(stderr, "快速鉴定直接读写整个磁盘，需要 root 权限（请用 sudo 运行）\n");
    return 2;
  }
  if (!o.yes && !Confirmed(o.device)) {
    std::fprintf(stderr, "已取消\n");
    return 2;
  }
  capacity::DiskProbeRequest request;
  request.device = o.device;
  request.force = o.force;
  request.unmount = o.unmount;
  request.flushBytes = o.flushMiB * 1024 * 1024;
  request.backupDir = capacity::ProbeBackupDir();
  CliProbeEvents events(o.json);
  std::stop_source stop;
  InterruptScope interrupt([stop]() mutable { stop.request_stop(); });
  auto result = capacity::ProbeDisk(request, events, stop.get_token());
  if (!result.ok()) {
    std::fprintf(stderr, "%s\n", Printable(result.status().message()).c_str());
    return result.status().code() == StatusCode::kPermissionDenied ||
                   result.status().code() == StatusCode::kInvalidArgument
               ? 2
               : 1;
  }
  const capacity::ProbeResult& r = result.value();
  if (!r.error.empty()) events.Log(r.error);
  events.Log(capacity::VerdictLine(r.verdict));
  if (o.json) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    std::printf("%s\n", Json::writeString(builder, capacity::ProbeJson(o.device, r)).c_str());
  }
  return r.verdict.kind == capacity::VerdictKind::kPassed && r.restored ? 0 : 1;
}

namespace {

int ParseProbe(const std::vector<std::string>& args) {
  const char* usage =
      "用法: sorvanta-cli probe DEVICE [--yes] [--json] [--force] [--unmount] [--flush-mib N]\n"
      "  --force       也鉴定不可移动的磁盘\n"
      "  --unmount     先卸载磁盘上已挂载的文件系统\n"
      "  --flush-mib N 写完测试扇区后再写入的数据量，用来冲掉磁盘的写缓存（默认 64）\n";
  ProbeCommandOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--yes" || a == "-y") {
      o.yes = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--force") {
      o.force = true;
    } else if (a == "--unmount") {
      o.unmount = true;
    } else if (a == "--flush-mib" && i + 1 < args.size()) {
      char* end = nullptr;
      const std::string& n = args[++i];
      o.flushMiB = std::strtoull(n.c_str(), &end, 10);
      if (n.empty() || *end != '\0' || o.flushMiB > 4096) {
        std::fprintf(stderr, "--flush-mib 须为 0 到 4096 的整数: %s\n", n.c_str());
        return 2;
      }
    } else if (a == "--help" || a == "-h") {
      std::printf("%s", usage);
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "未知参数: %s\n%s", a.c_str(), usage);
      return 2;
    } else if (o.device.empty()) {
      o.device = a;
    } else {
      std::fprintf(stderr, "多余的参数: %s\n%s", a.c_str(), usage);
      return 2;
    }
  }
  if (o.device.empty()) {
    std::fprintf(stderr, "%s", usage);
    return 2;
  }
  return RunProbeCommand(o);
}

CliCommandRegistrar probeCommand{CliCommand{
    "probe", "probe DEVICE [--yes] [--json] [--force] [--unmount] [--flush-mib N]",
    "快速鉴定: 在整个可移动磁盘的少量位置写入并读回，约一分钟估出扩容盘的真实容量 (需要 root)", ParseProbe}};

}  // namespace
}  // namespace sorvanta::cli
