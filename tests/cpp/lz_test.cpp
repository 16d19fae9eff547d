// The LZ token stream: literals, FF-escaped back-references, the match
// finder's choices, and the strict decoder. Known blocks are pinned to
// their exact tokens, and blocks built to sit at each limit of the finder
// (reach, chain length, lookahead) show which match it must take.
// Deliberately not here: the fast and thorough parses
// (compression_level_test), the entropy coding of the tokens
// (block_compressor_test) and arbitrary input (fuzz/entropy_decode).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "drux_v2/lz.h"
#include "test_support.h"

namespace drux {
namespace {

using test::bytes_of;
using test::concat;
using test::repeat;

struct TokenCase {
  const char* name;
  ByteBuffer block;
  ByteBuffer tokens;
};

// Each case pins the exact token stream and decodes back to its block.
TEST(LzTokenStream, EncodesKnownBlocksExactlyAndDecodesThemBack) {
  const TokenCase cases[] = {
      {"one literal then a distance-1 run", ByteBuffer(1000, 'A'), {0x41, 0xFF, 0x01, 0x00, 0xE7, 0x03}},
      {"period-3 text", bytes_of(repeat("abc", 7)), {0x61, 0x62, 0x63, 0xFF, 0x03, 0x00, 0x12, 0x00}},
      {"FF literal is escaped, FF run is a match",
       ByteBuffer(10, 0xFF),
       {0xFF, 0x00, 0x00, 0x01, 0x00, 0xFF, 0x01, 0x00, 0x09, 0x00}},
      {"lazy step prefers the 11-byte match one position on",
       bytes_of("abcdefXYZ.bcdefghijk.abcdefghijk.."),
       concat({bytes_of("abcdefXYZ.bcdefghijk.a"), {0xFF, 0x0C, 0x00, 0x0B, 0x00}, bytes_of(".")})},
      {"lazy step needs more than one extra byte",
       bytes_of("Xabcdef1bcdefgh2abcdefgh3...."),
       concat({bytes_of("Xabcdef1bcdefgh2"), {0xFF, 0x0F, 0x00, 0x06, 0x00}, bytes_of("gh3....")})},
      {"lazy step taken for two extra bytes",
       bytes_of("Xabcdef1bcdefghi2abcdefghi3...."),
       concat({bytes_of("Xabcdef1bcdefghi2a"), {0xFF, 0x0A, 0x00, 0x08, 0x00}, bytes_of("3....")})},
      // The same two steps with 16 bytes or more left, where the lookahead
      // compares whole words before it walks.
      {"lazy step taken for two extra bytes, far from the end",
       bytes_of("Xabcdef1bcdefghi2abcdefghi3" + repeat(".", 20)),
       concat({bytes_of("Xabcdef1bcdefghi2a"), {0xFF, 0x0A, 0x00, 0x08, 0x00}, bytes_of("3."),
               {0xFF, 0x01, 0x00, 0x13, 0x00}})},
      {"lazy step not taken for one extra byte, far from the end",
       bytes_of("Xabcdef1bcdefgh2abcdefgh3" + repeat(".", 20)),
       concat({bytes_of("Xabcdef1bcdefgh2"), {0xFF, 0x0F, 0x00, 0x06, 0x00}, bytes_of("gh3."),
               {0xFF, 0x01, 0x00, 0x13, 0x00}})},
      {"equal lengths go to the nearest candidate",
       bytes_of("abcdefgh1abcdefgh2abcdefgh3...."),
       concat({bytes_of("abcdefgh1"), {0xFF, 0x09, 0x00, 0x08, 0x00}, bytes_of("2"), {0xFF, 0x09, 0x00, 0x08, 0x00},
               bytes_of("3....")})},
      // The most recent candidates are the shorter ones: 15, 16 and 17
      // bytes, around the 16 bytes a candidate's first compare covers.
      {"longest of 15, 16 and 17 bytes is the oldest",
       bytes_of("ABCDEFGHIJKLMNOPQ1ABCDEFGHIJKLMNOP2ABCDEFGHIJKLMNO3ABCDEFGHIJKLMNOPQ4...."),
       concat({bytes_of("ABCDEFGHIJKLMNOPQ1"), {0xFF, 0x12, 0x00, 0x10, 0x00}, bytes_of("2"),
               {0xFF, 0x11, 0x00, 0x0F, 0x00}, bytes_of("3"), {0xFF, 0x33, 0x00, 0x11, 0x00}, bytes_of("4....")})},
      {"five-byte repeats stay literals", bytes_of("abcde1abcde2abcde3...."), bytes_of("abcde1abcde2abcde3....")},
      // Inside a match of 33 to 64 bytes every second position is hashed, so
      // the nearest 9-byte candidate in the first run lies 11 bytes back.
      {"positions inside a 49-byte match are sampled",
       bytes_of(repeat("x", 50) + "#" + repeat("x", 9) + "!...."),
       concat({bytes_of("x"), {0xFF, 0x01, 0x00, 0x31, 0x00}, bytes_of("#"), {0xFF, 0x0B, 0x00, 0x09, 0x00},
               bytes_of("!....")})},
      // Position 23 is inserted by the lookahead and must not be inserted again
      // after the match at 22: a second insertion would loop its chain onto
      // itself and hide the 14-byte match at position 0.
      {"the lookahead position enters its chain once",
       bytes_of("wxyz0123456789#Pwxyz!&Pwxyz!*%wxyz0123456789...."),
       concat({bytes_of("wxyz0123456789#Pwxyz!&"), {0xFF, 0x07, 0x00, 0x06, 0x00}, bytes_of("*%"),
               {0xFF, 0x1E, 0x00, 0x0E, 0x00}, bytes_of("....")})},
      {"short block is all literals", {0x01, 0xFF, 0x02}, {0x01, 0xFF, 0x00, 0x00, 0x01, 0x00, 0x02}},
      // Long runs split at the 16-bit length limit; inside a match longer than
      // 64 only every fourth position is hashed, so later matches reach back 2.
      {"run longer than 65535 bytes",
       ByteBuffer(200000, 'x'),
       {0x78, 0xFF, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xFF, 0xFF, 0xFF, 0x02,
        0x00, 0x42, 0x0D}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(lz_compress(c.block), c.tokens);
    auto decoded = lz_decompress(c.tokens, c.block.size());
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded.value(), c.block);
  }
}

// A block of `pattern`, `gap - pattern` filler bytes, `pattern` again and a
// final byte: the only earlier occurrence of the second pattern is `gap` back.
ByteBuffer pattern_at_distance(std::size_t gap) {
  const std::string pattern = "ABCDEFGH";
  ByteBuffer block = bytes_of(pattern);
  block.resize(gap, 'z');
  block.insert(block.end(), pattern.begin(), pattern.end());
  block.push_back('.');
  return block;
}

TEST(LzMatchFinder, ReachesBackAtMost65535Bytes) {
  const ByteBuffer far_match = {0xFF, 0xFF, 0xFF, 0x08, 0x00, '.'};
  const ByteBuffer literals = bytes_of("ABCDEFGH.");
  struct Case {
    std::size_t gap;
    const ByteBuffer& tail;
  } cases[] = {{65535, far_match}, {65536, literals}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gap);
    const ByteBuffer block = pattern_at_distance(c.gap);
    const ByteBuffer tokens = lz_compress(block);
    ASSERT_GE(tokens.size(), c.tail.size());
    EXPECT_EQ(ByteBuffer(tokens.end() - static_cast<std::ptrdiff_t>(c.tail.size()), tokens.end()), c.tail);
    auto decoded = lz_decompress(tokens, block.size());
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded.value(), block);
  }
}

