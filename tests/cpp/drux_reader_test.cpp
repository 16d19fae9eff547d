// Files written by StreamingDruxWriter read back by DruxReader: cells of
// every column type and encoding, chunking, encryption, empty tables, and
// the reader's refusal of truncated, corrupted and unfinished files.
// Corruptions come from one parameterised table over a good file. Deliberately
// not here: the exact bytes of each record (container_test) and crafted bombs
// under a memory limit (tests/python/test_hostile_files.py and the fuzz targets).
#include "drux_v2/drux_reader.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>
#include <limits>
#include <string>
#include <vector>

#include "drux_v2/block_compressor.h"
#include "drux_v2/container.h"
#include "drux_v2/streaming_writer.h"
#include "test_support.h"

namespace drux {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

using test::ScratchDir;
using test::slurp;

void spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Writes `chunks` in order and finishes the file.
void write_file(const std::string& path, std::vector<KColumn> columns, const std::vector<std::vector<Row>>& chunks,
                std::uint64_t chunk_rows) {
  auto writer = StreamingDruxWriter::begin(std::move(columns), chunk_rows, path);
  ASSERT_TRUE(writer.ok()) << writer.error();
  for (const auto& rows : chunks) {
    Status s = writer->write_chunk(rows);
    ASSERT_TRUE(s.ok()) << s.error();
  }
  auto summary = writer->finish();
  ASSERT_TRUE(summary.ok()) << summary.error();
}

std::vector<Row> one_column_rows(const std::vector<KVal>& cells) {
  std::vector<Row> rows;
  for (const KVal& cell : cells) rows.push_back(Row{cell});
  return rows;
}

// A canonical text of a value, so cells compare with readable failures.
std::string show(const KVal& v) {
  auto hex = [](const std::string& s) {
    std::string out;
    char buf[4];
    for (unsigned char c : s) {
      std::snprintf(buf, sizeof buf, "%02X", c);
      out += buf;
    }
    return out;
  };
  std::string out;
  switch (v.tag()) {
    case KTag::Int: return "Int(" + std::to_string(v.int_value()) + ")";
    case KTag::Float: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "Float(%.17g)", v.float_value());
      return buf;
    }
    case KTag::Bool: return v.bool_value() ? "Bool(true)" : "Bool(false)";
    case KTag::Str: return "Str(" + hex(v.str_value()) + ")";
    case KTag::Bytes: return "Bytes(" + hex(v.bytes_value()) + ")";
    case KTag::Null: return "Null";
    case KTag::Object:
      out = "Object{";
      for (const auto& [name, child] : v.object_value()) out += hex(name) + ":" + show(child) + ",";
      return out + "}";
    case KTag::List:
      out = "List[";
      for (const KVal& child : v.list_value()) out += show(child) + ",";
      return out + "]";
    case KTag::Map:
      out = "Map{";
      for (const auto& [key, child] : v.map_value()) out += show(key) + "=>" + show(child) + ",";
      return out + "}";
  }
  return "?";
}

std::vector<std::string> show_all(const std::vector<KVal>& cells) {
  std::vector<std::string> out;
  for (const KVal& cell : cells) out.push_back(show(cell));
  return out;
}

KVal nested_list(int depth) {
  KVal v = KVal::Int(depth);
  for (int i = 0; i < depth; ++i) v = KVal::List({v, KVal::Null()});
  return v;
}

// ---- Round trips of one column ---------------------------------------------------

struct ColumnCase {
  const char* name;
  ColType type;
  std::vector<KVal> written;
  std::vector<KVal> expected;
  Encoding encoding;
};

std::vector<KVal> ints(std::vector<std::int64_t> values) {
  std::vector<KVal> out;
  for (std::int64_t v : values) out.push_back(KVal::Int(v));
  return out;
}

