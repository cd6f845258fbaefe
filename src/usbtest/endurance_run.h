// The USB unsafe-eject endurance test: pass after pass, copy a file onto a USB drive,
// optionally eject it safely, have the remote switch cut and restore its power, time how
// long the drive takes to come back and verify the copy by SM3 digest.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/run_thread.h"

namespace sorvanta {

// Texts the window and the command line show.
inline constexpr const char* kUsbMsgAddress = "树莓派IP应包含端口号！\n例子：192.168.0.100:5000";
inline constexpr const char* kUsbMsgNoCopyFile = "拷贝文件不存在！";
inline constexpr const char* kUsbMsgDriveFormat = "U盘路径错误，格式为斜线开头的挂载点！\n比如/media/user/USB";
inline constexpr const char* kUsbMsgDriveMissing = "U盘路径不存在！";
inline constexpr const char* kUsbMsgSwitchFailed = "树莓派通讯错误！试验终止！";
inline constexpr const char* kUsbMsgSwitchPassed = "测试通过！";
inline constexpr const char* kUsbMsgNotFinished = "尚未完成试验！";
inline constexpr const char* kUsbMsgCannotSave = "无法保存！";

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

struct UsbTestParams {
  std::string copyFile;       // source file
  std::string driveRoot;      // mount point of the USB drive's volume
  std::string switchAddress;  // host:port of the switch
  int disconnectDelaySec = 1; // wait before the eject and power cut
  int passes = kUsbTestPasses;

  // Timing, shortened by tests.
  uint32_t retryMs = 2333;             // between failed ejects or switch commands
  uint32_t afterOffMs = 1000;          // after "USBOFF" before "USBON"
  int reconnectChecks = 1000;          // checks for the drive's return...
  uint32_t reconnectIntervalMs = 100;  // ...this far apart
};

// Shared between the run and its owner; both flags are read by the run while it goes.
struct UsbTestControl {
  std::atomic<bool> stop{false};       // read at the start of each pass
  std::atomic<bool> safeEject{false};  // read at each pass's eject step
};

// Where a run reports. Called on the run's thread, in order; texts are UTF-8.
class UsbTestSink {
 public:
  virtual ~UsbTestSink() = default;
  // The run begins: empty the results list, reset the log to "日志：", progress range 0..passes.
  virtual void RunStarted(int passes) = 0;
  // A row is appended (row is its 0-based index) with the pass number and the copy's path.
  virtual void RowAdded(int row, const std::string& number, const std::string& path) = 0;
  // A cell of a row gets its text (column 2, 3 or 4).
  virtual void CellSet(int row, int column, const std::string& text) = 0;
  // Overall progress: the pass index.
  virtual void Progress(int passIndex) = 0;
  // Used space of the drive in percent (100 when it cannot be read).
  virtual void Space(int usedPercent) = 0;
  // The pass-rate text, e.g. "9/10 90%".
  virtual void PassRate(const std::string& text) = 0;
  // One log line (it may itself hold "\r\n").
  virtual void Log(const std::string& line) = 0;
  // The run has ended (after its last log line "结束！").
  virtual void RunEnded() = 0;
};

enum class UsbTestEnd {
  kFinished,            // all passes done
  kStopped,             // stop flag seen at the start of a pass
  kSourceDigestFailed,  // the copy file could not be read
  kNoSpace,             // the drive had no room for another copy
  kDriveLost,           // the drive did not come back after a power cut
};

struct UsbTestOutcome {
  UsbTestEnd end = UsbTestEnd::kFinished;
  int rows = 0;    // passes begun
  int passed = 0;  // passes whose copy verified equal
};

// Runs the test on the calling thread until it ends; blocks (the switch and eject retries
// have no limit). The inputs are expected to have passed CheckUsbTestInput.
UsbTestOutcome RunUsbTest(const UsbTestParams& params, UsbTestControl& control, UsbTestSink& sink);

// Owns a run on its own thread. Active() is true from Start until the run has ended,
// including for a run that ends at once.
class UsbTestRunner {
 public:
  UsbTestRunner();
  // Asks a running test to stop and lets its thread go on alone (it keeps the sink and its
  // flags alive): the run may sit in a retry without limit.
  ~UsbTestRunner();
  UsbTestRunner(const UsbTestRunner&) = delete;
  UsbTestRunner& operator=(const UsbTestRunner&) = delete;

  // Starts a run; false when one is active.
  bool Start(const UsbTestParams& params, std::shared_ptr<UsbTestSink> sink, bool safeEject);
  bool Active() const;
  // Sets the stop flag; the run ends at the start of its next pass.
  void RequestStop();
  // The safe-eject box may change during a run.
  void SetSafeEject(bool on);
  // Waits up to ms for the run to end (0: without limit); true when no run is active.
  bool Wait(uint32_t ms = 0);
  // Outcome of the last run that ended.
  UsbTestOutcome LastOutcome() const;

 private:
  std::shared_ptr<UsbTestControl> control_;
  RunThread<UsbTestOutcome> thread_;
};

}  // namespace sorvanta
