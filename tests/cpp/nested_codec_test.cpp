// Nested value encoding: exact bytes of every variant, round trips, the
// nesting bound and refusal of malformed input. Each variant is pinned to
// literal bytes, random trees check the round trip, and values just inside
// and one level past the bound show where it falls.
// Deliberately not here: the framing of nested values in a column payload
// (column_encoding_test) and arbitrary input (fuzz/column_decode).
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>

#include "drux_v2/nested_codec.h"

namespace drux {
namespace {

KVal list_of(KVal a) {
  KList items;
  items.push_back(std::move(a));
  return KVal::List(std::move(items));
}

KVal object_of(std::string name, KVal v) {
  KObject fields;
  fields.emplace_back(std::move(name), std::move(v));
  return KVal::Object(std::move(fields));
}

// `levels` lists, each holding the next; the innermost is empty.
KVal nested_lists(int levels) {
  KVal v = KVal::List({});
  for (int i = 1; i < levels; ++i) v = list_of(std::move(v));
  return v;
}

// The bytes of `levels` nested lists, built directly so the decoder can be
// fed depths the encoder would never produce.
ByteBuffer nested_list_bytes(int levels) {
  ByteBuffer inner = {0x07, 0x00};
  for (int i = 1; i < levels; ++i) {
    ByteBuffer outer = {0x07, 0x01};
    put_varint(outer, inner.size());
    put_bytes(outer, inner);
    inner = std::move(outer);
  }
  return inner;
}

// Structural equality; floats compare by bits so NaN payloads count.
bool same_value(const KVal& a, const KVal& b) {
  if (a.tag() != b.tag()) return false;
  switch (a.tag()) {
    case KTag::Null: return true;
    case KTag::Int: return a.int_value() == b.int_value();
    case KTag::Float: return std::bit_cast<std::uint64_t>(a.float_value()) == std::bit_cast<std::uint64_t>(b.float_value());
    case KTag::Bool: return a.bool_value() == b.bool_value();
    case KTag::Str: return a.str_value() == b.str_value();
    case KTag::Bytes: return a.bytes_value() == b.bytes_value();
    case KTag::Object: {
      const auto &x = a.object_value(), &y = b.object_value();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].first != y[i].first || !same_value(x[i].second, y[i].second)) return false;
      }
      return true;
    }
    case KTag::List: {
      const auto &x = a.list_value(), &y = b.list_value();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same_value(x[i], y[i])) return false;
      }
      return true;
    }
    case KTag::Map: {
      const auto &x = a.map_value(), &y = b.map_value();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same_value(x[i].first, y[i].first) || !same_value(x[i].second, y[i].second)) return false;
      }
      return true;
    }
  }
  return false;
}

