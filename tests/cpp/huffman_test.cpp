// Canonical Huffman blocks: exact bytes, table forms, deep trees, round
// trips and the decoder's refusal of malformed blocks. Small blocks are
// pinned to hex literals; blocks with Fibonacci counts force the deepest
// trees; the shared block-coder checks (test_support.h) add every prefix,
// flipped bits and a 4 GiB length.
// Deliberately not here: when the block compressor picks Huffman
// (block_compressor_test), arbitrary input (fuzz/entropy_decode) and speed
// (bench/bench_entropy_coders).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "drux_v2/huffman.h"
#include "test_support.h"

namespace drux {
namespace {

using test::all_values_block;
using test::bytes_of;
using test::concat;
using test::hex;
using test::random_bytes;
using test::text_block;

constexpr test::BlockCoder kHuffman{huffman_compress, huffman_decompress};

// Value k*7 with probability about 2^-(k+1).
ByteBuffer skewed_block(std::size_t size, unsigned seed) { return test::skewed_bytes(size, seed, 7); }

// Each value v appears counts[v] times, values interleaved so that the
// block is not sorted.
ByteBuffer block_with_counts(const std::vector<std::uint32_t>& counts) {
  ByteBuffer block;
  std::vector<std::uint32_t> left = counts;
  for (bool any = true; any;) {
    any = false;
    for (std::size_t v = 0; v < left.size(); ++v) {
      if (left[v] == 0) continue;
      block.push_back(static_cast<std::uint8_t>(v));
      --left[v];
      any = true;
    }
  }
  return block;
}

ByteBuffer distinct_values_block(int distinct) {
  ByteBuffer block;
  for (int v = 0; v < distinct; ++v) block.insert(block.end(), static_cast<std::size_t>(v % 7 + 1), static_cast<std::uint8_t>(v));
  return block;
}

std::vector<std::uint32_t> fibonacci_counts(int n) {
  std::vector<std::uint32_t> counts = {1, 1};
  while (static_cast<int>(counts.size()) < n) counts.push_back(counts[counts.size() - 1] + counts[counts.size() - 2]);
  return counts;
}

// Code lengths as stored in a compressed block's table.
CodeLengths stored_lengths(const ByteBuffer& compressed) {
  CodeLengths lengths{};
  if (compressed[0] == 0xFE) {
    std::copy(compressed.begin() + 1, compressed.begin() + 257, lengths.begin());
  } else {
    for (int i = 0; i < compressed[1]; ++i) lengths[compressed[2 + 2 * i]] = compressed[3 + 2 * i];
  }
  return lengths;
}

// Kraft sum scaled by 2^15: exactly 2^15 for a complete prefix code.
int scaled_kraft_sum(const CodeLengths& lengths) {
  int sum = 0;
  for (std::uint8_t l : lengths) {
    if (l != 0) sum += (1 << kMaxHuffmanCodeLength) >> l;
  }
  return sum;
}

TEST(HuffmanBlock, SmallBlocksHaveExactBytes) {
  struct Case {
    std::string block;
    std::string expected;
  } cases[] = {
      {"", ""},
      {"aaaa", "FF 01 61 01 04 00 00 00 00"},
      {"abab", "FF 02 61 01 62 01 04 00 00 00 50"},
      {"abcd", "FF 04 61 02 62 02 63 02 64 02 04 00 00 00 1B"},
      {"aaaaabbc", "FF 03 61 01 62 02 63 02 08 00 00 00 05 60"},
      // After a and b merge, the two leaves of frequency 2 merge with each
      // other, not with the new node: every value gets two bits.
      {"abccdd", "FF 04 61 02 62 02 63 02 64 02 06 00 00 00 1A F0"},
      // Frequencies 1, 1, 1, 3: when a pop finds two children of equal
      // weight it moves the right one up, which leaves b with a 2-bit code
      // and a and c with 3-bit codes.
      {"abcddd", "FF 04 61 03 62 02 63 03 64 01 06 00 00 00 D7 00"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(huffman_compress(bytes_of(c.block)), hex(c.expected)) << c.block;
  }
}

TEST(HuffmanBlock, SingleValueBlockIsOneZeroBitPerByte) {
  for (std::size_t n : {1u, 7u, 8u, 9u, 1000u}) {
    const ByteBuffer out = huffman_compress(ByteBuffer(n, 0x2A));
    ByteBuffer expected = hex("FF 01 2A 01");
    put_u32_le(expected, static_cast<std::uint32_t>(n));
    expected.resize(expected.size() + (n + 7) / 8, 0);
    EXPECT_EQ(out, expected) << n;
  }
}

TEST(HuffmanBlock, TableIsSparseUpTo126ValuesAndDenseFrom127) {
  struct Case {
    int distinct;
    std::uint8_t marker;
    std::size_t table_size;
  } cases[] = {
      {2, 0xFF, 2 + 4},
      {126, 0xFF, 2 + 252},
      {127, 0xFE, 257},
      {256, 0xFE, 257},
  };
  for (const auto& c : cases) {
    const ByteBuffer block = distinct_values_block(c.distinct);
    const ByteBuffer out = huffman_compress(block);
    ASSERT_GT(out.size(), c.table_size + 4);
    EXPECT_EQ(out[0], c.marker) << c.distinct;
    ByteReader length_field(ByteView(out).subspan(c.table_size));
    std::uint32_t length = 0;
    ASSERT_TRUE(length_field.read_u32_le(length));
    EXPECT_EQ(length, block.size()) << c.distinct;
    auto decoded = huffman_decompress(out, block.size());
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded.value(), block);
  }
}

TEST(HuffmanBlock, FibonacciCountsBuildA17LevelTreeStoredWithin15Bits) {
  const std::vector<std::uint32_t> counts = fibonacci_counts(18);
  ByteFrequencies frequencies{};
  std::copy(counts.begin(), counts.end(), frequencies.begin());
  const CodeLengths depths = huffman_tree_depths(frequencies);
  EXPECT_EQ(*std::max_element(depths.begin(), depths.end()), 17);

  const ByteBuffer block = block_with_counts(counts);
  ASSERT_EQ(block.size(), 6764u);
  const ByteBuffer out = huffman_compress(block);
  const CodeLengths stored = stored_lengths(out);
  EXPECT_EQ(stored, huffman_code_lengths(frequencies));
  EXPECT_LE(*std::max_element(stored.begin(), stored.end()), kMaxHuffmanCodeLength);
  EXPECT_EQ(scaled_kraft_sum(stored), 1 << kMaxHuffmanCodeLength);
  EXPECT_GE(stored[0], 1);
  for (int v = 1; v < 18; ++v) EXPECT_LE(stored[v], stored[v - 1]) << "commoner value got a longer code: " << v;
  auto decoded = huffman_decompress(out, block.size());
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded.value(), block);
}

TEST(HuffmanBlock, DeepTreesOfEverySizeKeepACompletePrefixCode) {
  // Fibonacci counts over more values push the tree far past 15 levels.
  for (int values : {17, 18, 20, 25, 30}) {
    const std::vector<std::uint32_t> counts = fibonacci_counts(values);
    ByteFrequencies frequencies{};
    std::copy(counts.begin(), counts.end(), frequencies.begin());
    const CodeLengths depths = huffman_tree_depths(frequencies);
    const CodeLengths lengths = huffman_code_lengths(frequencies);
    EXPECT_EQ(*std::max_element(depths.begin(), depths.end()), values - 1) << values;
    EXPECT_LE(*std::max_element(lengths.begin(), lengths.end()), kMaxHuffmanCodeLength) << values;
    EXPECT_EQ(scaled_kraft_sum(lengths), 1 << kMaxHuffmanCodeLength) << values;
  }
}

TEST(HuffmanBlock, ShallowTreesStoreTheirDepthsAsLengths) {
  const ByteBuffer blocks[] = {text_block(5000), skewed_block(5000, 3), random_bytes(3000, 256, 4),
                               all_values_block(3)};
  for (const auto& block : blocks) {
    const CodeLengths depths = huffman_tree_depths(count_byte_frequencies(block));
    ASSERT_LE(*std::max_element(depths.begin(), depths.end()), kMaxHuffmanCodeLength);
    EXPECT_EQ(stored_lengths(huffman_compress(block)), depths);
  }
}

TEST(HuffmanBlock, RoundTripsVariedBlocks) {
  struct Case {
    const char* name;
    ByteBuffer block;
  } cases[] = {
      {"single byte", {0x00}},
      {"two values", bytes_of("ab")},
      {"random", random_bytes(100000, 256, 1)},
      {"skewed", skewed_block(100000, 2)},
      {"text", text_block(70001)},
      {"all 256 values", all_values_block(3)},
      {"long run and one other", [] {
         ByteBuffer b(50000, 0x41);
         b[25000] = 0x42;
         return b;
       }()},
      {"many FF bytes", ByteBuffer(1000, 0xFF)},
  };
  for (const auto& c : cases) test::expect_round_trip(kHuffman, c.block, c.name);
}

// The size planned from the counts is the size written, for every table
// form and tree shape, and appending writes the same bytes after a prefix.
TEST(HuffmanBlock, PlanFromCountsGivesTheExactOutputSize) {
  struct Case {
    const char* name;
    ByteBuffer block;
  } cases[] = {
      {"single value", ByteBuffer(13, 0x41)},
      {"two values", bytes_of("ab")},
      {"126 values, sparse table", distinct_values_block(126)},
      {"127 values, dense table", distinct_values_block(127)},
      {"17-level tree", block_with_counts(fibonacci_counts(18))},
      {"random", random_bytes(100000, 256, 1)},
      {"skewed", skewed_block(100001, 2)},
      {"text", text_block(70001)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteBuffer whole = huffman_compress(c.block);
    const HuffmanPlan plan = plan_huffman(count_byte_frequencies(c.block), c.block.size());
    EXPECT_EQ(plan.output_size, whole.size());
    ByteBuffer appended = bytes_of("prefix");
    append_huffman(c.block, plan, appended);
    EXPECT_EQ(appended, concat({bytes_of("prefix"), whole}));
  }
}

TEST(HuffmanBlock, EmptyInputDecodesToEmptyBlock) {
  test::expect_empty_input_decodes_to_empty_block(kHuffman);
}

TEST(HuffmanBlock, DecoderAcceptsAnIncompleteCodeWhoseBitsAllDecode) {
  // a = 0, b = 10 and the pattern 11 unused: "aba" is 0 10 0.
  auto decoded = huffman_decompress(hex("FF 02 61 01 62 02 03 00 00 00 40"), 16);
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded.value(), bytes_of("aba"));
}

TEST(HuffmanBlock, DecoderRefusesMalformedBlocks) {
  // Valid reference: aaaaabbc is FF 03 61 01 62 02 63 02 08 00 00 00 05 60.
  std::string dense_two_values = "FE";
  for (int v = 0; v < 256; ++v) dense_two_values += v == 0x61 || v == 0x62 ? " 01" : " 00";
  const test::MalformedBlock cases[] = {
      {"truncated table", "FF 03 61 01 62", 100},
      {"missing value count", "FF", 100},
      {"unknown table marker", "FD 03 61 01 62 02 63 02 08 00 00 00 05 60", 100},
      {"sparse count zero", "FF 00 08 00 00 00 05 60", 100},
      {"sparse count of a dense table", "FF 7F 00 01", 100},
      {"values not ascending", "FF 03 62 02 61 01 63 02 08 00 00 00 05 60", 100},
      {"value repeated", "FF 03 61 01 61 02 63 02 08 00 00 00 05 60", 100},
      {"zero length in sparse table", "FF 03 61 00 62 02 63 02 08 00 00 00 05 60", 100},
      {"length above 15", "FF 03 61 01 62 02 63 10 08 00 00 00 05 60", 100},
      {"lengths overfill the code", "FF 03 61 01 62 01 63 02 08 00 00 00 05 60", 100},
      {"single value with a two-bit code", "FF 01 61 02 04 00 00 00 00", 100},
      {"dense table with two values", dense_two_values + " 02 00 00 00 40", 100},
      {"truncated dense table", "FE 00 01 01", 100},
      {"truncated block length", "FF 03 61 01 62 02 63 02 08 00", 100},
      {"block length above max output", "FF 03 61 01 62 02 63 02 08 00 00 00 05 60", 7},
      {"block length beyond the bit stream", "FF 03 61 01 62 02 63 02 FF FF FF FF 05 60", 0xFFFFFFFFu},
      {"block length below the value count", "FF 03 61 01 62 02 63 02 02 00 00 00 05 60", 100},
      {"bit stream runs out", "FF 03 61 01 62 02 63 02 08 00 00 00 05", 100},
      {"trailing byte", "FF 03 61 01 62 02 63 02 08 00 00 00 05 60 00", 100},
      {"nonzero padding bit", "FF 03 61 01 62 02 63 02 08 00 00 00 05 61", 100},
      {"unused code pattern", "FF 02 61 01 62 02 02 00 00 00 C0", 100},
      {"one bit in a single-value stream", "FF 01 61 01 04 00 00 00 80", 100},
      {"single-value stream too long", "FF 01 61 01 04 00 00 00 00 00", 100},
  };
  for (const auto& c : cases) test::expect_refused_as_bad_data(kHuffman, c);
}

// The decoder takes one or two short codes per table lookup while at least
// eight input bytes remain, and codes longer than that table one at a
// time; a long stream crosses both roads and the byte-at-a-time tail.
// Here a = 0, b = 10, c = 110 and d = 1110000000000000 (15 bits); the
// patterns 1110000000000001 to 1111111111111111 start no code.
ByteBuffer incomplete_code_block(const std::string& symbols) {
  std::string bits;
  for (char s : symbols) bits += s == 'a' ? "0" : s == 'b' ? "10" : s == 'c' ? "110" : s == 'd' ? "111000000000000" : "1111";
  ByteBuffer out = hex("FF 04 61 01 62 02 63 03 64 0F");
  const auto n = static_cast<std::uint32_t>(symbols.size());
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(n >> (8 * k)));
  while (bits.size() % 8 != 0) bits += '0';
  for (std::size_t i = 0; i < bits.size(); i += 8) out.push_back(static_cast<std::uint8_t>(std::stoi(bits.substr(i, 8), nullptr, 2)));
  return out;
}