std::vector<ColumnCase> column_cases() {
  const KVal deep_object = KVal::Object({
      {"a", KVal::Int(1)},
      {"a", KVal::Str("repeated name")},
      {"inner", KVal::Object({{"list", KVal::List({KVal::List({KVal::Float(0.1), KVal::Bytes(std::string("\0\xFF", 2))})})}})},
  });
  const KVal map = KVal::Map({{KVal::Int(1), KVal::Str("x")},
                              {KVal::Int(1), KVal::Bool(true)},
                              {KVal::Null(), KVal::Map({})},
                              {KVal::List({}), KVal::Object({})}});
  return {
      {"IntegersInArithmeticSequence", ColType::Int, ints({1, 2, 3}), ints({1, 2, 3}), Encoding::ConstantDelta},
      {"IntegerExtremesInRuns", ColType::Int, ints({kMin, kMin, kMin, kMin, kMax, kMax, kMax, kMax, 0, 0, 0, 0}),
       ints({kMin, kMin, kMin, kMin, kMax, kMax, kMax, kMax, 0, 0, 0, 0}), Encoding::RunLength},
      {"IntegerExtremesAsDeltas", ColType::Int, ints({kMax, kMin, 0, -1, 7}), ints({kMax, kMin, 0, -1, 7}),
       Encoding::Delta},
      {"IntegersInNarrowRange", ColType::Int, ints({100, 3, 50, 7, 99}), ints({100, 3, 50, 7, 99}),
       Encoding::FrameOfReference},
      {"IntegerViewsOfOtherCells", ColType::Int, {KVal::Float(-2.9), KVal::Bool(true), KVal::Null(), KVal::Str("9")},
       ints({-2, 1, 0, 0}), Encoding::FrameOfReference},
      {"FloatsAtFourDecimals", ColType::Float, {KVal::Float(1.5), KVal::Float(2.25)},
       {KVal::Float(1.5), KVal::Float(2.25)}, Encoding::ConstantDelta},
      {"FloatsRoundedAndSaturated", ColType::Float,
       {KVal::Float(0.00004), KVal::Float(0.00005), KVal::Float(0.00015), KVal::Float(-2.5), KVal::Float(1e300),
        KVal::Float(-1e300), KVal::Float(std::nan("")), KVal::Int(3), KVal::Null()},
       {KVal::Float(0.0), KVal::Float(0.0001), KVal::Float(0.0001), KVal::Float(-2.5),
        KVal::Float(9223372036854775807.0 / 10000.0), KVal::Float(-9223372036854775808.0 / 10000.0),
        KVal::Float(0.0), KVal::Float(3.0), KVal::Float(0.0)},
       Encoding::Delta},
      {"BooleansFromEveryView", ColType::Bool,
       {KVal::Str("true"), KVal::Str("0"), KVal::Int(7), KVal::Null(), KVal::Bool(true), KVal::Float(1.0),
        KVal::Str("1"), KVal::Str("TRUE"), KVal::Bool(false)},
       {KVal::Bool(true), KVal::Bool(false), KVal::Bool(true), KVal::Bool(false), KVal::Bool(true),
        KVal::Bool(false), KVal::Bool(true), KVal::Bool(true), KVal::Bool(false)},
       Encoding::Bitmap},
      {"BooleansFillingWholeBytes", ColType::Bool,
       {KVal::Bool(false), KVal::Bool(false), KVal::Bool(false), KVal::Bool(false), KVal::Bool(false),
        KVal::Bool(false), KVal::Bool(false), KVal::Bool(true)},
       {KVal::Bool(false), KVal::Bool(false), KVal::Bool(false), KVal::Bool(false), KVal::Bool(false),
        KVal::Bool(false), KVal::Bool(false), KVal::Bool(true)},
       Encoding::Bitmap},
      {"StringsEmptyAndNonAscii", ColType::Str,
       {KVal::Str(""), KVal::Str("h\xC3\xA9llo"), KVal::Str("\xE6\x97\xA5\xE6\x9C\xAC"), KVal::Null(), KVal::Int(5),
        KVal::Str(std::string(300, 'z'))},
       {KVal::Str(""), KVal::Str("h\xC3\xA9llo"), KVal::Str("\xE6\x97\xA5\xE6\x9C\xAC"), KVal::Str(""), KVal::Str(""),
        KVal::Str(std::string(300, 'z'))},
       Encoding::Plain},
      {"BytesEmptyAndNull", ColType::Bytes,
       {KVal::Bytes(""), KVal::Bytes(std::string("\0\xFF\x80", 3)), KVal::Null(), KVal::Str("not bytes")},
       {KVal::Bytes(""), KVal::Bytes(std::string("\0\xFF\x80", 3)), KVal::Bytes(""), KVal::Bytes("")},
       Encoding::Plain},
      {"NestedValuesKeepOrderAndRepeats", ColType::Object, {deep_object, KVal::Null(), map, KVal::Int(-5)},
       {deep_object, KVal::Null(), map, KVal::Int(-5)}, Encoding::Plain},
      {"NestedListsDeep", ColType::List, {nested_list(200), KVal::List({})}, {nested_list(200), KVal::List({})},
       Encoding::Plain},
      {"MapColumnOfScalars", ColType::Map, {KVal::Str("s"), KVal::Bool(false), KVal::Float(-0.5)},
       {KVal::Str("s"), KVal::Bool(false), KVal::Float(-0.5)}, Encoding::Plain},
  };
}

void PrintTo(const ColumnCase& c, std::ostream* os) { *os << c.name; }

class ColumnRoundTrip : public testing::TestWithParam<ColumnCase> {};

