// Whole DRUX v2 files as the streaming writer lays them out: header,
// schema and dictionary blocks, column blocks, footer index and trailer,
// read back here through the container's decoders (the exact bytes of one
// small file are checked against literals below).
// Deliberately not here: reading files back through DruxReader
// (drux_reader_test), the compression levels (compression_level_test,
// tests/python/test_drux_tables.py) and the CSV path (csv_converter_test).
#include <gtest/gtest.h>

#include <chrono>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "drux_v2/aes256.h"
#include "drux_v2/block_compressor.h"
#include "drux_v2/column_block.h"
#include "drux_v2/crc32.h"
#include "drux_v2/container.h"
#include "drux_v2/nested_codec.h"
#include "drux_v2/streaming_writer.h"
#include "drux_v2/string_codec.h"
#include "test_support.h"

namespace drux {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxBlockOutput = std::size_t{64} << 20;
constexpr std::size_t kCreationTimeOffset = 24;

// ---- The container, read back through container.h ---------------------------

// A footer entry with its statistics spread out, as the tests compare them.
struct FooterFields {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint8_t encoding = 0;
  std::uint32_t null_count = 0;
  std::int64_t min_int = 0;
  std::int64_t max_int = 0;
  std::string min_str;
  std::string max_str;
  BloomFilter bloom{};
};

struct ParsedFile {
  ByteBuffer bytes;
  std::uint16_t version = 0;
  std::uint16_t column_count = 0;
  std::uint64_t total_rows = 0;
  std::uint32_t chunk_count = 0;
  std::uint32_t rows_per_chunk = 0;
  ByteBuffer schema_block;
  ByteBuffer dictionary_block;
  std::uint64_t data_start = 0;  // 76 + L_s + L_d
  std::uint64_t footer_offset = 0;
  ByteBuffer footer;  // decompressed
  // Decoded footer.
  std::uint32_t footer_chunk_count = 0;
  std::uint16_t footer_column_count = 0;
  std::vector<std::uint32_t> row_counts;
  std::vector<FooterFields> entries;  // chunk-major, column-minor
};

ByteBuffer read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return ByteBuffer(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void read_block(ByteReader& r, std::uint64_t length, ByteBuffer* out) {
  ByteView view;
  ASSERT_TRUE(r.read_bytes(length, view));
  out->assign(view.begin(), view.end());
}

// Header, schema, dictionary and trailer; no footer decoding. The magic and
// the reserved zero bytes are checked by the container's decoders.
void parse_front_and_trailer(ParsedFile* f) {
  ByteReader r(f->bytes);
  FileHeader header;
  Status s = read_file_header(r, header);
  ASSERT_TRUE(s.ok()) << s.error();
  f->version = header.version;
  f->column_count = header.column_count;
  f->total_rows = header.total_rows;
  f->chunk_count = header.chunk_count;
  f->rows_per_chunk = header.rows_per_chunk;
  Preamble preamble;
  s = read_preamble(r, preamble);
  ASSERT_TRUE(s.ok()) << s.error();
  ASSERT_NO_FATAL_FAILURE(read_block(r, preamble.schema_length, &f->schema_block));
  std::uint64_t dictionary_length;
  s = read_dictionary_length(r, dictionary_length);
  ASSERT_TRUE(s.ok()) << s.error();
  ASSERT_NO_FATAL_FAILURE(read_block(r, dictionary_length, &f->dictionary_block));
  f->data_start = r.position();
  EXPECT_EQ(f->data_start, 76 + preamble.schema_length + dictionary_length);
}

void parse_footer(ParsedFile* f) {
  ByteReader r(f->footer);
  FooterHead head;
  ASSERT_TRUE(read_footer_head(r, head).ok());
  f->footer_chunk_count = head.chunk_count;
  f->footer_column_count = head.column_count;
  ASSERT_TRUE(read_footer_row_counts(r, head.chunk_count, f->row_counts).ok());
  const std::size_t n = std::size_t{f->footer_chunk_count} * f->footer_column_count;
  for (std::size_t i = 0; i < n; ++i) {
    FooterEntry e;
    Status s = read_footer_entry(r, e);
    ASSERT_TRUE(s.ok()) << s.error();
    f->entries.push_back({e.offset, e.length, static_cast<std::uint8_t>(e.encoding), e.stats.null_count,
                          e.stats.min_int, e.stats.max_int, e.stats.min_str, e.stats.max_str, e.bloom});
  }
  EXPECT_TRUE(r.at_end());
}

// A finished file: the trailer locates the footer, which ends the file.
void parse_file(const std::string& path, ParsedFile* f) {
  f->bytes = read_all(path);
  ASSERT_NO_FATAL_FAILURE(parse_front_and_trailer(f));
  ASSERT_GE(f->bytes.size(), f->data_start + kTrailerSize);
  ByteReader trailer_in(ByteView(f->bytes).subspan(f->bytes.size() - kTrailerSize));
  Trailer trailer;
  ASSERT_TRUE(read_trailer(trailer_in, trailer).ok());
  const std::uint64_t footer_length = trailer.footer_length;
  f->footer_offset = trailer.footer_offset;
  ASSERT_EQ(f->footer_offset + footer_length + kTrailerSize, f->bytes.size());
  ASSERT_GE(f->footer_offset, f->data_start);
  Result<ByteBuffer> footer =
      decompress_block(ByteView(f->bytes).subspan(f->footer_offset, footer_length), kMaxBlockOutput);
  ASSERT_TRUE(footer.ok()) << footer.error();
  f->footer = std::move(footer).value();
  ASSERT_NO_FATAL_FAILURE(parse_footer(f));
}

// The payload of the column block at `offset`, after checking its CRC.
void column_payload(const ParsedFile& f, std::uint64_t offset, ByteBuffer* payload) {
  ByteReader r(ByteView(f.bytes).subspan(offset));
  ColumnBlockPrefix prefix;
  ByteView block;
  ASSERT_TRUE(read_column_block_prefix(r, prefix).ok() && r.read_bytes(prefix.length, block));
  EXPECT_EQ(prefix.crc, crc32(block));
  Result<ByteBuffer> out = decompress_block(block, kMaxBlockOutput);
  ASSERT_TRUE(out.ok()) << out.error();
  *payload = std::move(out).value();
}

std::vector<unsigned> set_bits(const BloomFilter& bloom) {
  std::vector<unsigned> bits;
  for (unsigned i = 0; i < kBloomBits; ++i) {
    if ((bloom[i / 64] >> (i % 64)) & 1) bits.push_back(i);
  }
  return bits;
}

// ---- Fixtures -------------------------------------------------------------------

class StreamingWriter : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.path(name); }

