#include "usbtest/endurance_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "platform/eject.h"
#include "platform/volumes.h"
#include "base/crypto.h"
#include "base/text.h"
#include "support/deadline.h"
#include "support/fake_volumes.h"
#include "support/loop_volume.h"
#include "support/sync_recorder.h"
#include "base/run_thread.h"
#include "support/temp_dir.h"
#include "usbtest/fake_switch.h"
#include "support/recording_events.h"
#include "usbtest/switch_link.h"
#include "usbtest/endurance_csv.h"

namespace sorvanta::usbtest {
namespace {

using RecordingSink = testing::RecordingUsbEvents;

using testing::FakeSwitch;
using testing::FakeVolumes;
using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

void WriteRandom(const std::string& path, size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string data(size, '\0');
  for (auto& c : data) c = static_cast<char>(gen());
  WriteWholeFile(path, data);
}

bool EndsWithMs(const std::string& s) { return s.size() > 2 && s.compare(s.size() - 2, 2, "ms") == 0; }

// A temporary drive folder, registered as a fake volume, with a source file beside it.
class UsbRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    drive_ = dir_.Path("drive");
    ASSERT_EQ(::mkdir(drive_.c_str(), 0755), 0);
    source_ = dir_.Path("source.bin");
    WriteRandom(source_, 100 * 1024 + 7, 42);
    volumes_.Add(drive_);
  }
  void TearDown() override { EXPECT_TRUE(dir_.Remove()); }

  UsbTestParams Params(const std::string& switchAddress, int passes) {
    UsbTestParams p;
    p.copyFile = source_;
    p.driveRoot = drive_;
    p.switchAddress = switchAddress;
    p.disconnectDelaySec = 0;
    p.passes = passes;
    p.retryMs = 20;
    p.afterOffMs = 5;
    p.reconnectChecks = 30;
    p.reconnectIntervalMs = 5;
    p.link.errorOutput = [this](const std::string& text) {
      std::lock_guard<std::mutex> l(mu_);
      switchErrors_.push_back(text);
    };
    return p;
  }

  // A switch that pulls the fake drive on USBOFF and brings it back shortly after USBON;
  // beforeOff runs on each USBOFF with the pass index. refuse, when set, is asked first:
  // a non-empty answer is sent instead of acting.
  std::unique_ptr<FakeSwitch> DriveSwitch(std::function<void(int)> beforeOff = nullptr, bool comesBack = true,
                                          std::function<std::string(const std::string&)> refuse = nullptr,
                                          int port = 0) {
    return std::make_unique<FakeSwitch>(
        [this, beforeOff, comesBack, refuse](const std::string& request) {
          if (refuse) {
            std::string answer = refuse(request);
            if (!answer.empty()) return answer;
          }
          if (request == "USBOFF") {
            if (beforeOff) beforeOff(offs_);
            ++offs_;
            volumes_.Remove(drive_);
            return std::string("USBOFF OK");
          }
          if (request == "USBON" && comesBack) {
            restores_.push_back(std::async(std::launch::async, [this] {
              std::this_thread::sleep_for(std::chrono::milliseconds(15));
              volumes_.Add(drive_);
            }));
          }
          return std::string("USBON OK");
        },
        port);
  }

  std::string Target(int i) { return drive_ + "/writetest" + std::to_string(i) + ".bin"; }

  FakeVolumes volumes_;
  TempDir dir_{"usbtest"};
  std::string drive_, source_;
  std::atomic<int> offs_{0};
  std::vector<std::future<void>> restores_;
  std::mutex mu_;
  std::vector<std::string> switchErrors_;
};

