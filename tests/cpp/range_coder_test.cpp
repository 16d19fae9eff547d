// Static order-0 range coder: the scaled model, exact coded bytes including
// a carry into written bytes, round trips and malformed blocks. The model's
// scaling is held to tables of counts, small blocks to hex literals, and the
// shared block-coder checks (test_support.h) add every prefix, flipped bits
// and a 4 GiB length.
// Deliberately not here: when the block compressor picks the range coder
// (block_compressor_test), arbitrary input (fuzz/entropy_decode) and speed
// (bench/bench_entropy_coders).
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>

#include "drux_v2/range_coder.h"
#include "test_support.h"

namespace drux {
namespace {

using test::all_values_block;
using test::bytes_of;
using test::hex;
using test::random_bytes;
using test::text_block;

constexpr test::BlockCoder kRange{range_compress, range_decompress};

// Value k*5 with probability about 2^-(k+1).
ByteBuffer skewed_block(std::size_t size, unsigned seed) { return test::skewed_bytes(size, seed, 5); }

// Two values, one with about 1 in 10000 of the bytes: long runs of almost
// all-ones in `low`, where carries ripple through FF bytes.
ByteBuffer nearly_constant_block(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  ByteBuffer block(size, 0x00);
  for (auto& b : block) {
    if (rng() % 10000 == 0) b = 0xFF;
  }
  block[size / 2] = 0xFF;
  return block;
}

TEST(RangeBlock, SmallBlocksHaveExactBytes) {
  struct Case {
    std::string block;
    std::string expected;
  } cases[] = {
      {"", ""},
      {"aaaa", "01 00 61 00 40 04 00 00 00"},
      // Both frequencies 8192: nothing is written before the final four.
      {"ab", "02 00 61 00 20 62 00 20 02 00 00 00 3F FF E0 00"},
      {"aab", "02 00 61 AB 2A 62 55 15 03 00 00 00 4B DB 97 B6"},
      // One addition to low passes 2^32 and turns the written A4 into A5.
      {"baabbabbaaabbaaab", "02 00 61 E2 21 62 1E 1E 11 00 00 00 A5 00 72 04 E8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(range_compress(bytes_of(c.block)), hex(c.expected)) << c.block;
  }
}

TEST(RangeBlock, SingleValueBlockIsNineBytes) {
  for (std::size_t n : {1u, 2u, 300u, 100000u}) {
    ByteBuffer expected = hex("01 00 07 00 40");
    put_u32_le(expected, static_cast<std::uint32_t>(n));
    const ByteBuffer out = range_compress(ByteBuffer(n, 0x07));
    EXPECT_EQ(out, expected) << n;
    auto decoded = range_decompress(out, n);
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded.value(), ByteBuffer(n, 0x07));
  }
}

TEST(RangeModel, FrequenciesScaleTo16384WithFixedTieBreaks) {
  ByteBuffer every_value_three_times_and_one_more_05 = all_values_block(3);
  every_value_three_times_and_one_more_05.push_back(0x05);

  ByteBuffer one_00_one_01_thousand_02 = {0x00, 0x01};
  one_00_one_01_thousand_02.insert(one_00_one_01_thousand_02.end(), 1000, 0x02);

  // 200 values once each beside one value 100000 times: the rare values are
  // raised to 1 and the excess comes off the large one.
  ByteBuffer rare_and_dominant(100000, 0xFF);
  for (int v = 0; v < 200; ++v) rare_and_dominant.push_back(static_cast<std::uint8_t>(v));
  std::map<int, int> rare_and_dominant_expected = {{0xFF, 16184}};
  for (int v = 0; v < 200; ++v) rare_and_dominant_expected[v] = 1;

  std::map<int, int> every_value_expected;
  for (int v = 0; v < 256; ++v) every_value_expected[v] = v == 0x05 ? 319 : 63;

  struct Case {
    const char* name;
    ByteBuffer block;
    std::map<int, int> expected;
  } cases[] = {
      {"shortfall to the more frequent value", bytes_of("aab"), {{'a', 10923}, {'b', 5461}}},
      {"shortfall to the highest of equal counts", bytes_of("abc"), {{'a', 5461}, {'b', 5461}, {'c', 5462}}},
      {"thousand-to-one", one_00_one_01_thousand_02, {{0x00, 16}, {0x01, 16}, {0x02, 16352}}},
      {"every value three times", every_value_three_times_and_one_more_05, every_value_expected},
      {"excess off the largest", rare_and_dominant, rare_and_dominant_expected},
  };
  for (const auto& c : cases) {
    const RangeModelFrequencies freq = range_model_frequencies(c.block);
    for (int v = 0; v < 256; ++v) {
      const auto it = c.expected.find(v);
      EXPECT_EQ(freq[v], it == c.expected.end() ? 0 : it->second) << c.name << ", value " << v;
    }
  }
}

TEST(RangeModel, ExcessIsTakenFromTheLargestFrequencyHighestValueFirst) {
  // 240 values once each and two values 30000 times each: the two large
  // values share the excess one unit at a time, the higher value first.
  ByteBuffer block;
  for (int v = 0; v < 240; ++v) block.push_back(static_cast<std::uint8_t>(v));
  block.insert(block.end(), 30000, 0xF8);
  block.insert(block.end(), 30000, 0xF9);
  // Each large value scales to floor(30000 * 16384 / 60240) = 8159; the sum
  // 240 + 2 * 8159 = 16558 is 174 over, 87 off each.
  const RangeModelFrequencies freq = range_model_frequencies(block);
  EXPECT_EQ(freq[0xF8], 8159 - 87);
  EXPECT_EQ(freq[0xF9], 8159 - 87);
  EXPECT_EQ(freq[0x00], 1);

  // One more single value makes the excess 175: the higher of the two
  // equal values gives the odd unit.
  block.push_back(0xF0);
  const RangeModelFrequencies odd = range_model_frequencies(block);
  EXPECT_EQ(odd[0xF8], 8159 - 87);
  EXPECT_EQ(odd[0xF9], 8159 - 88);
  EXPECT_EQ(odd[0xF0], 1);
}

TEST(RangeBlock, RoundTripsVariedBlocks) {
  struct Case {
    const char* name;
    ByteBuffer block;
  } cases[] = {
      {"two bytes", bytes_of("ab")},
      {"random", random_bytes(100000, 256, 1)},
      {"skewed", skewed_block(100000, 2)},
      {"nearly constant", nearly_constant_block(300000, 3)},
      {"text", text_block(70001)},
      {"all 256 values", all_values_block(4)},
      {"every value once", all_values_block(1)},
  };
  for (const auto& c : cases) test::expect_round_trip(kRange, c.block, c.name);
}

// The floor found from the counts alone never passes the coded size, on
// blocks that code near their entropy and on ones whose carries ripple; for
// random bytes it already passes the block's own size, which is what lets
// the block compressor skip coding them.
TEST(RangeBlock, SizeFloorNeverPassesTheCodedSize) {
  struct Case {
    const char* name;
    ByteBuffer block;
  } cases[] = {
      {"single value", ByteBuffer(40, 0x41)},
      {"two bytes", bytes_of("ab")},
      {"carry block", bytes_of("baabbabbaaabbaaab")},
      {"random", random_bytes(100000, 256, 1)},
      {"three values", random_bytes(50000, 3, 4)},
      {"skewed", skewed_block(100000, 2)},
      {"nearly constant", nearly_constant_block(300000, 3)},
      {"text", text_block(70001)},
      {"every value once", all_values_block(1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t coded = range_compress(c.block).size();
    const std::size_t floor = range_compressed_size_floor(count_byte_frequencies(c.block), c.block.size());
    EXPECT_LE(floor, coded);
  }
  const ByteBuffer random = random_bytes(100000, 256, 5);
  EXPECT_GT(range_compressed_size_floor(count_byte_frequencies(random), random.size()), random.size() + 1);
}

TEST(RangeBlock, AppendWritesTheSameBytesAfterAPrefix) {
  const ByteBuffer block = skewed_block(5000, 7);
  ByteBuffer appended = bytes_of("prefix");
  append_range(block, count_byte_frequencies(block), appended);
  EXPECT_EQ(appended, test::concat({bytes_of("prefix"), range_compress(block)}));
}

TEST(RangeBlock, EmptyInputDecodesToEmptyBlock) {
  test::expect_empty_input_decodes_to_empty_block(kRange);
}

TEST(RangeBlock, DecoderRefusesMalformedBlocks) {
  // Valid reference: ab is 02 00 61 00 20 62 00 20 02 00 00 00 3F FF E0 00.
  const test::MalformedBlock cases[] = {
      {"truncated value count", "02", 100},
      {"no values", "00 00 02 00 00 00 3F FF E0 00", 100},
      {"more than 256 values", "01 01 61 00 40", 100},
      {"truncated model", "02 00 61 00 20 62 00", 100},
      {"values not ascending", "02 00 62 00 20 61 00 20 02 00 00 00 3F FF E0 00", 100},
      {"value repeated", "02 00 61 00 20 61 00 20 02 00 00 00 3F FF E0 00", 100},
      {"zero frequency", "02 00 61 00 40 62 00 00 02 00 00 00 3F FF E0 00", 100},
      {"frequencies short of 16384", "02 00 61 00 20 62 FF 1F 02 00 00 00 3F FF E0 00", 100},
      {"frequencies past 16384", "02 00 61 00 20 62 01 20 02 00 00 00 3F FF E0 00", 100},
      {"truncated block length", "02 00 61 00 20 62 00 20 02 00", 100},
      {"block length above max output", "02 00 61 00 20 62 00 20 02 00 00 00 3F FF E0 00", 1},
      {"block length below the value count", "02 00 61 00 20 62 00 20 01 00 00 00 3F FF E0 00", 100},
      {"block length beyond the coded bytes", "02 00 61 00 20 62 00 20 FF FF FF FF 3F FF E0 00", 0xFFFFFFFFu},
      {"single value with coded bytes", "01 00 61 00 40 04 00 00 00 00", 100},
      {"single value with a short frequency", "01 00 61 FF 3F 04 00 00 00", 100},
      {"coded bytes shorter than the final four", "02 00 61 00 20 62 00 20 02 00 00 00 3F FF E0", 100},
      {"trailing byte", "02 00 61 00 20 62 00 20 02 00 00 00 3F FF E0 00 00", 100},
      {"value outside every subrange", "02 00 61 00 20 62 00 20 02 00 00 00 FF FF FF FF", 100},
  };
  for (const auto& c : cases) test::expect_refused_as_bad_data(kRange, c);
}

TEST(RangeBlock, EveryProperPrefixOfABlockIsRefused) {
  test::expect_every_proper_prefix_refused(kRange, skewed_block(2000, 5));
}

TEST(RangeBlock, CorruptedBlocksAreRefusedOrStayWithinTheLimit) {
  test::expect_corruption_refused_or_within(kRange, skewed_block(600, 9), 1000);
}

TEST(RangeBlock, BlockOf4GiBOrMoreGivesEmptyOutput) { test::expect_empty_output_for_4gib_block(kRange); }

}  // namespace
}  // namespace drux