TEST_P(ColumnRoundTrip, CellsReadBackAsStored) {
  const ColumnCase& c = GetParam();
  ScratchDir dir;
  const std::string path = dir.path("t.drux");
  write_file(path, {make_column("col", c.type)}, {one_column_rows(c.written)}, c.written.size());

  auto reader = DruxReader::open(path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  ASSERT_EQ(reader->metadata().chunk_count(), 1u);
  EXPECT_EQ(reader->metadata().entry(0, 0).encoding, c.encoding);
  auto cells = reader->read_column_chunk(0, 0);
  ASSERT_TRUE(cells.ok()) << cells.error();
  EXPECT_EQ(show_all(cells.value()), show_all(c.expected));
  EXPECT_TRUE(reader->verify().ok());
}

INSTANTIATE_TEST_SUITE_P(DruxReader, ColumnRoundTrip, testing::ValuesIn(column_cases()),
                         [](const testing::TestParamInfo<ColumnCase>& info) { return info.param.name; });

// ---- Tables ------------------------------------------------------------------------------

std::vector<KColumn> mixed_columns() {
  return {make_column("id", ColType::Int), make_column("name", ColType::Str), make_column("price", ColType::Float)};
}

Row mixed_row(std::int64_t i) {
  return Row{KVal::Int(i * i), KVal::Str("item" + std::to_string(i)), KVal::Float(static_cast<double>(i) / 4)};
}

std::vector<std::vector<Row>> mixed_chunks(const std::vector<std::size_t>& sizes) {
  std::vector<std::vector<Row>> chunks;
  std::int64_t i = 0;
  for (std::size_t size : sizes) {
    chunks.emplace_back();
    for (std::size_t r = 0; r < size; ++r) chunks.back().push_back(mixed_row(i++));
  }
  return chunks;
}

TEST(DruxReader, ChunksOfDifferentSizesConcatenateInOrder) {
  ScratchDir dir;
  const std::string path = dir.path("t.drux");
  // A short chunk before the last one, then a short last chunk.
  write_file(path, mixed_columns(), mixed_chunks({4, 2, 4, 1}), 4);

  auto table = read_drux_table(path);
  ASSERT_TRUE(table.ok()) << table.error();
  EXPECT_EQ(table->row_count, 11u);
  ASSERT_EQ(table->cells.size(), 3u);
  std::vector<KVal> ids, names, prices;
  for (std::int64_t i = 0; i < 11; ++i) {
    Row row = mixed_row(i);
    ids.push_back(row[0]);
    names.push_back(row[1]);
    prices.push_back(row[2]);
  }
  EXPECT_EQ(show_all(table->cells[0]), show_all(ids));
  EXPECT_EQ(show_all(table->cells[1]), show_all(names));
  EXPECT_EQ(show_all(table->cells[2]), show_all(prices));

  auto reader = DruxReader::open(path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  EXPECT_EQ(reader->metadata().chunk_rows, (std::vector<std::uint32_t>{4, 2, 4, 1}));
  auto third = reader->read_column_chunk(2, 1);
  ASSERT_TRUE(third.ok()) << third.error();
  EXPECT_EQ(show_all(third.value()), show_all({KVal::Str("item6"), KVal::Str("item7"), KVal::Str("item8"),
                                               KVal::Str("item9")}));
}

TEST(DruxReader, MetadataCarriesHeaderTrailerAndFooter) {
  ScratchDir dir;
  const std::string path = dir.path("t.drux");
  write_file(path, {make_column("s"), make_column("n", ColType::Int, true)},
             {{Row{KVal::Str("pear"), KVal::Int(-3)}, Row{KVal::Null(), KVal::Int(9)}, Row{KVal::Str("apple")}}},
             65536);

  auto reader = DruxReader::open(path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  const DruxMetadata& meta = reader->metadata();
  EXPECT_EQ(meta.file.version, 2);
  EXPECT_EQ(meta.file.column_count, 2);
  EXPECT_EQ(meta.file.total_rows, 3u);
  EXPECT_EQ(meta.file.chunk_count, 1u);
  EXPECT_EQ(meta.file.rows_per_chunk, 65536u);
  EXPECT_EQ(meta.file.file_size, fs::file_size(path));
  EXPECT_EQ(meta.file.footer_offset + meta.file.footer_length + kTrailerSize, meta.file.file_size);
  ASSERT_EQ(meta.columns.size(), 2u);
  EXPECT_EQ(meta.columns[1].name, "n");
  EXPECT_EQ(meta.columns[1].col_type, ColType::Int);
  EXPECT_TRUE(meta.columns[1].encrypted);
  EXPECT_FALSE(meta.columns[0].encrypted);
  // The first block starts where the dictionary ends; the second follows it.
  const ColumnChunkInfo& s = meta.entry(0, 0);
  const ColumnChunkInfo& n = meta.entry(0, 1);
  EXPECT_EQ(s.offset, meta.file.data_offset);
  EXPECT_EQ(n.offset, s.offset + kColumnBlockOverhead + s.length);
  EXPECT_EQ(s.stats.min_str, "apple");
  EXPECT_EQ(s.stats.max_str, "pear");
  EXPECT_EQ(s.stats.null_count, 1u);
  EXPECT_EQ(n.stats.min_int, -3);
  EXPECT_EQ(n.stats.max_int, 9);
  EXPECT_EQ(n.stats.null_count, 1u);
  // Only string chunks have a filter; the short third row's cell is Null.
  EXPECT_EQ(n.bloom, BloomFilter{});
  EXPECT_NE(s.bloom, BloomFilter{});
}

TEST(DruxReader, FilterBitsLandInTheirWords) {
  ScratchDir dir;
  const std::string path = dir.path("t.drux");
  write_file(path, {make_column("s")}, {{Row{KVal::Null()}}}, 1);
  auto reader = DruxReader::open(path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  // Empty text sets exactly bits 3093, 322 and 1465: bit i is bit i % 64 of word i / 64.
  BloomFilter expected{};
  for (unsigned bit : {3093u, 322u, 1465u}) expected[bit / 64] |= std::uint64_t{1} << (bit % 64);
  EXPECT_EQ(reader->metadata().entry(0, 0).bloom, expected);
}

TEST(DruxReader, TableWithoutColumnsKeepsItsRowCount) {
  ScratchDir dir;
  const std::string path = dir.path("t.drux");
  write_file(path, {}, {{Row{}, Row{}, Row{}}, {Row{KVal::Int(1)}}}, 3);

  auto table = read_drux_table(path);
  ASSERT_TRUE(table.ok()) << table.error();
  EXPECT_TRUE(table->columns.empty());
  EXPECT_TRUE(table->cells.empty());
  EXPECT_EQ(table->row_count, 4u);
  auto reader = DruxReader::open(path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  EXPECT_EQ(reader->metadata().chunk_rows, (std::vector<std::uint32_t>{3, 1}));
}

TEST(DruxReader, TableWithoutRowsHasColumnsAndNoChunks) {
  ScratchDir dir;
  const std::string path = dir.path("t.drux");
  write_file(path, mixed_columns(), {}, 100);

  auto table = read_drux_table(path);
  ASSERT_TRUE(table.ok()) << table.error();
  ASSERT_EQ(table->columns.size(), 3u);
  EXPECT_EQ(table->columns[2].name, "price");
  EXPECT_EQ(table->row_count, 0u);
  for (const auto& column : table->cells) EXPECT_TRUE(column.empty());
}

// ---- Encryption ------------------------------------------------------------------------

AesKey test_key(std::uint8_t first) {
  AesKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(first + 7 * i);
  return key;
}

TEST(DruxReader, EncryptedColumnsNeedTheirKey) {
  ScratchDir dir;
  const std::string path = dir.path("secret.drux");
  const AesKey key = test_key(1);
  std::vector<KColumn> columns = {make_column("plain"), make_column("secret", ColType::Str, true, key),
                                  make_column("amount", ColType::Int, true, test_key(100))};
  // Two chunks: the chunk index enters the counter blocks.
  std::vector<std::vector<Row>> chunks = {
      {Row{KVal::Str("a"), KVal::Str("hidden one"), KVal::Int(10)}, Row{KVal::Str("b"), KVal::Str("hidden two"), KVal::Int(99)}},
      {Row{KVal::Str("c"), KVal::Str("hidden three"), KVal::Int(-4)}}};
  write_file(path, columns, chunks, 2);

  auto table = read_drux_table(path, {{"secret", key}, {"amount", test_key(100)}});
  ASSERT_TRUE(table.ok()) << table.error();
  EXPECT_EQ(show_all(table->cells[1]),
            show_all({KVal::Str("hidden one"), KVal::Str("hidden two"), KVal::Str("hidden three")}));
  EXPECT_EQ(show_all(table->cells[2]), show_all(ints({10, 99, -4})));
  // The key does not leak into the returned column descriptions.
  EXPECT_EQ(table->columns[1].key, AesKey{});

  auto without = read_drux_table(path, {{"secret", key}});
  ASSERT_FALSE(without.ok());
  EXPECT_EQ(without.error(), "column 'amount' is encrypted: a key is needed to read it");
  EXPECT_EQ(without.error_kind(), ErrorKind::Data);

  auto unknown = read_drux_table(path, {{"secret", key}, {"amount", test_key(100)}, {"nope", key}});
  ASSERT_FALSE(unknown.ok());
  EXPECT_NE(unknown.error().find("'nope'"), std::string::npos) << unknown.error();

  // What is stored is not the plain payload: the raw block of the secret
  // column does not contain the text.
  auto reader = DruxReader::open(path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  auto raw = reader->read_block(0, 1);
  ASSERT_TRUE(raw.ok()) << raw.error();
  EXPECT_EQ(std::string(as_text(raw.value())).find("hidden"), std::string::npos);

  // A wrong key gives no error-free copy of the true cells.
  const AesKey wrong = test_key(2);
  auto garbled = reader->read_column_chunk(0, 2, &wrong);
  if (garbled.ok()) {
    EXPECT_NE(show_all(garbled.value()), show_all(ints({10, 99})));
  }
}

TEST(DruxReader, EncryptedFlagWithZeroKeyIsStoredPlain) {
  ScratchDir dir;
  const std::string path = dir.path("t.drux");
  write_file(path, {make_column("flagged", ColType::Int, true)}, {{Row{KVal::Int(5)}, Row{KVal::Int(8)}}}, 2);

  auto refused = read_drux_table(path);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().find("'flagged' is encrypted"), std::string::npos) << refused.error();
  auto table = read_drux_table(path, {{"flagged", AesKey{}}});
  ASSERT_TRUE(table.ok()) << table.error();
  EXPECT_EQ(show_all(table->cells[0]), show_all(ints({5, 8})));
}

// ---- Refusals ----------------------------------------------------------------------------

void put_le(std::string& bytes, std::size_t offset, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
}

// A good file of three columns in two chunks, and where its blocks are.
struct GoodFile {
  std::string bytes;
  DruxMetadata meta;
};

GoodFile good_file(const ScratchDir& dir) {
  const std::string path = dir.path("good.drux");
  write_file(path, mixed_columns(), mixed_chunks({3, 2}), 3);
  auto reader = DruxReader::open(path);
  EXPECT_TRUE(reader.ok()) << reader.error();
  return {slurp(path), reader.ok() ? reader->metadata() : DruxMetadata{}};
}

struct Corruption {
  const char* name;
  std::function<void(std::string&, const DruxMetadata&)> apply;
  const char* message;  // a part of the expected error text
};

std::vector<Corruption> corruptions() {
  auto block_byte = [](const DruxMetadata& m, std::size_t column, std::uint64_t at) {
    return static_cast<std::size_t>(m.entry(0, column).offset + at);
  };
  return {
      {"ShorterThanTheHeader", [](std::string& b, const DruxMetadata&) { b.resize(10); },
       "not a DRUX file: 10 bytes is shorter than the 24-byte header"},
      {"TruncatedTail", [](std::string& b, const DruxMetadata&) { b.resize(b.size() - 5); },
       "corrupt DRUX trailer"},
      {"TruncatedToTheData", [](std::string& b, const DruxMetadata& m) { b.resize(m.file.data_offset + 3); },
       "corrupt DRUX trailer"},
      {"WrongMagic", [](std::string& b, const DruxMetadata&) { b[0] = 'P'; },
       "not a DRUX file: the first four bytes are not \"DRUX\""},
      {"OtherVersion", [](std::string& b, const DruxMetadata&) { put_le(b, 4, 3, 2); },
       "unsupported DRUX version 3"},
      {"ReservedBytesSet", [](std::string& b, const DruxMetadata&) { b[40] = 1; }, "reserved bytes are not zero"},
      {"FooterOffsetPastTheEnd", [](std::string& b, const DruxMetadata&) { put_le(b, b.size() - 8, b.size(), 8); },
       "corrupt DRUX trailer"},
      {"FooterLengthDisagrees",
       [](std::string& b, const DruxMetadata& m) { put_le(b, b.size() - 16, m.file.footer_length + 1, 8); },
       "corrupt DRUX trailer"},
      {"FooterInsideTheSchema",
       [](std::string& b, const DruxMetadata&) {
         put_le(b, b.size() - 8, 80, 8);
         put_le(b, b.size() - 16, b.size() - 16 - 80, 8);
       },
       "runs past the footer"},
      {"FooterInsideTheData",
       [](std::string& b, const DruxMetadata& m) {
         const std::uint64_t f = m.file.data_offset + 5;
         put_le(b, b.size() - 8, f, 8);
         put_le(b, b.size() - 16, b.size() - 16 - f, 8);
       },
       "footer"},
      {"SchemaLengthPastTheFooter", [](std::string& b, const DruxMetadata&) { put_le(b, 64, 0xFFFFFFF0, 4); },
       "schema block of 4294967280 bytes runs past the footer"},
      {"HeaderDeclaresMoreColumns", [](std::string& b, const DruxMetadata&) { put_le(b, 6, 4, 2); },
       "schema: column 3 is cut short (the header declares 4 columns)"},
      {"HeaderDeclaresFewerColumns", [](std::string& b, const DruxMetadata&) { put_le(b, 6, 2, 2); },
       "bytes left after the 2 columns the header declares"},
      {"HeaderRowCountDisagrees", [](std::string& b, const DruxMetadata&) { put_le(b, 8, 6, 8); },
       "footer chunks hold 5 rows, the header says 6"},
      {"HeaderChunkCountDisagrees", [](std::string& b, const DruxMetadata&) { put_le(b, 16, 3, 4); },
       "footer lists 2 chunks, the header 3"},
      {"DictionaryLengthPastTheFooter",
       [](std::string& b, const DruxMetadata& m) { put_le(b, m.file.data_offset - 2 - 8, 1u << 30, 8); },
       "dictionary block of 1073741824 bytes runs past the footer"},
      {"FlippedByteInsideABlock",
       [=](std::string& b, const DruxMetadata& m) {
         b[block_byte(m, 1, kColumnBlockOverhead + m.entry(0, 1).length - 1)] ^= 0x20;
       },
       "chunk 0, column 'name': CRC-32 mismatch"},
      {"FlippedCrcField", [=](std::string& b, const DruxMetadata& m) { b[block_byte(m, 2, 0)] ^= 1; },
       "chunk 0, column 'price': CRC-32 mismatch"},
      {"BlockLengthFieldDisagrees", [=](std::string& b, const DruxMetadata& m) { b[block_byte(m, 0, 4)] ^= 1; },
       "chunk 0, column 'id': block length field"},
  };
}

void PrintTo(const Corruption& c, std::ostream* os) { *os << c.name; }

class CorruptFile : public testing::TestWithParam<Corruption> {};

TEST_P(CorruptFile, IsRefusedWithADataError) {
  ScratchDir dir;
  GoodFile good = good_file(dir);
  ASSERT_FALSE(good.bytes.empty());
  const Corruption& c = GetParam();
  std::string bytes = good.bytes;
  c.apply(bytes, good.meta);
  const std::string path = dir.path("bad.drux");
  spit(path, bytes);

  auto table = read_drux_table(path);
  ASSERT_FALSE(table.ok());
  EXPECT_EQ(table.error_kind(), ErrorKind::Data);
  EXPECT_NE(table.error().find(c.message), std::string::npos) << table.error();
}

INSTANTIATE_TEST_SUITE_P(DruxReader, CorruptFile, testing::ValuesIn(corruptions()),
                         [](const testing::TestParamInfo<Corruption>& info) { return info.param.name; });

// ---- Footers rewritten -------------------------------------------------------------------

// The footer bytes of `meta`, as the writer lays them out.
ByteBuffer footer_bytes(const DruxMetadata& meta) {
  return drux::footer_bytes(static_cast<std::uint16_t>(meta.columns.size()), meta.chunk_rows, meta.chunks);
}

// The file's bytes up to its footer, then `footer` compressed and a trailer.
std::string with_footer(const std::string& bytes, std::uint64_t footer_offset, ByteView footer) {
  ByteBuffer tail = compress_block(footer);
  put_trailer(tail, {tail.size(), footer_offset});
  return bytes.substr(0, footer_offset) + std::string(as_text(tail));
}

struct FooterEdit {
  const char* name;
  std::function<void(DruxMetadata&)> edit;
  std::function<void(ByteBuffer&)> edit_bytes;
  const char* message;
};

void PrintTo(const FooterEdit& c, std::ostream* os) { *os << c.name; }

class RewrittenFooter : public testing::TestWithParam<FooterEdit> {};

TEST_P(RewrittenFooter, IsRefusedWithADataError) {
  ScratchDir dir;
  GoodFile good = good_file(dir);
  ASSERT_EQ(good.meta.chunk_count(), 2u);
  const FooterEdit& c = GetParam();
  DruxMetadata meta = good.meta;
  if (c.edit) c.edit(meta);
  ByteBuffer footer = footer_bytes(meta);
  if (c.edit_bytes) c.edit_bytes(footer);
  const std::string path = dir.path("bad.drux");
  spit(path, with_footer(good.bytes, good.meta.file.footer_offset, footer));

  auto table = read_drux_table(path);
  ASSERT_FALSE(table.ok());
  EXPECT_EQ(table.error_kind(), ErrorKind::Data);
  EXPECT_NE(table.error().find(c.message), std::string::npos) << table.error();
}

INSTANTIATE_TEST_SUITE_P(
    DruxReader, RewrittenFooter,
    testing::Values(
        FooterEdit{"BlockAtTheFooter", [](DruxMetadata& m) { m.chunks[1][2].offset = m.file.footer_offset; }, {},
                   "footer: chunk 1, column 'price': column block at offset"},
        FooterEdit{"BlockRunningIntoTheFooter", [](DruxMetadata& m) { m.chunks[1][2].length += 1; }, {},
                   "footer: chunk 1, column 'price': column block at offset"},
        FooterEdit{"BlockBeforeTheData", [](DruxMetadata& m) { m.chunks[0][0].offset -= 1; }, {},
                   "lies outside the data region"},
        FooterEdit{"BlocksOverlapping",
                   [](DruxMetadata& m) { m.chunks[0][1].offset = m.chunks[0][0].offset + 1; }, {},
                   "footer: chunk 0, column 'name': column block at offset"},
        FooterEdit{"BlockOffsetWrapsAround", [](DruxMetadata& m) { m.chunks[0][2].offset = ~std::uint64_t{0} - 4; },
                   {}, "lies outside the data region"},
        FooterEdit{"BlockLengthWrapsAround", [](DruxMetadata& m) { m.chunks[0][2].length = ~std::uint64_t{0} - 4; },
                   {}, "lies outside the data region"},
        FooterEdit{"EntryOffsetShiftedInsideItsBlock",
                   [](DruxMetadata& m) {
                     m.chunks[1][1].offset += 1;
                     m.chunks[1][1].length -= 1;
                   },
                   {}, "chunk 1, column 'name': block length field"},
        FooterEdit{"TagOfAnotherColumnType",
                   [](DruxMetadata& m) { m.chunks[0][0].encoding = Encoding::Bitmap; }, {},
                   "footer: chunk 0, column 'id': encoding tag 4 does not fit the column type (integer)"},
        FooterEdit{"UnknownTag", [](DruxMetadata& m) { m.chunks[1][1].encoding = static_cast<Encoding>(3); }, {},
                   "encoding tag 3 does not fit the column type (string)"},
        FooterEdit{"MoreNullsThanRows", [](DruxMetadata& m) { m.chunks[1][0].stats.null_count = 3; }, {},
                   "null count 3 exceeds the chunk's 2 rows"},
        FooterEdit{"ChunkRowsDisagreeWithTheHeader", [](DruxMetadata& m) { m.chunk_rows[0] = 4; }, {},
                   "footer chunks hold 6 rows, the header says 5"},
        FooterEdit{"ColumnCountDisagrees", {}, [](ByteBuffer& f) { f[4] = 2; },
                   "footer lists 2 columns, the header 3"},
        FooterEdit{"EntryCutShort", {}, [](ByteBuffer& f) { f.pop_back(); },
                   "footer: chunk 1, column 'price': footer entry is cut short"},
        FooterEdit{"BytesAfterTheLastEntry", {}, [](ByteBuffer& f) { f.push_back(0); },
                   "footer: 1 bytes left after the last entry"},
        FooterEdit{"TooShortForItsCounts", {}, [](ByteBuffer& f) { f.resize(100); },
                   "footer of 100 bytes is too short for 2 chunks of 3 columns"}),
    [](const testing::TestParamInfo<FooterEdit>& info) { return info.param.name; });

TEST(DruxReader, RewrittenFooterWithoutEditsReadsBack) {
  ScratchDir dir;
  GoodFile good = good_file(dir);
  const std::string path = dir.path("same.drux");
  spit(path, with_footer(good.bytes, good.meta.file.footer_offset, footer_bytes(good.meta)));
  auto table = read_drux_table(path);
  ASSERT_TRUE(table.ok()) << table.error();
  EXPECT_EQ(show_all(table->cells[1]), show_all({KVal::Str("item0"), KVal::Str("item1"), KVal::Str("item2"),
                                                 KVal::Str("item3"), KVal::Str("item4")}));
}

TEST(DruxReader, GoodFileBehindTheCorruptionsReadsBack) {
  ScratchDir dir;
  GoodFile good = good_file(dir);
  const std::string path = dir.path("copy.drux");
  spit(path, good.bytes);
  auto table = read_drux_table(path);
  ASSERT_TRUE(table.ok()) << table.error();
  EXPECT_EQ(table->row_count, 5u);
}

TEST(DruxReader, UnfinishedFileIsNamedSo) {
  ScratchDir dir;
  const std::string path = dir.path("unfinished.drux");
  {
    auto writer = StreamingDruxWriter::begin(mixed_columns(), 2, path);
    ASSERT_TRUE(writer.ok()) << writer.error();
    std::vector<Row> rows = {mixed_row(1), mixed_row(2)};
    ASSERT_TRUE(writer->write_chunk(rows).ok());
  }  // destroyed without finish
  auto reader = DruxReader::open(path);
  ASSERT_FALSE(reader.ok());
  EXPECT_EQ(reader.error_kind(), ErrorKind::Data);
  EXPECT_EQ(reader.error().rfind("not a finished DRUX file: ", 0), 0u) << reader.error();
}

TEST(DruxReader, MissingFileIsAnIoError) {
  ScratchDir dir;
  const std::string path = dir.path("absent.drux");
  auto reader = DruxReader::open(path);
  ASSERT_FALSE(reader.ok());
  EXPECT_EQ(reader.error_kind(), ErrorKind::Io);
  EXPECT_EQ(reader.error(), "Cannot open " + path + ": No such file or directory (os error 2)");
}

TEST(DruxReader, PathsThatAreNotRegularFilesAreRefused) {
  ScratchDir dir;
  const std::string fifo = dir.path("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string directory = dir.path("sub");
  fs::create_directory(directory);
  for (const std::string& path : {fifo, directory}) {
    auto reader = DruxReader::open(path);  // a FIFO without a writer must not block
    ASSERT_FALSE(reader.ok()) << path;
    EXPECT_EQ(reader.error(), "not a DRUX file: " + path + " is not a regular file");
  }
}

TEST(DruxReader, PositionsOutsideTheTableAreRefused) {
  ScratchDir dir;
  const std::string path = dir.path("t.drux");
  write_file(path, mixed_columns(), mixed_chunks({2}), 2);
  auto reader = DruxReader::open(path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  EXPECT_FALSE(reader->read_block(1, 0).ok());
  EXPECT_FALSE(reader->read_column_chunk(0, 3).ok());
}

// ---- Payload decoding ----------------------------------------------------------------

struct PayloadCase {
  const char* name;
  ColType type;
  Encoding encoding;
  ByteBuffer payload;
  std::size_t rows;
  const char* message;
};

void PrintTo(const PayloadCase& c, std::ostream* os) { *os << c.name; }

class MalformedPayload : public testing::TestWithParam<PayloadCase> {};

TEST_P(MalformedPayload, IsRefused) {
  const PayloadCase& c = GetParam();
  auto cells = decode_column_payload(c.type, c.encoding, c.payload, c.rows);
  ASSERT_FALSE(cells.ok());
  EXPECT_EQ(cells.error_kind(), ErrorKind::Data);
  EXPECT_NE(cells.error().find(c.message), std::string::npos) << cells.error();
}

INSTANTIATE_TEST_SUITE_P(
    DruxReader, MalformedPayload,
    testing::Values(
        PayloadCase{"BitmapTagOnIntegers", ColType::Int, Encoding::Bitmap, {0x01}, 1,
                    "encoding tag 4 does not fit the column type (integer)"},
        PayloadCase{"PlainTagOnBooleans", ColType::Bool, Encoding::Plain, {0x01}, 1,
                    "encoding tag 0 does not fit the column type (boolean)"},
        PayloadCase{"RunLengthOnStrings", ColType::Str, Encoding::RunLength, {0x00}, 0,
                    "encoding tag 1 does not fit the column type (string)"},
        PayloadCase{"BitmapOneByteShort", ColType::Bool, Encoding::Bitmap, {0xFF}, 9,
                    "boolean bitmap of 1 bytes for 9 rows"},
        PayloadCase{"BitmapOneByteLong", ColType::Bool, Encoding::Bitmap, {0xFF, 0x00}, 8,
                    "boolean bitmap of 2 bytes for 8 rows"},
        PayloadCase{"BitmapBitPastTheLastRow", ColType::Bool, Encoding::Bitmap, {0x08}, 3,
                    "bits set past the last row"},
        PayloadCase{"FloatWithoutMarker", ColType::Float, Encoding::ConstantDelta, {0x02, 0x00}, 1,
                    "does not open with the marker FE 04"},
        PayloadCase{"FloatWithOtherDecimals", ColType::Float, Encoding::ConstantDelta, {0xFE, 0x02, 0x02, 0x00}, 1,
                    "does not open with the marker FE 04"},
        PayloadCase{"BytesPastTheLastRow", ColType::Bytes, Encoding::Plain, {0x01, 0x41, 0x00}, 1,
                    "bytes payload has bytes after the last row"},
        PayloadCase{"BytesItemLongerThanPayload", ColType::Bytes, Encoding::Plain, {0x05, 0x41}, 1,
                    "bytes payload ends inside row 0"},
        PayloadCase{"NestedUnknownTag", ColType::List, Encoding::Plain, {0x01, 0x00, 0x01, 0x09}, 2, "row 1: "},
        PayloadCase{"NestedMoreRowsThanBytes", ColType::Object, Encoding::Plain, {0x01, 0x00}, 3,
                    "nested payload too short for 3 rows"}),
    [](const testing::TestParamInfo<PayloadCase>& info) { return info.param.name; });

// ---- Sweep -----------------------------------------------------------------------------

// Every single-byte corruption and every truncation of a small file of all
// column kinds is either read or refused, never a crash, and a change inside
// a CRC-protected column block is always refused.
TEST(DruxReader, EveryFlipAndTruncationIsReadOrRefused) {
  ScratchDir dir;
  const std::string good_path = dir.path("good.drux");
  const AesKey key = test_key(9);
  std::vector<KColumn> columns = {make_column("i", ColType::Int),   make_column("f", ColType::Float),
                                  make_column("b", ColType::Bool),  make_column("s", ColType::Str),
                                  make_column("y", ColType::Bytes), make_column("o", ColType::Object),
                                  make_column("e", ColType::Int, true, key)};
  std::vector<std::vector<Row>> chunks(2);
  for (int r = 0; r < 5; ++r) {
    chunks[r / 3].push_back(Row{KVal::Int(r * 1000 - 7), KVal::Float(r * 0.25), KVal::Bool(r % 2 == 0),
                                KVal::Str("v" + std::to_string(r)), KVal::Bytes(std::string(r, 'x')),
                                KVal::Object({{"k", KVal::List({KVal::Int(r)})}}), KVal::Int(r)});
  }
  write_file(good_path, columns, chunks, 3);
  const std::string good = slurp(good_path);
  auto good_reader = DruxReader::open(good_path);
  ASSERT_TRUE(good_reader.ok()) << good_reader.error();
  const DruxMetadata meta = good_reader->metadata();
  auto in_block = [&](std::size_t pos) {
    for (std::uint32_t k = 0; k < meta.chunk_count(); ++k) {
      for (std::size_t c = 0; c < meta.columns.size(); ++c) {
        const ColumnChunkInfo& e = meta.entry(k, c);
        if (pos >= e.offset && pos < e.offset + kColumnBlockOverhead + e.length) return true;
      }
    }
    return false;
  };
  const std::vector<std::pair<std::string, AesKey>> keys = {{"e", key}};
  const std::string path = dir.path("bad.drux");

  for (std::size_t pos = 0; pos < good.size(); ++pos) {
    std::string bytes = good;
    bytes[pos] = static_cast<char>(bytes[pos] ^ 0xFF);
    spit(path, bytes);
    auto table = read_drux_table(path, keys);
    if (in_block(pos)) {
      EXPECT_FALSE(table.ok()) << "flip at " << pos;
    }
  }
  for (std::size_t length = 0; length < good.size(); ++length) {
    spit(path, good.substr(0, length));
    auto table = read_drux_table(path, keys);
    EXPECT_FALSE(table.ok()) << "truncated to " << length;
  }
}

// ---- Footers that read back but do not match their cells ---------------------------------

// The footer carries no CRC: an edited statistic still reads back, and only
// verify, re-deriving the entry from the cells, sees it.
struct StatsEdit {
  const char* name;
  std::function<void(DruxMetadata&)> edit;
  const char* message;
};

void PrintTo(const StatsEdit& c, std::ostream* os) { *os << c.name; }

class EditedStatistics : public testing::TestWithParam<StatsEdit> {};

TEST_P(EditedStatistics, ReadBackButFailVerify) {
  ScratchDir dir;
  GoodFile good = good_file(dir);
  DruxMetadata meta = good.meta;
  GetParam().edit(meta);
  const std::string path = dir.path("edited.drux");
  spit(path, with_footer(good.bytes, good.meta.file.footer_offset, footer_bytes(meta)));
  auto table = read_drux_table(path);
  ASSERT_TRUE(table.ok()) << table.error();
  auto reader = DruxReader::open(path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  Status verified = reader->verify();
  ASSERT_FALSE(verified.ok());
  EXPECT_EQ(verified.error_kind(), ErrorKind::Data);
  EXPECT_NE(verified.error().find(GetParam().message), std::string::npos) << verified.error();
}

INSTANTIATE_TEST_SUITE_P(
    DruxReader, EditedStatistics,
    testing::Values(
        StatsEdit{"IntMinimum", [](DruxMetadata& m) { m.chunks[1][0].stats.min_int = 8; },
                  "chunk 1, column 'id': footer minimum 8, the cells give 9"},
        StatsEdit{"IntMaximum", [](DruxMetadata& m) { m.chunks[0][0].stats.max_int = 5; }, "footer maximum 5"},
        // Chunk 0 of 'id' holds one 0, which a null would read back as: one
        // more null is possible and moves the minimum, two are not.
        StatsEdit{"OneNullMore", [](DruxMetadata& m) { m.chunks[0][0].stats.null_count = 1; },
                  "footer minimum 0, the cells give 1"},
        StatsEdit{"MoreNullsThanNullLikeCells", [](DruxMetadata& m) { m.chunks[0][0].stats.null_count = 2; },
                  "footer null count 2, but only 1 cells can be nulls"},
        StatsEdit{"FloatMaximumPastItsRounding", [](DruxMetadata& m) { m.chunks[1][2].stats.max_int = 3; },
                  "column 'price': footer maximum 3, the cells give 1"},
        StatsEdit{"SmallestText", [](DruxMetadata& m) { m.chunks[0][1].stats.min_str = "item"; },
                  "chunk 0, column 'name': footer's smallest text"},
        StatsEdit{"LargestText", [](DruxMetadata& m) { m.chunks[1][1].stats.max_str = "item9"; },
                  "footer's largest text"},
        StatsEdit{"FilterBit", [](DruxMetadata& m) { m.chunks[1][1].bloom[7] ^= 1; }, "membership filter"},
        StatsEdit{"FilterOnANumberColumn", [](DruxMetadata& m) { m.chunks[0][0].bloom[0] = 1; },
                  "membership filter"},
        StatsEdit{"TextBoundsOnANumberColumn", [](DruxMetadata& m) { m.chunks[0][2].stats.max_str = "x"; },
                  "largest text"}),
    [](const testing::TestParamInfo<StatsEdit>& info) { return info.param.name; });

TEST(DruxReader, UneditedFooterPassesVerify) {
  ScratchDir dir;
  GoodFile good = good_file(dir);
  const std::string path = dir.path("same.drux");
  spit(path, with_footer(good.bytes, good.meta.file.footer_offset, footer_bytes(good.meta)));
  auto reader = DruxReader::open(path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  Status verified = reader->verify();
  EXPECT_TRUE(verified.ok()) << verified.error();
}

TEST(DruxReader, VerifyAcceptsNullsOfEveryPlainKind) {
  ScratchDir dir;
  const std::string path = dir.path("nulls.drux");
  const std::vector<KColumn> columns = {make_column("i", ColType::Int), make_column("f", ColType::Float),
                                        make_column("b", ColType::Bool), make_column("s", ColType::Str),
                                        make_column("y", ColType::Bytes), make_column("l", ColType::List)};
  std::vector<Row> rows;
  for (int r = 0; r < 6; ++r) {
    if (r % 3 == 1) {
      rows.push_back(Row(columns.size()));  // all Null
    } else {
      rows.push_back(Row{KVal::Int(r == 0 ? 0 : -r), KVal::Float(r * 1.25), KVal::Bool(r == 2), KVal::Str(r ? "x" : ""),
                         KVal::Bytes(r ? "\x01" : ""), KVal::List({KVal::Int(r)})});
    }
  }
  write_file(path, columns, {rows}, 6);
  auto reader = DruxReader::open(path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  Status verified = reader->verify();
  EXPECT_TRUE(verified.ok()) << verified.error();
}

// ---- Reader limits ----------------------------------------------------------------------

struct LimitCase {
  const char* name;
  std::function<void(ReaderLimits&)> set;
  const char* message;  // names the limit that was passed
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

class PassedLimit : public testing::TestWithParam<LimitCase> {};

// The good file (chunks of 3 and 2 rows, 3 columns, names up to 5 bytes)
// under limits each just too small for one of its parts.
TEST_P(PassedLimit, IsRefusedNamingTheLimit) {
  ScratchDir dir;
  const std::string path = dir.path("good.drux");
  write_file(path, mixed_columns(), mixed_chunks({3, 2}), 3);
  ReaderLimits limits;
  GetParam().set(limits);
  auto table = read_drux_table(path, {}, limits);
  ASSERT_FALSE(table.ok());
  EXPECT_EQ(table.error_kind(), ErrorKind::Data);
  EXPECT_NE(table.error().find(GetParam().message), std::string::npos) << table.error();
  // The same file within the default limits.
  EXPECT_TRUE(read_drux_table(path).ok());
}

INSTANTIATE_TEST_SUITE_P(
    DruxReader, PassedLimit,
    testing::Values(
        LimitCase{"ChunkRows", [](ReaderLimits& l) { l.max_chunk_rows = 2; },
                  "chunk 0, column 'id': 3 rows, more than ReaderLimits.max_chunk_rows (2) allows; raise "
                  "max_chunk_rows"},
        LimitCase{"Chunks", [](ReaderLimits& l) { l.max_chunks = 1; },
                  "the file has 2 chunks, more than ReaderLimits.max_chunks (1)"},
        LimitCase{"Cells", [](ReaderLimits& l) { l.max_cells = 14; },
                  "the table has 5 rows of 3 columns, more than ReaderLimits.max_cells (14)"},
        LimitCase{"NameBytes", [](ReaderLimits& l) { l.max_name_bytes = 4; },
                  "a column name of 5 bytes, more than ReaderLimits.max_name_bytes (4)"},
        LimitCase{"MetadataBytes", [](ReaderLimits& l) { l.max_metadata_bytes = 64; }, "max_metadata_bytes (64)"},
        LimitCase{"BlockBytes", [](ReaderLimits& l) { l.max_block_bytes = 4; },
                  "chunk 0, column 'name': compressed block of 19 bytes is larger than "
                  "ReaderLimits.max_block_bytes (4); raise max_block_bytes"}),
    [](const testing::TestParamInfo<LimitCase>& info) { return info.param.name; });

TEST(DruxReader, VerifyKeepsToTheCellLimit) {
  ScratchDir dir;
  const std::string path = dir.path("good.drux");
  write_file(path, mixed_columns(), mixed_chunks({3, 2}), 3);
  ReaderLimits limits;
  limits.max_cells = 14;
  auto reader = DruxReader::open(path, limits);
  ASSERT_TRUE(reader.ok()) << reader.error();
  Status verified = reader->verify();
  ASSERT_FALSE(verified.ok());
  EXPECT_NE(verified.error().find("max_cells"), std::string::npos) << verified.error();
}

// ---- Text that is not UTF-8 ----------------------------------------------------------------

TEST(DruxReader, ColumnNameThatIsNotUtf8IsRefusedOnOpening) {
  ScratchDir dir;
  const std::string path = dir.path("name.drux");
  write_file(path, {make_column("ok"), make_column("bad\xC3\x28")}, {{Row{KVal::Str("a"), KVal::Str("b")}}}, 1);
  auto reader = DruxReader::open(path);
  ASSERT_FALSE(reader.ok());
  EXPECT_EQ(reader.error_kind(), ErrorKind::Data);
  EXPECT_NE(reader.error().find("schema: the name of column 1 is not UTF-8"), std::string::npos) << reader.error();
}

TEST(DruxReader, StringCellThatIsNotUtf8IsRefusedNamingItsPlace) {
  ScratchDir dir;
  const std::string path = dir.path("cell.drux");
  // The second chunk's second row holds an overlong encoding of '/'.
  write_file(path, {make_column("s")},
             {one_column_rows({KVal::Str("fine"), KVal::Str("caf\xC3\xA9")}),
              one_column_rows({KVal::Str("ok"), KVal::Str("\xC0\xAF")})},
             2);
  auto reader = DruxReader::open(path);
  ASSERT_TRUE(reader.ok()) << reader.error();
  EXPECT_TRUE(reader->read_column_chunk(0, 0).ok());
  auto cells = reader->read_column_chunk(1, 0);
  ASSERT_FALSE(cells.ok());
  EXPECT_EQ(cells.error_kind(), ErrorKind::Data);
  EXPECT_EQ(cells.error(), "chunk 1, column 's': the string in row 1 is not UTF-8");
  EXPECT_FALSE(reader->verify().ok());
}

}  // namespace
}  // namespace drux
