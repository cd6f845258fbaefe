// The real capacity of fake drives: whole runs over simulated drives that wrap, drop writes,
// read back zeros, damage data or fail reads, and the verdict each one gets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>

#include "capacity/capacity_run.h"
#include "capacity/real_capacity.h"
#include "support/recording_events.h"
#include "support/simulated_medium.h"

namespace sorvanta::capacity {
namespace {

using FakeMedium = testing::SimulatedMedium;
using RecordingReporter = testing::RecordingCapacityEvents;

constexpr uint64_t kB = kCapacityBlockSize;
constexpr uint64_t kMiB = 1024 * 1024;

struct FakeDrive {
  const char* name;
  uint64_t realSize;  // what the drive really holds
  FakeMedium::Beyond beyond;
  std::function<void(FakeMedium&)> setup;
  uint64_t claimed;  // free bytes the volume announces
  const char* kind;  // "failureKind" of the verdict
  const char* why;   // the reason in the log line
  bool aborts;       // the check itself aborts ("错误过多，检测中断！" or a read error)
  uint64_t VerdictBreakdown::*lost;  // where the breakdown puts what the drive did not keep
  uint64_t deviceSize = 0;  // the simulated device, when larger than the data it keeps intact
};

TEST(RealCapacity, FakeDrivesGetAnEstimateWithinOneBlock) {
  const FakeDrive drives[] = {
      {"wrap", 2 * kB, FakeMedium::Beyond::kWrap, nullptr, 13 * kB, "wrap",
       "超出部分的写入回绕覆盖了前面的数据", true, &VerdictBreakdown::overwrittenBytes},
      // 2.5 blocks: tags land on pattern bytes, except every second lap where they meet
      // another block's tag five blocks on; the estimate must not take that for the period.
      {"wrap, period not a whole number of blocks", 5 * kB / 2, FakeMedium::Beyond::kWrap, nullptr, 6 * kB,
       "wrap", "超出部分的写入回绕覆盖了前面的数据", false, &VerdictBreakdown::lostBytes},
      {"drop", 3 * kB + 512 * 1024, FakeMedium::Beyond::kFiller, nullptr, 5 * kB, "drop",
       "超出部分的写入被丢弃，读回的不是写入的数据", false, &VerdictBreakdown::lostBytes},
      {"zeros", 2 * kB, FakeMedium::Beyond::kZeros, nullptr, 4 * kB, "drop",
       "超出部分的写入被丢弃，读回的不是写入的数据", false, &VerdictBreakdown::lostBytes},
      {"corrupt", 3 * kB, FakeMedium::Beyond::kFiller, [](FakeMedium& m) { m.CorruptReadsFrom(3 * kB); }, 4 * kB,
       "corrupt", "超出部分读回的数据已损坏", false, &VerdictBreakdown::damagedBytes, 4 * kB},
      {"read error", 2 * kB + 100 * 4096, FakeMedium::Beyond::kFiller,
       [](FakeMedium& m) { m.FailReadsFrom(2 * kB + 100 * 4096); }, 4 * kB, "readError", "超出部分无法读取", true,
       &VerdictBreakdown::unreadableBytes},
  };
  for (const FakeDrive& d : drives) {
    SCOPED_TRACE(d.name);
    FakeMedium medium(d.deviceSize ? d.deviceSize : d.realSize, d.beyond);
    if (d.setup) d.setup(medium);
    CapacityOptions o;
    o.root = "/fake";
    o.freeBytes = d.claimed;
    o.generatorThreads = 2;
    o.hashThreads = 2;
    o.stream = std::make_shared<PatternStream>(4242);
    RecordingReporter r;
    CapacityResult res = RunCapacityCheck(o, r, std::stop_token());

    EXPECT_EQ(FailureKindName(res.realCapacity.kind), d.kind);
    const uint64_t estimate = res.realCapacity.estimateBytes;
    EXPECT_LT(estimate > d.realSize ? estimate - d.realSize : d.realSize - estimate, kB)
        << "estimate " << estimate << " real " << d.realSize;
    // The line comes once, after the check's own messages and before the clean-up.
    std::vector<std::string> logs = r.Logs();
    const std::string line = "估计真实容量：约 " + std::to_string(estimate / kMiB) + " MB（" + d.why + "）";
    auto at = std::find(logs.begin(), logs.end(), line);
    ASSERT_NE(at, logs.end()) << line;
    EXPECT_EQ(r.CountLogsStartingWith("估计真实容量"), 1);
    ASSERT_NE(at + 1, logs.end());
    EXPECT_EQ(*(at + 1), "清理数据中...");
    EXPECT_EQ(res.aborted, d.aborts);
    if (d.aborts) {
      EXPECT_NE(at, logs.begin());
      EXPECT_TRUE(*(at - 1) == "错误过多，检测中断！" || *(at - 1) == "读取错误!数据意外终止！") << *(at - 1);
    } else {
      EXPECT_EQ(logs.back(), "处理结束！您的磁盘有错误！");
    }
    EXPECT_FALSE(medium.Exists("/fake/temp_0.tmp"));

    // The verdict: the same kind and estimate, and every byte written accounted for once.
    const Verdict& v = res.verdict;
    EXPECT_EQ(v.kind, VerdictKind::kFailed);
    EXPECT_EQ(v.failure, res.realCapacity.kind);
    EXPECT_EQ(v.estimateBytes, estimate);
    EXPECT_EQ(v.claimedBytes, d.claimed);
    ASSERT_TRUE(v.breakdownKnown);
    EXPECT_EQ(v.breakdown.Total(), res.writtenBytes);
    EXPECT_GT(v.breakdown.*d.lost, 0u);
    EXPECT_LE(v.breakdown.intactBytes, d.realSize);
    EXPECT_EQ(VerdictLine(v).rfind("检测结束：", 0), 0u) << VerdictLine(v);
  }
}

// Only a later block's data in place of an earlier one is a wrap (the later write landed
// on it); an earlier block's data read back past the real end is damage, and the blocks
// before it still count.
TEST(RealCapacity, AnotherBlocksDataIsAWrapOnlyWhenThatBlockCameLater) {
  auto own = [] { return BlockFate{BlockFate::kOwn, 0, static_cast<uint32_t>(kB)}; };
  auto holds = [](size_t other) { return BlockFate{BlockFate::kOther, other, static_cast<uint32_t>(kB)}; };
  struct Case {
    const char* name;
    std::vector<BlockFate> fates;
    const char* kind;  // "failureKind" of the verdict
    uint64_t estimate;
  };
  const Case cases[] = {
      {"blocks 2 and 3 landed on 0 and 1", {holds(2), holds(3), own(), own()}, "wrap", 2 * kB},
      {"block 3 landed on 1 behind an intact block", {own(), holds(3), own(), own()}, "wrap", 2 * kB},
      {"blocks 0 and 1 read back past the end", {own(), own(), holds(0), holds(1)}, "corrupt", 2 * kB},
      {"block 0 read back in place of the last", {own(), own(), own(), holds(0)}, "corrupt", 3 * kB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CapacityVerdict v = JudgeBlockFates(c.fates);
    EXPECT_EQ(FailureKindName(v.kind), c.kind);
    EXPECT_EQ(v.estimateBytes, c.estimate);
  }
}

TEST(RealCapacity, NoVerdictAfterAUserStop) {
  // Stopped while the check is finding a wrap: the user asked to end, not to wait.
  FakeMedium medium(kB, FakeMedium::Beyond::kWrap);
  CapacityOptions o;
  o.root = "/fake";
  o.freeBytes = 4 * kB;
  o.stream = std::make_shared<PatternStream>(1);
  RecordingReporter r;
  std::stop_source stop;
  r.hook = [&](const testing::Event& c) {
    if (c.kind == "log" && c.text.find("文件检测到2个错误") != std::string::npos) stop.request_stop();
  };
  CapacityResult res = RunCapacityCheck(o, r, stop.get_token());
  EXPECT_EQ(res.realCapacity.kind, FailureKind::kNone);
  EXPECT_EQ(res.verdict.kind, VerdictKind::kStopped);
  EXPECT_EQ(r.CountLogsStartingWith("估计真实容量"), 0);
  EXPECT_EQ(r.CountLogsStartingWith("用户终止!"), 1);
}

}  // namespace
}  // namespace sorvanta::capacity
