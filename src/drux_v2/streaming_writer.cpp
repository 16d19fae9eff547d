// The DRUX v2 streaming writer: header, schema and dictionary up front,
// one column block per column per chunk, then the footer index and the
// trailer, with the header's counts patched in place at the end.
//
// Memory is bounded by one column of one chunk plus the footer metadata;
// the only seek is the final patch of the header counts.
#include "drux_v2/streaming_writer.h"

#include <chrono>
#include <utility>

#include "drux_v2/block_compressor.h"
#include "drux_v2/crc32.h"
#include "drux_v2/format.h"
#include "drux_v2/nested_codec.h"

namespace drux {
namespace {

constexpr std::uint8_t kEmptyDictionary = 0x00;  // varint 0: no entries
constexpr std::size_t kFooterEntryFixedSize = 8 + 8 + 1 + 4 + sizeof(BloomFilter);
constexpr std::uint32_t kMaxChunkCount = 0xFFFFFFFF;  // 32-bit header and footer field
constexpr const char* kTimesSign = "\xC3\x97";  // U+00D7

std::uint64_t creation_time() {
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

ByteBuffer schema_bytes(const std::vector<KColumn>& columns) {
  ByteBuffer out;
  for (const KColumn& column : columns) {
    put_varint(out, column.name.size());
    put_bytes(out, as_bytes(column.name));
    put_u8(out, static_cast<std::uint8_t>(column.col_type));
    put_u8(out, column.encrypted ? 1 : 0);
  }
  return out;
}

// Header, creation time, reserved bytes, schema block and dictionary block.
ByteBuffer preamble(const std::vector<KColumn>& columns, std::uint64_t chunk_rows, CompressionLevel level) {
  ByteBuffer schema_block = compress_block(schema_bytes(columns), level);
  const std::uint8_t dictionary[] = {kEmptyDictionary};
  ByteBuffer dictionary_block = compress_block(dictionary, level);

  ByteBuffer out;
  // Byte by byte: GCC 12 misreads a range insert into the empty buffer here
  // as an overflow (-Wstringop-overflow) at -O3.
  for (std::uint8_t byte : kMagic) put_u8(out, byte);
  put_u16_le(out, kFormatVersion);
  put_u16_le(out, static_cast<std::uint16_t>(columns.size()));
  put_u64_le(out, 0);  // total rows, patched by finish()
  put_u32_le(out, 0);  // chunk count, patched by finish()
  put_u32_le(out, static_cast<std::uint32_t>(chunk_rows));
  put_u64_le(out, creation_time());
  out.resize(out.size() + kReservedSize, 0);
  put_u32_le(out, static_cast<std::uint32_t>(schema_block.size()));
  put_bytes(out, schema_block);
  put_u64_le(out, dictionary_block.size());
  put_bytes(out, dictionary_block);
  return out;
}

void put_footer_entry(ByteBuffer& out, const StreamChunkColMeta& meta) {
  put_u64_le(out, meta.offset);
  put_u64_le(out, meta.length);
  put_u8(out, meta.encoding);
  put_u32_le(out, meta.stats.null_count);
  put_svarint(out, meta.stats.min_int);
  put_svarint(out, meta.stats.max_int);
  put_varint(out, meta.stats.min_str.size());
  put_bytes(out, as_bytes(meta.stats.min_str));
  put_varint(out, meta.stats.max_str.size());
  put_bytes(out, as_bytes(meta.stats.max_str));
  for (std::uint64_t word : meta.bloom) put_u64_le(out, word);
}

Error finished_error() { return data_error("The DRUX writer has already finished"); }

}  // namespace

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

Status StreamingDruxWriter::write_column_block(ColumnChunk& chunk, StreamChunkColMeta& meta) {
  ByteBuffer block = compress_block(chunk.payload, level_);
  ByteBuffer head;
  head.reserve(kColumnBlockOverhead);
  put_u32_le(head, crc32(block));
  put_u64_le(head, block.size());
  if (Status s = out_.write(head); !s) return s;
  if (Status s = out_.write(block); !s) return s;

  meta.stats = std::move(chunk.stats);
  meta.offset = offset_;
  meta.length = block.size();
  meta.bloom = chunk.bloom;
  meta.encoding = static_cast<std::uint8_t>(chunk.encoding);
  offset_ += block.size() + kColumnBlockOverhead;
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

template <typename ColumnChunkOf>
Status StreamingDruxWriter::write_columns(std::size_t row_count, ColumnChunkOf column_chunk) {
  std::vector<StreamChunkColMeta> metas(columns_.size());
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    if (Status s = write_column_block(column_chunk(c), metas[c]); !s) {
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
  return write_columns(rows.size(), [&](std::size_t c) -> ColumnChunk& {
    encode_column_chunk(columns_[c], rows, c, chunk_count_, scratch_, column_chunk_);
    return column_chunk_;
  });
}

Status StreamingDruxWriter::write_chunk(std::size_t row_count, std::span<ColumnChunk> columns) {
  if (row_count == 0) return {};
  if (Status s = check_can_write(row_count); !s) return s;
  if (columns.size() != columns_.size()) {
    return data_error("Chunk has " + std::to_string(columns.size()) + " columns, the file " +
                      std::to_string(columns_.size()));
  }
  return write_columns(row_count, [&](std::size_t c) -> ColumnChunk& {
    encipher_if_asked(columns_[c], chunk_count_, columns[c]);
    return columns[c];
  });
}

ByteBuffer StreamingDruxWriter::footer_bytes() const {
  ByteBuffer out;
  out.reserve(6 + 4 * chunk_row_counts_.size() + chunk_metas_.size() * columns_.size() * (kFooterEntryFixedSize + 24));
  put_u32_le(out, chunk_count_);
  put_u16_le(out, static_cast<std::uint16_t>(columns_.size()));
  for (std::uint32_t rows : chunk_row_counts_) put_u32_le(out, rows);
  for (const auto& metas : chunk_metas_) {
    for (const StreamChunkColMeta& meta : metas) put_footer_entry(out, meta);
  }
  return out;
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
  ByteBuffer tail = compress_block(spent.footer_bytes(), spent.level_);
  const std::uint64_t footer_length = tail.size();
  put_u64_le(tail, footer_length);
  put_u64_le(tail, footer_offset);

  ByteBuffer counts;
  put_u64_le(counts, spent.total_rows_);
  put_u32_le(counts, spent.chunk_count_);

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
