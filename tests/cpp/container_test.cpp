// The container's records against literal bytes: each encoder must give
// exactly the bytes written out here by hand, each decoder must take them
// back to the same record (checked by encoding what it decoded), refuse
// every shorter prefix as bad data, and refuse the values out of range.
// These literals are the one place besides container.cpp where a layout is
// written down; the writer, the reader and the other tests use the records.
// Deliberately not here: checks that span records (CRCs, offsets and counts
// that must agree), which the reader makes on whole files (drux_reader_test).
#include "drux_v2/container.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "test_support.h"

namespace drux {
namespace {

struct RecordCase {
  const char* name;
  ByteBuffer bytes;  // the record as it stands in a file
  std::function<void(ByteBuffer&)> encode;
  // Decodes one record from `in` and encodes it again into `out`.
  std::function<Status(ByteReader& in, ByteBuffer& out)> round_trip;
  std::uint64_t fixed_size;  // 0 for records of varying size
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

FooterEntry sample_entry() {
  FooterEntry e;
  e.offset = 83;
  e.length = 0x0102;
  e.encoding = Encoding::ConstantDelta;
  e.stats.null_count = 1;
  e.stats.min_int = -1;
  e.stats.max_int = 64;
  e.stats.min_str = "a";
  e.stats.max_str = "bc";
  e.bloom[0] = 0x8001;                 // bits 0 and 15
  e.bloom[63] = std::uint64_t{1} << 63;  // bit 4095
  return e;
}

ByteBuffer sample_entry_bytes() {
  ByteBuffer bytes = {
      83, 0, 0, 0, 0, 0, 0, 0,          // offset
      0x02, 0x01, 0, 0, 0, 0, 0, 0,     // length
      0x06,                             // constant delta
      0x01, 0, 0, 0,                    // nulls
      0x01, 0x80, 0x01,                 // min -1, max 64 (zigzag 128: two bytes)
      0x01, 'a', 0x02, 'b', 'c',        // text bounds
  };
  ByteBuffer bloom(kBloomBytes, 0);
  bloom[0] = 0x01;
  bloom[1] = 0x80;
  bloom[kBloomBytes - 1] = 0x80;
  return test::concat({bytes, bloom});
}

std::vector<RecordCase> record_cases() {
  return {
      {"FileHeader",
       {'D', 'R', 'U', 'X', 0x02, 0x00, 0x03, 0x00,      // magic, version, columns
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // total rows
        0x0D, 0x0C, 0x0B, 0x0A,                          // chunk count
        0x00, 0x00, 0x01, 0x00},                         // rows per chunk
       [](ByteBuffer& out) { put_file_header(out, {2, 3, 0x0102030405060708, 0x0A0B0C0D, 65536}); },
       [](ByteReader& in, ByteBuffer& out) {
         FileHeader h;
         Status s = read_file_header(in, h);
         if (s) put_file_header(out, h);
         return s;
       },
       kFileHeaderSize},
      {"Preamble",
       test::concat({{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11},  // creation time
                     ByteBuffer(32, 0),                                 // reserved
                     {0x05, 0, 0, 0}}),                                 // L_s
       [](ByteBuffer& out) { put_preamble(out, {0x1122334455667788, 5}); },
       [](ByteReader& in, ByteBuffer& out) {
         Preamble p;
         Status s = read_preamble(in, p);
         if (s) put_preamble(out, p);
         return s;
       },
       kPreambleSize},
      {"DictionaryLength",
       {0x02, 0, 0, 0, 0, 0, 0, 0},
       [](ByteBuffer& out) { put_dictionary_length(out, 2); },
       [](ByteReader& in, ByteBuffer& out) {
         std::uint64_t length;
         Status s = read_dictionary_length(in, length);
         if (s) put_dictionary_length(out, length);
         return s;
       },
       kDictionaryLengthSize},
      {"SchemaEntries",
       {0x02, 'i', 'd', 0x01, 0x00,  // "id", integer, plain
        0x01, 'k', 0x04, 0x01},      // "k", string, encrypted
       [](ByteBuffer& out) {
         put_schema_entry(out, make_column("id", ColType::Int));
         put_schema_entry(out, make_column("k", ColType::Str, true));
       },
       [](ByteReader& in, ByteBuffer& out) {
         std::vector<KColumn> columns;
         Status s = read_schema(in.read_rest(), 2, columns);
         for (const KColumn& column : columns) put_schema_entry(out, column);
         return s;
       },
       0},
      {"ColumnBlockPrefix",
       {0xEF, 0xBE, 0xAD, 0xDE, 0x2C, 0x01, 0, 0, 0, 0, 0, 0},  // CRC, length 300
       [](ByteBuffer& out) { put_column_block_prefix(out, {0xDEADBEEF, 300}); },
       [](ByteReader& in, ByteBuffer& out) {
         ColumnBlockPrefix p;
         Status s = read_column_block_prefix(in, p);
         if (s) put_column_block_prefix(out, p);
         return s;
       },
       kColumnBlockOverhead},
      {"FooterHead",
       {0x02, 0, 0, 0, 0x03, 0x00},  // chunks, columns
       [](ByteBuffer& out) { put_footer_head(out, {2, 3}); },
       [](ByteReader& in, ByteBuffer& out) {
         FooterHead h;
         Status s = read_footer_head(in, h);
         if (s) put_footer_head(out, h);
         return s;
       },
       kFooterHeadSize},
      {"FooterEntry", sample_entry_bytes(), [](ByteBuffer& out) { put_footer_entry(out, sample_entry()); },
       [](ByteReader& in, ByteBuffer& out) {
         FooterEntry e;
         Status s = read_footer_entry(in, e);
         if (s) put_footer_entry(out, e);
         return s;
       },
       0},
      {"Trailer",
       {0x28, 0, 0, 0, 0, 0, 0, 0, 0x62, 0, 0, 0, 0, 0, 0, 0},  // L_f 40, F 98
       [](ByteBuffer& out) { put_trailer(out, {40, 98}); },
       [](ByteReader& in, ByteBuffer& out) {
         Trailer t;
         Status s = read_trailer(in, t);
         if (s) put_trailer(out, t);
         return s;
       },
       kTrailerSize},
  };
}

class Record : public testing::TestWithParam<RecordCase> {};

TEST_P(Record, EncodesToTheLiteralBytes) {
  const RecordCase& c = GetParam();
  ByteBuffer out;
  c.encode(out);
  EXPECT_EQ(out, c.bytes);
  if (c.fixed_size != 0) {
    EXPECT_EQ(c.bytes.size(), c.fixed_size);
  }
}

TEST_P(Record, DecodesTheLiteralBytesBackToTheSameRecord) {
  const RecordCase& c = GetParam();
  ByteReader in(c.bytes);
  ByteBuffer again;
  Status s = c.round_trip(in, again);
  ASSERT_TRUE(s.ok()) << s.error();
  EXPECT_TRUE(in.at_end());
  EXPECT_EQ(again, c.bytes);
}

TEST_P(Record, RefusesEveryShorterPrefixAsBadData) {
  const RecordCase& c = GetParam();
  for (std::size_t n = 0; n < c.bytes.size(); ++n) {
    ByteReader in(ByteView(c.bytes).first(n));
    ByteBuffer ignored;
    Status s = c.round_trip(in, ignored);
    ASSERT_FALSE(s.ok()) << "prefix of " << n << " bytes";
    EXPECT_EQ(s.error_kind(), ErrorKind::Data);
  }
}

INSTANTIATE_TEST_SUITE_P(Container, Record, testing::ValuesIn(record_cases()),
                         [](const testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

TEST(Container, FooterEntrySizeIsWhatItsEncoderWrites) {
  EXPECT_EQ(footer_entry_size(sample_entry()), sample_entry_bytes().size());
  EXPECT_EQ(footer_entry_size(FooterEntry{}), kMinFooterEntrySize);
}

TEST(Container, FooterBytesAreHeadRowCountsThenEntriesChunkByChunk) {
  const std::vector<std::uint32_t> rows = {3, 1};
  const std::vector<std::vector<FooterEntry>> chunks = {{sample_entry()}, {FooterEntry{}}};
  ByteBuffer empty_entry;
  put_footer_entry(empty_entry, FooterEntry{});
  const ByteBuffer expected = test::concat({{0x02, 0, 0, 0, 0x01, 0x00, 0x03, 0, 0, 0, 0x01, 0, 0, 0},
                                            sample_entry_bytes(), empty_entry});
  EXPECT_EQ(footer_bytes(1, rows, chunks), expected);
}

struct Refusal {
  const char* name;
  ByteBuffer bytes;
  std::function<Status(ByteReader&)> decode;
  const char* message;
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

Status decode_header(ByteReader& in) {
  FileHeader h;
  return read_file_header(in, h);
}

Status decode_two_columns(ByteReader& in) {
  std::vector<KColumn> columns;
  return read_schema(in.read_rest(), 2, columns);
}

std::vector<Refusal> refusals() {
  const ByteBuffer header_tail(20, 0);
  return {
      {"WrongMagic", test::concat({{'D', 'R', 'U', 'Y', 0x02, 0x00}, header_tail}), decode_header,
       "the first four bytes are not \"DRUX\""},
      {"VersionThree", test::concat({{'D', 'R', 'U', 'X', 0x03, 0x00}, header_tail}), decode_header,
       "unsupported DRUX version 3"},
      {"ReservedByteSet", test::concat({ByteBuffer(8, 0), ByteBuffer(31, 0), {0x01}, ByteBuffer(4, 0)}),
       [](ByteReader& in) {
         Preamble p;
         return read_preamble(in, p);
       },
       "the reserved bytes are not zero"},
      {"SchemaTypeNine", {0x01, 'a', 0x09, 0x00, 0x01, 'b', 0x01, 0x00}, decode_two_columns,
       "schema: column 0 ('a') has unknown type 9"},
      {"SchemaTypeZero", {0x01, 'a', 0x01, 0x00, 0x01, 'b', 0x00, 0x00}, decode_two_columns,
       "schema: column 1 ('b') has unknown type 0"},
      {"SchemaEncryptedFlagTwo", {0x01, 'a', 0x01, 0x02, 0x01, 'b', 0x01, 0x00}, decode_two_columns,
       "has encrypted flag 2"},
      {"SchemaBytesLeftOver", {0x01, 'a', 0x01, 0x00, 0x01, 'b', 0x01, 0x00, 0x00}, decode_two_columns,
       "schema: 1 bytes left after the 2 columns"},
      {"SchemaNameLongerThanTheBlock", {0x05, 'a', 0x01, 0x00}, decode_two_columns,
       "schema: column 0 is cut short (the header declares 2 columns)"},
      {"FooterTextBoundPastTheEnd",
       {83, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0x06, 0, 0, 0, 0, 0x00, 0x00, 0x7F},
       [](ByteReader& in) {
         FooterEntry e;
         return read_footer_entry(in, e);
       },
       "footer entry is cut short"},
      {"FooterRowCountsShort", {0x03, 0, 0, 0, 0x02, 0, 0, 0},
       [](ByteReader& in) {
         std::vector<std::uint32_t> rows;
         return read_footer_row_counts(in, 3, rows);
       },
       "footer is cut short"},
  };
}

class RefusedRecord : public testing::TestWithParam<Refusal> {};

TEST_P(RefusedRecord, NamesWhatIsWrong) {
  const Refusal& c = GetParam();
  ByteReader in(c.bytes);
  Status s = c.decode(in);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error_kind(), ErrorKind::Data);
  EXPECT_NE(s.error().find(c.message), std::string::npos) << s.error();
}

INSTANTIATE_TEST_SUITE_P(Container, RefusedRecord, testing::ValuesIn(refusals()),
                         [](const testing::TestParamInfo<Refusal>& info) { return info.param.name; });

}  // namespace
}  // namespace drux
