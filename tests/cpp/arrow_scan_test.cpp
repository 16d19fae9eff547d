// The Arrow C stream of a scan, consumed as a foreign library would: the
// schema, one struct batch per matching chunk with its buffers, chunk
// skipping by the footer, the release rules (a stream dropped half-read, a
// schema never consumed, a child moved out of its batch), and a damaged block
// reported through get_last_error. Run under ASan/UBSan by scripts/test.sh,
// which turns any leak or double release into a failure. Deliberately not
// here: the Python capsules and real consumers (tests/python/test_scan.py).
#include "drux_v2/arrow_scan.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "drux_v2/streaming_writer.h"
#include "test_support.h"

namespace drux {
namespace {

using test::ScratchDir;

constexpr std::size_t kChunkRows = 4;
constexpr std::size_t kRows = 10;  // chunks of 4, 4 and 2 rows

// `prefix` then the number; GCC 12 at -O3 warns falsely (-Wrestrict) on
// "literal" + std::to_string(n).
std::string numbered(std::string prefix, std::size_t n) { return prefix.append(std::to_string(n)); }

// Columns i (0..9), f (i / 4), b (odd), s ("k" + i), y (bytes), o (object, Null on even rows).
std::string write_sample(const ScratchDir& dir) {
  const std::string path = dir.path("sample.drux");
  std::vector<KColumn> columns = {make_column("i", ColType::Int),  make_column("f", ColType::Float),
                                  make_column("b", ColType::Bool), make_column("s", ColType::Str),
                                  make_column("y", ColType::Bytes), make_column("o", ColType::Object)};
  auto writer = StreamingDruxWriter::begin(columns, kChunkRows, path);
  EXPECT_TRUE(writer.ok()) << writer.error();
  std::vector<Row> rows;
  for (std::size_t r = 0; r < kRows; ++r) {
    const auto i = static_cast<std::int64_t>(r);
    KVal object = r % 2 ? KVal::Object({{"n", KVal::Int(i)}, {"t", KVal::Str("a\"b")}}) : KVal::Null();
    rows.push_back(Row{KVal::Int(i), KVal::Float(static_cast<double>(i) / 4), KVal::Bool(r % 2 == 1),
                       KVal::Str(numbered("k", r)), KVal::Bytes(std::string(r % 3, '\x01')), object});
  }
  for (std::size_t start = 0; start < rows.size(); start += kChunkRows) {
    const std::size_t n = std::min(kChunkRows, rows.size() - start);
    EXPECT_TRUE(writer->write_chunk(std::span<const Row>(rows).subspan(start, n)).ok());
  }
  EXPECT_TRUE(writer->finish().ok());
  return path;
}

std::shared_ptr<ScanSource> open_scan(const std::string& path, ScanRequest request) {
  auto reader = DruxReader::open(path);
  EXPECT_TRUE(reader.ok()) << reader.error();
  auto source = make_scan_source(std::move(reader).value(), std::move(request));
  EXPECT_TRUE(source.ok()) << source.error();
  return source.value();
}

ScanRequest all_columns(unsigned jobs = 2) {
  ScanRequest request;
  request.columns = {0, 1, 2, 3, 4, 5};
  request.jobs = jobs;
  return request;
}

template <class T>
T value_at(const ArrowArray& child, std::size_t buffer, std::size_t row) {
  return static_cast<const T*>(child.buffers[buffer])[row];
}

std::string_view text_at(const ArrowArray& child, std::size_t row, bool wide = false) {
  const auto* data = static_cast<const char*>(child.buffers[2]);
  if (wide) {
    const auto begin = value_at<std::int64_t>(child, 1, row), end = value_at<std::int64_t>(child, 1, row + 1);
    return {data + begin, static_cast<std::size_t>(end - begin)};
  }
  const auto begin = value_at<std::int32_t>(child, 1, row), end = value_at<std::int32_t>(child, 1, row + 1);
  return {data + begin, static_cast<std::size_t>(end - begin)};
}

TEST(ArrowScan, SchemaNamesEveryColumnWithItsArrowFormat) {
  ScratchDir dir;
  auto source = open_scan(write_sample(dir), all_columns());
  ArrowArrayStream stream;
  export_scan_stream(source, &stream);
  ArrowSchema schema;
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  EXPECT_STREQ(schema.format, "+s");
  ASSERT_EQ(schema.n_children, 6);
  const char* formats[] = {"l", "g", "b", "u", "z", "U"};
  const char* names[] = {"i", "f", "b", "s", "y", "o"};
  for (int c = 0; c < 6; ++c) {
    EXPECT_STREQ(schema.children[c]->format, formats[c]);
    EXPECT_STREQ(schema.children[c]->name, names[c]);
  }
  schema.release(&schema);
  EXPECT_EQ(schema.release, nullptr);
  stream.release(&stream);
  EXPECT_EQ(stream.release, nullptr);
}

TEST(ArrowScan, OneBatchPerChunkWithAlignedBuffersHoldingTheCells) {
  ScratchDir dir;
  auto source = open_scan(write_sample(dir), all_columns(3));
  ArrowArrayStream stream;
  export_scan_stream(source, &stream);
  std::size_t row = 0;
  int batches = 0;
  while (true) {
    ArrowArray batch;
    ASSERT_EQ(stream.get_next(&stream, &batch), 0) << stream.get_last_error(&stream);
    if (batch.release == nullptr) break;
    ++batches;
    ASSERT_EQ(batch.n_children, 6);
    for (std::int64_t c = 0; c < batch.n_children; ++c) {
      for (std::int64_t b = 0; b < batch.children[c]->n_buffers; ++b) {
        const void* buffer = batch.children[c]->buffers[b];
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % 64, 0u) << "column " << c << " buffer " << b;
      }
    }
    const ArrowArray& i = *batch.children[0];
    const ArrowArray& o = *batch.children[5];
    EXPECT_EQ(o.null_count, (batch.length + 1) / 2);  // the even rows
    for (std::int64_t r = 0; r < batch.length; ++r, ++row) {
      EXPECT_EQ(value_at<std::int64_t>(i, 1, r), static_cast<std::int64_t>(row));
      EXPECT_EQ(value_at<double>(*batch.children[1], 1, r), static_cast<double>(row) / 4);
      const auto bits = static_cast<const std::uint8_t*>(batch.children[2]->buffers[1]);
      EXPECT_EQ((bits[r / 8] >> (r % 8)) & 1, static_cast<int>(row % 2));
      EXPECT_EQ(text_at(*batch.children[3], r), numbered("k", row));
      EXPECT_EQ(text_at(*batch.children[4], r).size(), row % 3);
      const auto valid = static_cast<const std::uint8_t*>(o.buffers[0]);
      const bool present = (valid[r / 8] >> (r % 8)) & 1;
      EXPECT_EQ(present, row % 2 == 1);
      if (present) {
        EXPECT_EQ(text_at(o, r, true), numbered("{\"n\":", row) + ",\"t\":\"a\\\"b\"}");
      }
    }
    batch.release(&batch);
  }
  EXPECT_EQ(batches, 3);
  EXPECT_EQ(row, kRows);
  // The end stays the end.
  ArrowArray after;
  ASSERT_EQ(stream.get_next(&stream, &after), 0);
  EXPECT_EQ(after.release, nullptr);
  stream.release(&stream);
  EXPECT_EQ(source->counters.chunks_read.load(), 3u);
  EXPECT_EQ(source->counters.blocks_read.load(), 18u);
}

TEST(ArrowScan, FilterSkipsChunksByTheFooterAndKeepsOnlyMatchingRows) {
  ScratchDir dir;
  ScanRequest request;
  request.columns = {3};
  FilterValue five;
  five.i = 5;
  FilterValue k9;
  k9.kind = FilterValue::Kind::Text;
  k9.text = "k9";
  // i == 5 OR s == "k9": chunk 0 cannot hold either.
  request.filters = {{FilterTerm{0, FilterOp::Eq, {five}}}, {FilterTerm{3, FilterOp::Eq, {k9}}}};
  auto source = open_scan(write_sample(dir), std::move(request));
  ArrowArrayStream stream;
  export_scan_stream(source, &stream);
  std::vector<std::string> seen;
  while (true) {
    ArrowArray batch;
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    if (batch.release == nullptr) break;
    ASSERT_EQ(batch.n_children, 1);
    for (std::int64_t r = 0; r < batch.length; ++r) seen.emplace_back(text_at(*batch.children[0], r));
    batch.release(&batch);
  }
  stream.release(&stream);
  EXPECT_EQ(seen, (std::vector<std::string>{"k5", "k9"}));
  EXPECT_EQ(source->counters.chunks_skipped.load(), 1u);
  EXPECT_EQ(source->counters.chunks_read.load(), 2u);
  EXPECT_EQ(source->counters.blocks_read.load(), 4u);  // i and s of two chunks
}

TEST(ArrowScan, ReleaseRulesHoldForHalfReadStreamsUnusedSchemasAndMovedChildren) {
  ScratchDir dir;
  auto source = open_scan(write_sample(dir), all_columns(4));
  {
    ArrowArrayStream stream;  // dropped after one batch, its threads still waiting
    export_scan_stream(source, &stream);
    ArrowArray batch;
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    // A consumer may move a child out and release it after its parent.
    ArrowArray moved = *batch.children[3];
    batch.children[3]->release = nullptr;
    batch.release(&batch);
    EXPECT_EQ(text_at(moved, 0), "k0");
    moved.release(&moved);
    stream.release(&stream);
  }
  {
    ArrowSchema schema;  // a schema whose child outlives it
    export_scan_schema(*source, &schema);
    ArrowSchema child = *schema.children[0];
    schema.children[0]->release = nullptr;
    schema.release(&schema);
    EXPECT_STREQ(child.name, "i");
    child.release(&child);
  }
  {
    ArrowArrayStream stream;  // never read at all
    export_scan_stream(source, &stream);
    stream.release(&stream);
  }
  EXPECT_EQ(source.use_count(), 1);
}

TEST(ArrowScan, DamagedBlockIsReportedThroughGetLastError) {
  ScratchDir dir;
  const std::string path = write_sample(dir);
  const ColumnChunkInfo block = DruxReader::open(path).value().metadata().entry(1, 3);
  std::string bytes = test::slurp(path);
  bytes[block.offset + kColumnBlockOverhead] ^= 0x55;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  auto source = open_scan(path, all_columns());
  ArrowArrayStream stream;
  export_scan_stream(source, &stream);
  ArrowArray batch;
  ASSERT_EQ(stream.get_next(&stream, &batch), 0);
  batch.release(&batch);
  EXPECT_EQ(stream.get_next(&stream, &batch), EINVAL);
  const std::string error = stream.get_last_error(&stream);
  EXPECT_NE(error.find("chunk 1, column 's'"), std::string::npos) << error;
  EXPECT_NE(error.find("CRC-32 mismatch"), std::string::npos) << error;
  EXPECT_EQ(stream.get_next(&stream, &batch), EINVAL);  // a failed stream stays failed
  stream.release(&stream);
  ASSERT_TRUE(source->failure().has_value());
  EXPECT_EQ(source->failure()->kind, ErrorKind::Data);
}

TEST(ArrowScan, RequestsThatDoNotFitTheFileAreRefused) {
  ScratchDir dir;
  const std::string path = write_sample(dir);
  FilterValue text;
  text.kind = FilterValue::Kind::Text;
  struct Case {
    FilterTerm term;
    std::string message;
  } cases[] = {
      {FilterTerm{0, FilterOp::Eq, {text}}, "column 'i' is integer: the filter value does not fit"},
      {FilterTerm{5, FilterOp::Eq, {text}}, "column 'o' is object: nested columns cannot be filtered"},
      {FilterTerm{0, FilterOp::Lt, {}}, "a comparison of column 'i' takes one value"},
      {FilterTerm{9, FilterOp::Eq, {text}}, "filter names column 9, which does not exist"},
  };
  for (const Case& c : cases) {
    ScanRequest request;
    request.columns = {0};
    request.filters = {{c.term}};
    auto source = make_scan_source(DruxReader::open(path).value(), std::move(request));
    ASSERT_FALSE(source.ok()) << c.message;
    EXPECT_EQ(source.error(), c.message);
  }
}

}  // namespace
}  // namespace drux