  // Writes `chunks` and finishes; returns the summary.
  std::string write_file(const std::string& file, std::vector<KColumn> columns, std::uint64_t chunk_rows,
                         const std::vector<std::vector<Row>>& chunks) {
    Result<StreamingDruxWriter> w = StreamingDruxWriter::begin(std::move(columns), chunk_rows, path(file));
    EXPECT_TRUE(w.ok()) << w.error();
    if (!w.ok()) return {};
    for (const auto& chunk : chunks) {
      Status s = w->write_chunk(chunk);
      EXPECT_TRUE(s.ok()) << s.error();
    }
    Result<std::string> summary = w->finish();
    EXPECT_TRUE(summary.ok()) << summary.error();
    return summary.ok() ? summary.value() : std::string();
  }

  test::ScratchDir dir_;
};

std::vector<Row> int_rows(std::int64_t first, std::size_t n) {
  std::vector<Row> rows;
  rows.reserve(n);
  for (std::size_t i = 0; i < n; ++i) rows.push_back(Row{KVal::Int(first + static_cast<std::int64_t>(i))});
  return rows;
}

std::vector<Row> str_rows(std::initializer_list<const char*> texts) {
  std::vector<Row> rows;
  for (const char* t : texts) rows.push_back(Row{t ? KVal::Str(t) : KVal::Null()});
  return rows;
}

KVal nested_lists(int depth) {
  KVal v = KVal::Int(1);
  for (int i = 0; i < depth; ++i) v = KVal::List(KList{std::move(v)});
  return v;
}

// ---- Container layout -------------------------------------------------------------

