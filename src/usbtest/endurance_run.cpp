#include "usbtest/endurance_run.h"

#include <sys/stat.h>

#include <chrono>
#include <cerrno>
#include <cstring>

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

// Sends a command until the switch answers; there is no limit, as a run cannot go on
// without the power cycle.
std::string SendUntilAnswered(const UsbTestParams& p, const std::string& command, UsbTestEvents& events) {
  std::string reply;
  while (!SendSwitchCommand(p.switchAddress, command, &reply, p.link)) {
    events.Log("树莓派通讯错误！重试！");
    SleepMs(p.retryMs);
  }
  return reply;
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
    events.Log("计算原始文件SM3失败！");
    outcome.end = UsbTestEnd::kSourceDigestFailed;
  } else {
    const uint64_t sourceSize = static_cast<uint64_t>(st.st_size);
    int nextNumber = 0;
    events.Log("原始文件SM3:" + HexEncode(sourceDigest, sizeof(sourceDigest)));
    outcome.end = UsbTestEnd::kFinished;

    for (int i = 0; i < p.passes; ++i) {
      const int n = i + 1;
      if (stop.stop_requested()) {
        outcome.end = UsbTestEnd::kStopped;
        break;
      }
      events.Progress(i);
      bool claimed = false;
      const std::string target = ClaimTarget(p.driveRoot, &nextNumber, &claimed);
      events.RowAdded(i, std::to_string(n), target);
      outcome.rows = n;

      if (ReportSpace(p.driveRoot, events) <= sourceSize) {
        if (claimed) platform::Files().Remove(target);
        events.Log("存储空间不足，停止测试...");
        outcome.end = UsbTestEnd::kNoSpace;
        break;
      }

      // Copy; a failed copy is caught by the verification below.
      events.Log("拷贝文件：\r\n" + target);
      uint32_t start = TickMs();
      if (claimed) platform::CopyWholeFile(p.copyFile, target);  // never over a name it did not create
      events.CellSet(i, kColCopy, Ms(TickDiff(TickMs(), start)));

      if (p.disconnectDelaySec > 0) {
        events.Log("等待断开...");
        SleepMs(static_cast<uint32_t>(p.disconnectDelaySec) * 1000u);
      }

      if (p.safeEject && p.safeEject->load()) {
        events.Log("安全弹出...");
        while (!platform::Ejector().Eject(p.driveRoot).ok()) {
          events.Log("安全弹出U盘失败，重试...");
          SleepMs(p.retryMs);
        }
      }

      events.Log("请求树莓派断开USB...");
      std::string reply = SendUntilAnswered(p, "USBOFF", events);
      events.Log("树莓派返回：" + reply);
      SleepMs(p.afterOffMs);

      events.Log("连接USB...");
      SendUntilAnswered(p, "USBON", events);

      events.Log("等待U盘就绪...");
      start = TickMs();
      bool back = false;
      for (int check = 0; check < p.reconnectChecks; ++check) {
        if (platform::IsVolumeRoot(p.driveRoot)) {
          back = true;
          break;
        }
        if (check + 1 < p.reconnectChecks) SleepMs(p.reconnectIntervalMs);
      }
      if (!back) {
        events.Log("U盘无法重连！可能损坏！试验终止！");
        outcome.end = UsbTestEnd::kDriveLost;
        break;
      }
      events.CellSet(i, kColReconnect, Ms(TickDiff(TickMs(), start)));

      events.Log("校验数据...");
      uint8_t digest[32];
      if (!claimed || Sm3File(target, digest) != kSm3FileOk) {
        events.Log("计算U盘文件SM3失败！");
        events.CellSet(i, kColResult, "文件错误");
      } else if (std::memcmp(digest, sourceDigest, sizeof(digest)) == 0) {
        events.CellSet(i, kColResult, "通过");
        ++outcome.passed;
      } else {
        events.Log("拷贝的文件损坏：\r\n" + target);
        events.CellSet(i, kColResult, "文件损坏");
      }

      ReportSpace(p.driveRoot, events);
      events.PassRate(std::to_string(outcome.passed) + "/" + std::to_string(n) + " " +
                    std::to_string(outcome.passed * 100 / n) + "%");
    }
  }

  events.Log("结束！");
  events.Ended();
  return outcome;
}

}  // namespace sorvanta::usbtest
