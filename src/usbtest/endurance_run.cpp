#include "usbtest/endurance_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/clock.h"
#include "platform/direct_io.h"
#include "platform/eject.h"
#include "platform/file_copy.h"
#include "platform/paths.h"
#include "platform/volumes.h"
#include "base/crypto.h"
#include "base/text.h"
#include "usbtest/switch_link.h"

namespace sorvanta::usbtest {
namespace {

using platform::SleepMs;
using platform::TickDiff;
using platform::TickMs;

// Reads the drive's space, reports the used percentage and returns the free bytes
// (0 when the volume cannot be read).
uint64_t ReportSpace(const std::string& root, UsbTestEvents& events) {
  auto space = platform::SpaceOf(root);
  int percent = 100;
  uint64_t freeBytes = 0;
  if (space && space->totalBytes > 0) {
    freeBytes = space->freeBytes;
    uint64_t used = space->totalBytes > space->freeBytes ? space->totalBytes - space->freeBytes : 0;
    percent = static_cast<int>(used * 100 / space->totalBytes);
  }
  events.Space(percent);
  return freeBytes;
}

std::string Ms(uint32_t ms) { return std::to_string(ms) + "ms"; }

// The next copy target, writetest<k>.bin for the first k from *next on whose name is free,
// created empty at once: a file or link of the user's (or of an earlier run) is never
// overwritten, and the verification never reads a file this run did not write. *claimed
// tells whether the file was created.
std::string ClaimTarget(const std::string& root, int* next, bool* claimed) {
  std::string target;
  for (int skipped = 0; skipped < 100000; ++skipped) {
    target = platform::JoinPath(root, "writetest" + std::to_string((*next)++) + ".bin");
    const Result<std::unique_ptr<platform::File>> created =
        platform::Files().Open(target, platform::OpenMode::kCreateNew, false);
    *claimed = created.ok();
    if (*claimed || created.status().errnoValue() != EEXIST) break;
  }
  return target;
}

// Sleeps ms, or less when stop is requested; false when it was cut short.
bool WaitUnlessStopped(uint32_t ms, std::stop_token stop) {
  std::mutex mu;
  std::condition_variable_any cv;
  std::unique_lock<std::mutex> lock(mu);
  cv.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; });
  return !stop.stop_requested();
}

// The mount at the drive root before a power cut, and whether it has gone since. A drive
// is back only once that mount went away (or the device behind the root changed) and a
// mount is there again: a mount point folder, or a mount whose device has gone, still
// answers for the path. Mount ids are reused by the kernel, so the going is watched for
// from the power cut on rather than read off the id afterwards.
class DriveMount {
 public:
  explicit DriveMount(std::string root) : root_(std::move(root)) {}

  // Notes what is mounted at the root now; false when nothing is.
  bool Note() {
    gone_ = false;
    std::optional<platform::Volume> now = platform::FindVolume(root_);
    if (now) noted_ = *now;
    return now.has_value();
  }
  // Looks at the root again; true when a mount other than the noted one is there.
  bool Back() {
    std::optional<platform::Volume> now = platform::FindVolume(root_);
    if (!now || !Same(*now, noted_)) gone_ = true;
    return gone_ && now.has_value();
  }
  bool Gone() const { return gone_; }

 private:
  static bool Same(const platform::Volume& a, const platform::Volume& b) {
    return a.mountId == b.mountId && a.major == b.major && a.minor == b.minor && a.device == b.device;
  }
  std::string root_;
  platform::Volume noted_;
  bool gone_ = false;
};

// Digest of the copy as the drive gives it back, read past the page cache.
bool DriveDigest(const std::string& path, uint8_t digest[32]) {
  Sm3Context ctx;
  Sm3Init(&ctx);
  const Status read = platform::ReadFromMedium(path, [&ctx](const uint8_t* data, size_t size) { Sm3Update(&ctx, data, size); });
  if (!read.ok()) return false;
  Sm3Final(&ctx, digest);
  return true;
}

// One pass of a run: its parameters, its reports and where it stands.
class Pass {
 public:
  Pass(const UsbTestParams& p, UsbTestEvents& events, std::stop_token stop)
      : p_(p), events_(events), stop_(stop), mount_(p.driveRoot) {}

