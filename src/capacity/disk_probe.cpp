#include "capacity/disk_probe.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "base/language.h"
#include "base/text.h"
#include "platform/direct_io.h"
#include "platform/eject.h"
#include "platform/raw_disk.h"
#include "platform/volumes.h"

namespace sorvanta::capacity {
namespace {

class RawProbeDevice : public ProbeDevice {
 public:
  explicit RawProbeDevice(std::unique_ptr<platform::RawDisk> disk) : disk_(std::move(disk)) {}
  uint64_t Size() const override { return disk_->Size(); }
  bool Read(uint64_t offset, uint8_t* data, size_t len) override { return disk_->Read(offset, data, len); }
  bool Write(uint64_t offset, const uint8_t* data, size_t len) override { return disk_->Write(offset, data, len); }
  bool Flush() override { return disk_->Flush(); }

 private:
  std::unique_ptr<platform::RawDisk> disk_;
};

Result<std::unique_ptr<ProbeDevice>> OpenDevice(const std::string& path) {
  auto disk = platform::RawDisk::Open(path);
  if (!disk.ok()) {
    if (disk.status().errnoValue() == EBUSY)
      return Status::Error(StatusCode::kPermissionDenied, Say("%s 正在使用中（可能有已挂载的文件系统），不能鉴定", path.c_str()),
                           EBUSY);
    return disk.status();
  }
  return std::unique_ptr<ProbeDevice>(new RawProbeDevice(std::move(disk).value()));
}

}  // namespace

std::string ProbeBackupDir() {
  const char* dir = std::getenv("SORVANTA_PROBE_BACKUP_DIR");
  if (dir && *dir && getuid() == 0 && geteuid() == 0 && !std::getenv("PKEXEC_UID")) return dir;
  return kProbeBackupDir;
}

std::string RemovableDiskOfVolume(const std::string& root, const platform::BlockRoots& roots) {
  for (const platform::MountEntry& m : platform::ReadMountInfo(roots.proc)) {
    if (m.mountPoint != root || m.source.rfind("/dev/", 0) != 0) continue;
    auto disk = platform::InspectWholeDisk(platform::WholeDiskOf(m.source, roots.sys), roots);
    if (disk.ok() && disk.value().wholeDisk && disk.value().removable) return disk.value().path;
  }
  return {};
}

std::string QuickProbeQuestion(const std::string& device) {
  return FormatText(Tr("快速鉴定将直接在 %s 的若干位置写入测试扇区，约需一分钟，不会写满磁盘。"), device.c_str()) + "\n" +
         FormatText(Tr("开始前会卸载该磁盘上的全部分区。被覆盖的数据先备份（内存中和 %s），结束后写回并逐一核对；"
                       "若中途断电或程序崩溃，下次快速鉴定开始时写回。"),
                    ProbeBackupPath(kProbeBackupDir).c_str()) +
         "\n" + Tr("需要管理员密码。继续吗？");
}

Json::Value ProbeJson(const std::string& device, const ProbeResult& result) {
  Json::Value out;
  out["mode"] = "probe";
  out["device"] = device;
  out["claimedBytes"] = Json::UInt64(result.verdict.claimedBytes);
  out["rounds"] = result.rounds;
  out["restored"] = result.restored;
  out["error"] = result.errorSource.empty() ? result.error : result.errorSource;
  AddVerdictJson(result.verdict, &out);
  return out;
}

std::string ProbeVerdictLine(const Json::Value& probe) {
  if (!probe.isObject()) return {};
  const std::string text = probe.get("verdictText", "").asString();
  if (text.empty()) return {};
  const std::pair<const char*, VerdictKind> kKinds[] = {
      {"noSignOfFake", VerdictKind::kPassed}, {"passed", VerdictKind::kPassed},         {"failed", VerdictKind::kFailed},
      {"errors", VerdictKind::kErrors},       {"stopped", VerdictKind::kStopped},       {"incomplete", VerdictKind::kIncomplete}};
  Verdict v;
  v.quick = true;
  const std::string kind = probe.get("verdict", "").asString();
  for (const auto& [name, k] : kKinds) {
    if (kind == name) v.kind = k;
  }
  for (FailureKind f : {FailureKind::kWrap, FailureKind::kDrop, FailureKind::kCorrupt, FailureKind::kReadError}) {
    if (probe.get("failureKind", "").asString() == FailureKindName(f)) v.failure = f;
  }
  auto bytes = [&probe](const char* key) { return probe[key].isUInt64() ? probe[key].asUInt64() : uint64_t{0}; };
  v.claimedBytes = bytes("claimedBytes");
  v.estimateBytes = bytes("realCapacityEstimate");
  v.bytesWritten = bytes("bytesWritten");
  v.seconds = probe["seconds"].isNumeric() ? probe["seconds"].asDouble() : 0;
  // Only a verdict its keys tell in full is said again; any other keeps the helper's words.
  Message line = VerdictMessage(v);
  return line.source == text ? line.shown : text;
}

std::string ProbeBackupPath(const std::string& dir) { return dir + "/quick-probe.backup"; }

Status RestorePendingProbe(const std::string& dir, ProbeEvents& events) {
  const std::string path = ProbeBackupPath(dir);
  if (!platform::Files().Exists(path)) return Status::Ok();
  auto device = ProbeBackupDevice(path);
  if (!device.ok()) return device.status();
  events.Log(FormatText(Tr("上次快速鉴定没有正常结束，正在把备份的数据写回 %s"), device.value().c_str()));
  auto opened = OpenDevice(device.value());
  if (!opened.ok()) {
    return Status::Error(opened.status().code(),
                         FormatText(Tr("无法打开 %s 恢复上次快速鉴定备份的数据：%s（备份文件保留在 %s）"),
                                    device.value().c_str(), opened.status().message().c_str(), path.c_str()));
  }
  Status restored = RestoreProbeBackup(path, *opened.value());
  if (restored.ok()) events.Log(Tr("上次快速鉴定备份的数据已写回并核对无误"));
  return restored;
}

Result<ProbeResult> ProbeDisk(const DiskProbeRequest& request, ProbeEvents& events, std::stop_token stop) {
  Status pending = RestorePendingProbe(request.backupDir, events);
  if (!pending.ok()) return pending;

  auto inspected = platform::InspectWholeDisk(request.device);
  if (!inspected.ok()) return inspected.status();
  const platform::WholeDiskInfo& disk = inspected.value();
  if (!disk.blockDevice || !disk.wholeDisk)
    return Status::Error(StatusCode::kInvalidArgument,
                         Say("%s 不是整个磁盘；快速鉴定只能用于整个磁盘，不能用于分区或文件", request.device.c_str()));
  if (!disk.removable && !request.force)
    return Status::Error(StatusCode::kPermissionDenied,
                         Say("%s 不是可移动磁盘；确定要鉴定它时请加 --force", request.device.c_str()));
  if (disk.held)
    return Status::Error(StatusCode::kPermissionDenied,
                         Say("%s 正被其他设备（LVM、RAID 或加密卷）使用，不能鉴定", request.device.c_str()));
  if (!disk.mountPoints.empty()) {
    std::string where, whereSource;
    for (const std::string& m : disk.mountPoints) {
      where += (where.empty() ? "" : Tr("、")) + m;
      whereSource += (whereSource.empty() ? "" : "、") + m;
    }
    if (!request.unmount) {
      const char* refusal = N_("%s 上有已挂载的文件系统（%s）；请先卸载，或加 --unmount");
      return Status::Error(StatusCode::kPermissionDenied,
                           Message{FormatText(refusal, request.device.c_str(), whereSource.c_str()),
                                   FormatText(Tr(refusal), request.device.c_str(), where.c_str())});
    }
    events.Log(FormatText(Tr("正在卸载 %s"), where.c_str()));
    Status unmounted = platform::UnmountAll(disk.mountPoints);
    if (!unmounted.ok()) return unmounted;
  }

  std::error_code ec;
  std::filesystem::create_directories(request.backupDir, ec);
  if (ec) return Status::FromErrno(ec.value(), FormatText(Tr("创建备份文件夹 %s"), request.backupDir.c_str()));

  auto device = OpenDevice(disk.path);
  if (!device.ok()) return device.status();
  events.Log(FormatText(Tr("快速鉴定 %s：标称 %.2f GB，数据先备份到 %s，结束时写回"), disk.path.c_str(),
                        static_cast<double>(device.value()->Size()) / (1024.0 * 1024 * 1024),
                        ProbeBackupPath(request.backupDir).c_str()));
  ProbeOptions options;
  options.flushBytes = request.flushBytes;
  options.backupPath = ProbeBackupPath(request.backupDir);
  options.deviceName = disk.path;
  return RunQuickProbe(*device.value(), options, events, stop);
}

}  // namespace sorvanta::capacity
