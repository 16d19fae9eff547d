// Building string column chunks from CSV lines: splitting, trimming,
// padding and cutting, and the chunks handed to the writer; also the
// whole-file reading that `drux verify --csv` compares with. Lines go in
// from a table of cases, and the chunks must equal the writer's own
// encoding of the same text rows, bounds and filter included.
// Deliberately not here: line splitting, UTF-8 and the white-space set
// (line_reader_test), and typed columns (csv_types_test).
#include "python_bindings/csv_rows.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "drux_v2/string_codec.h"
#include "python_bindings/csv_text.h"
#include "python_bindings/line_reader.h"
#include "test_support.h"

namespace drux {
namespace {

// The texts of each column of a finished chunk, read back from its payload.
std::vector<std::vector<std::string>> columns_of(CsvChunk& chunk) {
  std::vector<std::vector<std::string>> out;
  for (const ColumnChunk& column : chunk.finish()) {
    auto texts = decode_raw_str(column.payload, chunk.rows());
    EXPECT_TRUE(texts.ok()) << texts.error();
    out.push_back(texts.ok() ? texts.value() : std::vector<std::string>{});
  }
  return out;
}

struct SplitCase {
  std::string line;
  std::size_t columns;
  std::vector<std::string> cells;
};

TEST(CsvChunk, EveryCommaSplitsAndFieldsAreTrimmedPaddedOrCut) {
  const std::string long_a(23, 'a');
  const std::vector<SplitCase> cases = {
      {"", 1, {""}},
      {"x", 3, {"x", "", ""}},
      {"1,2", 3, {"1", "2", ""}},
      {"1,2,3,4", 3, {"1", "2", "3"}},
      {",,", 3, {"", "", ""}},
      {"a,", 2, {"a", ""}},
      {",a", 2, {"", "a"}},
      {" a , b ,\tc\t", 3, {"a", "b", "c"}},
      {"\"x,y\",z", 3, {"\"x", "y\"", "z"}},
      {"one,two", 1, {"one"}},
      // commas before, at and after the eight-byte steps of the search
      {"0123456,89", 2, {"0123456", "89"}},
      {"01234567,9", 2, {"01234567", "9"}},
      {"012345678,", 2, {"012345678", ""}},
      {long_a + "," + long_a + "b,c", 3, {long_a, long_a + "b", "c"}},
      {"caf\xC3\xA9,\xE2\x80\x83na\xC3\xAFve\xE3\x80\x80", 2, {"caf\xC3\xA9", "na\xC3\xAFve"}},
  };
  for (const SplitCase& c : cases) {
    CsvChunk chunk(c.columns);
    chunk.add_line(c.line);
    std::vector<std::vector<std::string>> expected;
    for (const std::string& cell : c.cells) expected.push_back({cell});
    EXPECT_EQ(columns_of(chunk), expected) << testing::PrintToString(c.line);
  }
}

// The converter's chunks must be the very chunks the writer makes from rows
// of the same texts, bounds and filter included.
TEST(CsvChunk, ColumnsEqualTheWritersEncodingOfTheSameTextRows) {
  const std::vector<std::string> lines = {"pear, 10 ,x", "apple,9", "zoo,100,\xC3\xA9", "apple,,y,extra", "ab"};
  CsvChunk chunk(3);
  for (const std::string& line : lines) chunk.add_line(line);
  const std::vector<Row> rows = {{KVal::Str("pear"), KVal::Str("10"), KVal::Str("x")},
          {KVal::Str("apple"), KVal::Str("9"), KVal::Str("")},
          {KVal::Str("zoo"), KVal::Str("100"), KVal::Str("\xC3\xA9")},
          {KVal::Str("apple"), KVal::Str(""), KVal::Str("y")},
          {KVal::Str("ab"), KVal::Str(""), KVal::Str("")}};
  const std::span<ColumnChunk> built = chunk.finish();
  ASSERT_EQ(built.size(), 3u);
  ColumnScratch scratch;
  for (std::size_t c = 0; c < 3; ++c) {
    ColumnChunk expected;
    encode_column_chunk(make_column("c"), rows, c, 0, scratch, expected);
    EXPECT_EQ(built[c].payload, expected.payload) << "column " << c;
    EXPECT_EQ(built[c].stats.min_str, expected.stats.min_str) << "column " << c;
    EXPECT_EQ(built[c].stats.max_str, expected.stats.max_str) << "column " << c;
    EXPECT_EQ(built[c].stats.null_count, 0u);
    EXPECT_EQ(built[c].bloom, expected.bloom) << "column " << c;
    EXPECT_EQ(built[c].encoding, Encoding::Plain);
  }
}

// Short texts enter the filter once however often they repeat; the filter
// must still hold every text, texts that share their first bytes and
// differ only in length (a NUL at the end) included, whatever they evict.
TEST(CsvChunk, FilterHoldsEveryTextAmongManyShortRepeatedOnes) {
  std::mt19937 rng(7);
  std::vector<std::string> pool = {"", std::string(1, '\0'), "a", std::string("a\0", 2), "abcdefgh",
                                   std::string("abcdefgh\0", 9), "abcdefghi"};
  // Texts of one first byte padded with NULs to every length up to eight
  // share their first eight bytes as a number.
  for (char first = 'A'; first < 'A' + 40; ++first) {
    for (std::size_t n = 1; n <= 8; ++n) pool.push_back(first + std::string(n - 1, '\0'));
  }
  while (pool.size() < 700) {
    std::string text;
    for (std::size_t n = rng() % 11; n > 0; --n) text += static_cast<char>('0' + rng() % 12);
    pool.push_back(text);
  }
  CsvChunk chunk(1);
  BloomFilter expected{};
  for (int i = 0; i < 20000; ++i) {
    // Each pool text once in order, then at random, so late texts land on slots held by others.
    const std::string& text = i < static_cast<int>(pool.size()) ? pool[i] : pool[rng() % pool.size()];
    chunk.add_line(text);
    add_to_bloom(expected, trim_white_space(text));
  }
  EXPECT_EQ(chunk.finish()[0].bloom, expected);
}

TEST(CsvChunk, ClearStartsTheNextChunkEmptyInTheSameBuffers) {
  CsvChunk chunk(2);
  chunk.add_line("a long first value well past any inline size,zz");
  chunk.add_line("b,yy");
  ASSERT_EQ(chunk.rows(), 2u);
  const std::uint8_t* payload = chunk.finish()[0].payload.data();
  chunk.clear();
  EXPECT_EQ(chunk.rows(), 0u);
  chunk.add_line("m");
  EXPECT_EQ(columns_of(chunk), (std::vector<std::vector<std::string>>{{"m"}, {""}}));
  const std::span<ColumnChunk> second = chunk.finish();
  EXPECT_EQ(second[0].payload.data(), payload);  // reused, not reallocated
  EXPECT_EQ(second[0].stats.min_str, "m");
  EXPECT_EQ(second[0].stats.max_str, "m");
  EXPECT_EQ(second[1].stats.max_str, "");
}

// The whole-file reading that `drux verify --csv` compares with: the same
// rules as the chunks above, with the header's names and blank lines skipped.
TEST(CsvText, HoldsTheTrimmedNamesAndThePaddedOrCutRows) {
  test::ScratchDir dir;
  const std::string path =
      dir.file("t.csv", " name ,\xC2\xA0" "age\r\nalice, 31\r\n\n \t\nbob\ncarol,45,extra\n,\n");
  auto text = read_csv_text(path);
  ASSERT_TRUE(text.ok()) << text.error();
  EXPECT_EQ(text->names, (std::vector<std::string>{"name", "age"}));
  EXPECT_EQ(text->rows, (std::vector<std::vector<std::string>>{
                            {"alice", "31"}, {"bob", ""}, {"carol", "45"}, {"", ""}}));
}

TEST(CsvText, RefusesAnEmptyFileAsBadDataAndInvalidUtf8AsAnIoError) {
  test::ScratchDir dir;
  auto empty = read_csv_text(dir.file("empty.csv", ""));
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error_kind(), ErrorKind::Data);
  EXPECT_EQ(empty.error(), "CSV file is empty");
  auto invalid = read_csv_text(dir.file("bad.csv", "a\n\xFF\n"));
  ASSERT_FALSE(invalid.ok());
  EXPECT_EQ(invalid.error_kind(), ErrorKind::Io);
  EXPECT_EQ(invalid.error(), kInvalidUtf8Message);
}

}  // namespace
}  // namespace drux
