// StreamingDruxWriter writes one DRUX v2 file front to back in a single pass:
// begin() writes everything before the data, write_chunk() appends one
// column block per column, finish() appends footer and trailer and patches
// the header's counts.
//
// Deliberately not here: seeking back to rewrite anything but the header's
// two counts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "drux_v2/block_compressor.h"
#include "drux_v2/buffered_file.h"
#include "drux_v2/column_block.h"
#include "drux_v2/container.h"
#include "drux_v2/kval.h"
#include "drux_v2/result.h"

namespace drux {

// One column block ready to append: the compressed (and, where the column
// asks, enciphered) payload with its CRC-32, and what the footer keeps of it.
// Building one is pure work that any thread may do; appending it is the
// writer's.
struct EncodedColumn {
  ByteBuffer block;
  std::uint64_t payload_size = 0;  // before compression
  std::uint32_t crc = 0;
  ColStats stats;
  BloomFilter bloom{};
  Encoding encoding = Encoding::Plain;
};

// Compresses `chunk`'s payload at `level` and takes its statistics (left moved-from).
void compress_column_chunk(ColumnChunk& chunk, EncodedColumn& out,
                           CompressionLevel level = CompressionLevel::Exact);

class StreamingDruxWriter {
 public:
  // `level` is how hard every block of the file is compressed: the schema,
  // the dictionary, each column block and the footer.
  static Result<StreamingDruxWriter> begin(std::vector<KColumn> columns, std::uint64_t chunk_rows,
                                           const std::string& path,
                                           CompressionLevel level = CompressionLevel::Exact);

  // Appends one chunk. On failure the writer's counts and metadata are unchanged.
  // After a write failure every later call returns that failure.
  Status write_chunk(std::span<const Row> rows);

  // Appends one chunk of `row_count` rows whose column chunks the caller
  // built, one per column in order (string columns with StrColumnBuilder),
  // and enciphers those whose column asks for it. Failures as above.
  Status write_chunk(std::size_t row_count, std::span<ColumnChunk> columns);

  // Appends one chunk of `row_count` rows whose column blocks the caller
  // encoded, one per column in order, for chunk index chunk_count(): the
  // same bytes write_chunk gives for the same column chunks. Failures as above.
  Status write_encoded_chunk(std::size_t row_count, std::span<const EncodedColumn> columns);

  // Writes footer and trailer, patches the header, fsyncs and closes; returns
  // the one-line summary. The writer is spent afterwards, whatever the outcome.
  Result<std::string> finish();

  StreamingDruxWriter(StreamingDruxWriter&&) noexcept;
  StreamingDruxWriter& operator=(StreamingDruxWriter&&) noexcept;
  StreamingDruxWriter(const StreamingDruxWriter&) = delete;
  StreamingDruxWriter& operator=(const StreamingDruxWriter&) = delete;
  // Without finish(): flushes what is buffered (ignoring errors) and closes.
  ~StreamingDruxWriter();

  // Row counts of the chunks written so far, as the footer lists them.
  const std::vector<std::uint32_t>& chunk_row_counts() const { return chunk_row_counts_; }
  std::uint64_t total_rows() const { return total_rows_; }
  // Bytes appended to the file so far (before finish(): all but the footer and trailer).
  std::uint64_t bytes_written() const { return offset_; }
  // Column payload bytes before compression, over the chunks written so far.
  std::uint64_t payload_bytes() const { return payload_bytes_; }
  std::uint32_t chunk_count() const { return chunk_count_; }

 private:
  StreamingDruxWriter(std::vector<KColumn> columns, BufferedFile out, std::uint64_t chunk_rows,
                      std::uint64_t offset, CompressionLevel level);

  Status check_can_write(std::size_t row_count) const;
  Status check_nesting(std::span<const Row> rows) const;
  // Appends the chunk's column blocks, taking column c's block from
  // encoded_column(c), then records the chunk.
  template <typename EncodedColumnOf>
  Status write_columns(std::size_t row_count, EncodedColumnOf encoded_column);
  Status check_column_count(std::size_t count) const;
  Status append_column_block(const EncodedColumn& column, StreamChunkColMeta& meta);

  std::vector<KColumn> columns_;
  BufferedFile out_;
  std::vector<std::vector<StreamChunkColMeta>> chunk_metas_;
  // The true size of each chunk, so a short chunk before the last cannot
  // shift the counts the footer gives for the chunks after it.
  std::vector<std::uint32_t> chunk_row_counts_;
  std::uint64_t chunk_rows_ = 1;
  std::uint64_t offset_ = 0;
  std::uint64_t payload_bytes_ = 0;
  std::uint64_t total_rows_ = 0;
  std::uint32_t chunk_count_ = 0;
  CompressionLevel level_ = CompressionLevel::Exact;
  // The first write failure. Bytes that did not reach the file leave `offset_`
  // ahead of it, so later blocks could not be located: every later call
  // returns this error instead of writing a file whose index is wrong.
  std::optional<Error> failure_;
  ColumnScratch scratch_;
  ColumnChunk column_chunk_;
  EncodedColumn encoded_;
};

}  // namespace drux