TEST_F(StreamingWriter, SmallFileMatchesItsByteLayoutExactly) {
  // The writer's clock: time() reads a coarser clock that can lag behind it.
  const auto unix_seconds = [] {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
  };
  const std::uint64_t before = unix_seconds();
  std::string summary = write_file("one.drux", {make_column("n", ColType::Int)}, 3, {int_rows(1, 3)});
  const std::uint64_t after = unix_seconds();
  EXPECT_EQ(summary, "DRUX v2 (streaming): 3 rows \xC3\x97 1 cols | 1 chunks | dict: 0 entries");

  ByteBuffer bytes = read_all(path("one.drux"));
  ByteBuffer expected = {
      'D', 'R', 'U', 'X', 0x02, 0x00, 0x01, 0x00,      // magic, version 2, one column
      0x03, 0, 0, 0, 0, 0, 0, 0,                       // total rows, patched
      0x01, 0, 0, 0,                                   // chunk count, patched
      0x03, 0, 0, 0,                                   // rows per chunk
  };
  ByteReader time_field(ByteView(bytes).subspan(kCreationTimeOffset, 8));
  std::uint64_t created = 0;
  ASSERT_TRUE(time_field.read_u64_le(created));
  EXPECT_GE(created, before);
  EXPECT_LE(created, after);
  put_u64_le(expected, created);
  expected.resize(expected.size() + 32, 0);  // reserved
  const ByteBuffer rest = {
      0x05, 0, 0, 0,                          // L_s
      0x02, 0x01, 'n', 0x01, 0x00,            // stored schema: name "n", integer, not encrypted
      0x02, 0, 0, 0, 0, 0, 0, 0,              // L_d
      0x02, 0x00,                             // stored dictionary: no entries
      0xD2, 0x0E, 0xFD, 0x20,                 // CRC-32 of the block 02 02 02
      0x03, 0, 0, 0, 0, 0, 0, 0,              // block length
      0x02, 0x02, 0x02,                       // stored payload 02 02: constant delta from 1 by 1
  };
  put_bytes(expected, rest);
  ASSERT_EQ(expected.size(), 98u);
  ASSERT_GT(bytes.size(), expected.size() + kTrailerSize);
  EXPECT_EQ(ByteBuffer(bytes.begin(), bytes.begin() + 98), expected);

  ByteBuffer footer = {
      0x01, 0, 0, 0,  // chunk count
      0x01, 0x00,     // column count
      0x03, 0, 0, 0,  // rows of chunk 0
      83, 0, 0, 0, 0, 0, 0, 0,  // block offset
      0x03, 0, 0, 0, 0, 0, 0, 0,  // block length
      0x06,                     // constant delta
      0, 0, 0, 0,               // nulls
      0x02, 0x06,               // min 1, max 3
      0x00, 0x00,               // no text bounds
  };
  footer.resize(footer.size() + 512, 0);  // empty filter
  const std::uint64_t footer_length = bytes.size() - 98 - kTrailerSize;
  Result<ByteBuffer> stored_footer =
      decompress_block(ByteView(bytes).subspan(98, footer_length), kMaxBlockOutput);
  ASSERT_TRUE(stored_footer.ok()) << stored_footer.error();
  EXPECT_EQ(stored_footer.value(), footer);
  ByteBuffer trailer;
  put_u64_le(trailer, footer_length);
  put_u64_le(trailer, 98);
  EXPECT_EQ(ByteBuffer(bytes.end() - 16, bytes.end()), trailer);
}

TEST_F(StreamingWriter, FooterOfEmptyTableHoldsOnlyCounts) {
  std::string summary =
      write_file("empty.drux", {make_column("a"), make_column("b", ColType::Int), make_column("c")}, 65536, {});
  EXPECT_EQ(summary, "DRUX v2 (streaming): 0 rows \xC3\x97 3 cols | 0 chunks | dict: 0 entries");
  ParsedFile f;
  ASSERT_NO_FATAL_FAILURE(parse_file(path("empty.drux"), &f));
  EXPECT_EQ(f.version, 2);
  EXPECT_EQ(f.column_count, 3);
  EXPECT_EQ(f.total_rows, 0u);
  EXPECT_EQ(f.chunk_count, 0u);
  EXPECT_EQ(f.rows_per_chunk, 65536u);
  EXPECT_EQ(f.footer, (ByteBuffer{0x00, 0x00, 0x00, 0x00, 0x03, 0x00}));
  EXPECT_EQ(f.footer_offset, f.data_start);
  EXPECT_EQ(f.dictionary_block, (ByteBuffer{0x02, 0x00}));
  Result<ByteBuffer> schema = decompress_block(f.schema_block, kMaxBlockOutput);
  ASSERT_TRUE(schema.ok()) << schema.error();
  EXPECT_EQ(schema.value(), (ByteBuffer{0x01, 'a', 0x04, 0x00, 0x01, 'b', 0x01, 0x00, 0x01, 'c', 0x04, 0x00}));
}

