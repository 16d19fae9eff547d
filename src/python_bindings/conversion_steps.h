// The steps every CSV conversion shares, whichever road it takes: checking
// the input, reading the header line into column names, guarding the
// output, beginning the writer and checking what it left on disk. The
// sequential conversion and the threaded one call these same functions, so
// they refuse the same inputs with the same kinds and messages.
//
// Nothing here prints or streams rows; the callers own their reports.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "drux_v2/result.h"
#include "drux_v2/streaming_writer.h"

namespace drux {

inline constexpr std::uint64_t CHUNK_SIZE = 65536;

// The CSV must exist (following links) and be a regular file: a FIFO, a
// socket or a device would block or never end. (A directory passes here and
// fails its first read.) Returns its status.
Result<struct stat> stat_input(const std::string& csv_path);

// The header pass: the first line of the file, split at every comma into
// trimmed names. Data error "CSV file is empty" for a file with no bytes.
Result<std::vector<std::string>> read_column_names(const std::string& csv_path);

// Fails when `drux_path` names the input file under any spelling: writing
// over the input would truncate it before a byte of it is read.
Status refuse_input_as_output(const struct stat& csv_info, const std::string& drux_path);

// A writer of these columns to `drux_path`, in chunks of CHUNK_SIZE rows;
// its failures are Io errors.
Result<StreamingDruxWriter> begin_writer(std::vector<KColumn> columns, const std::string& drux_path,
                                         CompressionLevel level = CompressionLevel::Exact);

// One string column per name, as compress_csv writes.
Result<StreamingDruxWriter> begin_string_writer(const std::vector<std::string>& names, const std::string& drux_path);

// The finished output must exist and hold bytes; returns its size.
Result<std::uint64_t> output_size(const std::string& drux_path);

// Percentage of space saved, 0 to 100; 0 when the output is not smaller.
double percent_saved(std::uint64_t csv_size, std::uint64_t drux_size);

}  // namespace drux
