// convert_csv: the CSV conversion spread over worker threads. With text
// columns it writes the same bytes as compress_csv for every input (the
// creation time aside) and refuses the same inputs with the same kinds and
// messages, but prints nothing, and replaces its output only once the file
// is complete. With inferred types, columns whose every cell a typed column
// stores exactly become integer, float or boolean columns.
//
// The pipeline, in three stages:
//   find_lines    (calling thread)  reads the CSV and cuts its data lines into
//                                   pieces of exactly CHUNK_SIZE rows;
//   encode_chunk  (workers)         checks UTF-8, splits and trims fields,
//                                   builds column payloads, statistics and
//                                   filters, compresses each block, CRC-32;
//   append_blocks (calling thread)  appends finished chunks in file order.
// At most jobs + max(1, jobs / 4) pieces are in flight, so memory is
// bounded by a few chunks per worker whatever the input size. The calling
// thread does only the work that is inherently sequential: finding line
// ends, counting rows, and the file's reads and writes.
//
// Deliberately not here: reporting on stderr (compress_csv's), and any
// reordering of chunks (file order is the format's).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "drux_v2/block_compressor.h"
#include "drux_v2/result.h"
#include "python_bindings/chunk_report.h"

namespace drux {

// How CSV cells are stored: all as text (compress_csv's bytes), or with
// each column typed from all of its cells where that is lossless
// (csv_types.h), at the cost of a first pass over the file.
enum class CsvTypes { Text, Infer };

struct ParallelConvertOptions {
  // Worker threads that encode; the calling thread reads and writes beside
  // them, so even 1 overlaps the file I/O with the encoding.
  unsigned jobs = 1;
  CsvTypes types = CsvTypes::Text;
  // How hard blocks are compressed; only Exact gives compress_csv's bytes.
  CompressionLevel level = CompressionLevel::Exact;
  // Called on the calling thread, at most a few times a second and once at
  // the end, with the CSV bytes done and the CSV size. Returning false
  // stops the conversion with the error "Conversion cancelled".
  std::function<bool(std::uint64_t bytes_done, std::uint64_t csv_size)> progress;
  // Called on the calling thread after each piece of input and output:
  // first the header line with everything before the first block, then
  // each chunk, last the footer and trailer, so the reports add up to the
  // CSV size and the file size. Returning false stops the conversion as
  // for `progress`.
  std::function<bool(const ChunkReport&)> on_chunk;
};

struct ParallelConvertResult {
  std::uint64_t csv_size = 0;
  std::uint64_t drux_size = 0;
  double saved_percent = 0.0;
  std::uint64_t rows = 0;
  std::uint32_t chunks = 0;
  double seconds = 0.0;  // the whole call
  std::uint64_t columns = 0;
};

inline constexpr const char* kCancelledMessage = "Conversion cancelled";

// On failure the target is left as it was (absent, or the old file) and no
// temporary file stays behind. Error kinds as compress_csv's, plus Io when
// the CSV changes size while it is read.
Result<ParallelConvertResult> convert_csv(const std::string& csv_path, const std::string& drux_path,
                                          const ParallelConvertOptions& options);

}  // namespace drux