TEST(NestedVal, EncodesEachVariantWithItsTag) {
  KMap one_pair;
  one_pair.emplace_back(KVal::Int(1), KVal::Str("x"));
  KList int_and_null;
  int_and_null.push_back(KVal::Int(1));
  int_and_null.push_back(KVal::Null());
  struct Case {
    const char* label;
    KVal value;
    ByteBuffer bytes;
  } cases[] = {
      {"null", KVal::Null(), {0x00}},
      {"int 5", KVal::Int(5), {0x01, 0x0A}},
      {"int -1", KVal::Int(-1), {0x01, 0x01}},
      {"float 1.0", KVal::Float(1.0), {0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F}},
      {"str ab", KVal::Str("ab"), {0x03, 0x02, 0x61, 0x62}},
      {"bool true", KVal::Bool(true), {0x04, 0x01}},
      {"bool false", KVal::Bool(false), {0x04, 0x00}},
      {"bytes FF", KVal::Bytes("\xFF"), {0x05, 0x01, 0xFF}},
      {"list [1, null]", KVal::List(int_and_null), {0x07, 0x02, 0x02, 0x01, 0x02, 0x01, 0x00}},
      {"object {a: 1}", object_of("a", KVal::Int(1)), {0x06, 0x01, 0x01, 0x61, 0x02, 0x01, 0x02}},
      {"map {1: x}", KVal::Map(one_pair), {0x08, 0x01, 0x02, 0x01, 0x02, 0x03, 0x03, 0x01, 0x78}},
      {"empty list", KVal::List({}), {0x07, 0x00}},
      {"empty object", KVal::Object({}), {0x06, 0x00}},
      {"empty map", KVal::Map({}), {0x08, 0x00}},
      {"list in objects, three levels",
       object_of("a", object_of("b", list_of(KVal::Int(1)))),
       {0x06, 0x01, 0x01, 0x61, 0x0A,                // a: 10-byte child
        0x06, 0x01, 0x01, 0x62, 0x05,                // b: 5-byte child
        0x07, 0x01, 0x02, 0x01, 0x02}},              // [1]
  };
  for (const auto& c : cases) {
    const ByteBuffer bytes = encode_nested_val(c.value);
    EXPECT_EQ(bytes, c.bytes) << c.label;
    Result<KVal> back = decode_nested_val(bytes);
    ASSERT_TRUE(back.ok()) << c.label << ": " << back.error();
    EXPECT_TRUE(same_value(back.value(), c.value)) << c.label;
  }
}

TEST(NestedVal, ChildLengthPrefixCountsLongChildrenInFull) {
  // A 200-byte string child makes a 203-byte encoding: a two-byte prefix.
  const ByteBuffer bytes = encode_nested_val(list_of(KVal::Str(std::string(200, 's'))));
  ASSERT_GE(bytes.size(), 7u);
  EXPECT_EQ(ByteBuffer(bytes.begin(), bytes.begin() + 7), (ByteBuffer{0x07, 0x01, 0xCB, 0x01, 0x03, 0xC8, 0x01}));
  EXPECT_EQ(bytes.size(), 4u + 203u);
}

KVal random_value(std::mt19937_64& rng, int depth) {
  const int kind = static_cast<int>(rng() % (depth >= 4 ? 6 : 9));
  const std::size_t n = rng() % 4;
  switch (kind) {
    case 0: return KVal::Null();
    case 1: return KVal::Int(static_cast<std::int64_t>(rng()));
    case 2: return KVal::Float(std::bit_cast<double>(rng()));
    case 3: return KVal::Bool(rng() % 2 == 1);
    case 4: return KVal::Str(std::string(rng() % 20, static_cast<char>('a' + rng() % 26)));
    case 5: return KVal::Bytes(std::string(rng() % 300, static_cast<char>(rng())));
    case 6: {
      KObject fields;
      for (std::size_t i = 0; i < n; ++i) fields.emplace_back(std::string(i % 2, 'k'), random_value(rng, depth + 1));
      return KVal::Object(std::move(fields));
    }
    case 7: {
      KList items;
      for (std::size_t i = 0; i < n; ++i) items.push_back(random_value(rng, depth + 1));
      return KVal::List(std::move(items));
    }
    default: {
      KMap pairs;
      for (std::size_t i = 0; i < n; ++i) pairs.emplace_back(random_value(rng, depth + 1), random_value(rng, depth + 1));
      return KVal::Map(std::move(pairs));
    }
  }
}

TEST(NestedVal, RandomValuesRoundTrip) {
  std::mt19937_64 rng(2024);
  for (int i = 0; i < 300; ++i) {
    const KVal value = random_value(rng, 0);
    Result<KVal> back = decode_nested_val(encode_nested_val(value));
    ASSERT_TRUE(back.ok()) << "value " << i << ": " << back.error();
    EXPECT_TRUE(same_value(back.value(), value)) << "value " << i;
  }
}