TEST_F(StreamingWriter, TableWithoutColumnsHasEmptySchemaBlockAndStillCountsRows) {
  std::vector<Row> rows(3);
  write_file("nocols.drux", {}, 10, {rows});
  ParsedFile f;
  ASSERT_NO_FATAL_FAILURE(parse_file(path("nocols.drux"), &f));
  EXPECT_TRUE(f.schema_block.empty());
  // L_s is 0, so the dictionary length field sits right at offset 68.
  EXPECT_EQ(ByteBuffer(f.bytes.begin() + 64, f.bytes.begin() + 78),
            (ByteBuffer{0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x00}));
  EXPECT_EQ(f.data_start, 78u);
  EXPECT_EQ(f.total_rows, 3u);
  EXPECT_EQ(f.chunk_count, 1u);
  EXPECT_EQ(f.footer, (ByteBuffer{0x01, 0, 0, 0, 0x00, 0x00, 0x03, 0, 0, 0}));
}

TEST_F(StreamingWriter, FooterListsTheRowCountOfEveryChunk) {
  struct Case {
    std::uint64_t chunk_rows;
    std::vector<std::size_t> sizes;
    std::uint32_t header_rows_per_chunk;
  } cases[] = {
      {65536, {65536, 65536, 18928}, 65536},
      {0, {1, 1}, 0},      // stored as 0, worked with as 1
      {4, {2, 4, 3}, 4},   // chunk sizes that do not follow rows per chunk are kept as given
      {2, {5}, 2},
  };
  int file_number = 0;
  for (const auto& c : cases) {
    std::vector<std::vector<Row>> chunks;
    std::uint64_t total = 0;
    for (std::size_t n : c.sizes) {
      chunks.push_back(int_rows(static_cast<std::int64_t>(total), n));
      total += n;
    }
    const std::string file = "counts" + std::to_string(file_number++) + ".drux";
    std::string summary = write_file(file, {make_column("i", ColType::Int)}, c.chunk_rows, chunks);
    EXPECT_EQ(summary, "DRUX v2 (streaming): " + std::to_string(total) + " rows \xC3\x97 1 cols | " +
                           std::to_string(c.sizes.size()) + " chunks | dict: 0 entries");
    ParsedFile f;
    ASSERT_NO_FATAL_FAILURE(parse_file(path(file), &f));
    EXPECT_EQ(f.rows_per_chunk, c.header_rows_per_chunk);
    EXPECT_EQ(f.total_rows, total);
    EXPECT_EQ(f.chunk_count, c.sizes.size());
    EXPECT_EQ(f.footer_chunk_count, c.sizes.size());
    EXPECT_EQ(std::vector<std::size_t>(f.row_counts.begin(), f.row_counts.end()), c.sizes);
  }
}

TEST_F(StreamingWriter, ColumnBlocksFollowEachOtherUpToTheFooter) {
  std::vector<Row> rows;
  for (int i = 0; i < 1000; ++i) {
    rows.push_back(Row{KVal::Int(i * i % 977), KVal::Str("name " + std::to_string(i % 37)), KVal::Float(i * 0.25),
                       KVal::Bool(i % 3 == 0)});
  }
  std::vector<KColumn> columns = {make_column("i", ColType::Int), make_column("s"), make_column("f", ColType::Float),
                                  make_column("b", ColType::Bool)};
  write_file("blocks.drux", columns, 500, {{rows.begin(), rows.begin() + 500}, {rows.begin() + 500, rows.end()}});
  ParsedFile f;
  ASSERT_NO_FATAL_FAILURE(parse_file(path("blocks.drux"), &f));
  ASSERT_EQ(f.entries.size(), 8u);
  std::uint64_t next = f.data_start;
  for (const FooterFields& e : f.entries) {
    EXPECT_EQ(e.offset, next);
    ByteBuffer payload;
    ASSERT_NO_FATAL_FAILURE(column_payload(f, e.offset, &payload));
    next = e.offset + kColumnBlockOverhead + e.length;
  }
  EXPECT_EQ(next, f.footer_offset);
  // The second chunk's string column: payload and bounds of rows 500..999.
  const FooterFields& s = f.entries[5];
  ByteBuffer payload;
  ASSERT_NO_FATAL_FAILURE(column_payload(f, s.offset, &payload));
  std::vector<std::string_view> texts;
  for (std::size_t r = 500; r < 1000; ++r) texts.push_back(text_view(rows[r][1]));
  EXPECT_EQ(payload, encode_raw_str(texts));
  EXPECT_EQ(s.min_str, "name 0");
  EXPECT_EQ(s.max_str, "name 9");
  EXPECT_EQ(f.entries[6].encoding, static_cast<std::uint8_t>(Encoding::ConstantDelta));  // 125.0, 125.25, ...
  EXPECT_EQ(f.entries[7].encoding, static_cast<std::uint8_t>(Encoding::Bitmap));
}

