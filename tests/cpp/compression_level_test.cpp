// Compression levels: every level's blocks decode back through the strict
// decoder, and the fast and thorough parses keep to the token rules. One set
// of edge-case blocks runs through every level; the fast parse is pinned to
// exact tokens at its limits, the thorough one's candidates are checked for
// true matches within reach and its priced parse against the exact parse.
// Deliberately not here: the exact level's bytes and its candidate choice
// (block_compressor_test, lz_test), arbitrary blocks
// (fuzz/fast_block_round_trip, fuzz/max_block_round_trip) and speed
// (bench/bench_block_compressor).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "drux_v2/block_compressor.h"
#include "drux_v2/huffman.h"
#include "drux_v2/lz.h"
#include "drux_v2/lz_fast.h"
#include "drux_v2/lz_optimal.h"
#include "test_support.h"

namespace drux {
namespace {

using test::bytes_of;
using test::concat;
using test::random_bytes;
using test::text_block;

// `pattern`, filler up to `gap`, `pattern` again and a final byte: the only
// earlier occurrence of the second pattern is `gap` bytes back.
ByteBuffer pattern_at_distance(std::size_t gap) {
  const std::string pattern = "ABCDEFGH";
  ByteBuffer block = bytes_of(pattern);
  block.resize(gap, 'z');
  block.insert(block.end(), pattern.begin(), pattern.end());
  block.push_back('.');
  return block;
}

// FF at even positions, the position at odd ones: every FF is an escape.
ByteBuffer ff_every_other_byte(std::size_t count) {
  ByteBuffer out(count, 0xFF);
  for (std::size_t i = 1; i < count; i += 2) out[i] = static_cast<std::uint8_t>(i);
  return out;
}

struct BlockCase {
  std::string name;
  ByteBuffer block;
};

// The block test inputs: every size below the searched minimum, runs past
// the 16-bit length, FF bytes, the edge of the distance's reach, bytes that
// do not repeat and text that does.
std::vector<BlockCase> block_cases() {
  std::vector<BlockCase> cases = {{"empty", {}}};
  for (std::size_t n = 1; n <= 9; ++n) cases.push_back({std::to_string(n) + " bytes", random_bytes(n, 4, 1, 0xFD)});
  cases.push_back({"run longer than 65535", ByteBuffer(200000, 'x')});
  cases.push_back({"FF run", ByteBuffer(1000, 0xFF)});
  cases.push_back({"FF every other byte", ff_every_other_byte(3000)});
  cases.push_back({"FF-heavy repeats", random_bytes(20000, 3, 7, 0xFD)});
  cases.push_back({"distance 65535", pattern_at_distance(65535)});
  cases.push_back({"distance 65536", pattern_at_distance(65536)});
  cases.push_back({"random bytes", random_bytes(70000, 256, 5)});
  cases.push_back({"text", text_block(100000)});
  cases.push_back({"text with random digits", [] {
                     std::string s;
                     std::mt19937 rng(3);
                     while (s.size() < 200000) s += std::to_string(rng() % 100000) + ",user" + std::to_string(rng() % 50) + "\n";
                     return bytes_of(s);
                   }()});
  return cases;
}

class EveryLevel : public testing::TestWithParam<CompressionLevel> {};

TEST_P(EveryLevel, BlockTestInputsRoundTripAndNeverPassStored) {
  for (const auto& c : block_cases()) {
    SCOPED_TRACE(c.name);
    const ByteBuffer compressed = compress_block(c.block, GetParam());
    if (c.block.empty()) {
      EXPECT_TRUE(compressed.empty());
      continue;
    }
    EXPECT_LE(compressed.size(), c.block.size() + 1);
    auto decoded = decompress_block(compressed, c.block.size());
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded.value(), c.block);
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, EveryLevel,
                         testing::Values(CompressionLevel::Exact, CompressionLevel::Fast, CompressionLevel::Max),
                         [](const testing::TestParamInfo<CompressionLevel>& info) {
                           switch (info.param) {
                             case CompressionLevel::Exact: return std::string("Exact");
                             case CompressionLevel::Fast: return std::string("Fast");
                             case CompressionLevel::Max: return std::string("Max");
                           }
                           return std::string("Unknown");
                         });

TEST(CompressionLevel, NamesAreExactFastAndMaxOnly) {
  EXPECT_EQ(compression_level_named("exact"), CompressionLevel::Exact);
  EXPECT_EQ(compression_level_named("fast"), CompressionLevel::Fast);
  EXPECT_EQ(compression_level_named("max"), CompressionLevel::Max);
  for (const char* name : {"", "Exact", "MAX", "fastest", "max "}) {
    EXPECT_FALSE(compression_level_named(name).has_value()) << name;
  }
}

// Max keeps the smallest of every coding of the fast parse and more, so it
// is never larger than fast; on repeating text it is smaller than exact.
TEST(CompressionLevel, MaxIsNeverLargerThanFastAndBeatsExactOnText) {
  for (const auto& c : block_cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_LE(compress_block(c.block, CompressionLevel::Max).size(),
              compress_block(c.block, CompressionLevel::Fast).size());
  }
  const ByteBuffer text = block_cases().back().block;
  EXPECT_LT(compress_block(text, CompressionLevel::Max).size(), compress_block(text).size());
}

// The shortest match a token may hold is six bytes, and the fast parse's
// hash covers exactly six.
TEST(LzFastParse, FindsASixByteRepeat) {
  const ByteBuffer block = bytes_of("abcdef0123456789abcdef#ghijklmnopqr");
  ByteBuffer tokens;
  append_lz_tokens_fast(block, tokens);
  EXPECT_EQ(tokens, concat({bytes_of("abcdef0123456789"), {0xFF, 0x10, 0x00, 0x06, 0x00}, bytes_of("#ghijklmnopqr")}));
}

// Only the positions probed enter the table, none inside a match: a run's
// later matches reach back to the start of the match before.
TEST(LzFastParse, ReachesBackAtMost65535BytesAndSplitsLongRuns) {
  struct Case {
    ByteBuffer block;
    ByteBuffer tail;
  } cases[] = {
      {pattern_at_distance(65535), {0xFF, 0xFF, 0xFF, 0x08, 0x00, '.'}},
      {pattern_at_distance(65536), bytes_of("ABCDEFGH.")},
      {ByteBuffer(200000, 'x'), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x42, 0x0D}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.block.size());
    ByteBuffer tokens;
    append_lz_tokens_fast(c.block, tokens);
    ASSERT_GE(tokens.size(), c.tail.size());
    EXPECT_EQ(ByteBuffer(tokens.end() - static_cast<std::ptrdiff_t>(c.tail.size()), tokens.end()), c.tail);
    auto decoded = lz_decompress(tokens, c.block.size());
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded.value(), c.block);
  }
}

