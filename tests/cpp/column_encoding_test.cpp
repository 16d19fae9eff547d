// One column of one chunk: which encoding it gets, the payload bytes, its
// statistics and membership filter, and the counter blocks of encryption.
// Small columns are encoded through encode_column_chunk and checked against
// literal bytes and bits, and the encoding trials against the encoders'
// actual output sizes.
// Deliberately not here: the codecs' own layouts (int_codecs_test,
// string_codec_test, nested_codec_test) and the block compression around
// the payload (block_compressor_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "drux_v2/column_block.h"
#include "drux_v2/int_codecs.h"
#include "drux_v2/nested_codec.h"
#include "drux_v2/string_codec.h"

namespace drux {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

std::vector<Row> single_column(std::vector<KVal> cells) {
  std::vector<Row> rows;
  for (KVal& cell : cells) rows.push_back(Row{std::move(cell)});
  return rows;
}

ColumnChunk encode(const KColumn& column, const std::vector<Row>& rows, std::size_t c = 0,
                   std::uint64_t chunk_index = 0) {
  ColumnScratch scratch;
  ColumnChunk out;
  encode_column_chunk(column, rows, c, chunk_index, scratch, out);
  return out;
}

std::vector<KVal> ints(std::initializer_list<std::int64_t> values) {
  std::vector<KVal> cells;
  for (std::int64_t v : values) cells.push_back(KVal::Int(v));
  return cells;
}

std::vector<unsigned> set_bits(const BloomFilter& bloom) {
  std::vector<unsigned> bits;
  for (unsigned i = 0; i < kBloomBits; ++i) {
    if ((bloom[i / 64] >> (i % 64)) & 1) bits.push_back(i);
  }
  return bits;
}

// ---- Float scaling ---------------------------------------------------------

TEST(FloatScaling, FourDecimalPlacesRoundedHalfAwayFromZeroAndSaturated) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double value;
    std::int64_t expected;
  } cases[] = {
      {1.5, 15000},
      {2.25, 22500},
      {0.00004, 0},
      {0.00005, 1},   // product exactly 0.5
      {-0.00005, -1},
      {0.00015, 1},   // product 1.4999999999999998
      {std::nan(""), 0},
      {inf, kMax},
      {-inf, kMin},
      {9.3e14, kMax},   // product passes the largest double below 2^63
      {-9.3e14, kMin},
      {922337203685477.0, 9223372036854769664},  // below the saturation bound
  };
  for (const auto& c : cases) EXPECT_EQ(scale_float(c.value), c.expected) << c.value;
}

// ---- Integer encoding choice -------------------------------------------------

TEST(IntegerEncodingChoice, ArithmeticSequencesShortFramesAndCheapestTrial) {
  struct Case {
    std::vector<std::int64_t> values;
    Encoding expected;
  } cases[] = {
      {{5}, Encoding::ConstantDelta},
      {{0, kMin}, Encoding::ConstantDelta},  // any two values
      {{1, 2, 3}, Encoding::ConstantDelta},
      {{5, 5, 5}, Encoding::ConstantDelta},
      {{kMax, kMin, kMin + 1}, Encoding::ConstantDelta},  // wrap-around difference +1
      {{1, 2, 4}, Encoding::FrameOfReference},            // R 7, D 3, F 3: ties go to FOR
      {{0, 5000000000, 1}, Encoding::Delta},              // FOR ruled out; R 11 = D 11 goes to delta
      {{1000000, 1000000, 1000000, 1000000, 1000000, 0}, Encoding::RunLength},
      {{0, 1000, 2000, 3000, 5000000000}, Encoding::Delta},
      // A range of exactly 32 bits still allows frame of reference; one more rules it out.
      {{0, 0xFFFFFFFF, 0x80000000, 0xFFFFFFFE, 0x80000001, 0xFFFFFFFD, 0x80000002, 0xFFFFFFFC},
       Encoding::FrameOfReference},
      {{0, 0x100000000, 0x80000000, 0xFFFFFFFE, 0x80000001, 0xFFFFFFFD, 0x80000002, 0xFFFFFFFC}, Encoding::Delta},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(choose_int_encoding(c.values), c.expected) << ::testing::PrintToString(c.values);
  }
}