TEST_F(StreamingWriter, FooterEntryCarriesStatisticsAndFilter) {
  write_file("stats.drux", {make_column("s"), make_column("i", ColType::Int)}, 3,
             {{Row{KVal::Str("ab"), KVal::Int(-5)}, Row{KVal::Null(), KVal::Null()}, Row{KVal::Str("hello"), KVal::Int(300)}}});
  ParsedFile f;
  ASSERT_NO_FATAL_FAILURE(parse_file(path("stats.drux"), &f));
  ASSERT_EQ(f.entries.size(), 2u);
  const FooterFields& s = f.entries[0];
  EXPECT_EQ(s.encoding, static_cast<std::uint8_t>(Encoding::Plain));
  EXPECT_EQ(s.null_count, 1u);
  EXPECT_EQ(s.min_str, "ab");
  EXPECT_EQ(s.max_str, "hello");
  EXPECT_EQ(s.min_int, 0);
  EXPECT_EQ(s.max_int, 0);
  EXPECT_EQ(set_bits(s.bloom), (std::vector<unsigned>{226, 322, 1246, 1447, 1465, 2177, 2364, 3093, 3403}));
  const FooterFields& i = f.entries[1];
  EXPECT_EQ(i.null_count, 1u);
  EXPECT_EQ(i.min_int, -5);
  EXPECT_EQ(i.max_int, 300);
  EXPECT_TRUE(i.min_str.empty() && i.max_str.empty());
  EXPECT_EQ(set_bits(i.bloom), std::vector<unsigned>{});
}

// ---- Chunks that change nothing, and encryption -------------------------------------

ByteBuffer without_creation_time(ByteBuffer bytes) {
  std::fill(bytes.begin() + kCreationTimeOffset, bytes.begin() + kCreationTimeOffset + 8, 0);
  return bytes;
}

AesKey test_key() {
  AesKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0xA0 + i);
  return key;
}

TEST_F(StreamingWriter, ChunkWithoutRowsLeavesFileAndChunkIndexUnchanged) {
  // An encrypted column makes the chunk index visible in the ciphertext.
  const KColumn column = make_column("secret", ColType::Str, true, test_key());
  const std::vector<Row> first = str_rows({"a", "b"});
  const std::vector<Row> second = str_rows({"c", nullptr});
  write_file("plain.drux", {column}, 2, {first, second});
  write_file("with_empty.drux", {column}, 2, {first, {}, second});
  EXPECT_EQ(without_creation_time(read_all(path("with_empty.drux"))),
            without_creation_time(read_all(path("plain.drux"))));
}

TEST_F(StreamingWriter, EncryptedColumnWithAllZeroKeyIsStoredInTheClear) {
  const std::vector<Row> rows = str_rows({"alpha", "beta", nullptr});
  write_file("clear.drux", {make_column("s", ColType::Str, false)}, 3, {rows});
  write_file("zero_key.drux", {make_column("s", ColType::Str, true, AesKey{})}, 3, {rows});
  ByteBuffer clear = without_creation_time(read_all(path("clear.drux")));
  ByteBuffer zero_key = without_creation_time(read_all(path("zero_key.drux")));
  // The stored schema block 02 01 73 04 xx starts at 68; its last byte is the flag.
  const std::size_t flag = 68 + 4;
  ASSERT_EQ(clear.size(), zero_key.size());
  EXPECT_EQ(clear[flag], 0);
  EXPECT_EQ(zero_key[flag], 1);
  zero_key[flag] = 0;
  EXPECT_EQ(zero_key, clear);
}

