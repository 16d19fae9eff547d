// StreamingDruxWriter writes one DRUX v2 file front to back in a single pass:
// begin() writes everything before the data, write_chunk() appends one
// column block per column, finish() appends footer and trailer and patches
// the header's counts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "drux_v2/block_compressor.h"
#include "drux_v2/buffered_file.h"
#include "drux_v2/column_block.h"
#include "drux_v2/kval.h"
#include "drux_v2/result.h"

namespace drux {

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
  std::uint32_t chunk_count() const { return chunk_count_; }

 private:
  StreamingDruxWriter(std::vector<KColumn> columns, BufferedFile out, std::uint64_t chunk_rows,
                      std::uint64_t offset, CompressionLevel level);

  Status check_can_write(std::size_t row_count) const;
  Status check_nesting(std::span<const Row> rows) const;
  // Writes the chunk's column blocks, taking column c's chunk from
  // column_chunk(c), then records the chunk.
  template <typename ColumnChunkOf>
  Status write_columns(std::size_t row_count, ColumnChunkOf column_chunk);
  Status write_column_block(ColumnChunk& chunk, StreamChunkColMeta& meta);
  ByteBuffer footer_bytes() const;

  std::vector<KColumn> columns_;
  BufferedFile out_;
  std::vector<std::vector<StreamChunkColMeta>> chunk_metas_;
  // The true size of each chunk, so a short chunk before the last cannot
  // shift the counts the footer gives for the chunks after it.
  std::vector<std::uint32_t> chunk_row_counts_;
  std::uint64_t chunk_rows_ = 1;
  std::uint64_t offset_ = 0;
  std::uint64_t total_rows_ = 0;
  std::uint32_t chunk_count_ = 0;
  CompressionLevel level_ = CompressionLevel::Exact;
  // The first write failure. Bytes that did not reach the file leave `offset_`
  // ahead of it, so later blocks could not be located: every later call
  // returns this error instead of writing a file whose index is wrong.
  std::optional<Error> failure_;
  ColumnScratch scratch_;
  ColumnChunk column_chunk_;
};

}  // namespace drux
