// The CSV streaming conversion: validates the input, reads the header line,
// streams the data lines in chunks of CHUNK_SIZE rows of text values into a
// StreamingDruxWriter, checks the output and reports on file descriptor 2.
// Knows nothing of Python; failures come back as error values.
//
// Deliberately not here: any column type but string, and encryption.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "drux_v2/result.h"
#include "python_bindings/conversion_steps.h"

namespace drux {

struct ConvertResult {
  std::uint64_t csv_size = 0;
  std::uint64_t drux_size = 0;
  double compression_ratio = 0.0;  // percentage of space saved, 0 to 100
};

// Optional observer of the streaming pass; compress_csv itself passes none.
struct ConvertHooks {
  // Called now and then with the CSV bytes consumed so far and the CSV size.
  std::function<void(std::uint64_t bytes_done, std::uint64_t csv_size)> progress;
};

// Error kinds: Data for "CSV file is empty" (ValueError), Io for everything else.
Result<ConvertResult> compress_csv(const std::string& csv_path, const std::string& drux_path,
                                   const ConvertHooks& hooks = {});

}  // namespace drux
