// Splitting CSV lines into rows of trimmed text cells.
#include "python_bindings/csv_rows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace drux {
namespace {

std::vector<std::string> cells_of(const Row& row) {
  std::vector<std::string> out;
  for (const KVal& v : row) {
    EXPECT_EQ(v.tag(), KTag::Str);
    out.push_back(v.tag() == KTag::Str ? v.str_value() : "<not text>");
  }
  return out;
}

struct SplitCase {
  std::string line;
  std::size_t columns;
  std::vector<std::string> cells;
};

TEST(CsvRows, EveryCommaSplitsAndFieldsAreTrimmedPaddedOrCut) {
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
    Row row(c.columns);  // cells start as Null: filling must make them all text
    fill_row(c.line, row);
    EXPECT_EQ(cells_of(row), c.cells) << testing::PrintToString(c.line);
  }
}

TEST(CsvRows, RefillingAReusedRowLeavesNothingOfTheOldCells) {
  Row row(3);
  fill_row("a long first value well past the inline size,second long value also past it,x", row);
  fill_row("s", row);
  EXPECT_EQ(cells_of(row), (std::vector<std::string>{"s", "", ""}));
  fill_row("p,q,r", row);
  EXPECT_EQ(cells_of(row), (std::vector<std::string>{"p", "q", "r"}));
}

TEST(CsvRows, BufferHandsOutChunkSizeRowsThenStartsAgainWithTheSameRows) {
  RowBuffer buffer(2, 3);
  EXPECT_TRUE(buffer.empty());
  Row& first_row = buffer.next_row();
  fill_row("1,2", first_row);
  const Row* first = &first_row;
  buffer.next_row();
  EXPECT_FALSE(buffer.full());
  buffer.next_row();
  EXPECT_TRUE(buffer.full());
  EXPECT_EQ(buffer.rows().size(), 3u);
  buffer.clear();
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(buffer.rows().size(), 0u);
  Row& again = buffer.next_row();
  EXPECT_EQ(&again, first);  // the same row object, not a new allocation
  EXPECT_EQ(again.size(), 2u);
}

}  // namespace
}  // namespace drux
