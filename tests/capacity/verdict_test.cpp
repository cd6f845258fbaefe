// The verdict's text and JSON as a user and a script read them.
#include <gtest/gtest.h>

#include <cmath>

#include "capacity/disk_probe.h"
#include "capacity/verdict.h"
#include "platform/paths.h"

namespace sorvanta::capacity {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// A drive that wrapped: 64 of 256 MiB real, the rest overwritten by the run's own data.
Verdict WrapVerdict() {
  Verdict wrap;
  wrap.kind = VerdictKind::kFailed;
  wrap.failure = FailureKind::kWrap;
  wrap.claimedBytes = 256 * kMiB;
  wrap.estimateBytes = 64 * kMiB;
  wrap.breakdownKnown = true;
  wrap.breakdown = {64 * kMiB, 176 * kMiB, 16 * kMiB, 0, 0};
  wrap.writeMBps = 30;
  return wrap;
}

TEST(Verdict, LineAndJsonForEachKind) {
  Verdict passed;
  passed.kind = VerdictKind::kPassed;
  passed.claimedBytes = passed.estimateBytes = 7577ull * kMiB;
  passed.breakdownKnown = true;
  passed.breakdown.intactBytes = passed.estimateBytes;
  passed.writeMBps = 21.456;
  passed.readMBps = 95.1;

  Verdict wrap = WrapVerdict();

  Verdict drop = wrap;
  drop.failure = FailureKind::kDrop;
  drop.breakdown = {64 * kMiB, 0, 190 * kMiB, 0, 2 * kMiB};

  Verdict stopped;
  stopped.kind = VerdictKind::kStopped;
  stopped.writeMBps = 12;

  struct Case {
    const Verdict& verdict;
    const char* line;
    const char* kind;  // "verdict" in JSON; null for none
  } cases[] = {
      {passed, "检测完成，未发现错误。有效容量 7.40 GB（可用空间 7.40 GB），平均写入 21.46 MB/s，平均读取 95.10 MB/s",
       "passed"},
      {wrap,
       "检测结束：疑似扩容盘（超出部分的写入回绕覆盖了前面的数据），真实容量约 0.06 GB（可用空间 0.25 GB）。"
       "完好 64 MB，被本次其他数据覆盖 176 MB，丢失 16 MB，无法读取 0 MB。平均写入 30.00 MB/s，平均读取 -",
       "failed"},
      {drop,
       "检测结束：疑似扩容盘（超出部分的写入被丢弃），真实容量约 0.06 GB（可用空间 0.25 GB）。"
       "完好 64 MB，被本次其他数据覆盖 0 MB，丢失 190 MB，无法读取 0 MB，损坏 2 MB。平均写入 30.00 MB/s，平均读取 -",
       "failed"},
      {stopped, "检测已被用户停止，无法得出结论。", "stopped"},
      {Verdict{}, "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(VerdictLine(c.verdict), c.line);
    Json::Value out;
    AddVerdictJson(c.verdict, &out);
    EXPECT_EQ(out.getMemberNames(), (std::vector<std::string>{"breakdown", "failureKind", "readMBps",
                                                              "realCapacityEstimate", "verdict", "verdictText",
                                                              "writeMBps"}));
    EXPECT_EQ(out["verdict"].isNull(), c.kind == nullptr);
    if (c.kind) {
      EXPECT_EQ(out["verdict"].asString(), c.kind);
    }
    EXPECT_EQ(out["verdictText"].asString(), c.line);
    EXPECT_DOUBLE_EQ(out["writeMBps"].asDouble(), std::round(c.verdict.writeMBps * 100) / 100);
  }

  // Only a drive that lost data has an estimate and a kind of failure; the breakdown in bytes.
  Json::Value out;
  AddVerdictJson(wrap, &out);
  EXPECT_EQ(out["realCapacityEstimate"].asUInt64(), 64 * kMiB);
  EXPECT_EQ(out["failureKind"].asString(), "wrap");
  EXPECT_EQ(out["breakdown"].getMemberNames(), (std::vector<std::string>{"damagedBytes", "intactBytes", "lostBytes",
                                                                         "overwrittenBytes", "unreadableBytes"}));
  EXPECT_EQ(out["breakdown"]["overwrittenBytes"].asUInt64(), 176 * kMiB);
  AddVerdictJson(passed, &out);
  EXPECT_TRUE(out["realCapacityEstimate"].isNull());
  EXPECT_TRUE(out["failureKind"].isNull());
  EXPECT_EQ(out["writeMBps"].asDouble(), 21.46);
  AddVerdictJson(stopped, &out);
  EXPECT_TRUE(out["breakdown"].isNull());
}

// In English people read English while the JSON keeps the Chinese line, and the window says a
// helper's (Chinese) JSON verdict again in English only when its keys tell the whole line.
TEST(Verdict, EnglishShownChineseKept) {
  ASSERT_TRUE(UseLanguage(Language::kEnglish, platform::CatalogueFolder())) << "the catalogue target builds it";
  struct Chinese {
    ~Chinese() { UseLanguage(Language::kChinese, platform::CatalogueFolder()); }
  } back;
  Verdict wrap = WrapVerdict();
  const Message m = VerdictMessage(wrap);
  EXPECT_EQ(m.shown,
            "Check finished: probably a fake drive (writes past its real size wrapped around over earlier data), real "
            "capacity about 0.06 GB (free space 0.25 GB). Intact 64 MB, overwritten by other data of this run 176 MB, "
            "lost 16 MB, unreadable 0 MB. Average write 30.00 MB/s, average read -");
  Json::Value out;
  AddVerdictJson(wrap, &out);
  EXPECT_EQ(out["verdictText"].asString(),
            "检测结束：疑似扩容盘（超出部分的写入回绕覆盖了前面的数据），真实容量约 0.06 GB（可用空间 0.25 GB）。"
            "完好 64 MB，被本次其他数据覆盖 176 MB，丢失 16 MB，无法读取 0 MB。平均写入 30.00 MB/s，平均读取 -");
  EXPECT_EQ(m.source, out["verdictText"].asString());

  ProbeResult probe;
  probe.verdict = wrap;
  probe.verdict.quick = true;
  probe.verdict.seconds = 2.96;
  probe.verdict.bytesWritten = 70 * kMiB;
  probe.error = "Not enough memory";
  probe.errorSource = "没有足够的内存";
  Json::Value json = ProbeJson("/dev/sdz", probe);
  EXPECT_EQ(json["error"].asString(), "没有足够的内存");
  EXPECT_EQ(ShownProbeError(json["error"].asString()), "Not enough memory");
  EXPECT_EQ(ShownProbeError("设备忙"), "设备忙");
  const std::string english =
      "Quick probe: probably a fake drive, real capacity about 0.06 GB (claims 0.25 GB), writes past its real size "
      "wrapped around over earlier data. Took 3 s, wrote 70 MB.";
  EXPECT_EQ(ProbeVerdictLine(json), english);
  json.removeMember("failureKind");  // the line no longer follows from the keys: kept as it came
  EXPECT_EQ(ProbeVerdictLine(json), json["verdictText"].asString());
  EXPECT_EQ(ProbeVerdictLine(Json::Value()), "");
}

}  // namespace
}  // namespace sorvanta::capacity
