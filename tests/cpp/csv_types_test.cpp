// Which CSV cells a typed column can store and give back exactly, and the
// rendering that gives the text back: a table of cells with the kinds each
// allows, and stored floats rendered back to their very cells.
// Deliberately not here: whole conversions with inferred types
// (parallel_convert_test, tests/python/test_convert_types.py).
#include "python_bindings/csv_types.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drux_v2/column_block.h"

namespace drux {
namespace {

struct KindsCase {
  std::string cell;
  std::uint8_t kinds;
};

TEST(CsvTypes, CellsStorableByEachKind) {
  const std::vector<KindsCase> cases = {
      {"0", kMaybeInt | kMaybeFloat},
      {"42", kMaybeInt | kMaybeFloat},
      {"-17", kMaybeInt | kMaybeFloat},
      {"9223372036854775807", kMaybeInt},   // an int64, too large for a float column's 2^53 limit
      {"-9223372036854775808", kMaybeInt},
      {"9223372036854775808", 0},           // 2^63
      {"900719925475", kMaybeInt},          // x 10,000 passes 2^53
      {"900719925474", kMaybeInt | kMaybeFloat},
      {"99999999999", kMaybeInt | kMaybeFloat},    // either side of where integers skip the float parse
      {"-100000000000", kMaybeInt | kMaybeFloat},
      {"39.02", kMaybeFloat},
      {"-0.5", kMaybeFloat},
      {"0.0001", kMaybeFloat},
      {"1012.5", kMaybeFloat},
      {"007", 0},
      {"-0", 0},
      {"+5", 0},
      {"1e5", 0},
      {"3.10", 0},      // trailing zero
      {"3.0", 0},
      {"0.00015", 0},   // five decimals
      {".5", 0},
      {"5.", 0},
      {"1,5", 0},
      {"", 0},
      {"NA", 0},
      {" 1", 0},
      {"true", kMaybeBool},
      {"false", kMaybeBool},
      {"TRUE", 0},
      {"True", 0},
      {"1.2.3", 0},
      {"-", 0},
  };
  for (const KindsCase& c : cases) EXPECT_EQ(storable_kinds(c.cell), c.kinds) << '"' << c.cell << '"';
}

TEST(CsvTypes, ColumnTypeFromTheAndOfItsCells) {
  auto column = [](std::vector<std::string> cells) {
    std::uint8_t mask = kMaybeAnyType;
    for (const std::string& cell : cells) mask &= storable_kinds(cell);
    return inferred_type(mask);
  };
  EXPECT_EQ(column({"1", "2", "-3"}), ColType::Int);
  EXPECT_EQ(column({"1", "2.5"}), ColType::Float);
  EXPECT_EQ(column({"true", "false"}), ColType::Bool);
  EXPECT_EQ(column({"true", "TRUE"}), ColType::Str);
  EXPECT_EQ(column({"1", ""}), ColType::Str);
  EXPECT_EQ(column({"1", "NA"}), ColType::Str);
  EXPECT_EQ(column({"9223372036854775807", "0.5"}), ColType::Str);
  EXPECT_EQ(column({"1", "true"}), ColType::Str);
}

// Every storable float cell renders back from what the writer stores.
TEST(CsvTypes, StoredFloatsRenderToTheirCells) {
  for (const std::string cell : {"39.02", "-0.5", "1012", "0", "0.0001", "-9999.9999", "123456.789", "900719925474"}) {
    const auto value = parse_storable_float(cell);
    ASSERT_TRUE(value) << cell;
    EXPECT_EQ(render_scaled_float(scale_float(*value)), cell);
  }
  EXPECT_EQ(render_scaled_float(-1), "-0.0001");
  EXPECT_EQ(render_scaled_float(10120000), "1012");
  EXPECT_EQ(render_scaled_float(INT64_MIN), "-922337203685477.5808");
}

TEST(CsvTypes, CanonicalIntegersParseToTheirValues) {
  EXPECT_EQ(parse_canonical_int("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parse_canonical_int("0"), 0);
  EXPECT_FALSE(parse_canonical_int("00"));
  EXPECT_FALSE(parse_canonical_int("12a"));
}

}  // namespace
}  // namespace drux