TEST(IntegerEncodingChoice, TrialSizesMatchTheEncodersOutput) {
  const std::vector<std::vector<std::int64_t>> sequences = {
      {1, 2, 4},
      {7, 7, 7, 1},
      {0, 5000000000, 1},
      {kMax, kMin, 0, -1},
      {-64, 63, -65, 64, 8191, -8192},
      {3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 9},
      {0, 1, 2, 3, 4, 5, 6, 7, 8, 100},
  };
  for (const auto& v : sequences) {
    IntTrialSizes s = int_trial_sizes(v);
    EXPECT_EQ(s.rle, encode_rle_int(v).size()) << ::testing::PrintToString(v);
    EXPECT_EQ(s.delta, encode_delta_int(v).size()) << ::testing::PrintToString(v);
    std::uint64_t range = static_cast<std::uint64_t>(*std::max_element(v.begin(), v.end())) -
                          static_cast<std::uint64_t>(*std::min_element(v.begin(), v.end()));
    if (range <= 0xFFFFFFFF) {
      EXPECT_EQ(s.for_, encode_for(v).size()) << ::testing::PrintToString(v);
    } else {
      EXPECT_EQ(s.for_, std::numeric_limits<std::size_t>::max()) << ::testing::PrintToString(v);
    }
  }
}

TEST(IntegerEncodingChoice, TrialSizesOfTheDocumentedExample) {
  IntTrialSizes s = int_trial_sizes(std::vector<std::int64_t>{1, 2, 4});
  EXPECT_EQ(s.rle, 7u);
  EXPECT_EQ(s.delta, 3u);
  EXPECT_EQ(s.for_, 3u);
}

// ---- Payloads by column type -------------------------------------------------

TEST(ColumnPayload, IntegerAndFloatColumnsCarryTheChosenEncoding) {
  struct Case {
    ColType type;
    std::vector<KVal> cells;
    Encoding encoding;
    ByteBuffer payload;
  } cases[] = {
      {ColType::Int, ints({1, 2, 3}), Encoding::ConstantDelta, {0x02, 0x02}},
      {ColType::Int, ints({5, 5, 5}), Encoding::ConstantDelta, {0x0A, 0x00}},
      {ColType::Int, ints({1, 2, 4}), Encoding::FrameOfReference, {0x02, 0x02, 0x34}},
      {ColType::Int, ints({7, 7, 7, 7, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 7}),
       Encoding::RunLength, {0x03, 0x04, 0x0E, 0x17, 0x02, 0x01, 0x0E}},
      // Nulls and other variants read as 0 in an integer column.
      {ColType::Int, {KVal::Int(4), KVal::Null(), KVal::Str("9")}, Encoding::Delta, {0x08, 0x07, 0x00}},
      // 15000 and 22500: constant delta of 15000 and 7500 behind the marker.
      {ColType::Float, {KVal::Float(1.5), KVal::Float(2.25)}, Encoding::ConstantDelta,
       {0xFE, 0x04, 0xB0, 0xEA, 0x01, 0x98, 0x75}},
      {ColType::Float, {KVal::Float(0.00004), KVal::Float(0.00005), KVal::Float(0.00015)}, Encoding::FrameOfReference,
       {0xFE, 0x04, 0x00, 0x01, 0x06}},
      // Int cells take their value, Nulls 0: 20000, 0, 1, 1.
      {ColType::Float, {KVal::Int(2), KVal::Null(), KVal::Float(0.0001), KVal::Float(0.0001)}, Encoding::Delta,
       {0xFE, 0x04, 0xC0, 0xB8, 0x02, 0xBF, 0xB8, 0x02, 0x02, 0x00}},
  };
  for (auto& c : cases) {
    ColumnChunk out = encode(make_column("v", c.type), single_column(std::move(c.cells)));
    EXPECT_EQ(out.encoding, c.encoding);
    EXPECT_EQ(out.payload, c.payload);
  }
}

TEST(ColumnPayload, BooleanBitmapIsLeastSignificantBitFirst) {
  ColumnChunk out = encode(make_column("b", ColType::Bool),
                           single_column({KVal::Str("true"), KVal::Str("0"), KVal::Int(7), KVal::Null(),
                                          KVal::Bool(true), KVal::Float(1.0), KVal::Str("1"), KVal::Str("TRUE"),
                                          KVal::Bool(false)}));
  EXPECT_EQ(out.encoding, Encoding::Bitmap);
  EXPECT_EQ(out.payload, (ByteBuffer{0xD5, 0x00}));
}