TEST_F(UsbRunTest, PassesCopyPowerCycleAndVerify) {
  auto sw = DriveSwitch();
  RecordingSink sink;
  UsbTestOutcome out = RunUsbTest(Params(sw->address(), 3), sink, {});

  EXPECT_EQ(out.end, UsbTestEnd::kFinished);
  EXPECT_EQ(out.rows, 3);
  EXPECT_EQ(out.passed, 3);
  EXPECT_EQ(sink.Numbers("started"), std::vector<int>{3});
  EXPECT_EQ(sink.Of("ended").size(), 1u);
  EXPECT_EQ(sink.Numbers("progress"), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(sink.Texts("rate"), (std::vector<std::string>{"1/1 100%", "2/2 100%", "3/3 100%"}));
  ASSERT_EQ(sink.rows().size(), 3u);
  const std::vector<UsbTestRow> rows = sink.rows();
  for (int i = 0; i < 3; ++i) {
    const UsbTestRow& row = rows[static_cast<size_t>(i)];
    EXPECT_EQ(row[kColNumber], std::to_string(i + 1));
    EXPECT_EQ(row[kColFile], Target(i));
    EXPECT_TRUE(EndsWithMs(row[kColReconnect])) << row[kColReconnect];
    EXPECT_TRUE(EndsWithMs(row[kColCopy])) << row[kColCopy];
    EXPECT_EQ(row[kColResult], "通过");
    EXPECT_EQ(ReadWholeFile(Target(i)), ReadWholeFile(source_));  // copies stay on the drive
  }
  EXPECT_EQ(sw->ReceivedAfter(6), (std::vector<std::string>{"USBOFF", "USBON", "USBOFF", "USBON", "USBOFF", "USBON"}));

  uint8_t digest[32];
  ASSERT_EQ(Sm3File(source_, digest), 0);
  const std::vector<std::string> logs = sink.Logs();
  std::vector<std::string> firstPass(logs.begin(), logs.begin() + 9);
  EXPECT_EQ(firstPass, (std::vector<std::string>{"原始文件SM3:" + HexEncode(digest, 32), "拷贝文件：\r\n" + Target(0),
                                                 "请求树莓派断开USB...", "树莓派返回：USBOFF OK", "连接USB...",
                                                 "树莓派返回：USBON OK", "等待U盘就绪...", "校验数据...",
                                                 "拷贝文件：\r\n" + Target(1)}));
  EXPECT_EQ(logs.back(), "结束！");
  EXPECT_EQ(sink.Numbers("space").size(), 6u);  // before the copy and after the verification
}

TEST_F(UsbRunTest, CopiesNeverGoThroughNamesTheRunDidNotCreate) {
  // A file of the user's and a link to a file elsewhere, named like the first two copies.
  { std::ofstream(Target(0), std::ios::binary) << "mine"; }
  { std::ofstream(dir_.Path("precious.txt"), std::ios::binary) << "precious"; }
  ASSERT_EQ(::symlink(dir_.Path("precious.txt").c_str(), Target(1).c_str()), 0);
  auto sw = DriveSwitch();
  RecordingSink sink;
  UsbTestOutcome out = RunUsbTest(Params(sw->address(), 2), sink, {});
  EXPECT_EQ(out.passed, 2);
  ASSERT_EQ(sink.rows().size(), 2u);
  EXPECT_EQ(sink.rows()[0][kColFile], Target(2));
  EXPECT_EQ(sink.rows()[1][kColFile], Target(3));
  EXPECT_EQ(ReadWholeFile(Target(0)), "mine");
  EXPECT_EQ(ReadWholeFile(dir_.Path("precious.txt")), "precious");
  EXPECT_EQ(ReadWholeFile(Target(3)), ReadWholeFile(source_));
}

TEST_F(UsbRunTest, DamagedMissingAndUnreadableCopiesLowerThePassRate) {
  // While the drive is off, pass 4's copy gets one byte flipped, pass 7's copy vanishes and
  // pass 9's copy turns into something that opens but cannot be read (a folder).
  auto sw = DriveSwitch([this](int pass) {
    if (pass == 3) {
      std::fstream f(Target(3), std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(5000);
      f.put('\xAA' ^ ReadWholeFile(Target(3))[5000]);
    }
    if (pass == 6) ::unlink(Target(6).c_str());
    if (pass == 8) {
      ::unlink(Target(8).c_str());
      ::mkdir(Target(8).c_str(), 0755);
    }
  });
  RecordingSink sink;
  UsbTestOutcome out = RunUsbTest(Params(sw->address(), 10), sink, {});

  EXPECT_EQ(out.end, UsbTestEnd::kFinished);
  EXPECT_EQ(out.passed, 7);
  ASSERT_EQ(sink.rows().size(), 10u);
  EXPECT_EQ(sink.rows()[3][kColResult], "文件损坏");
  EXPECT_EQ(sink.rows()[6][kColResult], "文件错误");
  EXPECT_EQ(sink.rows()[8][kColResult], "文件错误");  // a read error is no digest of what was read
  EXPECT_EQ(sink.Count("拷贝的文件损坏：\r\n" + Target(3)), 1u);
  EXPECT_EQ(sink.Count("计算U盘文件SM3失败！"), 2u);
  EXPECT_EQ(sink.Texts("rate")[3], "3/4 75%");
  EXPECT_EQ(sink.Texts("rate")[5], "5/6 83%");
  EXPECT_EQ(sink.Texts("rate").back(), "7/10 70%");
}

// The copy must be on the device, not in memory, when the power is cut; otherwise the cut
// loses it and the drive is blamed for "文件损坏".
TEST_F(UsbRunTest, EachCopyIsSyncedBeforeThePowerCut) {
  testing::ClearSyncs();
  std::vector<int> syncedAtCut;
  auto sw = DriveSwitch([&](int pass) { syncedAtCut.push_back(testing::SyncCount(Target(pass))); });
  RecordingSink sink;
  UsbTestOutcome out = RunUsbTest(Params(sw->address(), 2), sink, {});
  EXPECT_EQ(out.passed, 2);
  ASSERT_EQ(syncedAtCut.size(), 2u);
  for (int count : syncedAtCut) EXPECT_GE(count, 1);
}

TEST_F(UsbRunTest, DriveThatNeverComesBackEndsTheRun) {
  auto sw = DriveSwitch(nullptr, /*comesBack=*/false);
  RecordingSink sink;
  UsbTestOutcome out = RunUsbTest(Params(sw->address(), 5), sink, {});

  EXPECT_EQ(out.end, UsbTestEnd::kDriveLost);
  ASSERT_EQ(sink.rows().size(), 1u);
  EXPECT_TRUE(EndsWithMs(sink.rows()[0][kColCopy]));
  EXPECT_EQ(sink.rows()[0][kColReconnect], "");
  EXPECT_EQ(sink.rows()[0][kColResult], "");
  const std::vector<std::string> logs = sink.Logs();
  ASSERT_GE(logs.size(), 2u);
  EXPECT_EQ(logs[logs.size() - 2], "U盘无法重连！可能损坏！试验终止！");
  EXPECT_EQ(logs.back(), "结束！");
  EXPECT_TRUE(sink.Texts("rate").empty());
  EXPECT_EQ(sw->ReceivedAfter(2).size(), 2u);
}

TEST_F(UsbRunTest, FullDriveStopsBeforeCopying) {
  // Free space exactly the size of the source is not enough.
  volumes_.SetFree(drive_, 100 * 1024 + 7);
  auto sw = DriveSwitch();
  RecordingSink sink;
  UsbTestOutcome out = RunUsbTest(Params(sw->address(), 5), sink, {});

  EXPECT_EQ(out.end, UsbTestEnd::kNoSpace);
  EXPECT_EQ(sink.Count("存储空间不足，停止测试..."), 1u);
  EXPECT_EQ(sink.Logs().back(), "结束！");
  ASSERT_EQ(sink.rows().size(), 1u);
  EXPECT_EQ(sink.rows()[0][kColCopy], "");
  EXPECT_NE(::access(Target(0).c_str(), F_OK), 0);
  EXPECT_TRUE(sw->Received().empty());
  ASSERT_EQ(sink.Numbers("space").size(), 1u);
  EXPECT_GT(sink.Numbers("space")[0], 0);
  EXPECT_LE(sink.Numbers("space")[0], 100);
}

TEST_F(UsbRunTest, UnreachableSwitchAndRefusedEjectAreRetried) {
  // The switch starts listening only after the run has failed to reach it once.
  int port = FakeSwitch::UnusedPort();
  std::unique_ptr<FakeSwitch> sw;
  struct RefusingEjector : platform::DriveEjector {
    Status Eject(const std::string& root) override {
      roots.push_back(root);
      return roots.size() > 2 ? Status::Ok() : Status::Error(StatusCode::kFailed, "refused");
    }
    std::vector<std::string> roots;
  } ejector;
  platform::SetEjectorForTesting(&ejector);

  const std::string refusedLine = "树莓派通讯错误！重试！（127.0.0.1:" + std::to_string(port) + "：连接被拒绝）";
  RecordingSink sink;
  sink.hook = [&](const testing::Event& c) {
    if (c.kind == "log" && c.text == refusedLine && !sw) sw = DriveSwitch(nullptr, true, nullptr, port);
  };
  UsbTestParams params = Params("127.0.0.1:" + std::to_string(port), 1);
  params.safeEject = std::make_shared<std::atomic<bool>>(true);
  UsbTestOutcome out = RunUsbTest(params, sink, {});
  platform::SetEjectorForTesting(nullptr);

  EXPECT_EQ(out.passed, 1);
  EXPECT_EQ(ejector.roots, (std::vector<std::string>(3, drive_)));
  EXPECT_EQ(sink.Count("安全弹出..."), 1u);
  EXPECT_EQ(sink.Count("安全弹出U盘失败，重试..."), 2u);
  EXPECT_GE(sink.Count(refusedLine), 1u);
  EXPECT_EQ(sink.Count("树莓派返回：USBOFF OK"), 1u);
  std::lock_guard<std::mutex> l(mu_);
  EXPECT_FALSE(switchErrors_.empty());
}

TEST_F(UsbRunTest, StopTakesEffectAtTheNextPass) {
  auto sw = DriveSwitch();
  RecordingSink sink;
  std::stop_source stop;
  sink.hook = [&](const testing::Event& c) {
    if (c.kind == "rate") stop.request_stop();
  };
  UsbTestOutcome out = RunUsbTest(Params(sw->address(), 5), sink, stop.get_token());
  EXPECT_EQ(out.end, UsbTestEnd::kStopped);
  EXPECT_EQ(sink.rows().size(), 1u);
  EXPECT_EQ(sink.rows()[0][kColResult], "通过");
  EXPECT_EQ(sink.Logs().back(), "结束！");
}

// "<command> ERR ..." is the switch saying it could not act: logged with the reply, retried.
TEST_F(UsbRunTest, SwitchErrorRepliesAreLoggedAndRetried) {
  for (const std::string command : {"USBOFF", "USBON"}) {
    SCOPED_TRACE(command);
    std::atomic<int> refusals{0};
    auto sw = DriveSwitch(nullptr, true, [&](const std::string& request) {
      return request == command && refusals++ == 0 ? command + " ERR 32" : std::string();
    });
    RecordingSink sink;
    UsbTestOutcome out = RunUsbTest(Params(sw->address(), 1), sink, {});
    EXPECT_EQ(out.passed, 1);
    EXPECT_EQ(sink.Count("树莓派返回：" + command + " ERR 32"), 1u);
    EXPECT_EQ(sink.Count("树莓派通讯错误！重试！（" + sw->address() + "：开关返回错误）"), 1u);
    const std::vector<std::string> expected = command == "USBOFF"
                                                  ? std::vector<std::string>{"USBOFF", "USBOFF", "USBON"}
                                                  : std::vector<std::string>{"USBOFF", "USBON", "USBON"};
    EXPECT_EQ(sw->ReceivedAfter(3), expected);
  }
}

// A stop before the switch got "USBOFF" ends the run with the drive powered; once the power
// may be off, "USBON" goes on until the switch confirms; the wait for the drive ends after
// its current check. Each within seconds, also in the middle of a real-length retry pause.
TEST_F(UsbRunTest, StopActsAtASafePointWithinSeconds) {
  struct Case {
    const char* name;
    const char* stopAfterLine;  // the stop comes 200 ms after this log line
    bool switchListens;
    bool comesBack;
    int usbonRefusals;
    bool restores;  // "正在恢复供电，请稍候..." and a confirmed "USBON"
    uint32_t retryMs;
  };
  // Restoring the power goes on at the switch's pace: that case retries sooner, so that the
  // time it takes stays the run's own.
  const Case cases[] = {
      {"USBOFF retries", "树莓派通讯错误！重试！", false, true, 0, false, 2333},
      {"USBON retries", "树莓派返回：USBON ERR 32", true, true, 1000, true, 200},
      {"reconnect wait", "等待U盘就绪...", true, false, 0, false, 2333},
  };
  using Clock = std::chrono::steady_clock;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> refusals{c.usbonRefusals};  // "USBON" is refused until the stop, then once more
    std::atomic<bool> stopping{false};
    const int port = FakeSwitch::UnusedPort();
    auto sw = !c.switchListens ? nullptr : DriveSwitch(nullptr, c.comesBack, [&](const std::string& request) {
      if (request != "USBON" || refusals <= 0) return std::string();
      if (stopping) refusals = 0;
      return std::string("USBON ERR 32");
    });
    UsbTestParams p = Params(sw ? sw->address() : "127.0.0.1:" + std::to_string(port), 3);
    p.retryMs = c.retryMs;
    p.reconnectChecks = 1000;
    p.reconnectIntervalMs = 100;
    std::stop_source stop;
    Clock::time_point stoppedAt;
    std::future<void> stopper;
    RecordingSink sink;
    sink.hook = [&](const testing::Event& call) {
      if (call.kind == "log" && call.text.rfind(c.stopAfterLine, 0) == 0 && !stopper.valid())
        stopper = std::async(std::launch::async, [&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          stopping = true;
          stoppedAt = Clock::now();
          stop.request_stop();
        });
    };
    UsbTestOutcome out = RunUsbTest(p, sink, stop.get_token());
    const auto took = Clock::now() - stoppedAt;
    ASSERT_TRUE(stopper.valid());
    EXPECT_EQ(out.end, UsbTestEnd::kStopped);
    EXPECT_LT(took, testing::Scaled(std::chrono::seconds(3)));
    ASSERT_EQ(sink.rows().size(), 1u);
    EXPECT_EQ(sink.rows()[0][kColResult], "");
    EXPECT_EQ(sink.Count("正在恢复供电，请稍候..."), c.restores ? 1u : 0u);
    EXPECT_EQ(sink.Logs().back(), "结束！");
    if (!c.switchListens) {
      EXPECT_EQ(sink.Count("连接USB..."), 0u);  // never told to cut
    }
    if (c.restores) {
      EXPECT_EQ(sink.Count("树莓派返回：USBON OK"), 1u);
      EXPECT_EQ(sink.Count("等待U盘就绪..."), 0u);
    }
    if (sw) sw.reset();
    for (auto& r : restores_) r.wait();
    restores_.clear();
    volumes_.Add(drive_);
  }
}

TEST_F(UsbRunTest, RunnerIsIdleAfterARunThatEndsAtOnce) {
  RunThread<UsbTestOutcome> runner;
  UsbTestParams p = Params("127.0.0.1:1", 3);
  p.copyFile = dir_.Path("missing.bin");
  auto sink = std::make_shared<RecordingSink>();
  auto start = [&runner, p](std::shared_ptr<RecordingSink> events) {
    std::stop_source stop;
    return runner.Start([p, events, stop] { return RunUsbTest(p, *events, stop.get_token()); },
                        [stop]() mutable { stop.request_stop(); });
  };
  ASSERT_TRUE(start(sink));
  ASSERT_TRUE(runner.Wait(std::chrono::milliseconds(10000)));
  EXPECT_FALSE(runner.Active());
  ASSERT_TRUE(runner.LastOutcome());
  EXPECT_EQ(runner.LastOutcome()->end, UsbTestEnd::kSourceDigestFailed);
  EXPECT_EQ(sink->Logs(), (std::vector<std::string>{"计算原始文件SM3失败！", "结束！"}));
  EXPECT_EQ(sink->Of("ended").size(), 1u);
  // A new run starts without any stop request.
  ASSERT_TRUE(start(std::make_shared<RecordingSink>()));
  EXPECT_TRUE(runner.Wait(std::chrono::milliseconds(10000)));
}

TEST_F(UsbRunTest, InputChecksInOrder) {
  std::string drive = drive_ + "/";
  const std::string address = "192.168.0.100:5000";
  EXPECT_EQ(CheckUsbTestInput(dir_.Path("missing.bin"), &drive, address), "拷贝文件不存在！");
  EXPECT_EQ(CheckUsbTestInput(dir_.path(), &drive, address), "拷贝文件不存在！");  // a folder is no file
  std::string letter = "F:";
  EXPECT_EQ(CheckUsbTestInput(source_, &letter, address), "U盘路径错误，格式为斜线开头的挂载点！\n比如/media/user/USB");
  std::string notMounted = dir_.path();
  EXPECT_EQ(CheckUsbTestInput(source_, &notMounted, address), "U盘路径不存在！");
  EXPECT_EQ(CheckUsbTestInput(source_, &drive, "192.168.0.100"), "树莓派IP应包含端口号！\n例子：192.168.0.100:5000");
  EXPECT_EQ(CheckUsbTestInput(source_, &drive, address), "");
  EXPECT_EQ(drive, drive_);  // trailing slash dropped
}

// The waits of a pass take their units: the disconnect delay in seconds, the pause after
// the power cut in milliseconds.
TEST_F(UsbRunTest, DisconnectDelayAndPowerOffPauseAreWaited) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point delayLogged, off, on;
  auto sw = DriveSwitch(nullptr, true, [&](const std::string& request) {
    (request == "USBOFF" ? off : on) = Clock::now();
    return std::string();
  });
  UsbTestParams p = Params(sw->address(), 1);
  p.disconnectDelaySec = 1;
  p.afterOffMs = 150;
  RecordingSink sink;
  sink.hook = [&](const testing::Event& c) {
    if (c.kind == "log" && c.text == "等待断开...") delayLogged = Clock::now();
  };
  UsbTestOutcome out = RunUsbTest(p, sink, {});
  EXPECT_EQ(out.passed, 1);
  auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
  EXPECT_GE(ms(off - delayLogged), 1000);
  EXPECT_LT(ms(off - delayLogged), testing::ScaledMs(3000));
  EXPECT_GE(ms(on - off), 150);
}

