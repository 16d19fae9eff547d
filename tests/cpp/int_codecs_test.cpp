// Integer column encodings: exact bytes, round trips and refusal of
// malformed payloads. One table of (codec, values, bytes) pins every
// layout, with the int64 extremes where differences wrap; random inputs
// and every frame-of-reference width check the round trip.
// Deliberately not here: which encoding a column gets
// (column_encoding_test) and arbitrary payloads (fuzz/column_decode).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "drux_v2/int_codecs.h"
#include "test_support.h"

namespace drux {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

using Values = std::vector<std::int64_t>;
using Encoder = ByteBuffer (*)(IntView);
using Decoder = Result<Values> (*)(ByteView, std::size_t);

struct Codec {
  const char* name;
  Encoder encode;
  Decoder decode;
};

constexpr Codec kDelta{"delta", encode_delta_int, decode_delta_int};
constexpr Codec kRle{"rle", encode_rle_int, decode_rle_int};
constexpr Codec kFor{"for", encode_for, decode_for};
constexpr Codec kCdelta{"cdelta", encode_cdelta, decode_cdelta};

ByteBuffer repeat(std::uint8_t byte, std::size_t n) { return ByteBuffer(n, byte); }

using test::concat;

TEST(IntCodecs, EncodeToTheDocumentedBytes) {
  struct Case {
    Codec codec;
    Values values;
    ByteBuffer bytes;
  } cases[] = {
      {kDelta, {}, {}},
      {kDelta, {5}, {0x0A}},
      {kDelta, {1, 2, 3}, {0x02, 0x02, 0x02}},
      {kDelta, {0, -1}, {0x00, 0x01}},
      {kDelta, {kMax, kMin}, concat({{0xFE}, repeat(0xFF, 8), {0x01, 0x02}})},  // difference wraps to +1
      {kRle, {}, {0x00}},
      {kRle, {7, 7, 7, 1}, {0x02, 0x03, 0x0E, 0x01, 0x02}},
      {kRle, {-1}, {0x01, 0x01, 0x01}},
      {kRle, {4, 5, 4}, {0x03, 0x01, 0x08, 0x01, 0x0A, 0x01, 0x08}},
      {kFor, {}, {}},
      {kFor, {10}, {0x14, 0x00}},
      {kFor, {3, 5, 4}, {0x06, 0x02, 0x18}},
      {kFor, {0, 1, 2, 3, 4, 5, 6, 7, 8}, {0x00, 0x04, 0x10, 0x32, 0x54, 0x76, 0x08}},
      {kFor, {kMin, kMax}, concat({repeat(0xFF, 9), {0x01, 0x40}, repeat(0x00, 8), repeat(0xFF, 8)})},
      {kCdelta, {}, {0x00, 0x00}},
      {kCdelta, {5}, {0x0A, 0x00}},
      {kCdelta, {10, 13, 16}, {0x14, 0x06}},
      {kCdelta, {10, 13, 99}, {0x14, 0x06}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.codec.encode(c.values), c.bytes) << c.codec.name << " of " << c.values.size() << " values";
  }
}

Values random_values(std::mt19937_64& rng, std::size_t n, int shape) {
  Values v(n);
  std::int64_t x = static_cast<std::int64_t>(rng());
  for (auto& e : v) {
    switch (shape) {
      case 0:  // full 64-bit range
        e = static_cast<std::int64_t>(rng());
        break;
      case 1:  // small values around zero
        e = static_cast<std::int64_t>(rng() % 200) - 100;
        break;
      case 2:  // long runs
        if (rng() % 8 == 0) x = static_cast<std::int64_t>(rng() % 5);
        e = x;
        break;
      default:  // slowly rising timestamps
        x += static_cast<std::int64_t>(rng() % 1000);
        e = x;
        break;
    }
  }
  return v;
}

TEST(IntCodecs, RandomInputsRoundTrip) {
  std::mt19937_64 rng(12345);
  for (const Codec& codec : {kDelta, kRle, kFor}) {
    for (std::size_t n : {0u, 1u, 2u, 7u, 8u, 9u, 100u, 1000u}) {
      for (int shape = 0; shape < 4; ++shape) {
        const Values values = random_values(rng, n, shape);
        const ByteBuffer bytes = codec.encode(values);
        Result<Values> back = codec.decode(bytes, values.size());
        ASSERT_TRUE(back.ok()) << codec.name << " n=" << n << " shape=" << shape << ": " << back.error();
        EXPECT_EQ(back.value(), values) << codec.name << " n=" << n << " shape=" << shape;
      }
    }
  }
}

TEST(IntCodecs, ConstantDeltaRoundTripsArithmeticSequencesWithWrapAround) {
  struct Case {
    std::int64_t first;
    std::int64_t step;
    std::size_t n;
  } cases[] = {{0, 0, 0}, {5, 0, 1}, {10, 3, 50}, {-7, -11, 20}, {kMax - 2, 1, 6}, {kMin, -1, 3}, {kMin, kMax, 5}};
  for (const auto& c : cases) {
    Values values;
    std::uint64_t x = static_cast<std::uint64_t>(c.first);
    for (std::size_t i = 0; i < c.n; ++i, x += static_cast<std::uint64_t>(c.step)) {
      values.push_back(static_cast<std::int64_t>(x));
    }
    Result<Values> back = decode_cdelta(encode_cdelta(values), values.size());
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(back.value(), values) << c.first << " + i * " << c.step;
  }
}

TEST(IntCodecs, FrameOfReferencePacksEveryWidthExactly) {
  // For each width the range spans exactly 2^w - 1, so the width byte is w,
  // and counts 1..17 put value boundaries at every bit offset.
  std::mt19937_64 rng(99);
  for (unsigned width = 1; width <= 64; ++width) {
    const std::uint64_t span = width == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
    for (std::size_t n = 2; n <= 17; ++n) {
      const std::int64_t base = width >= 63 ? kMin : static_cast<std::int64_t>(rng() % 1000) - 500;
      Values values(n);
      values[0] = base;
      values[1] = static_cast<std::int64_t>(static_cast<std::uint64_t>(base) + span);
      for (std::size_t i = 2; i < n; ++i) {
        values[i] = static_cast<std::int64_t>(static_cast<std::uint64_t>(base) + rng() % span);
      }
      const ByteBuffer bytes = encode_for(values);
      const std::size_t header = varint_size(zigzag(base)) + 1;
      ASSERT_EQ(bytes.size(), header + (n * width + 7) / 8) << "width " << width << " n " << n;
      EXPECT_EQ(bytes[header - 1], width);
      Result<Values> back = decode_for(bytes, n);
      ASSERT_TRUE(back.ok()) << back.error();
      EXPECT_EQ(back.value(), values) << "width " << width << " n " << n;
    }
  }
}

TEST(IntCodecs, ImpliedValuesExpandFromFewBytes) {
  struct Case {
    Codec codec;
    ByteBuffer bytes;
    std::size_t count;
    Values expected;
  } cases[] = {
      {kFor, {0x14, 0x00}, 4, {10, 10, 10, 10}},
      {kRle, {0x01, 0x05, 0x0E}, 5, {7, 7, 7, 7, 7}},
      {kCdelta, {0x14, 0x06}, 4, {10, 13, 16, 19}},
      {kCdelta, {0x00, 0x00}, 0, {}},
      {kRle, {0x00}, 0, {}},
  };
  for (const auto& c : cases) {
    Result<Values> back = c.codec.decode(c.bytes, c.count);
    ASSERT_TRUE(back.ok()) << c.codec.name << ": " << back.error();
    EXPECT_EQ(back.value(), c.expected) << c.codec.name;
  }
}

TEST(IntCodecs, DecodersRefuseMalformedPayloads) {
  const std::size_t kHuge = std::numeric_limits<std::size_t>::max() / 2;
  struct Case {
    const char* label;
    Codec codec;
    ByteBuffer bytes;
    std::size_t count;
  } cases[] = {
      {"delta truncated varint", kDelta, {0x02, 0x80}, 2},
      {"delta overlong varint", kDelta, concat({repeat(0x80, 10), {0x01}}), 1},
      {"delta more values than bytes", kDelta, {0x02}, 2},
      {"delta huge count", kDelta, {0x02, 0x02}, kHuge},
      {"delta trailing bytes", kDelta, {0x02, 0x02}, 1},
      {"delta bytes for zero values", kDelta, {0x00}, 0},
      {"rle missing run count", kRle, {}, 0},
      {"rle empty run", kRle, {0x01, 0x00, 0x02}, 1},
      {"rle runs fall short", kRle, {0x01, 0x02, 0x02}, 3},
      {"rle runs exceed count", kRle, {0x01, 0x02, 0x02}, 1},
      {"rle run count above bytes", kRle, {0x05, 0x01, 0x02}, 5},
      {"rle run count above values", kRle, {0x02, 0x01, 0x02, 0x01, 0x04}, 1},
      {"rle truncated run", kRle, {0x02, 0x01, 0x02, 0x01}, 2},
      {"rle overlong run length", kRle, concat({{0x01}, repeat(0xFF, 10), {0x01, 0x02}}), 1},
      {"rle trailing bytes", kRle, {0x01, 0x01, 0x02, 0x00}, 1},
      {"rle huge count", kRle, {0x01, 0x01, 0x02}, kHuge},
      {"for missing width", kFor, {0x14}, 1},
      {"for width above 64", kFor, concat({{0x00, 0x41}, repeat(0x00, 9)}), 1},
      {"for too few packed bytes", kFor, {0x00, 0x04, 0x10, 0x32}, 9},
      {"for too many packed bytes", kFor, {0x00, 0x04, 0x10, 0x32, 0x54, 0x76, 0x08, 0x00}, 9},
      {"for huge count", kFor, {0x00, 0x01, 0xFF}, kHuge},
      {"for nonzero padding bits", kFor, {0x00, 0x04, 0xF0}, 1},
      {"for trailing bytes after width 0", kFor, {0x14, 0x00, 0x00}, 1},
      {"for bytes for zero values", kFor, {0x14, 0x00}, 0},
      {"cdelta truncated", kCdelta, {0x0A}, 1},
      {"cdelta empty", kCdelta, {}, 0},
      {"cdelta trailing bytes", kCdelta, {0x0A, 0x00, 0x00}, 1},
  };
  for (const auto& c : cases) {
    Result<Values> back = c.codec.decode(c.bytes, c.count);
    ASSERT_FALSE(back.ok()) << c.label;
    EXPECT_EQ(back.error_kind(), ErrorKind::Data) << c.label;
    EXPECT_FALSE(back.error().empty()) << c.label;
  }
}

}  // namespace
}  // namespace drux
