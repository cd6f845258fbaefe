// The USB unsafe-eject endurance test: pass after pass, copy a file onto a USB drive,
// optionally eject it safely, have the remote switch cut and restore its power, time how
// long the drive takes to come back (as a new mount) and verify the copy by SM3 digest of
// what the drive gives back, read past the page cache.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>

#include "base/language.h"
#include "usbtest/switch_link.h"

namespace sorvanta::usbtest {

// Texts the window and the command line show (translated with Tr where they are shown).
inline constexpr const char* kUsbMsgAddress = N_("树莓派IP应包含端口号！\n例子：192.168.0.100:5000");
inline constexpr const char* kUsbMsgNoCopyFile = N_("拷贝文件不存在！");
inline constexpr const char* kUsbMsgDriveFormat = N_("U盘路径错误，格式为斜线开头的挂载点！\n比如/media/user/USB");
inline constexpr const char* kUsbMsgDriveMissing = N_("U盘路径不存在！");
inline constexpr const char* kUsbMsgSwitchFailed = N_("树莓派通讯错误！试验终止！");
inline constexpr const char* kUsbMsgSwitchPassed = N_("测试通过！");
inline constexpr const char* kUsbMsgSwitchRefused = N_("测试失败！");  // the switch answered "<command> ERR ..."
inline constexpr const char* kUsbMsgNotFinished = N_("尚未完成试验！");
inline constexpr const char* kUsbMsgCannotSave = N_("无法保存！");

// Results-list columns.
enum UsbTestColumn : int { kColNumber = 0, kColFile = 1, kColReconnect = 2, kColCopy = 3, kColResult = 4 };
inline constexpr int kUsbTestColumns = 5;
inline constexpr int kUsbTestPasses = 1000;

// Checks the switch address ("host:port", exactly two pieces); "" when valid, else the message.
std::string CheckSwitchAddress(const std::string& address);
// Checks the inputs of a run in order and returns the first message, or "" when all hold.
// *driveRoot is normalised in place (trailing slashes removed) when it has the right form,
// so the caller can show what will be used.
std::string CheckUsbTestInput(const std::string& copyFile, std::string* driveRoot,
                              const std::string& switchAddress);

// A yes/no setting that its owner may change while a run reads it (the safe-eject box).
using LiveFlag = std::shared_ptr<std::atomic<bool>>;

struct UsbTestParams {
  std::string copyFile;       // source file
  std::string driveRoot;      // mount point of the USB drive's volume
  std::string switchAddress;  // host:port of the switch
  int disconnectDelaySec = 1; // wait before the eject and power cut
  int passes = kUsbTestPasses;
  // Eject safely before each power cut; read at each pass's eject step. Null: never.
  LiveFlag safeEject;
  SwitchLinkOptions link;  // how the switch is reached

  // Timing, shortened by tests.
  uint32_t retryMs = 2333;             // between failed ejects or switch commands
  uint32_t afterOffMs = 1000;          // after "USBOFF" before "USBON"
  int reconnectChecks = 1000;          // checks for the drive's return...
  uint32_t reconnectIntervalMs = 100;  // ...this far apart
};

// What a run tells while it goes. Called on the run's thread, in order; texts are UTF-8 and
// valid only during the call.
class UsbTestEvents {
 public:
  virtual ~UsbTestEvents() = default;
  // The run begins with this many passes.
  virtual void Started(int passes) = 0;
  // Pass row (0-based) begins: its number and the copy's path.
  virtual void RowAdded(int row, const std::string& number, const std::string& path) = 0;
  // A column (kColReconnect, kColCopy or kColResult) of a row has its text.
  virtual void CellSet(int row, int column, const std::string& text) = 0;
  // Pass passIndex (0-based) begins.
  virtual void Progress(int passIndex) = 0;
  // Used space of the drive in percent (100 when it cannot be read).
  virtual void Space(int usedPercent) = 0;
  // The pass rate after a verified pass, e.g. "9/10 90%".
  virtual void PassRate(const std::string& text) = 0;
  // One log line (it may itself hold "\r\n").
  virtual void Log(const std::string& line) = 0;
  // The run has ended (after its last log line "结束！").
  virtual void Ended() = 0;
};

enum class UsbTestEnd {
  kFinished,            // all passes done
  kStopped,             // stop seen at a safe point
  kSourceDigestFailed,  // the copy file could not be read
  kNoSpace,             // the drive had no room for another copy
  kDriveLost,           // the drive did not come back after a power cut
  kNotDisconnected,     // its mount never went away: the power was not cut, or the mount was kept
};

struct UsbTestOutcome {
  UsbTestEnd end = UsbTestEnd::kFinished;
  int rows = 0;      // passes begun
  int verified = 0;  // passes that got to their verification
  int passed = 0;    // passes whose copy verified equal
};

// Runs the test on the calling thread until it ends; blocks (the switch and eject retries
// have no limit). A stop ends the run at the next safe point: before the power is cut it
// ends at once (also in the eject and "USBOFF" retries); once the switch may have cut it,
// "USBON" is sent until the switch confirms, then the run ends; in the wait for the drive,
// after the current check. The inputs are expected to have passed CheckUsbTestInput.
UsbTestOutcome RunUsbTest(const UsbTestParams& params, UsbTestEvents& events, std::stop_token stop);

}  // namespace sorvanta::usbtest