TEST(ColumnPayload, StringColumnIsRawStringsOfTheTextViews) {
  ColumnChunk out = encode(make_column("s"), single_column({KVal::Str("ab"), KVal::Null(), KVal::Int(5),
                                                            KVal::Str("")}));
  EXPECT_EQ(out.encoding, Encoding::Plain);
  EXPECT_EQ(out.payload, (ByteBuffer{0x02, 'a', 'b', 0x00, 0x00, 0x00}));
}

TEST(ColumnPayload, BytesColumnPrefixesEachBytesCellAndZeroesTheRest) {
  ColumnChunk out = encode(make_column("y", ColType::Bytes),
                           single_column({KVal::Bytes(std::string("\xFF\x00", 2)), KVal::Null(), KVal::Str("zz"),
                                          KVal::Bytes("")}));
  EXPECT_EQ(out.encoding, Encoding::Plain);
  EXPECT_EQ(out.payload, (ByteBuffer{0x02, 0xFF, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(out.stats.null_count, 1u);
}

TEST(ColumnPayload, NestedColumnFramesEachValueWithItsLength) {
  for (ColType type : {ColType::Object, ColType::List, ColType::Map}) {
    ColumnChunk out = encode(make_column("n", type),
                             single_column({KVal::List({KVal::Int(1), KVal::Null()}), KVal::Null(), KVal::Int(5)}));
    EXPECT_EQ(out.encoding, Encoding::Plain);
    EXPECT_EQ(out.payload, (ByteBuffer{0x07, 0x07, 0x02, 0x02, 0x01, 0x02, 0x01, 0x00,  // list
                                       0x01, 0x00,                                      // Null
                                       0x02, 0x01, 0x0A}));                             // Int 5
    EXPECT_EQ(out.stats.null_count, 1u);
    EXPECT_EQ(out.stats.min_int, 0);
    EXPECT_EQ(set_bits(out.bloom), std::vector<unsigned>{});
  }
}

TEST(ColumnPayload, ShortRowsReadAsNullAndLaterColumnsAreTheirOwn) {
  std::vector<Row> rows = {{KVal::Str("a"), KVal::Int(3)}, {KVal::Str("b")}, {KVal::Str("c"), KVal::Int(9), KVal::Int(1)}};
  ColumnChunk out = encode(make_column("i", ColType::Int), rows, 1);
  EXPECT_EQ(out.stats.null_count, 1u);
  EXPECT_EQ(out.stats.min_int, 3);
  EXPECT_EQ(out.stats.max_int, 9);
  EXPECT_EQ(out.encoding, Encoding::Delta);
  EXPECT_EQ(out.payload, (ByteBuffer{0x06, 0x05, 0x12}));  // 3, 0, 9
}

// ---- Statistics ----------------------------------------------------------------

TEST(ColumnStatistics, IntegerBoundsSkipNullsAndCollapseToZeroWhenNothingIsBelowTheStart) {
  struct Case {
    ColType type;
    std::vector<KVal> cells;
    std::int64_t min_int, max_int;
    std::uint32_t nulls;
  } cases[] = {
      {ColType::Int, {KVal::Int(-4), KVal::Null(), KVal::Int(12), KVal::Int(3)}, -4, 12, 1},
      {ColType::Int, {KVal::Null(), KVal::Null()}, 0, 0, 2},
      {ColType::Int, {KVal::Int(kMax), KVal::Int(kMax)}, 0, 0, 0},  // left at the scan's start
      {ColType::Int, {KVal::Int(kMax), KVal::Int(kMin)}, kMin, kMax, 0},
      // A float column's bounds truncate the value; they are not the scaled numbers.
      {ColType::Float, {KVal::Float(2.9), KVal::Float(-2.9), KVal::Null()}, -2, 2, 1},
      // A boolean column's Str cells count as 0, its Int cells as themselves.
      {ColType::Bool, {KVal::Str("true"), KVal::Int(7), KVal::Bool(true), KVal::Null()}, 0, 7, 1},
  };
  for (auto& c : cases) {
    ColumnChunk out = encode(make_column("v", c.type), single_column(std::move(c.cells)));
    EXPECT_EQ(out.stats.min_int, c.min_int);
    EXPECT_EQ(out.stats.max_int, c.max_int);
    EXPECT_EQ(out.stats.null_count, c.nulls);
    EXPECT_TRUE(out.stats.min_str.empty());
    EXPECT_TRUE(out.stats.max_str.empty());
    EXPECT_EQ(set_bits(out.bloom), std::vector<unsigned>{});
  }
}

TEST(ColumnStatistics, StringBoundsUseUnsignedTextOrderOverNonNullCells) {
  struct Case {
    std::vector<KVal> cells;
    std::string min_str, max_str;
    std::uint32_t nulls;
  } cases[] = {
      {{KVal::Str("pear"), KVal::Null(), KVal::Str("apple"), KVal::Str("zoo")}, "apple", "zoo", 1},
      {{KVal::Str("ab"), KVal::Str("abc"), KVal::Str("a")}, "a", "abc", 0},
      {{KVal::Str("\xC3\xA9"), KVal::Str("z")}, "z", "\xC3\xA9", 0},  // bytes compare unsigned
      {{KVal::Str("m"), KVal::Int(4)}, "", "m", 0},                    // non-Str counts as empty text
      {{KVal::Null(), KVal::Null()}, "", "", 2},
      // Texts alike in their first eight bytes, or told apart only past them.
      {{KVal::Str("2024-06-22T07"), KVal::Str("2024-06-22T08"), KVal::Str("2024-06-22T06")},
       "2024-06-22T06", "2024-06-22T08", 0},
      {{KVal::Str("abcdefgh"), KVal::Str("abcdefghi"), KVal::Str("abcdefg")}, "abcdefg", "abcdefghi", 0},
      {{KVal::Str(std::string("a\0", 2)), KVal::Str("a"), KVal::Str(std::string("a\0\0", 3))},
       "a", std::string("a\0\0", 3), 0},
      {{KVal::Str("abcdefg\x7F"), KVal::Str("abcdefg\x80"), KVal::Str("abcdefg\xFF" "1")},
       "abcdefg\x7F", "abcdefg\xFF" "1", 0},
  };
  for (auto& c : cases) {
    ColumnChunk out = encode(make_column("s"), single_column(std::move(c.cells)));
    EXPECT_EQ(out.stats.min_str, c.min_str);
    EXPECT_EQ(out.stats.max_str, c.max_str);
    EXPECT_EQ(out.stats.null_count, c.nulls);
    EXPECT_EQ(out.stats.min_int, 0);
    EXPECT_EQ(out.stats.max_int, 0);
  }
}

TEST(ColumnStatistics, AllNullStringColumnHasEmptyBoundsAndTheEmptyTextFilterBits) {
  const std::size_t n = 5;
  ColumnChunk out = encode(make_column("s"), std::vector<Row>(n, Row{KVal::Null()}));
  EXPECT_EQ(out.stats.null_count, n);
  EXPECT_TRUE(out.stats.min_str.empty());
  EXPECT_TRUE(out.stats.max_str.empty());
  EXPECT_EQ(set_bits(out.bloom), (std::vector<unsigned>{322, 1465, 3093}));
  EXPECT_EQ(out.payload, ByteBuffer(n, 0x00));
}

// ---- Membership filter -----------------------------------------------------------

TEST(MembershipFilter, EachTextSetsItsThreeSeededBits) {
  struct Case {
    std::string text;
    std::vector<unsigned> bits;
  } cases[] = {
      {"", {322, 1465, 3093}},
      {"ab", {226, 1246, 2177}},
      {"hello", {1447, 2364, 3403}},
  };
  for (const auto& c : cases) {
    BloomFilter bloom{};
    add_to_bloom(bloom, c.text);
    EXPECT_EQ(set_bits(bloom), c.bits) << c.text;
  }
}

// A builder reused chunk after chunk writes each chunk's payload exactly as
// the raw string layout, whatever the text sizes: one- and two-byte
// lengths, copies of every size class, growth past the kept capacity, and
// nothing left over from a longer chunk before.
TEST(StrColumnBuilder, ReusedChunkHoldsExactlyEachChunksTexts) {
  ColumnChunk out;
  for (std::size_t longest : {std::size_t{300}, std::size_t{20}, std::size_t{3000}}) {
    SCOPED_TRACE(longest);
    std::vector<std::string> texts;
    for (std::size_t n = 0; n <= longest; n += 1 + n / 16) texts.push_back(std::string(n, static_cast<char>('a' + n % 26)));
    StrColumnBuilder builder(out);
    BloomFilter bloom{};
    for (const std::string& t : texts) {
      builder.add(t);
      add_to_bloom(bloom, t);
    }
    builder.finish();
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    EXPECT_EQ(out.payload, encode_raw_str(views));
    EXPECT_EQ(out.bloom, bloom);
    EXPECT_EQ(out.stats.min_str, "");
    EXPECT_EQ(out.stats.max_str, *std::max_element(texts.begin(), texts.end()));
  }
}

// Texts hashed together set the bits each sets alone, whatever their
// lengths and grouping. Each text is its own allocation of exactly its
// size, so a read past any text's end is caught under the address
// sanitizer; lengths cross every word boundary of the batched hashing.
TEST(MembershipFilter, TextsHashedTogetherSetTheBitsEachSetsAlone) {
  std::mt19937 rng(7);
  std::vector<std::unique_ptr<char[]>> storage;
  std::vector<std::string_view> texts;
  for (std::size_t size : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 23, 24, 25, 40, 63, 64, 65, 200}) {
    for (int copy = 0; copy < 3; ++copy) {
      auto bytes = std::make_unique<char[]>(size);
      for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(rng());
      texts.emplace_back(bytes.get(), size);
      storage.push_back(std::move(bytes));
    }
  }
  std::shuffle(texts.begin(), texts.end(), rng);
  for (std::size_t group : {std::size_t{1}, std::size_t{3}, std::size_t{8}, std::size_t{13}, texts.size()}) {
    SCOPED_TRACE(group);
    for (std::size_t from = 0; from < texts.size(); from += group) {
      const auto some = std::span(texts).subspan(from, std::min(group, texts.size() - from));
      BloomFilter alone{}, together{};
      for (std::string_view text : some) add_to_bloom(alone, text);
      add_texts_to_bloom(together, some);
      ASSERT_EQ(set_bits(together), set_bits(alone)) << "texts " << from << " on";
    }
  }
}

TEST(MembershipFilter, StringColumnFilterIsTheUnionOverAllCellsNullsIncluded) {
  ColumnChunk out = encode(make_column("s"), single_column({KVal::Str("ab"), KVal::Null(), KVal::Str("hello")}));
  EXPECT_EQ(set_bits(out.bloom), (std::vector<unsigned>{226, 322, 1246, 1447, 1465, 2177, 2364, 3093, 3403}));
}

// ---- Encryption --------------------------------------------------------------------

TEST(ColumnEncryption, CounterPrefixComesFromTheNameAndTheChunkIndex) {
  EXPECT_EQ(column_ctr_prefix("secret", 0),
            (CtrPrefix{0xa3, 0x14, 0xb6, 0x77, 0xb0, 0xb6, 0xdb, 0xee, 0xdf, 0x60, 0x6e, 0x5c}));
  EXPECT_EQ(column_ctr_prefix("secret", 1),
            (CtrPrefix{0xf0, 0x12, 0xb6, 0x77, 0xb0, 0xb5, 0xdb, 0xee, 0xb0, 0x65, 0x96, 0xdd}));
}

TEST(ColumnEncryption, PayloadIsXoredWithTheChunksKeystreamOnlyWhenFlaggedAndKeyed) {
  AesKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i + 1);
  std::vector<Row> rows = single_column({KVal::Str("alpha"), KVal::Str("beta"), KVal::Str("a longer value")});
  const ByteBuffer plain = encode(make_column("secret"), rows).payload;

  struct Case {
    KColumn column;
    bool enciphered;
  } cases[] = {
      {make_column("secret", ColType::Str, true, key), true},
      {make_column("secret", ColType::Str, true, AesKey{}), false},
      {make_column("secret", ColType::Str, false, key), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(column_enciphers(c.column), c.enciphered);
    for (std::uint64_t chunk : {0u, 1u}) {
      ColumnChunk out = encode(c.column, rows, 0, chunk);
      if (!c.enciphered) {
        EXPECT_EQ(out.payload, plain);
        continue;
      }
      ASSERT_EQ(out.payload.size(), plain.size());
      EXPECT_NE(out.payload, plain);
      aes256_ctr_xor(key, column_ctr_prefix("secret", chunk), out.payload);
      EXPECT_EQ(out.payload, plain) << "chunk " << chunk;
    }
  }
}

}  // namespace
}  // namespace drux
