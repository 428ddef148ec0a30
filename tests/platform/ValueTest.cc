#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "platform/Value.h"

namespace sorv {
namespace {

TEST(ValueTest, ConversionsFollowTheTextAndNumberRules) {
  struct Case {
    Value v;
    double dbl;
    std::int64_t integer;
    const char* text;  // nullptr: no string value
  };
  const Case cases[] = {
      {Value(), 0, 0, nullptr},
      {Value(true), 1, 1, "1"},
      {Value(false), 0, 0, "0"},
      {Value(42), 42, 42, "42"},
      {Value(-7), -7, -7, "-7"},
      {Value(0.5), 0.5, 0, "0.5"},
      {Value(-2.9), -2.9, -2, "-2.9"},
      {Value(3.0), 3, 3, "3"},
      {Value(1e300), 1e300, std::numeric_limits<std::int64_t>::max(), "1e+300"},
      {Value("12"), 12, 12, "12"},
      {Value("  12abc"), 12, 12, "  12abc"},
      {Value("\t-3.75 min"), -3.75, -3, "\t-3.75 min"},
      {Value("+5"), 5, 5, "+5"},
      {Value(".5"), 0.5, 0, ".5"},
      {Value("1e3"), 1000, 1, "1e3"},
      {Value("2e"), 2, 2, "2e"},
      {Value("abc"), 0, 0, "abc"},
      {Value(""), 0, 0, ""},
      {Value("-"), 0, 0, "-"},
      {Value("yes"), 0, 0, "yes"},  // booleans as text are the defaults store's business
      {Value("0x1A"), 0, 0, "0x1A"},
      {Value("99999999999999999999"), 1e20, std::numeric_limits<std::int64_t>::max(),
       "99999999999999999999"},
      {Value(Date{100}), 0, 0, nullptr},
      {Value(Data{1, 2}), 0, 0, nullptr},
      {Value(Array{Value(1)}), 0, 0, nullptr},
      {Value(Dict{{"a", Value(1)}}), 0, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.v.description());
    EXPECT_DOUBLE_EQ(c.v.doubleValue(), c.dbl);
    EXPECT_EQ(c.v.integerValue(), c.integer);
    auto s = c.v.stringValue();
    if (c.text) {
      ASSERT_TRUE(s.has_value());
      EXPECT_EQ(*s, c.text);
    } else {
      EXPECT_FALSE(s.has_value());
    }
  }
}

TEST(ValueTest, NanTruncatesToZeroAndDictLookupsCheckTypes) {
  EXPECT_EQ(Value(std::numeric_limits<double>::quiet_NaN()).integerValue(), 0);
  Dict d{{"s", Value("x")}, {"d", Value(Dict{})}, {"a", Value(Array{})}, {"n", Value(1)}};
  EXPECT_EQ(*dictGetString(d, "s"), "x");
  EXPECT_EQ(dictGetString(d, "n"), nullptr);
  EXPECT_NE(dictGetDict(d, "d"), nullptr);
  EXPECT_EQ(dictGetDict(d, "a"), nullptr);
  EXPECT_NE(dictGetArray(d, "a"), nullptr);
  EXPECT_EQ(dictGet(d, "missing"), nullptr);
}

}  // namespace
}  // namespace sorv