// What a user runs with; every other test shortens the waits.
TEST(UsbTestDefaults, PassesAndWaitsOfARealRun) {
  UsbTestParams p;
  EXPECT_EQ(p.passes, 1000);
  EXPECT_EQ(p.disconnectDelaySec, 1);
  EXPECT_EQ(p.retryMs, 2333u);
  EXPECT_EQ(p.afterOffMs, 1000u);
  EXPECT_EQ(p.reconnectChecks, 1000);
  EXPECT_EQ(p.reconnectIntervalMs, 100u);
  EXPECT_EQ(kSwitchReceiveTimeoutMs, 10000u);
}

TEST(UsbTestCsv, OnePassedRowByteForByte) {
  std::vector<UsbTestRow> rows{{"1", "/media/u/items/writetest0.bin", "1234ms", "56ms", "通过"}};
  std::string csv = UsbTestCsvText(rows);
  // 编号,文件,识别U盘用时(ms),拷贝用时(ms),校验结果 in GBK.
  const std::string header =
      "\xB1\xE0\xBA\xC5,\xCE\xC4\xBC\xFE,\xCA\xB6\xB1\xF0U\xC5\xCC\xD3\xC3\xCA\xB1(ms),"
      "\xBF\xBD\xB1\xB4\xD3\xC3\xCA\xB1(ms),\xD0\xA3\xD1\xE9\xBD\xE1\xB9\xFB\r\n";
  const std::string line = "1,/media/u/items/writetest0.bin,1234,56,\xCD\xA8\xB9\xFD,\r\n";
  EXPECT_EQ(csv, header + line);

  TempDir dir("usbcsv");
  ASSERT_TRUE(dir.ok());
  std::string path = dir.Path("out.csv");
  ASSERT_TRUE(WriteUsbTestCsv(path, rows));
  EXPECT_EQ(ReadWholeFile(path), header + line);
  EXPECT_FALSE(WriteUsbTestCsv(dir.Path("no/such/folder/out.csv"), rows));

  // An unfinished row keeps its empty fields.
  std::vector<UsbTestRow> partial{{"2", "/m/writetest1.bin", "", "7ms", ""}};
  EXPECT_EQ(UsbTestCsvText(partial), header + "2,/m/writetest1.bin,,7,,\r\n");
}