TEST_F(StreamingWriter, EachChunkOfAnEncryptedColumnHasItsOwnCounterBlocks) {
  const AesKey key = test_key();
  const std::vector<Row> rows = str_rows({"the same", "values in", "both chunks", nullptr});
  write_file("enc.drux", {make_column("secret", ColType::Str, true, key)}, 4, {rows, rows});
  ParsedFile f;
  ASSERT_NO_FATAL_FAILURE(parse_file(path("enc.drux"), &f));
  ASSERT_EQ(f.entries.size(), 2u);

  std::vector<std::string_view> texts = {"the same", "values in", "both chunks", ""};
  const ByteBuffer plain = encode_raw_str(texts);
  // Counter prefixes of column "secret" for chunks 0 and 1: FNV-1a of the
  // name XOR the chunk index, spread into N1 (8 bytes) and N2 (4 bytes).
  const CtrPrefix prefixes[] = {{0xa3, 0x14, 0xb6, 0x77, 0xb0, 0xb6, 0xdb, 0xee, 0xdf, 0x60, 0x6e, 0x5c},
                                {0xf0, 0x12, 0xb6, 0x77, 0xb0, 0xb5, 0xdb, 0xee, 0xb0, 0x65, 0x96, 0xdd}};
  ByteBuffer stored[2];
  for (int chunk = 0; chunk < 2; ++chunk) {
    ASSERT_NO_FATAL_FAILURE(column_payload(f, f.entries[chunk].offset, &stored[chunk]));
    ASSERT_EQ(stored[chunk].size(), plain.size());
    EXPECT_NE(stored[chunk], plain);
  }
  EXPECT_NE(stored[0], stored[1]);
  for (int chunk = 0; chunk < 2; ++chunk) {
    aes256_ctr_xor(key, prefixes[chunk], stored[chunk]);
    EXPECT_EQ(stored[chunk], plain) << "chunk " << chunk;
  }
  // Statistics and filter describe the clear values.
  EXPECT_EQ(f.entries[1].min_str, "both chunks");
  EXPECT_EQ(f.entries[1].null_count, 1u);
}

// A caller that builds its string column chunks itself, as the CSV
// converter does, must get the file that rows of the same texts give,
// counter blocks of later chunks included.
TEST_F(StreamingWriter, ChunksBuiltTextByTextGiveTheFileOfTheSameRows) {
  const std::vector<KColumn> columns = {make_column("plain"), make_column("secret", ColType::Str, true, test_key())};
  const std::vector<std::vector<std::string>> chunks = {{"pear", "apple", "zoo"}, {"", "\xC3\xA9", "a", "ab"}};
  std::vector<std::vector<Row>> row_chunks;
  for (const auto& texts : chunks) {
    std::vector<Row> rows;
    for (const std::string& t : texts) rows.push_back(Row{KVal::Str(t), KVal::Str(t + t)});
    row_chunks.push_back(std::move(rows));
  }
  write_file("rows.drux", columns, 4, row_chunks);

  Result<StreamingDruxWriter> w = StreamingDruxWriter::begin(columns, 4, path("built.drux"));
  ASSERT_TRUE(w.ok()) << w.error();
  std::vector<ColumnChunk> built(2);
  for (const auto& texts : chunks) {
    StrColumnBuilder plain(built[0]), secret(built[1]);
    for (const std::string& t : texts) {
      plain.add(t);
      secret.add(t + t);
    }
    plain.finish();
    secret.finish();
    Status s = w->write_chunk(texts.size(), built);
    ASSERT_TRUE(s.ok()) << s.error();
  }
  ASSERT_TRUE(w->finish().ok());
  EXPECT_EQ(without_creation_time(read_all(path("built.drux"))), without_creation_time(read_all(path("rows.drux"))));
}

TEST_F(StreamingWriter, BuiltChunkWithTheWrongNumberOfColumnsIsRefusedBeforeWriting) {
  Result<StreamingDruxWriter> w = StreamingDruxWriter::begin({make_column("a"), make_column("b")}, 4, path("n.drux"));
  ASSERT_TRUE(w.ok()) << w.error();
  std::vector<ColumnChunk> one(1);
  StrColumnBuilder(one[0]).finish();
  Status s = w->write_chunk(1, one);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), "Chunk has 1 columns, the file 2");
  EXPECT_EQ(w->chunk_count(), 0u);
  EXPECT_EQ(w->total_rows(), 0u);
}

// ---- Refusals and failures ------------------------------------------------------------

