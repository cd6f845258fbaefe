#include "cpubench/cpu_history.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <optional>

#include "cpubench/exam_session.h"
#include "base/json_input.h"
#include "support/scoped_env_var.h"
#include "support/temp_dir.h"

namespace sorvanta::cpubench {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

// Local time in the rows: pin the zone so that the expected text is stable.
class UtcZone : public ::testing::Test {
 protected:
  void SetUp() override {
    tz_.emplace("TZ", "UTC");
    tzset();
  }
  void TearDown() override {
    tz_.reset();
    tzset();
  }
  std::optional<testing::ScopedEnvVar> tz_;
};

using CpuRecordRowsTest = UtcZone;

TEST(CpuHistoryAppend, FirstAndSecondAppendGiveTheExactBytesAndStayValidJson) {
  TempDir dir("cpuhist");
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.Path("cputest.bin");
  const std::string r1 = "{\"singlecore\":100,\"runtime\":1}";
  const std::string r2 = "{\r\n\"singlecore\" : 200\r\n}";
  ASSERT_TRUE(AppendCpuHistory(path, r1));
  EXPECT_EQ(ReadWholeFile(path), "[\r\n" + r1 + "\r\n]");
  ASSERT_TRUE(AppendCpuHistory(path, r2));
  EXPECT_EQ(ReadWholeFile(path), "[\r\n" + r1 + "\r\n" + ",\r\n" + r2 + "\r\n]");
  std::vector<CpuScoreRecord> h = LoadCpuHistory(path);
  ASSERT_EQ(h.size(), 2u);
  EXPECT_EQ(h[0].singlecore, 100);
  EXPECT_EQ(h[1].singlecore, 200);
}

TEST(CpuHistoryAppend, EmptyFileOrLineEndAfterTheArrayStillGivesOneValidArray) {
  TempDir dir("cpuhist");
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.Path("cputest.bin");
  ASSERT_TRUE(WriteWholeFile(path, ""));
  ASSERT_TRUE(AppendCpuHistory(path, "{\"singlecore\":1}"));
  EXPECT_EQ(ReadWholeFile(path), "[\r\n{\"singlecore\":1}\r\n]");

  { std::ofstream(path, std::ios::binary | std::ios::app) << "\r\n\n  "; }
  ASSERT_TRUE(AppendCpuHistory(path, "{\"singlecore\":2}"));
  EXPECT_EQ(ReadWholeFile(path), "[\r\n{\"singlecore\":1}\r\n,\r\n{\"singlecore\":2}\r\n]");
  EXPECT_EQ(LoadCpuHistory(path).size(), 2u);
}

TEST(CpuHistoryAppend, OnlyAWholeJsonObjectIsStoredSoOneBadReplyCannotHideTheHistory) {
  TempDir dir("cpuhist");
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.Path("cputest.bin");
  // The deepest object that parses on its own is one level too deep inside the array.
  auto nested = [](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "{\"a\":";
    return s + "1" + std::string(n, '}');
  };
  int deepest = 1;
  Json::Value parsed;
  while (deepest < 10000 && ParseJsonObjectText(nested(deepest + 1), &parsed)) ++deepest;
  for (const std::string& bad : {std::string("abc"), std::string("[1]"), std::string("{\"singlecore\":1"),
                                 std::string("{\"singlecore\":1}]"), std::string("null"), nested(deepest),
                                 // The reader stops at a NUL byte, which would cut the array short.
                                 std::string("{\"singlecore\":2} //\0\n\0: note", 28), std::string("{\"a\":1}\0]", 9)})
    EXPECT_FALSE(AppendCpuHistory(path, bad)) << bad;
  EXPECT_FALSE(std::ifstream(path).good());  // not even created

  ASSERT_TRUE(AppendCpuHistory(path, "{\"singlecore\":1}"));
  const std::string before = ReadWholeFile(path);
  EXPECT_FALSE(AppendCpuHistory(path, "{\"singlecore\":2}, {\"x\":3}"));
  EXPECT_EQ(ReadWholeFile(path), before);
  ASSERT_TRUE(AppendCpuHistory(path, "{\"singlecore\":3}"));
  std::vector<CpuScoreRecord> h = LoadCpuHistory(path);
  ASSERT_EQ(h.size(), 2u);
  EXPECT_EQ(h[1].singlecore, 3);
}

TEST(CpuHistoryAppend, UnwritableFolderStoresNothing) {
  EXPECT_FALSE(AppendCpuHistory("/nonexistent-folder-for-test/cputest.bin", "{}"));
}

TEST(CpuHistoryParse, ReadsEveryKeyAndToleratesMissingOrIllTypedOnes) {
  const std::string text = R"([
    // comments are allowed
    {"singlecore": 1234, "ratio": 1.5, "scoreratio": 0.25, "runtime": 1700000000.9,
     "multicore": [{"value": 10, "ratio": 0.5}, {"value": 20}],
     "maxsinglecore": 2000, "maxmulticore": 9000},
    {"singlecore": "many", "ratio": "x", "multicore": 5, "maxsinglecore": 1.5, "runtime": "soon"},
    7
  ])";
  std::vector<CpuScoreRecord> h = ParseCpuHistory(text);
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(h[0].singlecore, 1234);
  EXPECT_DOUBLE_EQ(h[0].ratio, 1.5);
  EXPECT_DOUBLE_EQ(h[0].scoreratio, 0.25);
  EXPECT_EQ(h[0].runtime, 1700000000);
  EXPECT_EQ(h[0].coreValues, (std::vector<int32_t>{10, 20}));
  EXPECT_EQ(h[0].coreRatios, (std::vector<double>{0.5, 0.0}));
  EXPECT_EQ(h[0].maxsinglecore, 2000);
  EXPECT_EQ(h[0].maxmulticore, 9000);
  EXPECT_EQ(h[1].singlecore, 0);
  EXPECT_EQ(h[1].ratio, 0);
  EXPECT_TRUE(h[1].coreValues.empty());
  EXPECT_EQ(h[1].maxsinglecore, 0);
  EXPECT_EQ(h[1].runtime, 0);
  EXPECT_EQ(h[2].singlecore, 0);
}

