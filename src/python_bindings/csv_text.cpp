// Reads a whole CSV file into names and rows by the conversion's rules; see
// csv_text.h. The lines come from LineReader as views and are split in place;
// only the fields are copied.
//
// Deliberately not here: the progress report and the chunking of the
// conversion.
#include "python_bindings/csv_text.h"

#include <string_view>

#include "python_bindings/csv_rows.h"
#include "python_bindings/line_reader.h"

namespace drux {
namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 20;

Error io_error(const std::string& message) { return Error{message, ErrorKind::Io}; }

}  // namespace

Result<CsvText> read_csv_text(const std::string& path) {
  auto reader = LineReader::open(path, kBufferSize);
  if (!reader) return io_error("Cannot open " + path + ": " + reader.error());
  CsvText text;
  std::string_view line;
  switch (reader->next_line(line)) {
    case LineStatus::End: return data_error("CSV file is empty");
    case LineStatus::Failed: return io_error(reader->error());
    case LineStatus::Line: break;
  }
  text.names = split_column_names(line);
  for (;;) {
    const LineStatus status = reader->next_line(line);
    if (status == LineStatus::End) break;
    if (status == LineStatus::Failed) return io_error(reader->error());
    if (is_blank_line(line)) continue;
    std::vector<std::string>& row = text.rows.emplace_back();
    row.reserve(text.names.size());
    for_each_field(line, text.names.size(), [&](std::string_view field) { row.emplace_back(field); });
    row.resize(text.names.size());
  }
  return text;
}

}  // namespace drux
