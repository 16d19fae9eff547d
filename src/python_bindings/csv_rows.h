// Rows of text cells from CSV lines, and the buffer that holds one chunk
// of them. A line splits at every comma (no quoting); each field is trimmed
// of white space; a short line is padded with empty texts and a long one
// cut to the column count.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "drux_v2/kval.h"

namespace drux {

// Overwrites every cell of `row` (row.size() columns) with the trimmed
// fields of `line`, reusing the cells' string storage.
void fill_row(std::string_view line, Row& row);

// The rows of the chunk being built, room for `capacity` reserved once.
// Emptying keeps the rows and their strings for the next chunk, to be
// overwritten in place, so steady-state streaming allocates nothing.
class RowBuffer {
 public:
  RowBuffer(std::size_t num_columns, std::size_t capacity) : num_columns_(num_columns), capacity_(capacity) {
    rows_.reserve(capacity);
  }

  // The next row to fill; its cells hold whatever an earlier chunk left.
  Row& next_row() {
    if (filled_ == rows_.size()) rows_.emplace_back(num_columns_);
    return rows_[filled_++];
  }
  bool full() const { return filled_ == capacity_; }
  bool empty() const { return filled_ == 0; }
  std::span<const Row> rows() const { return {rows_.data(), filled_}; }
  void clear() { filled_ = 0; }

 private:
  std::size_t num_columns_;
  std::size_t capacity_;
  std::vector<Row> rows_;
  std::size_t filled_ = 0;
};

}  // namespace drux