TEST(HuffmanBlock, LongStreamsDecodeShortAndLongCodesAndFindUnknownOnesAnywhere) {
  std::string symbols;
  for (int i = 0; i < 300; ++i) symbols += "abacdaab"[i % 8] == 'd' && i % 3 ? 'a' : "abacdaab"[i % 8];
  auto decoded = huffman_decompress(incomplete_code_block(symbols), symbols.size());
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded.value(), bytes_of(symbols));
  // An unknown pattern ("e" above) at the start, amid the table lookups,
  // right after a long code, and in the tail with more than 15 bits after it.
  for (std::size_t at : {std::size_t{0}, std::size_t{101}, symbols.find('d') + 1, symbols.size() - 12}) {
    std::string bad = symbols;
    bad[at] = 'e';
    auto refused = huffman_decompress(incomplete_code_block(bad), bad.size());
    ASSERT_FALSE(refused.ok()) << "unknown code at " << at;
    EXPECT_NE(refused.error().find("unknown code"), std::string::npos) << at << ": " << refused.error();
  }
}

TEST(HuffmanBlock, EveryProperPrefixOfABlockIsRefused) {
  test::expect_every_proper_prefix_refused(kHuffman, skewed_block(2000, 5));
}

TEST(HuffmanBlock, CorruptedBlocksAreRefusedOrStayWithinTheLimit) {
  test::expect_corruption_refused_or_within(kHuffman, skewed_block(600, 9), 1000);
}

TEST(HuffmanBlock, BlockOf4GiBOrMoreGivesEmptyOutput) { test::expect_empty_output_for_4gib_block(kHuffman); }

}  // namespace
}  // namespace drux
