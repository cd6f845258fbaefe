// JSON texts from outside: hostile nesting must fail quietly, honest texts must parse.
#include "base/json_input.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include <string>

namespace sorvanta {
namespace {

std::string Nested(int depth, const std::string& open, const std::string& inner, const std::string& close) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += inner;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

TEST(JsonInput, DeepNestingFailsWithoutThrowingAndShallowNestingParses) {
  Json::Value v(42);
  // Past the old reader's own limit of 1000 levels, which it enforced by throwing.
  EXPECT_FALSE(ParseJsonInput(Nested(1200, "[", "", ""), &v));
  EXPECT_TRUE(v.isNull());
  EXPECT_FALSE(ParseJsonInput(Nested(1200, "[", "1", "]"), &v));
  EXPECT_FALSE(ParseJsonInput(Nested(200000, "{\"a\":", "1", "}"), &v));
  EXPECT_FALSE(ParseJsonObjectText(Nested(1200, "{\"a\":", "1", "}"), &v));
  EXPECT_FALSE(ParseJsonInput(Nested(kJsonInputDepthLimit + 2, "[", "1", "]"), &v));

  ASSERT_TRUE(ParseJsonInput(Nested(20, "[", "7", "]"), &v));
  for (int i = 0; i < 20; ++i) v = Json::Value(v[0]);
  EXPECT_EQ(v.asInt(), 7);
}

TEST(JsonInput, CommentsAndTrailingTextAsTheReaderAlwaysAcceptedThem) {
  Json::Value v;
  ASSERT_TRUE(ParseJsonInput("// service\r\n[{\"id\":1} /* one */]\r\n", &v));
  EXPECT_EQ(v[0]["id"].asInt(), 1);
  EXPECT_TRUE(ParseJsonInput("[1] and more", &v));
  EXPECT_FALSE(ParseJsonInput("", &v));
  EXPECT_FALSE(ParseJsonInput("[1,", &v));
  EXPECT_FALSE(ParseJsonInput("服务器繁忙", &v));
}

TEST(JsonInput, ObjectTextMustBeOneWholeObject) {
  Json::Value v;
  EXPECT_TRUE(ParseJsonObjectText("{\"singlecore\":1}", &v));
  EXPECT_TRUE(ParseJsonObjectText("\r\n{\"singlecore\":1} // note\r\n", &v));
  EXPECT_EQ(v["singlecore"].asInt(), 1);
  for (const char* bad : {"", "abc", "[{\"a\":1}]", "\"text\"", "12", "null", "{\"a\":1} ]", "{\"a\":1},{\"b\":2}",
                          "{\"a\":1", "{\"a\":1} /* open"}) {
    EXPECT_FALSE(ParseJsonObjectText(bad, &v)) << bad;
    EXPECT_TRUE(v.isNull()) << bad;
  }
}

}  // namespace
}  // namespace sorvanta