TEST(NestedVal, DepthCountsContainerLevelsAndStopsPastTheBound) {
  struct Case {
    KVal value;
    int depth;
  } cases[] = {
      {KVal::Int(1), 0},
      {KVal::List({}), 1},
      {object_of("a", list_of(KVal::Int(1))), 2},
      {nested_lists(kMaxNestingDepth), kMaxNestingDepth},
      {nested_lists(kMaxNestingDepth + 1), kMaxNestingDepth + 1},
      {nested_lists(5000), kMaxNestingDepth + 1},
  };
  for (const auto& c : cases) EXPECT_EQ(nesting_depth(c.value), c.depth);

  KMap deep_key;
  deep_key.emplace_back(nested_lists(kMaxNestingDepth), KVal::Null());
  EXPECT_EQ(nesting_depth(KVal::Map(std::move(deep_key))), kMaxNestingDepth + 1) << "map keys count too";
}

TEST(NestedVal, DecoderAcceptsTheBoundAndRefusesOneLevelMore) {
  Result<KVal> at_bound = decode_nested_val(nested_list_bytes(kMaxNestingDepth));
  ASSERT_TRUE(at_bound.ok()) << at_bound.error();
  EXPECT_EQ(nesting_depth(at_bound.value()), kMaxNestingDepth);
  EXPECT_FALSE(decode_nested_val(nested_list_bytes(kMaxNestingDepth + 1)).ok());
  EXPECT_FALSE(decode_nested_val(nested_list_bytes(3000)).ok());
}

TEST(NestedVal, EncoderWritesContainersBeyondTheBoundAsNull) {
  const ByteBuffer bytes = encode_nested_val(nested_lists(kMaxNestingDepth + 3));
  Result<KVal> back = decode_nested_val(bytes);
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(nesting_depth(back.value()), kMaxNestingDepth);
  const KVal* v = &back.value();
  for (int level = 1; level < kMaxNestingDepth; ++level) v = &v->list_value()[0];
  ASSERT_EQ(v->list_value().size(), 1u);
  EXPECT_TRUE(v->list_value()[0].is_null());
}

TEST(NestedVal, DecoderRefusesMalformedInput) {
  struct Case {
    const char* label;
    ByteBuffer bytes;
  } cases[] = {
      {"empty input", {}},
      {"unknown tag", {0x09}},
      {"truncated int", {0x01, 0x80}},
      {"overlong int", {0x01, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
      {"truncated float", {0x02, 0x00, 0x00, 0x00}},
      {"string past the end", {0x03, 0x05, 0x61}},
      {"bytes past the end", {0x05, 0x02, 0xFF}},
      {"boolean neither 0 nor 1", {0x04, 0x02}},
      {"trailing bytes", {0x00, 0x00}},
      {"child longer than its encoding", {0x07, 0x01, 0x03, 0x01, 0x02, 0x00}},
      {"child shorter than its encoding", {0x07, 0x01, 0x01, 0x01, 0x02}},
      {"child past the end", {0x07, 0x01, 0x05, 0x01, 0x02}},
      {"empty child", {0x07, 0x01, 0x00}},
      {"list count above bytes", {0x07, 0x05, 0x01, 0x00}},
      {"list count near 2^64", {0x07, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
      {"list missing items", {0x07, 0x02, 0x01, 0x00}},
      {"object name past the end", {0x06, 0x01, 0x05, 0x61, 0x01, 0x00}},
      {"object missing value", {0x06, 0x01, 0x01, 0x61, 0x00, 0x00}},
      {"map key without value", {0x08, 0x01, 0x01, 0x00, 0x00, 0x00}},
      {"bad tag inside a child", {0x07, 0x01, 0x01, 0x0F}},
  };
  for (const auto& c : cases) {
    Result<KVal> back = decode_nested_val(c.bytes);
    ASSERT_FALSE(back.ok()) << c.label;
    EXPECT_EQ(back.error_kind(), ErrorKind::Data) << c.label;
  }
}

}  // namespace
}  // namespace drux
