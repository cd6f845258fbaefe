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

constexpr char kUsage[] = "probe DEVICE [--yes] [--unmount] [--force] [--json]";

struct ProbeCommandOptions {
  std::string device;
  bool force = false;
  bool unmount = false;
  bool yes = false;
  JsonStyle json;
  uint64_t flushMiB = capacity::kProbeDefaultFlushBytes / (1024 * 1024);
};

namespace {

class CliProbeEvents : public capacity::ProbeEvents {
 public:
  explicit CliProbeEvents(bool json) : json_(json) {}  // with --json the log goes to standard error
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
    std::fprintf(stderr, "%s\n", Tr("需要确认: 非交互运行请加 --yes"));
    return false;
  }
  std::fprintf(stderr,
               Tr("快速鉴定将在 %s 的若干位置写入测试数据；被覆盖的数据先备份到 %s，结束时写回并核对。继续吗? [y/N] "),
               device.c_str(), capacity::ProbeBackupDir().c_str());
  std::fflush(stderr);
  std::string answer;
  return std::getline(std::cin, answer) && (answer == "y" || answer == "Y" || answer == "yes");
}

}  // namespace

// Runs the probe the options describe; the exit status: 0 no sign of a fake, 1 a fake or a
// failure, 2 refused or bad arguments, 130 stopped by a signal.
int RunProbeCommand(const ProbeCommandOptions& o) {
  if (o.device.empty()) return Failure(o.json, kExitUsage, UsageLine(kUsage));
  if (o.flushMiB > 4096) return Failure(o.json, kExitUsage, SayText("--flush-mib 须为 0 到 4096 的整数"));
  if (geteuid() != 0) return Failure(o.json, kExitUsage, SayText("快速鉴定直接读写整个磁盘，需要 root 权限（请用 sudo 运行）"));
  if (!o.yes && !Confirmed(o.device)) return Failure(o.json, kExitUsage, SayText("已取消"));
  capacity::DiskProbeRequest request;
  request.device = o.device;
  request.force = o.force;
  request.unmount = o.unmount;
  request.flushBytes = o.flushMiB * 1024 * 1024;
  request.backupDir = capacity::ProbeBackupDir();
  CliProbeEvents events(o.json.on());
  std::stop_source stop;
  InterruptScope interrupt([stop]() mutable { stop.request_stop(); });
  auto result = capacity::ProbeDisk(request, events, stop.get_token());
  if (!result.ok()) {
    const StatusCode code = result.status().code();
    return Failure(o.json,
                   code == StatusCode::kPermissionDenied || code == StatusCode::kInvalidArgument ? kExitUsage : kExitFailed,
                   Message{Printable(result.status().sourceMessage()), Printable(result.status().message())});
  }
  const capacity::ProbeResult& r = result.value();
  if (!r.error.empty()) events.Log(r.error);
  events.Log(capacity::VerdictLine(r.verdict));
  if (o.json.on()) PrintJson(capacity::ProbeJson(o.device, r), o.json);
  if (interrupt.Interrupted()) return kExitInterrupted;
  return r.verdict.kind == capacity::VerdictKind::kPassed && r.restored ? kExitOk : kExitFailed;
}

namespace {

std::function<int()> SetUp(CLI::App& sub) {
  auto o = std::make_shared<ProbeCommandOptions>();
  sub.add_option("DEVICE", o->device, Tr("整个可移动磁盘的设备，如 /dev/sdb"))->type_name("");
  sub.add_flag("-y,--yes", o->yes, Tr("不再询问（非交互运行时必需）"));
  sub.add_flag("--force", o->force, Tr("也鉴定不可移动的磁盘"));
  sub.add_flag("--unmount", o->unmount, Tr("先卸载磁盘上已挂载的文件系统"));
  sub.add_option("--flush-mib", o->flushMiB, Tr("之后再写的数据量（MiB，默认 64），冲掉写缓存"))
      ->type_name("N");
  AddJsonOption(sub, &o->json);
  return [o] { return RunProbeCommand(*o); };
}

CliCommandRegistrar probeCommand{CliCommand{
    "probe", kUsage,
    N_("快速鉴定：只写少量扇区，约一分钟估出扩容盘的真实容量"), SetUp}};

}  // namespace
}  // namespace sorvanta::cli
