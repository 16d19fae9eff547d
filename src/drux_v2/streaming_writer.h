// StreamingDruxWriter writes one DRUX v2 file front to back in a single pass:
// begin() writes everything before the data, write_chunk() appends one
// column block per column, finish() appends footer and trailer and patches
// the header's counts.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "drux_v2/kval.h"
#include "drux_v2/result.h"

namespace drux {

class StreamingDruxWriter {
 public:
  static Result<StreamingDruxWriter> begin(std::vector<KColumn> columns, std::uint64_t chunk_rows,
                                           const std::string& path);

  // Appends one chunk. On failure the writer's counts and metadata are unchanged.
  Status write_chunk(std::span<const Row> rows);

  // Writes footer and trailer, patches the header, fsyncs and closes; returns
  // the one-line summary. The writer is spent afterwards, whatever the outcome.
  Result<std::string> finish();

  StreamingDruxWriter(StreamingDruxWriter&&) noexcept;
  StreamingDruxWriter& operator=(StreamingDruxWriter&&) noexcept;
  StreamingDruxWriter(const StreamingDruxWriter&) = delete;
  StreamingDruxWriter& operator=(const StreamingDruxWriter&) = delete;
  // Without finish(): flushes what is buffered (ignoring errors) and closes.
  ~StreamingDruxWriter();

  // (private state is defined by the implementation)
};

}  // namespace drux