  // Cuts and restores the drive's power and waits for it; the end of the run when the pass
  // cannot go on, nothing when the drive is back. row is the pass's row.
  std::optional<UsbTestEnd> PowerCycle(int row) {
    if (!mount_.Note()) {
      events_.Log(FormatText(Tr("U盘未挂载：%s，试验终止！"), p_.driveRoot.c_str()));
      return UsbTestEnd::kDriveLost;
    }
    if (p_.disconnectDelaySec > 0) {
      events_.Log(Tr("等待断开..."));
      if (!WaitUnlessStopped(static_cast<uint32_t>(p_.disconnectDelaySec) * 1000u, stop_)) return UsbTestEnd::kStopped;
    }
    if (stop_.stop_requested()) return UsbTestEnd::kStopped;

    if (p_.safeEject && p_.safeEject->load()) {
      events_.Log(Tr("安全弹出..."));
      while (!platform::Ejector().Eject(p_.driveRoot).ok()) {
        events_.Log(Tr("安全弹出U盘失败，重试..."));
        if (!WaitUnlessStopped(p_.retryMs, stop_)) return UsbTestEnd::kStopped;
      }
      mount_.Back();
    }

    // Power off. A stop before the switch got the command leaves the drive powered; once a
    // command may have reached it, the power is restored before the run ends.
    events_.Log(Tr("请求树莓派断开USB..."));
    bool maybeOff = false;
    for (;;) {
      if (stop_.stop_requested()) {
        if (!maybeOff) return UsbTestEnd::kStopped;
        break;
      }
      SwitchAnswer off = AskSwitch(p_.switchAddress, "USBOFF", p_.link, stop_);
      mount_.Back();
      if (off.ok) events_.Log(Tr("树莓派返回：") + off.reply);
      if (off.ok && !IsSwitchErrorReply("USBOFF", off.reply)) {
        maybeOff = true;
        break;
      }
      if (!off.ok && off.sent) maybeOff = true;
      if (!off.ok && stop_.stop_requested()) continue;
      RetryLine(off);
      if (!WaitUnlessStopped(p_.retryMs, stop_)) continue;
    }
    for (uint32_t waited = 0; waited < p_.afterOffMs && !stop_.stop_requested();) {
      const uint32_t step = std::min(p_.afterOffMs - waited, std::max<uint32_t>(p_.reconnectIntervalMs, 1));
      if (!WaitUnlessStopped(step, stop_)) break;
      waited += step;
      mount_.Back();
    }

    // Power on, until the switch says it is done: the drive must not be left off.
    events_.Log(Tr("连接USB..."));
    bool restoring = false;
    for (;;) {
      if (stop_.stop_requested() && !restoring) {
        events_.Log(Tr("正在恢复供电，请稍候..."));
        restoring = true;
      }
      SwitchAnswer on = AskSwitch(p_.switchAddress, "USBON", p_.link);
      mount_.Back();
      if (on.ok) events_.Log(Tr("树莓派返回：") + on.reply);
      if (on.ok && !IsSwitchErrorReply("USBON", on.reply)) break;
      RetryLine(on);
      if (restoring) SleepMs(p_.retryMs);
      else WaitUnlessStopped(p_.retryMs, stop_);
    }
    if (stop_.stop_requested()) return UsbTestEnd::kStopped;

    events_.Log(Tr("等待U盘就绪..."));
    const uint32_t start = TickMs();
    for (int check = 0; check < p_.reconnectChecks; ++check) {
      if (mount_.Back()) {
        events_.CellSet(row, kColReconnect, Ms(TickDiff(TickMs(), start)));
        return std::nullopt;
      }
      if (stop_.stop_requested()) return UsbTestEnd::kStopped;
      if (check + 1 < p_.reconnectChecks) WaitUnlessStopped(p_.reconnectIntervalMs, stop_);
    }
    if (!mount_.Gone()) {
      events_.Log(Tr("U盘未断开（树莓派未切断供电，或系统保留了原来的挂载）！试验终止！"));
      return UsbTestEnd::kNotDisconnected;
    }
    events_.Log(Tr("U盘无法重连！可能损坏！试验终止！"));
    return UsbTestEnd::kDriveLost;
  }

 private:
  // A failed command, or one the switch answered with an error, is tried again.
  void RetryLine(const SwitchAnswer& answer) {
    const std::string reason =
        answer.ok ? FormatText(Tr("%s：开关返回错误"), p_.switchAddress.c_str()) : answer.failure;
    events_.Log(FormatText(Tr("树莓派通讯错误！重试！（%s）"), reason.c_str()));
  }