// "abcdefghij#", then `decoys` occurrences of "abcd" that match only four or
// five bytes, then "abcdefghij": the chain walk examines 7 earlier entries.
// Spread over most of the 65535-byte reach, far into a long block, the walk
// must follow the same links: the ones each position was given when it
// entered the chains.
TEST(LzMatchFinder, ChainWalkExaminesSevenEarlierPositions) {
  struct Case {
    int decoys;
    std::size_t lead_in;  // bytes of y before the first occurrence
    std::size_t spacing;  // bytes of z before each decoy
    bool finds_first_occurrence;
  } cases[] = {{5, 0, 0, true}, {6, 0, 0, true}, {7, 0, 0, false}, {8, 0, 0, false},
               {6, 400000, 8500, true}, {7, 400000, 8500, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.decoys << " decoys " << c.spacing << " bytes apart");
    std::string text(c.lead_in, 'y');
    text += "abcdefghij#";
    for (int i = 0; i < c.decoys; ++i) text += std::string(c.spacing, 'z') + "abcd" + std::to_string(i) + ";";
    const std::size_t distance = text.size() - c.lead_in;
    ASSERT_LE(distance, 65535u);
    text += "abcdefghij!!!!";
    const ByteBuffer tokens = lz_compress(bytes_of(text));
    const ByteBuffer match = {0xFF, static_cast<std::uint8_t>(distance), static_cast<std::uint8_t>(distance >> 8),
                              10, 0};
    const bool found = std::search(tokens.begin(), tokens.end(), match.begin(), match.end()) != tokens.end();
    EXPECT_EQ(found, c.finds_first_occurrence);
    // Otherwise the 9-byte match of "bcdefghij" one position later is taken.
    if (c.spacing == 0) {
      EXPECT_EQ(tokens.size(), text.size() - (c.finds_first_occurrence ? 10 : 9) + 5);
    }
  }
}