TEST_F(StreamingWriter, CreatingInMissingDirectoryNamesPathAndSystemError) {
  const std::string target = path("missing/out.drux");
  Result<StreamingDruxWriter> w = StreamingDruxWriter::begin({make_column("a")}, 10, target);
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error(), "Cannot create " + target + ": No such file or directory (os error 2)");
  EXPECT_EQ(w.error_kind(), ErrorKind::Io);
}

TEST_F(StreamingWriter, CountsTheHeaderCannotHoldAreRefusedBeforeTouchingTheFile) {
  struct Case {
    std::size_t columns;
    std::uint64_t chunk_rows;
    std::string message;  // empty: accepted
  } cases[] = {
      {65536, 10, "Too many columns: 65536 (a DRUX v2 file holds at most 65535)"},
      {1, 4294967296, "Rows per chunk too large: 4294967296 (at most 4294967295)"},
      {65535, 4294967295, ""},
  };
  for (const auto& c : cases) {
    std::vector<KColumn> columns;
    for (std::size_t i = 0; i < c.columns; ++i) columns.push_back(make_column(std::string("c").append(std::to_string(i))));
    const std::string existing = path("existing.drux");
    const std::string fresh = path("fresh.drux");
    { std::ofstream(existing) << "keep"; }

    Result<StreamingDruxWriter> on_existing = StreamingDruxWriter::begin(columns, c.chunk_rows, existing);
    Result<StreamingDruxWriter> on_fresh = StreamingDruxWriter::begin(columns, c.chunk_rows, fresh);
    if (c.message.empty()) {
      ASSERT_TRUE(on_existing.ok() && on_fresh.ok());
      ASSERT_TRUE(on_fresh->finish().ok());
      ParsedFile f;
      ASSERT_NO_FATAL_FAILURE(parse_file(fresh, &f));
      EXPECT_EQ(f.column_count, c.columns);
      EXPECT_EQ(f.rows_per_chunk, c.chunk_rows);
      EXPECT_EQ(f.footer_column_count, c.columns);
    } else {
      ASSERT_FALSE(on_existing.ok());
      EXPECT_EQ(on_existing.error(), c.message);
      EXPECT_EQ(on_existing.error_kind(), ErrorKind::Data);
      ASSERT_FALSE(on_fresh.ok());
      EXPECT_EQ(on_fresh.error(), c.message);
      EXPECT_EQ(read_all(existing), (ByteBuffer{'k', 'e', 'e', 'p'}));
      EXPECT_FALSE(fs::exists(fresh));
    }
    fs::remove(existing);
    fs::remove(fresh);
  }
}

TEST_F(StreamingWriter, NestingDeeperThanTheLimitRefusesTheWholeChunkBeforeWriting) {
  struct Case {
    int depth;
    bool accepted;
  } cases[] = {{kMaxNestingDepth, true}, {kMaxNestingDepth + 1, false}};
  for (const auto& c : cases) {
    const std::string file = "deep" + std::to_string(c.depth) + ".drux";
    Result<StreamingDruxWriter> w =
        StreamingDruxWriter::begin({make_column("s"), make_column("tree", ColType::List)}, 2, path(file));
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w->write_chunk(std::vector<Row>{Row{KVal::Str("x"), KVal::Null()}}).ok());
    std::vector<Row> rows;
    rows.push_back(Row{KVal::Str("a"), KVal::List({})});
    rows.push_back(Row{KVal::Str("b"), nested_lists(c.depth)});
    Status s = w->write_chunk(rows);
    EXPECT_EQ(s.ok(), c.accepted);
    if (!c.accepted) {
      EXPECT_EQ(s.error(), "Value nested more than 256 levels deep in column tree, row 2");
      EXPECT_EQ(s.error_kind(), ErrorKind::Data);
      EXPECT_EQ(w->total_rows(), 1u);
      EXPECT_EQ(w->chunk_count(), 1u);
    }
    ASSERT_TRUE(w->finish().ok());
    ParsedFile f;
    ASSERT_NO_FATAL_FAILURE(parse_file(path(file), &f));
    const std::size_t chunks = c.accepted ? 2 : 1;
    EXPECT_EQ(f.chunk_count, chunks);
    ASSERT_EQ(f.entries.size(), 2 * chunks);
    // Nothing of a refused chunk reached the file: the footer follows the
    // last block of the first chunk.
    const FooterFields& last = f.entries.back();
    EXPECT_EQ(last.offset + kColumnBlockOverhead + last.length, f.footer_offset);
  }
}