TEST(CpuHistoryParse, BrokenMissingOrNonArrayFilesGiveNoHistory) {
  EXPECT_TRUE(ParseCpuHistory("").empty());
  EXPECT_TRUE(ParseCpuHistory("[\r\n{\"singlecore\":1}\r\n").empty());
  EXPECT_TRUE(ParseCpuHistory("{\"singlecore\":1}").empty());
  // Nesting deep enough to make the reader throw reads as a file that does not parse.
  EXPECT_TRUE(ParseCpuHistory(std::string(1200, '[')).empty());
  EXPECT_TRUE(ParseCpuHistory(std::string(1200, '[') + std::string(1200, ']')).empty());
  EXPECT_TRUE(LoadCpuHistory("/nonexistent-folder-for-test/cputest.bin").empty());
}

TEST_F(CpuRecordRowsTest, FullRecordGivesEveryRowWithItsFormatting) {
  CpuScoreRecord r;
  r.singlecore = 1000;
  r.ratio = 1.23456;
  r.coreValues = {900, 1100};
  r.coreRatios = {0.9, 1.1005};
  r.runtime = 1765084509;  // 2025-12-07 05:15:09 UTC
  r.maxsinglecore = 3000;
  r.maxmulticore = 24000;
  std::vector<CpuRecordRow> rows = CpuRecordRows(r);
  std::vector<CpuRecordRow> want = {
      {"单核跑分", "1000", "1.235"}, {"核心0跑分", "900", "0.900"}, {"核心1跑分", "1100", "1.100"},
      {"多核总分", "2000", ""},      {"倍率", "2.00", ""},          {"跑分时间", "2025-12-07 05:15:09", ""},
      {"单核参考", "3000", ""},      {"多核参考", "24000", ""}};
  ASSERT_EQ(rows.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(rows[i].item, want[i].item) << i;
    EXPECT_EQ(rows[i].value, want[i].value) << i;
    EXPECT_EQ(rows[i].ratio, want[i].ratio) << i;
  }
}

TEST_F(CpuRecordRowsTest, EmptyMulticoreMissingReferenceAndZeroSinglecore) {
  CpuScoreRecord r = ParseCpuHistory(R"([{"singlecore": 500, "multicore": [], "runtime": 0}])").at(0);
  std::vector<CpuRecordRow> rows = CpuRecordRows(r);
  ASSERT_EQ(rows.size(), 4u);  // no core rows, no reference rows
  EXPECT_EQ(rows[1].item, "多核总分");
  EXPECT_EQ(rows[1].value, "0");
  EXPECT_EQ(rows[2].value, "0.00");
  EXPECT_EQ(rows[3].value, "1970-01-01 00:00:00");

  r.singlecore = 0;
  r.coreValues = {10};
  r.coreRatios = {1};
  EXPECT_EQ(CpuRecordRows(r)[3].value, "0.00");  // no division by zero
}

TEST(CpuRecordAge, LabelsAtTheBoundaries) {
  CpuScoreRecord r;
  r.runtime = 1000000;
  auto at = [&](long long d) { return CpuRecordAgeLabel(r, static_cast<std::time_t>(r.runtime + d)); };
  EXPECT_EQ(at(-500), "刚刚");
  EXPECT_EQ(at(0), "刚刚");
  EXPECT_EQ(at(59), "刚刚");
  EXPECT_EQ(at(60), "1 分钟前");
  EXPECT_EQ(at(3599), "59 分钟前");
  EXPECT_EQ(at(3600), "1.0 小时前");
  EXPECT_EQ(at(5400), "1.5 小时前");
  EXPECT_EQ(at(86399), "24.0 小时前");
  EXPECT_EQ(at(86400), "1.0 天前");
  EXPECT_EQ(at(86400 * 10 + 43200), "10.5 天前");
}

TEST(CpuRecordBrowse, WrapsBothWaysAndDoesNothingWithoutRecords) {
  EXPECT_EQ(PreviousRecordIndex(0, 3), 2);
  EXPECT_EQ(PreviousRecordIndex(2, 3), 1);
  EXPECT_EQ(NextRecordIndex(2, 3), 0);
  EXPECT_EQ(NextRecordIndex(0, 1), 0);
  EXPECT_EQ(PreviousRecordIndex(0, 1), 0);
  EXPECT_EQ(NextRecordIndex(-1, 0), -1);
  EXPECT_EQ(PreviousRecordIndex(-1, 0), -1);
}

}  // namespace
}  // namespace sorvanta::cpubench
