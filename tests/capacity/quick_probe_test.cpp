// The quick probe on drives in memory: it names each kind of fake with an estimate within
// its precision, finds nothing on an honest drive, leaves every sector as it was, and puts
// back what a crash left in its backup file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include <json/json.h>

#include "capacity/quick_probe.h"
#include "memory_drive.h"
#include "support/temp_dir.h"

namespace sorvanta::capacity {
namespace {

using testing::MemoryDrive;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;

class NullProbeEvents : public ProbeEvents {
 public:
  void Log(const std::string&) override {}
  void Progress(int) override {}
};

struct ProbeCase {
  const char* name;
  uint64_t claimed, real;
  MemoryDrive::Mode mode;
  uint64_t cache;
  VerdictKind kind;
  FailureKind failure;
};

TEST(QuickProbe, FindsEachFakeWithinItsPrecisionAndLeavesTheDriveAsItWas) {
  const ProbeCase cases[] = {
      {"honest", 4 * kGiB, 4 * kGiB, MemoryDrive::kHonest, 0, VerdictKind::kPassed, FailureKind::kNone},
      {"wrap 4G/256M", 4 * kGiB, 256 * kMiB, MemoryDrive::kWrap, 0, VerdictKind::kFailed, FailureKind::kWrap},
      {"wrap 1G/512M", 1 * kGiB, 512 * kMiB, MemoryDrive::kWrap, 0, VerdictKind::kFailed, FailureKind::kWrap},
      {"wrap 2T/16G", 2048 * kGiB, 16 * kGiB, MemoryDrive::kWrap, 0, VerdictKind::kFailed, FailureKind::kWrap},
      {"wrap behind a 60M cache", 2 * kGiB, 128 * kMiB, MemoryDrive::kWrap, 60 * kMiB, VerdictKind::kFailed,
       FailureKind::kWrap},
      {"drop 1G/300M", 1 * kGiB, 300 * kMiB, MemoryDrive::kDrop, 0, VerdictKind::kFailed, FailureKind::kDrop},
      {"drop 1T/61G behind a cache", 1024 * kGiB, 61 * kGiB, MemoryDrive::kDrop, 8 * kMiB, VerdictKind::kFailed,
       FailureKind::kDrop},
      {"unreadable 2G/700M", 2 * kGiB, 700 * kMiB, MemoryDrive::kUnreadable, 0, VerdictKind::kFailed,
       FailureKind::kReadError},
  };
  for (const ProbeCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir("probe");
    MemoryDrive drive(c.claimed, c.real, c.mode, c.cache);
    NullProbeEvents events;
    ProbeOptions options;
    options.backupPath = dir.Path("backup");
    options.deviceName = "/dev/memory";
    ProbeResult r = RunQuickProbe(drive, options, events, {});
    EXPECT_EQ(r.error, "");
    EXPECT_TRUE(r.restored);
    EXPECT_EQ(r.verdict.kind, c.kind);
    EXPECT_EQ(r.verdict.failure, c.failure);
    EXPECT_TRUE(r.verdict.quick);
    if (c.kind == VerdictKind::kFailed) {
      const uint64_t precision = std::max(c.claimed / 100, 64 * kMiB);
      EXPECT_LE(std::llabs(static_cast<long long>(r.verdict.estimateBytes - c.real)),
                static_cast<long long>(precision))
          << r.verdict.estimateBytes;
      if (c.failure == FailureKind::kWrap && (c.real & (c.real - 1)) == 0) {
        EXPECT_EQ(r.verdict.estimateBytes, c.real);
      }
    }
    EXPECT_EQ(drive.ChangedSectors(), 0u);
    EXPECT_EQ(r.verdict.bytesWritten, drive.bytesWritten);
    EXPECT_LT(drive.bytesWritten, 300 * kMiB);  // flush data and its restore in two rounds, a few sectors
    EXPECT_FALSE(std::ifstream(options.backupPath).good());
  }
}

TEST(QuickProbe, BackupOfACrashedProbeIsWrittenBackOnlyToItsOwnDrive) {
  NullProbeEvents events;
  ProbeOptions options;
  options.flushBytes = 4 * kMiB;
  options.deviceName = "/dev/memory";
  int64_t all = 0;
  {
    testing::TempDir dir("probe");
    options.backupPath = dir.Path("backup");
    MemoryDrive drive(2 * kGiB, 256 * kMiB, MemoryDrive::kWrap);
    RunQuickProbe(drive, options, events, {});
    all = drive.writes;
  }
  // Crash at the first write, among the test sectors, the wrapped places, the flush data,
  // and while the probe writes back (in its first or its last round).
  for (int64_t writes : {int64_t{0}, all / 8, all / 4, all / 3, all / 2, all - 1}) {
    SCOPED_TRACE(writes);
    testing::TempDir dir("probe");
    options.backupPath = dir.Path("backup");
    MemoryDrive drive(2 * kGiB, 256 * kMiB, MemoryDrive::kWrap);
    drive.DieAfterWrites(writes);
    ProbeResult r = RunQuickProbe(drive, options, events, {});
    EXPECT_FALSE(r.restored);
    EXPECT_NE(r.verdict.kind, VerdictKind::kFailed);
    ASSERT_EQ(ProbeBackupDevice(options.backupPath).value_or(""), "/dev/memory");

    // Another drive of the same size under that name is refused, and nothing is written.
    MemoryDrive other(2 * kGiB, 256 * kMiB, MemoryDrive::kWrap, 0, 99);
    Status wrong = RestoreProbeBackup(options.backupPath, other);
    EXPECT_FALSE(wrong.ok());
    EXPECT_NE(wrong.message().find("不是备份时的磁盘"), std::string::npos) << wrong.message();
    EXPECT_EQ(other.bytesWritten, 0u);

    drive.Revive();
    Status back = RestoreProbeBackup(options.backupPath, drive);
    EXPECT_TRUE(back.ok()) << back.message();
    EXPECT_EQ(drive.ChangedSectors(), 0u);
    EXPECT_FALSE(std::ifstream(options.backupPath).good());
  }
}

TEST(QuickProbe, VerdictNeverCallsADriveGood) {
  Verdict fake;
  fake.quick = true;
  fake.kind = VerdictKind::kFailed;
  fake.failure = FailureKind::kWrap;
  fake.claimedBytes = 4 * kGiB;
  fake.estimateBytes = 256 * kMiB;
  fake.seconds = 12.34;
  fake.bytesWritten = 70 * kMiB;
  Verdict none = fake;
  none.kind = VerdictKind::kPassed;
  none.failure = FailureKind::kNone;
  none.estimateBytes = none.claimedBytes;

  EXPECT_EQ(VerdictLine(fake),
            "快速鉴定：疑似扩容盘，真实容量约 0.25 GB（标称 4.00 GB），超出部分的写入回绕覆盖了前面的数据。"
            "用时 12 秒，写入 70 MB。");
  EXPECT_EQ(VerdictLine(none), "快速鉴定未发现扩容迹象；完整检测才能确认每个字节。用时 12 秒，写入 70 MB。");
  Json::Value f, n;
  AddVerdictJson(fake, &f);
  AddVerdictJson(none, &n);
  EXPECT_EQ(f["verdict"].asString(), "failed");
  EXPECT_EQ(f["failureKind"].asString(), "wrap");
  EXPECT_EQ(f["realCapacityEstimate"].asUInt64(), 256 * kMiB);
  EXPECT_EQ(f["bytesWritten"].asUInt64(), 70 * kMiB);
  EXPECT_DOUBLE_EQ(f["seconds"].asDouble(), 12.3);
  EXPECT_TRUE(f["quick"].asBool());
  EXPECT_EQ(n["verdict"].asString(), "noSignOfFake");
  EXPECT_TRUE(n["realCapacityEstimate"].isNull());
  for (const char* key : {"verdictText", "writeMBps", "readMBps", "breakdown"}) EXPECT_TRUE(n.isMember(key)) << key;
}

}  // namespace
}  // namespace sorvanta::capacity