// "abcdefghij#", then decoys "#abcd1;" and a digit: each decoy after the
// first is a 7-byte match taken at its "#", whose lookahead has already put
// the "abcd" after it into the chains. Inserted once, the five decoys leave
// the first occurrence as the walk's sixth entry; inserted twice, they would
// push it out of the seven.
TEST(LzMatchFinder, LookaheadPositionsEnterTheChainsOnce) {
  std::string text = "abcdefghij#";
  for (int i = 0; i < 5; ++i) text += "#abcd1;" + std::to_string(i);
  const std::size_t distance = text.size();
  text += "abcdefghij!!!!";
  const ByteBuffer tokens = lz_compress(bytes_of(text));
  const ByteBuffer first_occurrence = {0xFF, static_cast<std::uint8_t>(distance), 0, 10, 0};
  EXPECT_NE(std::search(tokens.begin(), tokens.end(), first_occurrence.begin(), first_occurrence.end()),
            tokens.end());
}

// `count` bytes that hold no FF and no repeat of 6 bytes or more.
ByteBuffer unique_bytes(std::size_t count) { return test::random_bytes(count, 255, 42); }

ByteBuffer slice(const ByteBuffer& b, std::size_t from, std::size_t to) {
  return ByteBuffer(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
}

ByteBuffer match_token(std::size_t distance, std::size_t length) {
  return {0xFF, static_cast<std::uint8_t>(distance), static_cast<std::uint8_t>(distance >> 8),
          static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
}

// Two chain entries more than 65535 bytes apart: the older one, and every
// position between them that never entered the chains, stay out of reach.
// Here a copy of "abcdefghij!!!!!" sits between them inside a 100-byte
// match, where it was not hashed; it lies 330 bytes behind the search, but
// only the entry 30 bytes back may be taken.
TEST(LzMatchFinder, PositionsBetweenFarApartEntriesAreNotCandidates) {
  const ByteBuffer chunk = concat({bytes_of("<<abcdefghij!!!!!"), unique_bytes(83)});
  ASSERT_EQ(chunk.size(), 100u);
  const auto run_up_to = [](ByteBuffer block, std::size_t end, char filler) {
    block.resize(end, static_cast<std::uint8_t>(filler));
    return block;
  };
  // Copies of the chunk at 0, 32768 and 65536, each but the first taken as
  // one match of the one before, with different fillers so they end there.
  ByteBuffer block = run_up_to(chunk, 32768, 'x');
  block = run_up_to(concat({block, chunk}), 65536, 'y');
  block = run_up_to(concat({block, chunk}), 65838, 'z');  // 65536 + 2 + 300: 300 past the last copy's text
  block = run_up_to(concat({block, bytes_of("abcdefghij#")}), 65868, 'w');
  block = concat({block, bytes_of("abcdefghij!!!!!....")});
  const ByteBuffer tokens = lz_compress(block);
  const ByteBuffer near = match_token(30, 10);
  const ByteBuffer between = match_token(330, 15);
  EXPECT_NE(std::search(tokens.begin(), tokens.end(), near.begin(), near.end()), tokens.end());
  EXPECT_EQ(std::search(tokens.begin(), tokens.end(), between.begin(), between.end()), tokens.end());
  auto decoded = lz_decompress(tokens, block.size());
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded.value(), block);
}

// A match longer than 127 bytes is taken as found: the chain walk stops at
// it and no lookahead follows, even where a longer match was within reach.
TEST(LzMatchFinder, MatchLongerThan127EndsTheSearch) {
  const ByteBuffer b = unique_bytes(301);
  struct Case {
    const char* name;
    ByteBuffer block;
    ByteBuffer taken;
    ByteBuffer passed_over;
  } cases[] = {
      {"nearer 200-byte match beats older 300-byte one",
       concat({slice(b, 0, 300), bytes_of("#1"), slice(b, 0, 200), bytes_of("#2"), slice(b, 0, 300), bytes_of("#3")}),
       match_token(202, 200), match_token(504, 300)},
      {"131-byte match beats a 300-byte one a position later",
       concat({slice(b, 0, 131), bytes_of("#"), slice(b, 1, 301), bytes_of("%"), slice(b, 0, 301), bytes_of("!....")}),
       match_token(433, 131), match_token(301, 300)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteBuffer tokens = lz_compress(c.block);
    EXPECT_NE(std::search(tokens.begin(), tokens.end(), c.taken.begin(), c.taken.end()), tokens.end());
    EXPECT_EQ(std::search(tokens.begin(), tokens.end(), c.passed_over.begin(), c.passed_over.end()), tokens.end());
    auto decoded = lz_decompress(tokens, c.block.size());
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded.value(), c.block);
  }
}

// Blocks of many shapes come back unchanged and never need more than five
// token bytes per block byte.
TEST(LzTokenStream, RoundTripsVariedBlocks) {
  std::mt19937 rng(7);
  std::vector<ByteBuffer> blocks;
  for (std::size_t size : {5, 10, 11, 100, 4096, 70000}) {
    for (unsigned alphabet : {1u, 2u, 4u, 16u, 256u}) {
      ByteBuffer b(size);
      for (auto& v : b) v = static_cast<std::uint8_t>(0xFF - rng() % alphabet);  // FF-heavy
      blocks.push_back(b);
    }
    for (std::size_t period : {1, 3, 7, 8, 9, 31, 200}) {
      ByteBuffer b(size);
      for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i % period) * 37 + (rng() % 50 == 0));
      blocks.push_back(b);
    }
  }
  for (const auto& block : blocks) {
    SCOPED_TRACE(block.size());
    const ByteBuffer tokens = lz_compress(block);
    EXPECT_LE(tokens.size(), 5 * block.size());
    auto decoded = lz_decompress(tokens, block.size());
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded.value(), block);
  }
}

