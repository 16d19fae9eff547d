// Writing a DRUX file from Arrow data: the record batches of an Arrow C
// stream become chunks of typed columns, read column by column straight from
// the Arrow buffers (no value object per cell).
//
// Types: signed and unsigned integers become integer columns, float64 and
// float32 float columns, bool boolean columns, utf8, large_utf8 and
// string_view string columns, binary, large_binary, binary_view and
// fixed-size binary bytes columns. What the format cannot hold exactly is
// refused, naming the column and why, unless `lossy` is set:
//   a null in any column      -> stored as 0, 0.0, false, "" or b"" and
//                                counted in the chunk's null count;
//   a float with more than four decimals, or not finite
//                             -> rounded to four decimals (NaN as 0,
//                                infinities saturated);
//   a uint64 above 2^63 - 1   -> saturated to 2^63 - 1;
//   timestamps, dates, times and durations
//                             -> their integer count of the unit.
// Nested, decimal, dictionary-encoded and other types are refused always.
//
// Deliberately not here: Python (the native module hands over the stream)
// and the Arrow library itself (only the C interface structs are used).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "drux_v2/aes256.h"
#include "drux_v2/arrow_c_abi.h"
#include "drux_v2/block_compressor.h"
#include "drux_v2/result.h"
#include "python_bindings/chunk_report.h"

namespace drux {

struct ArrowImportOptions {
  std::uint64_t chunk_rows = 65536;
  bool lossy = false;
  unsigned jobs = 1;                        // threads compressing a chunk's columns
  CompressionLevel level = CompressionLevel::Exact;
  std::map<std::string, AesKey> keys;       // columns to encrypt, by name
  // Called after each chunk is appended (its payload bytes as the input),
  // and once for the footer; false stops the write ("Write cancelled").
  std::function<bool(const ChunkReport&)> on_chunk;
};

// Writes every batch of `stream` to `path` (replacing it only once the file
// is complete) and returns the writer's summary line. Takes ownership of the
// stream: it is released on every path. Refusals are Data errors; I/O
// failures Io errors.
Result<std::string> write_arrow_stream(ArrowArrayStream& stream, const std::string& path,
                                       const ArrowImportOptions& options);

}  // namespace drux
