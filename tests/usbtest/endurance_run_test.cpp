#include "usbtest/endurance_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "platform/eject.h"
#include "platform/volumes.h"
#include "base/crypto.h"
#include "base/text.h"
#include "support/fake_volumes.h"
#include "support/loop_volume.h"
#include "support/sync_recorder.h"
#include "base/run_thread.h"
#include "support/temp_dir.h"
#include "usbtest/fake_switch.h"
#include "usbtest/recording_events.h"
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
  // beforeOff runs on each USBOFF with the pass index.
  std::unique_ptr<FakeSwitch> DriveSwitch(std::function<void(int)> beforeOff = nullptr, bool comesBack = true) {
    return std::make_unique<FakeSwitch>([this, beforeOff, comesBack](const std::string& request) {
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
    });
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
  EXPECT_EQ(sink.startedWith(), 3);
  EXPECT_EQ(sink.ended(), 1);
  EXPECT_EQ(sink.progress(), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(sink.rates(), (std::vector<std::string>{"1/1 100%", "2/2 100%", "3/3 100%"}));
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
  const std::vector<std::string> logs = sink.logs();
  std::vector<std::string> firstPass(logs.begin(), logs.begin() + 8);
  EXPECT_EQ(firstPass, (std::vector<std::string>{"原始文件SM3:" + HexEncode(digest, 32), "拷贝文件：\r\n" + Target(0),
                                                 "请求树莓派断开USB...", "树莓派返回：USBOFF OK", "连接USB...",
                                                 "等待U盘就绪...", "校验数据...", "拷贝文件：\r\n" + Target(1)}));
  EXPECT_EQ(logs.back(), "结束！");
  EXPECT_EQ(sink.space().size(), 6u);  // before the copy and after the verification
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
  EXPECT_EQ(sink.rates()[3], "3/4 75%");
  EXPECT_EQ(sink.rates()[5], "5/6 83%");
  EXPECT_EQ(sink.rates().back(), "7/10 70%");
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
  const std::vector<std::string> logs = sink.logs();
  ASSERT_GE(logs.size(), 2u);
  EXPECT_EQ(logs[logs.size() - 2], "U盘无法重连！可能损坏！试验终止！");
  EXPECT_EQ(logs.back(), "结束！");
  EXPECT_TRUE(sink.rates().empty());
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
  EXPECT_EQ(sink.logs().back(), "结束！");
  ASSERT_EQ(sink.rows().size(), 1u);
  EXPECT_EQ(sink.rows()[0][kColCopy], "");
  EXPECT_NE(::access(Target(0).c_str(), F_OK), 0);
  EXPECT_TRUE(sw->Received().empty());
  ASSERT_EQ(sink.space().size(), 1u);
  EXPECT_GT(sink.space()[0], 0);
  EXPECT_LE(sink.space()[0], 100);
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

  RecordingSink sink;
  sink.hook = [&](const testing::UsbCall& c) {
    if (c.what == "log" && c.text == "树莓派通讯错误！重试！" && !sw)
      sw = std::make_unique<FakeSwitch>([](const std::string& r) { return r + " OK"; }, port);
  };
  UsbTestParams params = Params("127.0.0.1:" + std::to_string(port), 1);
  params.safeEject = std::make_shared<std::atomic<bool>>(true);
  UsbTestOutcome out = RunUsbTest(params, sink, {});
  platform::SetEjectorForTesting(nullptr);

  EXPECT_EQ(out.passed, 1);
  EXPECT_EQ(ejector.roots, (std::vector<std::string>(3, drive_)));
  EXPECT_EQ(sink.Count("安全弹出..."), 1u);
  EXPECT_EQ(sink.Count("安全弹出U盘失败，重试..."), 2u);
  EXPECT_GE(sink.Count("树莓派通讯错误！重试！"), 1u);
  EXPECT_EQ(sink.Count("树莓派返回：USBOFF OK"), 1u);
  std::lock_guard<std::mutex> l(mu_);
  EXPECT_FALSE(switchErrors_.empty());
}

TEST_F(UsbRunTest, StopTakesEffectAtTheNextPass) {
  auto sw = DriveSwitch();
  RecordingSink sink;
  std::stop_source stop;
  sink.hook = [&](const testing::UsbCall& c) {
    if (c.what == "rate") stop.request_stop();
  };
  UsbTestOutcome out = RunUsbTest(Params(sw->address(), 5), sink, stop.get_token());
  EXPECT_EQ(out.end, UsbTestEnd::kStopped);
  EXPECT_EQ(sink.rows().size(), 1u);
  EXPECT_EQ(sink.rows()[0][kColResult], "通过");
  EXPECT_EQ(sink.logs().back(), "结束！");
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
  EXPECT_EQ(sink->logs(), (std::vector<std::string>{"计算原始文件SM3失败！", "结束！"}));
  EXPECT_EQ(sink->ended(), 1);
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
  auto sw = std::make_unique<FakeSwitch>([&](const std::string& request) {
    (request == "USBOFF" ? off : on) = Clock::now();
    return request + " OK";
  });
  UsbTestParams p = Params(sw->address(), 1);
  p.disconnectDelaySec = 1;
  p.afterOffMs = 150;
  RecordingSink sink;
  sink.hook = [&](const testing::UsbCall& c) {
    if (c.what == "log" && c.text == "等待断开...") delayLogged = Clock::now();
  };
  UsbTestOutcome out = RunUsbTest(p, sink, {});
  EXPECT_EQ(out.passed, 1);
  auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
  EXPECT_GE(ms(off - delayLogged), 1000);
  EXPECT_LT(ms(off - delayLogged), 3000);
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

// The real thing on a small ext4 volume: the switch unmounts and mounts it again.
TEST(UsbRunLoopVolume, PassesAcrossRealUnmountAndMount) {
  if (!testing::LoopVolume::Unavailable().empty())
    GTEST_SKIP() << testing::LoopVolume::Unavailable();
  testing::LoopVolume volume(16ull << 20);
  if (!volume.ok()) GTEST_SKIP() << volume.error();

  TempDir src("usbsrc");
  ASSERT_TRUE(src.ok());
  std::string source = src.Path("source.bin");
  WriteRandom(source, 1 << 20, 7);

  std::atomic<bool> mountFailed{false};
  FakeSwitch sw([&](const std::string& request) {
    if (request == "USBOFF" && !volume.Unmount()) mountFailed = true;
    if (request == "USBON" && !volume.Mount()) mountFailed = true;
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
  p.reconnectIntervalMs = 10;
  ASSERT_EQ(CheckUsbTestInput(p.copyFile, &p.driveRoot, p.switchAddress), "");
  RecordingSink sink;
  UsbTestOutcome out = RunUsbTest(p, sink, {});
  EXPECT_FALSE(mountFailed);
  EXPECT_EQ(out.end, UsbTestEnd::kFinished);
  EXPECT_EQ(out.passed, 2);
  EXPECT_EQ(sink.rates().back(), "2/2 100%");
  EXPECT_TRUE(platform::IsVolumeRoot(volume.root()));
  EXPECT_EQ(ReadWholeFile(volume.root() + "/writetest1.bin"), ReadWholeFile(source));
  EXPECT_TRUE(src.Remove());
}

}  // namespace
}  // namespace sorvanta::usbtest