// The real thing on small ext4 volumes: a switch that unmounts and mounts the volume passes
// with a real reconnect time; one that answers "OK" without cutting power (the mount stays)
// ends the run with the line that says so, never with "通过".
TEST(UsbRunLoopVolume, PassesOnlyWhenThePowerReallyWentOff) {
  if (!testing::LoopVolume::Unavailable().empty()) GTEST_SKIP() << testing::LoopVolume::Unavailable();
  for (const bool cutsPower : {true, false}) {
    SCOPED_TRACE(cutsPower ? "cuts power" : "keeps power");
    testing::LoopVolume volume(16ull << 20);
    if (!volume.ok()) GTEST_SKIP() << volume.error();
    TempDir src("usbsrc");
    ASSERT_TRUE(src.ok());
    std::string source = src.Path("source.bin");
    WriteRandom(source, 1 << 20, 7);

    std::atomic<bool> mountFailed{false};
    FakeSwitch sw([&](const std::string& request) {
      if (cutsPower && request == "USBOFF" && !volume.Unmount()) mountFailed = true;
      if (cutsPower && request == "USBON" && !volume.Mount()) mountFailed = true;
      return request + " OK";
    });
    UsbTestParams p;
    p.copyFile = source;
    p.driveRoot = volume.root() + "/";
    p.switchAddress = sw.address();
    p.disconnectDelaySec = 0;
    p.passes = 2;
    p.retryMs = 20;
    p.afterOffMs = 5;
    p.reconnectChecks = 30;
    p.reconnectIntervalMs = 10;
    ASSERT_EQ(CheckUsbTestInput(p.copyFile, &p.driveRoot, p.switchAddress), "");
    RecordingSink sink;
    UsbTestOutcome out = RunUsbTest(p, sink, {});
    EXPECT_FALSE(mountFailed);
    EXPECT_TRUE(platform::IsVolumeRoot(volume.root()));
    if (cutsPower) {
      EXPECT_EQ(out.end, UsbTestEnd::kFinished);
      EXPECT_EQ(out.passed, 2);
      EXPECT_EQ(sink.Texts("rate").back(), "2/2 100%");
      EXPECT_TRUE(EndsWithMs(sink.rows()[1][kColReconnect])) << sink.rows()[1][kColReconnect];
      EXPECT_EQ(ReadWholeFile(volume.root() + "/writetest1.bin"), ReadWholeFile(source));
    } else {
      EXPECT_EQ(out.end, UsbTestEnd::kNotDisconnected);
      EXPECT_EQ(out.passed, 0);
      ASSERT_EQ(sink.rows().size(), 1u);
      EXPECT_EQ(sink.rows()[0][kColReconnect], "");
      EXPECT_EQ(sink.rows()[0][kColResult], "");
      const std::vector<std::string> logs = sink.Logs();
      ASSERT_GE(logs.size(), 2u);
      EXPECT_EQ(logs[logs.size() - 2], "U盘未断开（树莓派未切断供电，或系统保留了原来的挂载）！试验终止！");
      EXPECT_EQ(sink.Count("U盘无法重连！可能损坏！试验终止！"), 0u);
    }
    EXPECT_TRUE(src.Remove());
  }
}

