// ChunkReport: what one piece of a write cost, for an observer such as a
// performance monitor. Writers call their observer on the calling thread
// once per chunk (and once for what comes before the first block and after
// the last), never per cell, so the reports add up to the input read and
// the file written. Deliberately not here: the monitor itself, which the
// Python layer feeds from these reports.
#pragma once

#include <cstdint>

namespace drux {

struct ChunkReport {
  std::uint64_t csv_bytes = 0;   // input consumed: CSV bytes, or a chunk's payload bytes
  double read_ms = 0.0;          // reading and cutting it from a file; 0 when it was in memory
  std::uint64_t file_bytes = 0;  // bytes appended to the file
  double write_ms = 0.0;         // appending them
  std::uint64_t rows = 0;
};

}  // namespace drux