// The matches found at the second pattern: one of eight bytes exactly
// 65535 back, none from 65536 on.
TEST(LzOptimalParse, MatchSearchReachesBackAtMost65535Bytes) {
  struct Case {
    std::size_t gap;
    std::vector<std::uint32_t> matches;  // length << 16 | distance
  } cases[] = {{65535, {8u << 16 | 65535u}}, {65536, {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gap);
    const ByteBuffer block = pattern_at_distance(c.gap);
    const LzMatchCandidates m = find_lz_match_candidates(block);
    ASSERT_EQ(m.first.size(), block.size() + 1);
    const std::vector<std::uint32_t> at_second(m.at.begin() + m.first[c.gap], m.at.begin() + m.first[c.gap + 1]);
    EXPECT_EQ(at_second, c.matches);
  }
}

// Matches at one position come in increasing length, each within the
// token's limits and true to the block.
TEST(LzOptimalParse, MatchesAreTrueAndGrowInLength) {
  const ByteBuffer block = block_cases().back().block;
  const LzMatchCandidates m = find_lz_match_candidates(block);
  std::size_t checked = 0;
  for (std::size_t p = 0; p < block.size(); ++p) {
    std::size_t previous = 0;
    for (std::uint32_t k = m.first[p]; k < m.first[p + 1]; ++k) {
      const std::size_t length = m.at[k] >> 16;
      const std::size_t distance = m.at[k] & 0xFFFF;
      ASSERT_GE(length, 6u);
      ASSERT_GT(length, previous);
      ASSERT_GE(distance, 1u);
      ASSERT_LE(distance, p);
      ASSERT_LE(p + length, block.size());
      ASSERT_TRUE(std::equal(block.begin() + static_cast<std::ptrdiff_t>(p - distance),
                             block.begin() + static_cast<std::ptrdiff_t>(p - distance + length),
                             block.begin() + static_cast<std::ptrdiff_t>(p)));
      previous = length;
      ++checked;
    }
  }
  EXPECT_GT(checked, block.size() / 10);
}

// Priced at eight bits a byte the cheapest path is the shortest token
// stream, here never longer than the exact parse's. Priced by the Huffman
// code lengths of the exact parse's tokens, on text it costs no more coded
// bits than those tokens. (Not everywhere: a distance is taken as found,
// not chosen for its price, which on a long run costs a few bits.)
TEST(LzOptimalParse, PricedParseIsCheaperThanTheExactParse) {
  for (const auto& c : block_cases()) {
    if (c.block.size() < 1000) continue;
    SCOPED_TRACE(c.name);
    const LzMatchCandidates m = find_lz_match_candidates(c.block);
    const ByteBuffer exact = lz_compress(c.block);
    TokenBytePrices flat;
    flat.fill(8);
    ByteBuffer shortest;
    append_lz_tokens_priced(c.block, m, flat, shortest);
    EXPECT_LE(shortest.size(), exact.size());

    const TokenBytePrices prices = token_byte_prices(huffman_code_lengths(count_byte_frequencies(exact)));
    ByteBuffer priced;
    append_lz_tokens_priced(c.block, m, prices, priced);
    const auto bits = [&prices](const ByteBuffer& tokens) {
      std::uint64_t sum = 0;
      for (std::uint8_t b : tokens) sum += prices[b];
      return sum;
    };
    if (c.name.starts_with("text")) {
      EXPECT_LE(bits(priced), bits(exact));
    }
    for (const ByteBuffer* tokens : {&shortest, &priced}) {
      auto decoded = lz_decompress(*tokens, c.block.size());
      ASSERT_TRUE(decoded.ok()) << decoded.error();
      EXPECT_EQ(decoded.value(), c.block);
    }
  }
}

}  // namespace
}  // namespace drux
