#include <gtest/gtest.h>

#include "diskbench/disk_history.h"
#include "diskbench/disk_results.h"

namespace sorvanta {
namespace {

using namespace diskbench;

TEST(DiskResults, ByteSizes) {
  EXPECT_EQ(ParseByteSize("1048576"), 1048576u);
  EXPECT_EQ(ParseByteSize("4K"), 4096u);
  EXPECT_EQ(ParseByteSize("3m"), 3u << 20);
  EXPECT_EQ(ParseByteSize("20G"), 21474836480ull);
  for (const char* bad : {"", "0", "0G", "G", "-5", "12KB", "1.5G", "12 K", "99999999999999999999",
                          "17179869184G"})
    EXPECT_FALSE(ParseByteSize(bad).has_value()) << bad;
}

TEST(DiskResults, JsonHasTheSubmissionKeysNullForUntestedAndIops) {
  DiskCells r;
  r.SetCell(1, 812.3449);
  r.SetCell(2, std::nullopt);  // "未测试"
  r.SetCell(4, 1.0);
  r.SetCell(1, 900.0);          // a later cell replaces the earlier one (cache-drop peak)
  r.SetCell(9, 5.0);            // ignored
  Json::Value j = r.ToJson();
  EXPECT_DOUBLE_EQ(j["linerbufferwrite"].asDouble(), 900.0);
  EXPECT_TRUE(j["linernobufferwrite"].isNull());
  EXPECT_TRUE(j["linerread"].isNull());
  EXPECT_DOUBLE_EQ(j["fourkwrite"].asDouble(), 1.0);
  EXPECT_EQ(j["iops"]["fourkwrite"].asUInt64(), 256u);
  EXPECT_TRUE(j["iops"]["mtfourkread"].isNull());
  EXPECT_FALSE(j["iops"].isMember("linerread"));
  // The keys exactly as a script (and the service) reads them.
  using Names = std::vector<std::string>;
  EXPECT_EQ(j.getMemberNames(), (Names{"fourkread", "fourkwrite", "iops", "linerbufferwrite", "linernobufferwrite",
                                       "linerread", "mtfourkread", "mtfourkwrite"}));
  EXPECT_EQ(j["iops"].getMemberNames(), (Names{"fourkread", "fourkwrite", "mtfourkread", "mtfourkwrite"}));
  EXPECT_EQ(r.Text(1), "900.00MB/s");
  EXPECT_EQ(r.Text(2), "未测试");
  EXPECT_EQ(r.Text(7), "未测试");
  r.SetCell(3, 123.456);
  EXPECT_DOUBLE_EQ(r.ToJson()["linerread"].asDouble(), 123.46);
}

// A cell's text is "%.2f" of the figure itself (not narrowed first), and the submitted
// figure is that text read back in single precision, as the service has always been sent.
TEST(DiskResults, CellTextAndSubmittedFigureRoundThroughTheText) {
  struct Case {
    std::optional<double> mbps;
    const char* text;
    double figure;
  };
  const Case cases[] = {
      {100.125, "100.12MB/s", 100.12000274658203},            // a tie: the exact binary value rounds to even
      {812.345, "812.35MB/s", 812.3499755859375},             // just above the tie in double, below it in float
      {2.675, "2.67MB/s", 2.6700000762939453},                // just below the tie
      {0.005, "0.01MB/s", 0.009999999776482582},
      {123456789.125, "123456789.12MB/s", 123456792.0},       // past float's 24 bits
      {0.004, "0.00MB/s", 0.0},
      {1e-300, "0.00MB/s", 0.0},
      {std::nullopt, "未测试", 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DiskCellText(c.mbps), c.text);
    EXPECT_EQ(DiskCellFigure(c.mbps), c.figure);
    EXPECT_EQ(CellNumber(c.text), c.figure);  // a stored history text reads back the same
  }
}

}  // namespace
}  // namespace sorvanta
