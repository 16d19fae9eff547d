// The CSV rules, in one place: a line splits at every comma (no quoting),
// each field is trimmed of white space, a line of white space alone is no
// row, a short row is padded with empty texts and a long one cut to the
// column count. CsvChunk applies them to build one string column chunk per
// column, field by field as lines arrive; the header and the drux package's
// CSV comparison apply them through the same functions. Deliberately not
// here: reading lines (line_reader.h) and quoting of any kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "drux_v2/column_block.h"
#include "python_bindings/text_trim.h"

namespace drux {

// First comma in [p, end), or end.
const char* find_comma(const char* p, const char* end);

// Calls take(field) for each trimmed field of `line`, at most `limit` of
// them, and returns how many it took. Every comma separates two fields, so a
// line has one field at least.
template <class Take>
std::size_t for_each_field(std::string_view line, std::size_t limit, Take take) {
  const char* field = line.data();
  const char* const end = field + line.size();
  std::size_t taken = 0;
  while (taken < limit) {
    const char* comma = find_comma(field, end);
    take(trim_white_space(std::string_view(field, static_cast<std::size_t>(comma - field))));
    ++taken;
    if (comma == end) break;
    field = comma + 1;
  }
  return taken;
}

// A data line that holds only white space is skipped, not read as a row.
inline bool is_blank_line(std::string_view line) { return trim_white_space(line).empty(); }

// The header line's fields, trimmed: the column names.
std::vector<std::string> split_column_names(std::string_view header);

class CsvChunk {
 public:
  // Every column text, as the CSV conversion stores it.
  explicit CsvChunk(std::size_t num_columns);
  // Columns of the given types. Integer, float and boolean columns take the
  // cells that csv_types.h admits for them; a cell that is not (the file
  // changed since its types were decided) is stored as 0 and reported by
  // first_bad_cell().
  explicit CsvChunk(std::vector<ColType> types);
  CsvChunk(const CsvChunk&) = delete;
  CsvChunk& operator=(const CsvChunk&) = delete;

  // Adds the fields of `line` as the next row.
  void add_line(std::string_view line);

  std::size_t rows() const { return rows_; }

  struct CellPosition {
    std::size_t column = 0;
    std::size_t row = 0;  // within the chunk
  };
  std::optional<CellPosition> first_bad_cell() const { return bad_cell_; }

  // Completes the column chunks for writing. clear() then starts the next
  // chunk in the same buffers, so steady-state streaming allocates nothing.
  std::span<ColumnChunk> finish();
  void clear();

 private:
  void add_typed_field(std::size_t c, std::string_view field);

  std::vector<ColType> types_;
  bool all_text_ = true;
  std::vector<ColumnChunk> columns_;
  std::vector<StrColumnBuilder> builders_;       // the text columns', in column order
  std::vector<ValueColumnBuilder> value_builders_;  // the typed columns', in column order
  std::vector<std::vector<std::int64_t>> values_;   // each typed column's stored integers
  std::vector<std::uint32_t> slot_;               // column -> its builder in builders_ or value_builders_
  std::size_t rows_ = 0;
  std::optional<CellPosition> bad_cell_;
};

}  // namespace drux
