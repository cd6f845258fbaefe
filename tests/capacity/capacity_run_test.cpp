// The capacity check and wipe run over a simulated drive: fill, tail, files, verification,
// errors, stop, creation failures, and what is reported, in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>

#include "capacity/capacity_presenter.h"
#include "capacity/capacity_run.h"
#include "support/recording_events.h"
#include "support/fake_volumes.h"
#include "support/simulated_medium.h"

namespace sorvanta::capacity {
namespace {

using Medium = testing::SimulatedMedium;
using RecordingReporter = testing::RecordingCapacityEvents;

constexpr uint64_t kB = kCapacityBlockSize;
const std::string kRoot = "/fake";
const std::string kFile0 = "/fake/temp_0.tmp";
const std::string kFile1 = "/fake/temp_1.tmp";
const std::string kFile2 = "/fake/temp_2.tmp";

CapacityOptions Options(uint64_t freeBytes, CapacityMode mode = CapacityMode::kCapacityCheck, uint32_t perFile = 100) {
  CapacityOptions o;
  o.root = kRoot;
  o.freeBytes = freeBytes;
  o.mode = mode;
  o.generatorThreads = 2;
  o.hashThreads = 2;
  o.blocksPerFile = perFile;
  o.stream = std::make_shared<PatternStream>(20240601);
  return o;
}

CapacityResult RunOn(const CapacityOptions& o, RecordingReporter& reporter) {
  return RunCapacityCheck(o, reporter, std::stop_token());
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(CapacityRun, ExactMultipleOfBlockFillsVerifiesAndReportsCapacity) {
  Medium medium(3 * kB, Medium::Beyond::kFiller);
  RecordingReporter r;
  CapacityResult res = RunOn(Options(3 * kB), r);

  EXPECT_EQ(r.Logs(), (std::vector<std::string>{"准备填充...", "创建文件:" + kFile0, "校验文件：" + kFile0, "清理数据中...",
                                                "处理结束！您的磁盘有效容量：48 MB (0.05 GB)"}));
  EXPECT_EQ(res.end, CapacityEnd::kFinished);
  EXPECT_EQ(res.verifiedBytes, 3 * kB);
  EXPECT_EQ(res.writtenBytes, 3 * kB);
  EXPECT_EQ(res.errors, 0);
  EXPECT_EQ(res.verdict.kind, VerdictKind::kPassed);
  EXPECT_EQ(res.verdict.estimateBytes, 3 * kB);
  EXPECT_EQ(res.verdict.breakdown.intactBytes, 3 * kB);
  EXPECT_EQ(res.verdict.breakdown.Total(), 3 * kB);
  EXPECT_GT(res.verdict.writeMBps, 0);
  EXPECT_GT(res.verdict.readMBps, 0);
  auto st = medium.stats();
  EXPECT_EQ(st.writeLengths, (std::vector<uint64_t>{kB, kB, kB}));
  EXPECT_EQ(st.removes[kFile0], 1);
  EXPECT_FALSE(medium.Exists(kFile0));
  // Remaining counts down while writing, then while verifying, and ends at 0.
  EXPECT_EQ(r.Texts("remaining"), (std::vector<std::string>{"32 MB", "16 MB", "0 MB", "32 MB", "16 MB", "0 MB", "0 MB"}));
  EXPECT_EQ(r.Texts("progress").back(), "100");
}

TEST(CapacityRun, RemainderBelowOneBlockIsWrittenAsExactTail) {
  Medium medium(3 * kB, Medium::Beyond::kFiller);
  RecordingReporter r;
  const uint64_t freeBytes = 2 * kB + 300 * 1024;
  CapacityResult res = RunOn(Options(freeBytes), r);

  auto logs = r.Logs();
  ASSERT_EQ(logs.size(), 6u);
  EXPECT_EQ(logs[2], "收尾...300 KB");
  EXPECT_EQ(logs[3], "校验文件：" + kFile0);
  EXPECT_EQ(logs[5], "处理结束！您的磁盘有效容量：32 MB (0.03 GB)");
  EXPECT_EQ(medium.stats().writeLengths, (std::vector<uint64_t>{kB, kB, 300 * 1024}));
  EXPECT_EQ(res.verifiedBytes, freeBytes);  // the tail is verified with its own digest
}

TEST(CapacityRun, FilesOfAtMostNBlocksEachVerifiedAndDeletedOnce) {
  {
    Medium medium(5 * kB, Medium::Beyond::kFiller);
    RecordingReporter r;
    CapacityResult res = RunOn(Options(5 * kB, CapacityMode::kCapacityCheck, 2), r);
    auto st = medium.stats();
    EXPECT_EQ(st.created, (std::vector<std::string>{kFile0, kFile1, kFile2}));
    for (const auto& f : {kFile0, kFile1, kFile2}) {
      EXPECT_EQ(st.readOpens[f], 1) << f;
      EXPECT_EQ(st.removes[f], 1) << f;
    }
    EXPECT_EQ(r.CountLogsStartingWith("校验文件："), 3);
    EXPECT_EQ(res.verifiedBytes, 5 * kB);
  }
  {
    // The block that fills the volume is also the last one its file may hold.
    Medium medium(4 * kB, Medium::Beyond::kFiller);
    RecordingReporter r;
    CapacityResult res = RunOn(Options(4 * kB, CapacityMode::kCapacityCheck, 2), r);
    auto st = medium.stats();
    EXPECT_EQ(st.created, (std::vector<std::string>{kFile0, kFile1}));
    EXPECT_EQ(st.readOpens[kFile0], 1);
    EXPECT_EQ(st.readOpens[kFile1], 1);
    EXPECT_EQ(st.removes[kFile1], 1);
    EXPECT_EQ(res.verifiedBytes, 4 * kB);
    EXPECT_EQ(r.Logs().back(), "处理结束！您的磁盘有效容量：64 MB (0.06 GB)");
  }
}

TEST(CapacityRun, WipeWritesOneFileAndReadsNothingBack) {
  Medium medium(4 * kB, Medium::Beyond::kFiller);
  RecordingReporter r;
  CapacityResult res = RunOn(Options(3 * kB + 64 * 1024, CapacityMode::kWipe, 2), r);
  auto st = medium.stats();
  EXPECT_EQ(st.created, (std::vector<std::string>{kFile0}));
  EXPECT_EQ(st.reads, 0);
  EXPECT_TRUE(st.readOpens.empty());
  EXPECT_EQ(st.removes[kFile0], 1);
  EXPECT_EQ(r.Logs(), (std::vector<std::string>{"准备填充...", "创建文件:" + kFile0, "收尾...64 KB", "清理数据中...",
                                                "处理结束！您的磁盘数据已毁尸灭迹！"}));
  EXPECT_EQ(res.writtenBytes, 3 * kB + 64 * 1024);
  EXPECT_EQ(res.verifiedBytes, 0u);
}

// Position of the first event at or after `from` (events.size() when there is none).
size_t FindEvent(const std::vector<std::string>& events, const std::string& event, size_t from = 0) {
  return static_cast<size_t>(std::find(events.begin() + static_cast<std::ptrdiff_t>(from), events.end(), event) -
                             events.begin());
}

// Each test file reaches the medium (sync after its last write) before it is read back, and
// a wipe's files before they are deleted; otherwise a verification can pass on data that a
// power loss would still take away.
TEST(CapacityRun, EveryFileIsSyncedAfterItsLastWriteBeforeReadBackOrRemoval) {
  for (CapacityMode mode : {CapacityMode::kCapacityCheck, CapacityMode::kWipe}) {
    Medium medium(4 * kB, Medium::Beyond::kFiller);
    RecordingReporter r;
    RunOn(Options(3 * kB + 64 * 1024, mode, 2), r);
    auto st = medium.stats();
    const auto& ev = st.events;
    ASSERT_FALSE(st.created.empty());
    for (const std::string& f : st.created) {
      const size_t lastWrite = static_cast<size_t>(std::find(ev.rbegin(), ev.rend(), "write:" + f).base() - ev.begin()) - 1;
      ASSERT_LT(lastWrite, ev.size()) << f;
      const size_t sync = FindEvent(ev, "sync:" + f, lastWrite);
      EXPECT_LT(sync, ev.size()) << f << " is never synced after its last write";
      EXPECT_LT(sync, FindEvent(ev, "remove:" + f)) << f;
      if (mode == CapacityMode::kCapacityCheck) {
        EXPECT_LT(sync, FindEvent(ev, "read-open:" + f)) << f;
        EXPECT_LT(FindEvent(ev, "read-open:" + f), ev.size()) << f << " is never read back";
      }
    }
  }
}

TEST(CapacityRun, DriveSmallerThanItClaimsStopsAfterElevenMismatches) {
  Medium medium(kB, Medium::Beyond::kFiller);  // holds one block, claims thirteen
  RecordingReporter r;
  CapacityResult res = RunOn(Options(13 * kB), r);

  auto logs = r.Logs();
  std::vector<std::string> mismatches;
  for (const auto& l : logs)
    if (l.find("文件检测到") != std::string::npos) mismatches.push_back(l);
  ASSERT_EQ(mismatches.size(), 11u);
  EXPECT_EQ(mismatches.front(), kFile0 + "文件检测到1个错误，位置：16 MB");
  EXPECT_EQ(mismatches.back(), kFile0 + "文件检测到11个错误，位置：176 MB");
  auto it = std::find(logs.begin(), logs.end(), mismatches.back());
  ASSERT_NE(it + 1, logs.end());
  EXPECT_EQ(*(it + 1), "错误过多，检测中断！");
  EXPECT_EQ(logs.back(), "清理数据中...");  // no capacity line for an aborted check
  EXPECT_TRUE(res.aborted);
  EXPECT_EQ(res.verifiedBytes, kB);
  EXPECT_FALSE(medium.Exists(kFile0));
}

TEST(CapacityRun, WrappingDriveCannotPassOffAnotherBlockAsItsOwn) {
  // Blocks 4 and 5 land where blocks 0 and 1 were: had blocks repeated, this would pass.
  Medium medium(4 * kB, Medium::Beyond::kWrap);
  RecordingReporter r;
  CapacityResult res = RunOn(Options(6 * kB), r);
  auto logs = r.Logs();
  EXPECT_TRUE(Contains(logs, kFile0 + "文件检测到1个错误，位置：0 MB"));
  EXPECT_TRUE(Contains(logs, kFile0 + "文件检测到2个错误，位置：16 MB"));
  EXPECT_TRUE(Contains(logs, "估计真实容量：约 64 MB（超出部分的写入回绕覆盖了前面的数据）"));
  EXPECT_EQ(logs.back(), "处理结束！您的磁盘有错误！");
  EXPECT_EQ(res.errors, 2);
  EXPECT_EQ(res.verifiedBytes, 4 * kB);
  EXPECT_FALSE(res.aborted);
}

TEST(CapacityRun, WriteErrorsAreCountedAndTheTenthStillFinishes) {
  {
    Medium medium(8 * kB, Medium::Beyond::kFiller);
    medium.FailWrite(1);
    medium.FailWrite(3);
    RecordingReporter r;
    CapacityResult res = RunOn(Options(5 * kB), r);
    auto logs = r.Logs();
    EXPECT_TRUE(Contains(logs, "文件写入错误！位置：64 MB"));
    EXPECT_TRUE(Contains(logs, "文件写入错误！位置：48 MB"));
    EXPECT_EQ(logs.back(), "处理结束！您的磁盘有错误！");
    EXPECT_EQ(res.errors, 2);
    EXPECT_EQ(res.verifiedBytes, 5 * kB);  // every block written is still intact
    // A failed write closes a file that holds blocks; the fill goes on in the next one.
    EXPECT_EQ(medium.stats().created, (std::vector<std::string>{kFile0, kFile1, kFile2}));
    for (const auto& f : {kFile0, kFile1, kFile2}) EXPECT_FALSE(medium.Exists(f));
  }
  {
    Medium medium(2 * kB, Medium::Beyond::kFiller);
    for (int i = 0; i < 11; ++i) medium.FailWrite(i);
    RecordingReporter r;
    // Wipe mode: the count is the same and the blocks need no digests.
    CapacityResult res = RunOn(Options(kB, CapacityMode::kWipe), r);
    EXPECT_EQ(r.CountLogsStartingWith("文件写入错误！位置：16 MB"), 10);
    EXPECT_EQ(r.CountLogsStartingWith("错误过多，检测中断！"), 1);
    EXPECT_EQ(r.Logs().back(), "清理数据中...");
    EXPECT_TRUE(res.aborted);
    EXPECT_EQ(medium.stats().removes[kFile0], 1);
  }
}

TEST(CapacityRun, WipeWithAWriteErrorDoesNotClaimTheDataIsGone) {
  Medium medium(4 * kB, Medium::Beyond::kFiller);
  medium.FailWrite(1);
  RecordingReporter r;
  CapacityResult res = RunOn(Options(3 * kB, CapacityMode::kWipe), r);
  EXPECT_EQ(res.errors, 1);
  EXPECT_EQ(r.Logs().back(), "处理结束！您的磁盘有错误！");
  EXPECT_EQ(medium.stats().created, (std::vector<std::string>{kFile0}));
}

// A drive that refuses to sync may have lost what it acknowledged: neither a clean
// capacity nor a completed wipe may be claimed.
TEST(CapacityRun, RefusedSyncIsAnErrorInBothModes) {
  for (CapacityMode mode : {CapacityMode::kCapacityCheck, CapacityMode::kWipe}) {
    Medium medium(4 * kB, Medium::Beyond::kFiller);
    medium.FailSyncs();
    RecordingReporter r;
    CapacityResult res = RunOn(Options(2 * kB, mode), r);
    EXPECT_GE(res.errors, 1);
    EXPECT_TRUE(Contains(r.Logs(), "文件同步失败！" + kFile0));
    EXPECT_EQ(res.verdict.kind, mode == CapacityMode::kWipe ? VerdictKind::kNone : VerdictKind::kErrors);
    EXPECT_EQ(r.Logs().back(), "处理结束！您的磁盘有错误！");
  }
}

TEST(CapacityRun, StopDuringFillOrVerificationEndsWithoutVerdict) {
  for (bool duringVerify : {false, true}) {
    Medium medium(4 * kB, Medium::Beyond::kFiller);
    RecordingReporter r;
    std::stop_source stop;
    CapacityOptions o = Options(4 * kB);
    o.stream = std::make_shared<PatternStream>(7);
    r.hook = [&](const testing::Event& c) {
      if (!duringVerify && c.kind == "remaining") stop.request_stop();
      if (duringVerify && c.kind == "log" && c.text.rfind("校验文件：", 0) == 0) stop.request_stop();
    };
    CapacityResult res = RunCapacityCheck(o, r, stop.get_token());
    auto logs = r.Logs();
    ASSERT_GE(logs.size(), 3u);
    EXPECT_EQ(logs[logs.size() - 2], "用户终止!");
    EXPECT_EQ(logs.back(), "清理数据中...");
    EXPECT_EQ(r.CountLogsStartingWith("校验文件："), duringVerify ? 1 : 0);
    EXPECT_TRUE(res.aborted);
    EXPECT_EQ(res.end, CapacityEnd::kAborted);
    EXPECT_EQ(res.verdict.kind, VerdictKind::kStopped);
    EXPECT_EQ(VerdictLine(res.verdict), "检测已被用户停止，无法得出结论。");
    EXPECT_FALSE(medium.Exists(kFile0));
    if (!duringVerify) {
      EXPECT_EQ(medium.stats().writeLengths.size(), 1u);
    }
  }
}

TEST(CapacityRun, MediumThatCannotTakeAFileKeepsWhatWasWritten) {
  {
    Medium medium(2 * kB, Medium::Beyond::kFiller);
    medium.RefuseCreateFrom(0);
    RecordingReporter r;
    CapacityResult res = RunOn(Options(2 * kB), r);
    EXPECT_EQ(r.Logs(), (std::vector<std::string>{"准备填充...", "创建文件:" + kFile0, "无法创建文件,介质只读或没有权限"}));
    EXPECT_EQ(res.end, CapacityEnd::kCreateFailed);
    EXPECT_TRUE(res.keptFiles.empty());
  }
  {
    Medium medium(3 * kB, Medium::Beyond::kFiller);
    medium.RefuseCreateFrom(1);
    RecordingReporter r;
    CapacityResult res = RunOn(Options(3 * kB, CapacityMode::kCapacityCheck, 1), r);
    EXPECT_EQ(r.Logs().back(), "无法创建文件,介质只读或没有权限");
    EXPECT_EQ(res.end, CapacityEnd::kCreateFailed);
    EXPECT_EQ(res.keptFiles, (std::vector<std::string>{kFile0}));
    EXPECT_TRUE(medium.Exists(kFile0));
    EXPECT_TRUE(medium.stats().removes.empty());
  }
}

TEST(CapacityRun, NoFreeSpaceDoesNothing) {
  Medium medium(kB, Medium::Beyond::kFiller);
  RecordingReporter r;
  CapacityResult res = RunOn(Options(0), r);
  EXPECT_EQ(r.Logs(), (std::vector<std::string>{"剩余0字节..."}));
  EXPECT_EQ(res.end, CapacityEnd::kNoFreeSpace);
  EXPECT_TRUE(medium.stats().created.empty());
}

TEST(CapacityRun, ReadErrorAbortsAndDeletes) {
  Medium medium(3 * kB, Medium::Beyond::kFiller);
  medium.FailReadsFrom(kB);
  RecordingReporter r;
  CapacityResult res = RunOn(Options(3 * kB), r);
  auto logs = r.Logs();
  ASSERT_GE(logs.size(), 3u);
  EXPECT_EQ(logs[logs.size() - 3], "读取错误!数据意外终止！");
  EXPECT_EQ(logs[logs.size() - 2], "估计真实容量：约 16 MB（超出部分无法读取）");
  EXPECT_EQ(logs.back(), "清理数据中...");
  EXPECT_TRUE(res.aborted);
  EXPECT_EQ(medium.stats().removes[kFile0], 1);
}

TEST(CapacityRun, FileSystemFullBeforeItsAnnouncedEnd) {
  {
    // Room runs out 64 KiB into the third block: what fitted is the tail, not a write error.
    Medium medium(4 * kB, Medium::Beyond::kFiller);
    medium.LimitSpace(2 * kB + 64 * 1024);
    RecordingReporter r;
    CapacityResult res = RunOn(Options(3 * kB), r);
    EXPECT_TRUE(Contains(r.Logs(), "收尾...16384 KB"));
    EXPECT_EQ(res.errors, 0);
    EXPECT_EQ(res.verifiedBytes, 2 * kB + 64 * 1024);
    EXPECT_EQ(r.Logs().back(), "处理结束！您的磁盘有效容量：32 MB (0.03 GB)");
  }
  {
    // Nothing of the tail fits: the fill ends, and only verified blocks count.
    Medium medium(4 * kB, Medium::Beyond::kFiller);
    medium.LimitSpace(2 * kB);
    RecordingReporter r;
    CapacityResult res = RunOn(Options(2 * kB + 64 * 1024), r);
    EXPECT_TRUE(Contains(r.Logs(), "收尾失败！请不要操作测试分区！validSpace: 65536 /n: 0"));
    EXPECT_EQ(res.verifiedBytes, 2 * kB);
    EXPECT_EQ(res.errors, 0);
    EXPECT_EQ(r.Logs().back(), "处理结束！您的磁盘有效容量：32 MB (0.03 GB)");
  }
}

TEST(CapacityRun, FreeSpaceTakenByAnotherProgramIsSaidToShrink) {
  // Another program took a block and more after Start: the small capacity is not clean.
  Medium medium(8 * kB, Medium::Beyond::kFiller);
  medium.LimitSpace(2 * kB);
  RecordingReporter r;
  CapacityResult res = RunOn(Options(4 * kB), r);
  EXPECT_TRUE(Contains(r.Logs(), "可用空间在检测过程中减少了32 MB（可能有其他程序占用），结果偏小！"));
  EXPECT_EQ(res.verifiedBytes, 2 * kB);
}

TEST(CapacityRun, FileSizeLimitContinuesInTheNextFile) {
  // FAT32 refuses files of 4 GiB and more: a wipe or check larger than one file goes on
  // in the next file instead of counting write errors until it gives up, whether the limit
  // cuts a block, falls exactly between two blocks or exactly where the tail begins.
  struct Case {
    const char* name;
    CapacityMode mode;
    uint64_t limit, freeBytes;
    std::vector<std::string> files;
    const char* lastLine;
  };
  const Case cases[] = {
      {"wipe, inside a block", CapacityMode::kWipe, 2 * kB + 64 * 1024, 5 * kB, {kFile0, kFile1, kFile2},
       "处理结束！您的磁盘数据已毁尸灭迹！"},
      {"check, inside a block", CapacityMode::kCapacityCheck, 2 * kB + 64 * 1024, 5 * kB, {kFile0, kFile1, kFile2},
       "处理结束！您的磁盘有效容量：80 MB (0.08 GB)"},
      {"check, at a block boundary", CapacityMode::kCapacityCheck, 2 * kB, 3 * kB, {kFile0, kFile1},
       "处理结束！您的磁盘有效容量：48 MB (0.05 GB)"},
      {"check, where the tail begins", CapacityMode::kCapacityCheck, 2 * kB, 2 * kB + 300 * 1024, {kFile0, kFile1},
       "处理结束！您的磁盘有效容量：32 MB (0.03 GB)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Medium medium(8 * kB, Medium::Beyond::kFiller);
    medium.LimitFileSize(c.limit);
    RecordingReporter r;
    CapacityResult res = RunOn(Options(c.freeBytes, c.mode), r);
    EXPECT_EQ(res.errors, 0);
    EXPECT_EQ(res.writtenBytes, c.freeBytes);
    EXPECT_EQ(res.verifiedBytes, c.mode == CapacityMode::kCapacityCheck ? c.freeBytes : 0u);
    EXPECT_EQ(medium.stats().created, c.files);
    for (const std::string& f : c.files) EXPECT_EQ(medium.stats().removes[f], 1) << f;
    EXPECT_EQ(r.Logs().back(), c.lastLine);
  }
}

TEST(CapacityRun, RunningOutOfBlockMemoryEndsTheRunInsteadOfHanging) {
  {
    // Not one block fits in memory: the run ends with the memory line, the file goes.
    Medium medium(4 * kB, Medium::Beyond::kFiller);
    RecordingReporter r;
    CapacityOptions o = Options(3 * kB);
    o.maxBlockBuffers = 0;
    auto done = std::async(std::launch::async, [&] { return RunOn(o, r); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the run hangs";
    CapacityResult res = done.get();
    EXPECT_TRUE(res.aborted);
    EXPECT_TRUE(Contains(r.Logs(), "内存不足,检测中断！"));
    EXPECT_EQ(medium.stats().removes[kFile0], 1);
  }
  {
    // One block at a time is slow but enough, for the fill and for the read-back, which
    // must neither give up nor blame the medium.
    Medium medium(4 * kB, Medium::Beyond::kFiller);
    RecordingReporter r;
    CapacityOptions o = Options(3 * kB);
    o.maxBlockBuffers = 1;
    auto done = std::async(std::launch::async, [&] { return RunOn(o, r); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the run hangs";
    EXPECT_EQ(done.get().verifiedBytes, 3 * kB);
    EXPECT_EQ(r.Logs().back(), "处理结束！您的磁盘有效容量：48 MB (0.05 GB)");
  }
}

TEST(CapacityRun, TailRefusedWholeIsRetriedWithTheRoomLeft) {
  // The file system's bookkeeping took 8 KiB of the announced room, and it refuses the
  // tail whole: the tail shrinks to the room the volume reports, no failure line.
  testing::FakeVolumes volumes;
  std::string root = ::testing::TempDir() + "sorvanta_capacity_tail";
  std::filesystem::create_directories(root);  // the volume layer reads its real statvfs
  volumes.Add(root, 56 * 1024);  // what the volume says is left once the blocks are in
  Medium medium(3 * kB, Medium::Beyond::kFiller);
  medium.LimitSpace(kB + 56 * 1024, true);
  RecordingReporter r;
  CapacityOptions o = Options(kB + 64 * 1024);
  o.root = root;
  CapacityResult res = RunOn(o, r);
  EXPECT_EQ(r.CountLogsStartingWith("收尾失败"), 0);
  EXPECT_EQ(medium.stats().writeLengths, (std::vector<uint64_t>{kB, 64 * 1024, 56 * 1024}));
  EXPECT_EQ(res.verifiedBytes, kB + 56 * 1024);
  EXPECT_EQ(res.errors, 0);
  std::filesystem::remove_all(root);
}

// What a user runs with; every other test shortens the pause and the files.
TEST(CapacityDefaults, FilesPauseAndLimitsOfARealRun) {
  CapacityOptions o;
  EXPECT_EQ(o.blocksPerFile, 100u);
  EXPECT_EQ(CapacityCheckConfig().endPauseMs, 2333u);
  EXPECT_EQ(o.mode, CapacityMode::kCapacityCheck);
  EXPECT_EQ(kCapacityBlockSize, 16777216u);
  EXPECT_EQ(kMaxRunErrors, 10);
  EXPECT_EQ(kTailAttempts, 100);
  EXPECT_EQ(kBlockQueueLimit, 10u);
}

TEST(CapacityTexts, FormatsOfTheFields) {
  EXPECT_EQ(CapacityTestFilePath("/media/u/USB", 3), "/media/u/USB/temp_3.tmp");
  EXPECT_EQ(CapacityTestFilePath("/", 0), "/temp_0.tmp");
  EXPECT_EQ(MegabytesText(3 * kB - 1), "47 MB");
  EXPECT_EQ(CapacitySpeedText(kB, 0), "-");
  EXPECT_EQ(CapacitySpeedText(kB, 500), "32.00 MB/s");  // 16 MiB in half a second
}

}  // namespace
}  // namespace sorvanta::capacity