TEST_F(StreamingWriter, WriteFailureReportsSystemErrorAndKeepsCounts) {
  // /dev/full accepts the open and refuses every write with ENOSPC; a chunk
  // larger than the write buffer forces a write through.
  Result<StreamingDruxWriter> w = StreamingDruxWriter::begin({make_column("bulk", ColType::Bytes)}, 1, "/dev/full");
  ASSERT_TRUE(w.ok()) << w.error();
  ASSERT_TRUE(w->write_chunk(std::vector<Row>{Row{KVal::Bytes("small")}}).ok());

  std::mt19937_64 rng(7);
  std::string noise(kWriteBufferSize + 1024, '\0');
  for (std::size_t i = 0; i + 8 <= noise.size(); i += 8) {
    const std::uint64_t word = rng();
    std::memcpy(noise.data() + i, &word, 8);
  }
  std::vector<Row> big;
  big.push_back(Row{KVal::Bytes(std::move(noise))});
  Status s = w->write_chunk(big);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), "No space left on device (os error 28)");
  EXPECT_EQ(w->total_rows(), 1u);
  EXPECT_EQ(w->chunk_count(), 1u);
  EXPECT_EQ(w->chunk_row_counts(), std::vector<std::uint32_t>{1});

  // Bytes were lost, so the writer no longer knows where its blocks sit; it
  // refuses more chunks rather than index them wrongly.
  Status after = w->write_chunk(std::vector<Row>{Row{KVal::Bytes("later")}});
  ASSERT_FALSE(after.ok());
  EXPECT_EQ(after.error(), "No space left on device (os error 28)");
  EXPECT_EQ(w->chunk_count(), 1u);

  Result<std::string> finished = w->finish();
  ASSERT_FALSE(finished.ok());
  EXPECT_EQ(finished.error(), "No space left on device (os error 28)");
}

TEST_F(StreamingWriter, FinishedWriterRefusesFurtherWork) {
  Result<StreamingDruxWriter> w = StreamingDruxWriter::begin({make_column("a")}, 1, path("done.drux"));
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE(w->finish().ok());
  const ByteBuffer finished = read_all(path("done.drux"));
  EXPECT_FALSE(w->write_chunk(str_rows({"late"})).ok());
  EXPECT_FALSE(w->finish().ok());
  EXPECT_EQ(read_all(path("done.drux")), finished);
}

TEST_F(StreamingWriter, DroppedWriterKeepsItsBlocksButNoFooter) {
  std::uint64_t block_end = 0;
  {
    Result<StreamingDruxWriter> w = StreamingDruxWriter::begin({make_column("a")}, 2, path("dropped.drux"));
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w->write_chunk(str_rows({"kept", "bytes"})).ok());
  }
  ParsedFile f;
  f.bytes = read_all(path("dropped.drux"));
  ASSERT_NO_FATAL_FAILURE(parse_front_and_trailer(&f));
  EXPECT_EQ(f.total_rows, 0u);
  EXPECT_EQ(f.chunk_count, 0u);
  ByteReader r(ByteView(f.bytes).subspan(f.data_start));
  ColumnBlockPrefix prefix;
  ASSERT_TRUE(read_column_block_prefix(r, prefix).ok());
  block_end = f.data_start + kColumnBlockOverhead + prefix.length;
  EXPECT_EQ(f.bytes.size(), block_end);
  ByteBuffer payload;
  ASSERT_NO_FATAL_FAILURE(column_payload(f, f.data_start, &payload));
  EXPECT_EQ(payload, (ByteBuffer{0x04, 'k', 'e', 'p', 't', 0x05, 'b', 'y', 't', 'e', 's'}));
}

TEST_F(StreamingWriter, MovedWriterOwnsTheFile) {
  Result<StreamingDruxWriter> w = StreamingDruxWriter::begin({make_column("a")}, 2, path("moved.drux"));
  ASSERT_TRUE(w.ok());
  StreamingDruxWriter moved = std::move(w).value();
  ASSERT_TRUE(moved.write_chunk(str_rows({"x"})).ok());
  Result<std::string> summary = moved.finish();
  ASSERT_TRUE(summary.ok()) << summary.error();
  ParsedFile f;
  ASSERT_NO_FATAL_FAILURE(parse_file(path("moved.drux"), &f));
  EXPECT_EQ(f.total_rows, 1u);
}

}  // namespace
}  // namespace drux
