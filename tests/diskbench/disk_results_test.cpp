#include <gtest/gtest.h>

#include "diskbench/disk_results.h"

namespace sorvanta {
namespace {

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
  DiskResults r;
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

}  // namespace
}  // namespace sorvanta
