// The chunk being built from CSV lines: one string column chunk per
// column, filled field by field as lines arrive. A line splits at every
// comma (no quoting); each field is trimmed of white space; a short line is
// padded with empty texts and a long one cut to the column count.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "drux_v2/column_block.h"

namespace drux {

class CsvChunk {
 public:
  explicit CsvChunk(std::size_t num_columns);
  CsvChunk(const CsvChunk&) = delete;
  CsvChunk& operator=(const CsvChunk&) = delete;

  // Adds the fields of `line` as the next row.
  void add_line(std::string_view line);

  std::size_t rows() const { return rows_; }

  // Completes the column chunks for writing. clear() then starts the next
  // chunk in the same buffers, so steady-state streaming allocates nothing.
  std::span<ColumnChunk> finish();
  void clear();

 private:
  std::vector<ColumnChunk> columns_;
  std::vector<StrColumnBuilder> builders_;  // one per element of columns_, which never moves
  std::size_t rows_ = 0;
};

}  // namespace drux
