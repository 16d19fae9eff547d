// The value model: views, short rows and deep copies, each view held to a
// table of values and what it must give, extremes and NaN included.
// Deliberately not here: how values are laid out in a file
// (nested_codec_test, column_encoding_test).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "drux_v2/kval.h"

namespace drux {
namespace {

TEST(KValViews, IntegerViewTruncatesTowardZeroAndSaturates) {
  struct Case {
    KVal value;
    std::int64_t expected;
  } cases[] = {
      {KVal::Float(2.9), 2},
      {KVal::Float(-2.9), -2},
      {KVal::Float(1e300), std::numeric_limits<std::int64_t>::max()},
      {KVal::Float(-1e300), std::numeric_limits<std::int64_t>::min()},
      {KVal::Float(9223372036854775808.0), std::numeric_limits<std::int64_t>::max()},
      {KVal::Float(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min()},
      {KVal::Float(std::nan("")), 0},
      {KVal::Int(-7), -7},
      {KVal::Bool(true), 1},
      {KVal::Str("12"), 0},
      {KVal::Null(), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(int_view(c.value), c.expected);
}

TEST(KValViews, FloatViewTakesFloatsAndIntegersOnly) {
  EXPECT_EQ(float_view(KVal::Float(1.25)), 1.25);
  EXPECT_EQ(float_view(KVal::Int(9007199254740993)), 9007199254740992.0);  // nearest double
  EXPECT_EQ(float_view(KVal::Bool(true)), 0.0);
  EXPECT_EQ(float_view(KVal::Null()), 0.0);
}

TEST(KValViews, BooleanViewSpellsTrueOrOne) {
  struct Case {
    KVal value;
    bool expected;
  } cases[] = {
      {KVal::Str("TrUe"), true}, {KVal::Str("1"), true},      {KVal::Str("01"), false},
      {KVal::Str(" true"), false}, {KVal::Str("0"), false},   {KVal::Str("yes"), false},
      {KVal::Int(-5), true},     {KVal::Int(0), false},       {KVal::Float(1.0), false},
      {KVal::Bool(true), true},  {KVal::Null(), false},       {KVal::Bytes("1"), false},
  };
  for (const auto& c : cases) EXPECT_EQ(bool_view(c.value), c.expected);
}

TEST(KValViews, TextViewIsEmptyForEverythingButStr) {
  EXPECT_EQ(text_view(KVal::Str("ab")), "ab");
  EXPECT_EQ(text_view(KVal::Bytes("ab")), "");
  EXPECT_EQ(text_view(KVal::Int(3)), "");
  EXPECT_EQ(text_view(KVal::Null()), "");
}

TEST(KValViews, TextOrderIsUnsignedBytewiseWithPrefixFirst) {
  EXPECT_TRUE(text_less("ab", "abc"));
  EXPECT_TRUE(text_less("a", "\xC3\xA9"));  // 0x61 < 0xC3 as unsigned bytes
  EXPECT_FALSE(text_less("b", "abc"));
  EXPECT_FALSE(text_less("ab", "ab"));
}

TEST(KValRows, ShortRowReadsNullAndExtraValuesAreIgnored) {
  Row row{KVal::Int(1)};
  EXPECT_EQ(cell_at(row, 0).int_value(), 1);
  EXPECT_TRUE(cell_at(row, 1).is_null());
  EXPECT_TRUE(cell_at(row, 5).is_null());
}

TEST(KValCopy, DeepCopyOfNestedTreeIsIndependent) {
  KVal inner_map = KVal::Map({{KVal::Str("k"), KVal::Int(1)}});
  KVal original = KVal::Object({{"list", KVal::List({inner_map, KVal::Str("tail")})}});
  {
    KVal copy = original;
    EXPECT_EQ(copy.object_value()[0].second.list_value()[0].map_value()[0].second.int_value(), 1);
  }  // the copy is destroyed here
  const KVal& list = original.object_value()[0].second;
  ASSERT_EQ(list.tag(), KTag::List);
  ASSERT_EQ(list.list_value().size(), 2u);
  EXPECT_EQ(list.list_value()[0].map_value()[0].first.str_value(), "k");
  EXPECT_EQ(list.list_value()[1].str_value(), "tail");
}

TEST(KValModel, TagsFollowTheVariantOrder) {
  EXPECT_EQ(KVal::Int(0).tag(), KTag::Int);
  EXPECT_EQ(KVal::Float(0).tag(), KTag::Float);
  EXPECT_EQ(KVal::Bool(false).tag(), KTag::Bool);
  EXPECT_EQ(KVal::Str("").tag(), KTag::Str);
  EXPECT_EQ(KVal::Bytes("").tag(), KTag::Bytes);
  EXPECT_EQ(KVal::Null().tag(), KTag::Null);
  EXPECT_EQ(KVal::Object({}).tag(), KTag::Object);
  EXPECT_EQ(KVal::List({}).tag(), KTag::List);
  EXPECT_EQ(KVal::Map({}).tag(), KTag::Map);
}

}  // namespace
}  // namespace drux
