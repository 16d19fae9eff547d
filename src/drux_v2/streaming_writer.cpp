// The DRUX v2 streaming writer: header, schema and dictionary up front,
// one column block per column per chunk, then the footer index and the
// trailer, with the header's counts patched in place at the end.
//
// Memory is bounded by one column of one chunk plus the footer metadata;
// the only seek is the final patch of the header counts.
//
// Every record goes through container.h, so the writer holds no layout of its
// own. Deliberately not here: reading back, or repairing a file left by a
// failed write.
#include "drux_v2/streaming_writer.h"

#include <chrono>
#include <utility>

#include "drux_v2/block_compressor.h"
#include "drux_v2/container.h"
#include "drux_v2/crc32.h"
#include "drux_v2/nested_codec.h"

namespace drux {
namespace {

constexpr const char* kTimesSign = "\xC3\x97";  // U+00D7

std::uint64_t creation_time() {
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

ByteBuffer schema_bytes(const std::vector<KColumn>& columns) {
  ByteBuffer out;
  for (const KColumn& column : columns) put_schema_entry(out, column);
  return out;
}

// Header, creation time, reserved bytes, schema block and dictionary block.
ByteBuffer preamble(const std::vector<KColumn>& columns, std::uint64_t chunk_rows, CompressionLevel level) {
  ByteBuffer schema_block = compress_block(schema_bytes(columns), level);
  ByteBuffer dictionary_block = compress_block(kEmptyDictionary, level);

  ByteBuffer out;
  FileHeader header;  // total rows and chunk count 0, patched by finish()
  header.column_count = static_cast<std::uint16_t>(columns.size());
  header.rows_per_chunk = static_cast<std::uint32_t>(chunk_rows);
  put_file_header(out, header);
  put_preamble(out, {creation_time(), static_cast<std::uint32_t>(schema_block.size())});
  put_bytes(out, schema_block);
  put_dictionary_length(out, dictionary_block.size());
  put_bytes(out, dictionary_block);
  return out;
}

Error finished_error() { return data_error("The DRUX writer has already finished"); }

}  // namespace

void compress_column_chunk(ColumnChunk& chunk, EncodedColumn& out, CompressionLevel level) {
  out.payload_size = chunk.payload.size();
  out.block = compress_block(chunk.payload, level);
  out.crc = crc32(out.block);
  out.stats = std::move(chunk.stats);
  out.bloom = chunk.bloom;
  out.encoding = chunk.encoding;
}

StreamingDruxWriter::StreamingDruxWriter(std::vector<KColumn> columns, BufferedFile out, std::uint64_t chunk_rows,
                                         std::uint64_t offset, CompressionLevel level)
    : columns_(std::move(columns)), out_(std::move(out)), chunk_rows_(chunk_rows), offset_(offset), level_(level) {}

StreamingDruxWriter::StreamingDruxWriter(StreamingDruxWriter&&) noexcept = default;
StreamingDruxWriter& StreamingDruxWriter::operator=(StreamingDruxWriter&&) noexcept = default;
StreamingDruxWriter::~StreamingDruxWriter() = default;

Result<StreamingDruxWriter> StreamingDruxWriter::begin(std::vector<KColumn> columns, std::uint64_t chunk_rows,
                                                       const std::string& path, CompressionLevel level) {
  // The header's count fields are 16 and 32 bits wide; larger values would be
  // stored truncated, so they are refused before the file is touched.
  if (columns.size() > kMaxColumns) {
    return data_error("Too many columns: " + std::to_string(columns.size()) + " (a DRUX v2 file holds at most " +
                      std::to_string(kMaxColumns) + ")");
  }
  if (chunk_rows > kMaxRowsPerChunk) {
    return data_error("Rows per chunk too large: " + std::to_string(chunk_rows) + " (at most " +
                      std::to_string(kMaxRowsPerChunk) + ")");
  }
  Result<BufferedFile> file = BufferedFile::create(path);
  if (!file) return Error{"Cannot create " + path + ": " + file.error(), ErrorKind::Io};

  ByteBuffer head = preamble(columns, chunk_rows, level);
  if (Status s = file->write(head); !s) return s.error_value();
  return StreamingDruxWriter(std::move(columns), std::move(file).value(), chunk_rows == 0 ? 1 : chunk_rows,
                             head.size(), level);
}

// Nested cells are checked before any block of the chunk is written, so a
// refused chunk leaves no orphan bytes behind.
Status StreamingDruxWriter::check_nesting(std::span<const Row> rows) const {
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    if (!is_nested(columns_[c].col_type)) continue;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (nesting_depth(cell_at(rows[r], c)) <= kMaxNestingDepth) continue;
      return data_error("Value nested more than " + std::to_string(kMaxNestingDepth) + " levels deep in column " +
                        columns_[c].name + ", row " + std::to_string(total_rows_ + r));
    }
  }
  return {};
}