TEST(LzDecoder, CopiesOverlappingMatchesByteByByte) {
  struct Case {
    ByteBuffer tokens;
    std::string expected;
  } cases[] = {
      {concat({bytes_of("ab"), {0xFF, 0x02, 0x00, 0x06, 0x00}}), "abababab"},
      {concat({bytes_of("abc"), {0xFF, 0x03, 0x00, 0x0A, 0x00}}), "abcabcabcabca"},
      {concat({bytes_of("0123456789"), {0xFF, 0x09, 0x00, 0x0C, 0x00}}), "0123456789123456789123"},
      {concat({bytes_of("01234567"), {0xFF, 0x08, 0x00, 0x11, 0x00}}), "0123456701234567012345670"},
      {concat({bytes_of("xy"), {0xFF, 0x00, 0x00, 0x01, 0x00}, bytes_of("z")}), "xy\xFFz"},
  };
  for (const auto& c : cases) {
    auto decoded = lz_decompress(c.tokens, 1000);
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(std::string(decoded.value().begin(), decoded.value().end()), c.expected);
  }
}

TEST(LzDecoder, RefusesMalformedTokensAndOversizedOutput) {
  struct Case {
    const char* name;
    ByteBuffer tokens;
    std::size_t max_output;
  } cases[] = {
      {"token cut after its marker", {'a', 0xFF}, 100},
      {"token cut inside its length", {'a', 0xFF, 0x01, 0x00, 0x06}, 100},
      {"distance 0 with length other than 1", {'a', 0xFF, 0x00, 0x00, 0x02, 0x00}, 100},
      {"distance 0 with length 0", {'a', 0xFF, 0x00, 0x00, 0x00, 0x00}, 100},
      {"match before any output", {0xFF, 0x01, 0x00, 0x06, 0x00}, 100},
      {"distance past the decoded output", {'a', 'b', 0xFF, 0x03, 0x00, 0x06, 0x00}, 100},
      {"match shorter than 6", {'a', 'b', 0xFF, 0x01, 0x00, 0x05, 0x00}, 100},
      {"match of length 0", {'a', 'b', 0xFF, 0x01, 0x00, 0x00, 0x00}, 100},
      {"literals past the limit", bytes_of("abcdef"), 5},
      {"escaped FF past the limit", {'a', 0xFF, 0x00, 0x00, 0x01, 0x00}, 1},
      {"match past the limit", {'a', 0xFF, 0x01, 0x00, 0x06, 0x00}, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = lz_decompress(c.tokens, c.max_output);
    EXPECT_FALSE(decoded.ok());
  }
}

TEST(LzDecoder, OutputMayReachItsLimitExactly) {
  const ByteBuffer tokens = {'a', 0xFF, 0x01, 0x00, 0x06, 0x00, 0xFF, 0x00, 0x00, 0x01, 0x00};
  auto decoded = lz_decompress(tokens, 8);
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded.value(), concat({ByteBuffer(7, 'a'), {0xFF}}));
  EXPECT_FALSE(lz_decompress(tokens, 7).ok());
}

TEST(LzDecoder, EmptyStreamDecodesToEmptyBlock) {
  auto decoded = lz_decompress({}, 0);
  ASSERT_TRUE(decoded.ok());
  EXPECT_TRUE(decoded.value().empty());
}

}  // namespace
}  // namespace drux
