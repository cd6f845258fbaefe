#include "base/text.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

using Pieces = std::vector<std::string>;

TEST(SplitPieces, RunsOfSeparatorsCountOnceAndNoEmptyPieces) {
  EXPECT_EQ(SplitPieces("a||b||c", "||"), (Pieces{"a", "b", "c"}));
  EXPECT_EQ(SplitPieces("a|||||b", "||"), (Pieces{"a", "b"}));
  EXPECT_EQ(SplitPieces("||a||", "||"), (Pieces{"a"}));
  EXPECT_EQ(SplitPieces("", "||"), Pieces{});
  EXPECT_EQ(SplitPieces("abc", "||"), (Pieces{"abc"}));
  EXPECT_EQ(SplitPieces("a|b", "||"), (Pieces{"a|b"}));  // one "|" is not a separator
  EXPECT_EQ(SplitPieces("l1\r\n\r\nl2\r\n", "\r\n"), (Pieces{"l1", "l2"}));
  EXPECT_EQ(SplitPieces("1,2,,3", ","), (Pieces{"1", "2", "3"}));
}

TEST(NumberText, IntegersAndSinglePrecision) {
  EXPECT_EQ(IntText(-42), "-42");
  EXPECT_EQ(FloatText(1.005), "1.00");  // narrowed to float first: 1.00499999...
  EXPECT_EQ(FloatText(123.456), "123.46");
  EXPECT_EQ(FloatText(0), "0.00");
}

TEST(Utf8, Rfc2279WellFormedness) {
  EXPECT_TRUE(IsWellFormedUtf8("plain ascii"));
  EXPECT_TRUE(IsWellFormedUtf8("跑分结果"));
  EXPECT_TRUE(IsWellFormedUtf8("\xC0\x80"));              // overlong forms are not checked
  EXPECT_TRUE(IsWellFormedUtf8("\xFC\x80\x80\x80\x80\x80"));  // six-byte form
  EXPECT_FALSE(IsWellFormedUtf8("\xE8\xB7"));             // cut short
  EXPECT_FALSE(IsWellFormedUtf8("\x80"));                 // continuation in lead position
  EXPECT_FALSE(IsWellFormedUtf8("\xFE"));
  EXPECT_FALSE(IsWellFormedUtf8("\xC3\x28"));
}

TEST(LineEnds, EveryLfBecomesCrLf) {
  EXPECT_EQ(LfToCrLf("ok\n"), "ok\r\n");
  EXPECT_EQ(LfToCrLf("a\r\nb"), "a\r\r\nb");
  EXPECT_EQ(LfToCrLf("\n\n"), "\r\n\r\n");
  EXPECT_EQ(ConvertReplyText("结果\n"), "结果\r\n");
}

TEST(Gbk, RoundTripAndUnmappable) {
  std::string gbk = Utf8ToGbk("文件损坏,ms");
  EXPECT_EQ(gbk, "\xCE\xC4\xBC\xFE\xCB\xF0\xBB\xB5,ms");
  EXPECT_EQ(GbkToUtf8(gbk), "文件损坏,ms");
  EXPECT_EQ(Utf8ToGbk("a😀b"), "a?b");
}

}  // namespace
}  // namespace sorvanta