  const UsbTestParams& p_;
  UsbTestEvents& events_;
  std::stop_token stop_;
  DriveMount mount_;
};

}  // namespace

std::string CheckSwitchAddress(const std::string& address) {
  std::string host;
  int port = 0;
  return SplitSwitchAddress(address, &host, &port) ? std::string() : std::string(kUsbMsgAddress);
}

std::string CheckUsbTestInput(const std::string& copyFile, std::string* driveRoot,
                              const std::string& switchAddress) {
  struct stat st;
  if (copyFile.empty() || ::stat(copyFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return kUsbMsgNoCopyFile;
  if (driveRoot->empty() || (*driveRoot)[0] != '/') return kUsbMsgDriveFormat;
  *driveRoot = platform::NormalizeRoot(*driveRoot);
  if (!platform::IsVolumeRoot(*driveRoot)) return kUsbMsgDriveMissing;
  return CheckSwitchAddress(switchAddress);
}

UsbTestOutcome RunUsbTest(const UsbTestParams& p, UsbTestEvents& events, std::stop_token stop) {
  UsbTestOutcome outcome;
  events.Started(p.passes);

  uint8_t sourceDigest[32];
  struct stat st;
  if (Sm3File(p.copyFile, sourceDigest) != kSm3FileOk || ::stat(p.copyFile.c_str(), &st) != 0) {
    events.Log(Tr("计算原始文件SM3失败！"));
    outcome.end = UsbTestEnd::kSourceDigestFailed;
  } else {
    const uint64_t sourceSize = static_cast<uint64_t>(st.st_size);
    int nextNumber = 0;
    events.Log(Tr("原始文件SM3:") + HexEncode(sourceDigest, sizeof(sourceDigest)));
    outcome.end = UsbTestEnd::kFinished;

    for (int i = 0; i < p.passes; ++i) {
      const int n = i + 1;
      if (stop.stop_requested()) {
        outcome.end = UsbTestEnd::kStopped;
        break;
      }
      events.Progress(i);
      // Nothing goes into the bare mount point folder of a drive that is not mounted.
      if (!platform::IsVolumeRoot(p.driveRoot)) {
        events.Log(FormatText(Tr("U盘未挂载：%s，试验终止！"), p.driveRoot.c_str()));
        outcome.end = UsbTestEnd::kDriveLost;
        break;
      }
      bool claimed = false;
      const std::string target = ClaimTarget(p.driveRoot, &nextNumber, &claimed);
      events.RowAdded(i, std::to_string(n), target);
      outcome.rows = n;

      if (ReportSpace(p.driveRoot, events) <= sourceSize) {
        if (claimed) platform::Files().Remove(target);
        events.Log(Tr("存储空间不足，停止测试..."));
        outcome.end = UsbTestEnd::kNoSpace;
        break;
      }

      // Copy; a failed copy is caught by the verification below.
      events.Log(Tr("拷贝文件：") + std::string("\r\n") + target);
      uint32_t start = TickMs();
      if (claimed) platform::CopyWholeFile(p.copyFile, target);  // never over a name it did not create
      events.CellSet(i, kColCopy, Ms(TickDiff(TickMs(), start)));

      Pass pass(p, events, stop);
      if (std::optional<UsbTestEnd> end = pass.PowerCycle(i)) {
        outcome.end = *end;
        break;
      }

      events.Log(Tr("校验数据..."));
      ++outcome.verified;
      uint8_t digest[32];
      if (!claimed || !DriveDigest(target, digest)) {
        events.Log(Tr("计算U盘文件SM3失败！"));
        // Result cells stay Chinese: the CSV export writes them; the window translates them.
        events.CellSet(i, kColResult, N_("文件错误"));
      } else if (std::memcmp(digest, sourceDigest, sizeof(digest)) == 0) {
        events.CellSet(i, kColResult, N_("通过"));
        ++outcome.passed;
      } else {
        events.Log(Tr("拷贝的文件损坏：") + std::string("\r\n") + target);
        events.CellSet(i, kColResult, N_("文件损坏"));
      }

      ReportSpace(p.driveRoot, events);
      events.PassRate(std::to_string(outcome.passed) + "/" + std::to_string(n) + " " +
                    std::to_string(outcome.passed * 100 / n) + "%");
    }
  }

  events.Log(Tr("结束！"));
  events.Ended();
  return outcome;
}

}  // namespace sorvanta::usbtest