Status StreamingDruxWriter::append_column_block(const EncodedColumn& column, StreamChunkColMeta& meta) {
  ByteBuffer head;
  head.reserve(kColumnBlockOverhead);
  put_column_block_prefix(head, {column.crc, column.block.size()});
  if (Status s = out_.write(head); !s) return s;
  if (Status s = out_.write(column.block); !s) return s;

  meta.stats = column.stats;
  meta.offset = offset_;
  meta.length = column.block.size();
  meta.bloom = column.bloom;
  meta.encoding = column.encoding;
  offset_ += column.block.size() + kColumnBlockOverhead;
  payload_bytes_ += column.payload_size;
  return {};
}

Status StreamingDruxWriter::check_can_write(std::size_t row_count) const {
  if (!out_.is_open()) return finished_error();
  if (failure_) return *failure_;
  // The footer keeps each chunk's row count in 32 bits and the chunk count too.
  if (row_count > kMaxRowsPerChunk) {
    return data_error("Chunk too large: " + std::to_string(row_count) + " rows (at most " +
                      std::to_string(kMaxRowsPerChunk) + ")");
  }
  if (chunk_count_ == kMaxChunkCount) {
    return data_error("Too many chunks (a DRUX v2 file holds at most " + std::to_string(kMaxChunkCount) + ")");
  }
  return {};
}

template <typename EncodedColumnOf>
Status StreamingDruxWriter::write_columns(std::size_t row_count, EncodedColumnOf encoded_column) {
  std::vector<StreamChunkColMeta> metas(columns_.size());
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    if (Status s = append_column_block(encoded_column(c), metas[c]); !s) {
      failure_ = s.error_value();
      return s;
    }
  }
  chunk_metas_.push_back(std::move(metas));
  chunk_row_counts_.push_back(static_cast<std::uint32_t>(row_count));
  total_rows_ += row_count;
  ++chunk_count_;
  return {};
}

Status StreamingDruxWriter::write_chunk(std::span<const Row> rows) {
  if (rows.empty()) return {};
  if (Status s = check_can_write(rows.size()); !s) return s;
  if (Status s = check_nesting(rows); !s) return s;
  return write_columns(rows.size(), [&](std::size_t c) -> const EncodedColumn& {
    encode_column_chunk(columns_[c], rows, c, chunk_count_, scratch_, column_chunk_);
    compress_column_chunk(column_chunk_, encoded_, level_);
    return encoded_;
  });
}

Status StreamingDruxWriter::write_chunk(std::size_t row_count, std::span<ColumnChunk> columns) {
  if (row_count == 0) return {};
  if (Status s = check_can_write(row_count); !s) return s;
  if (Status s = check_column_count(columns.size()); !s) return s;
  return write_columns(row_count, [&](std::size_t c) -> const EncodedColumn& {
    encipher_if_asked(columns_[c], chunk_count_, columns[c]);
    compress_column_chunk(columns[c], encoded_, level_);
    return encoded_;
  });
}

Status StreamingDruxWriter::write_encoded_chunk(std::size_t row_count, std::span<const EncodedColumn> columns) {
  if (row_count == 0) return {};
  if (Status s = check_can_write(row_count); !s) return s;
  if (Status s = check_column_count(columns.size()); !s) return s;
  return write_columns(row_count, [&](std::size_t c) -> const EncodedColumn& { return columns[c]; });
}

Status StreamingDruxWriter::check_column_count(std::size_t count) const {
  if (count == columns_.size()) return {};
  return data_error("Chunk has " + std::to_string(count) + " columns, the file " + std::to_string(columns_.size()));
}

Result<std::string> StreamingDruxWriter::finish() {
  if (!out_.is_open()) return finished_error();
  // Whatever happens below, the writer is spent: its file is closed and its
  // metadata released on return.
  StreamingDruxWriter spent = std::move(*this);
  if (spent.failure_) {
    (void)spent.out_.close();
    return *spent.failure_;
  }

  const std::uint64_t footer_offset = spent.offset_;
  ByteBuffer tail = compress_block(
      footer_bytes(static_cast<std::uint16_t>(spent.columns_.size()), spent.chunk_row_counts_, spent.chunk_metas_),
      spent.level_);
  put_trailer(tail, {tail.size(), footer_offset});

  ByteBuffer counts;
  put_header_counts(counts, spent.total_rows_, spent.chunk_count_);

  Status s = spent.out_.write(tail);
  if (s) s = spent.out_.write_at(kTotalRowsOffset, counts);
  if (s) s = spent.out_.sync();
  Status closed = spent.out_.close();
  if (!s) return s.error_value();
  if (!closed) return closed.error_value();

  return "DRUX v2 (streaming): " + std::to_string(spent.total_rows_) + " rows " + kTimesSign + " " +
         std::to_string(spent.columns_.size()) + " cols | " + std::to_string(spent.chunk_count_) +
         " chunks | dict: 0 entries";
}

}  // namespace drux