// Physical byte offset of a file's first extent on its device (FIEMAP); -1 when unknown.
long long FirstExtentOffset(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  alignas(fiemap) unsigned char buffer[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
  auto* map = reinterpret_cast<fiemap*>(buffer);
  map->fm_length = ~0ull;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = 1;
  const int rc = ::ioctl(fd, FS_IOC_FIEMAP, map);
  ::close(fd);
  if (rc != 0 || map->fm_mapped_extents < 1) return -1;
  return static_cast<long long>(map->fm_extents[0].fe_physical);
}

// The drive gives back other bytes than the page cache still holds for the copy (a second
// mount keeps the file system and its cache while the switch "powers off" the first, and the
// medium is changed underneath): the verification reads the drive and finds "文件损坏".
TEST(UsbRunLoopVolume, VerificationReadsTheDriveNotTheCache) {
  if (!testing::LoopVolume::Unavailable().empty()) GTEST_SKIP() << testing::LoopVolume::Unavailable();
  testing::LoopVolume volume(16ull << 20);
  if (!volume.ok()) GTEST_SKIP() << volume.error();
  TempDir src("usbsrc");
  ASSERT_TRUE(src.ok());
  const std::string source = src.Path("source.bin");
  WriteRandom(source, 256 * 1024, 11);
  const std::string keeper = src.Path("keeper");
  ASSERT_EQ(::mkdir(keeper.c_str(), 0755), 0);
  ASSERT_EQ(::mount(volume.device().c_str(), keeper.c_str(), "ext4", 0, nullptr), 0) << errno;
  const std::string copy = "writetest0.bin";

  std::atomic<bool> cacheWarm{false}, corrupted{false}, mountFailed{false};
  FakeSwitch sw([&](const std::string& request) {
    if (request == "USBOFF") {
      if (!volume.Unmount()) mountFailed = true;
      // The copy's cached pages still read as the source ...
      uint8_t cached[32], original[32];
      cacheWarm = Sm3File(keeper + "/" + copy, cached) == 0 && Sm3File(source, original) == 0 &&
                  std::memcmp(cached, original, 32) == 0;
      // ... while its bytes on the medium change.
      const long long at = FirstExtentOffset(keeper + "/" + copy);
      int image = ::open(volume.image().c_str(), O_WRONLY | O_CLOEXEC);
      const char junk[16] = "not what it was";
      corrupted = at >= 0 && image >= 0 && ::pwrite(image, junk, sizeof(junk), at + 4096) == sizeof(junk) &&
                  ::fsync(image) == 0;
      if (image >= 0) ::close(image);
    }
    if (request == "USBON" && !volume.Mount()) mountFailed = true;
    return request + " OK";
  });
  UsbTestParams p;
  p.copyFile = source;
  p.driveRoot = volume.root();
  p.switchAddress = sw.address();
  p.disconnectDelaySec = 0;
  p.passes = 1;
  p.afterOffMs = 5;
  p.reconnectIntervalMs = 10;
  RecordingSink sink;
  UsbTestOutcome out = RunUsbTest(p, sink, {});
  ::umount2(keeper.c_str(), MNT_DETACH);
  ASSERT_FALSE(mountFailed);
  ASSERT_TRUE(corrupted);
  ASSERT_TRUE(cacheWarm);
  EXPECT_EQ(out.passed, 0);
  ASSERT_EQ(sink.rows().size(), 1u);
  EXPECT_EQ(sink.rows()[0][kColResult], "文件损坏");
  EXPECT_EQ(sink.Count("拷贝的文件损坏：\r\n" + volume.root() + "/" + copy), 1u);
  EXPECT_TRUE(src.Remove());
}

// An export that cannot be completed (the volume is full) leaves the earlier file whole
// and nothing beside it.
TEST(UsbTestCsvExport, FailureLeavesTheEarlierFileWhole) {
  if (!testing::LoopVolume::Unavailable().empty()) GTEST_SKIP() << testing::LoopVolume::Unavailable();
  testing::LoopVolume volume(8ull << 20);
  if (!volume.ok()) GTEST_SKIP() << volume.error();
  const std::string csv = volume.root() + "/result.csv";
  WriteWholeFile(csv, "earlier export\r\n");
  {
    std::ofstream fill(volume.root() + "/fill", std::ios::binary);
    const std::string block(1 << 16, 'f');
    while (fill.write(block.data(), static_cast<std::streamsize>(block.size())) && fill.flush()) {
    }
  }
  ASSERT_TRUE(volume.Sync());
  std::vector<UsbTestRow> rows(2000, UsbTestRow{"1", "/media/u/items/writetest0.bin", "1234ms", "56ms", "通过"});
  EXPECT_FALSE(WriteUsbTestCsv(csv, rows));
  EXPECT_EQ(ReadWholeFile(csv), "earlier export\r\n");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(volume.root())) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"fill", "lost+found", "result.csv"}));
}

}  // namespace
}  // namespace sorvanta::usbtest
