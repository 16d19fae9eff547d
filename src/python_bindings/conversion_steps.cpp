// The header pass reads one line through a 1 MiB buffer; a longer header
// grows it. The other steps are single system calls.
#include "python_bindings/conversion_steps.h"

#include <cerrno>
#include <utility>

#include "drux_v2/kval.h"
#include "drux_v2/system_error.h"
#include "python_bindings/csv_rows.h"
#include "python_bindings/line_reader.h"

namespace drux {
namespace {

constexpr std::size_t kHeaderBufferSize = 1048576;

Error io_error(std::string message) { return Error{std::move(message), ErrorKind::Io}; }

}  // namespace

Result<struct stat> stat_input(const std::string& csv_path) {
  struct stat info;
  if (::stat(csv_path.c_str(), &info) != 0) return io_error("CSV file does not exist: " + csv_path);
  if (::stat(csv_path.c_str(), &info) != 0) {
    return io_error("Failed to read CSV metadata: " + system_error_text(errno));
  }
  // A directory fails its first read with the system's own error.
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    return io_error("CSV file is not a regular file: " + csv_path);
  }
  return info;
}

Result<std::vector<std::string>> read_column_names(const std::string& csv_path) {
  auto reader = LineReader::open(csv_path, kHeaderBufferSize);
  if (!reader) return reader.error_value();
  std::string_view line;
  switch (reader->next_line(line)) {
    case LineStatus::End:
      return data_error("CSV file is empty");
    case LineStatus::Failed:
      return io_error(reader->error());
    case LineStatus::Line:
      break;
  }
  return split_column_names(line);
}

// Same device and inode catches links and other spellings of the path.
Status refuse_input_as_output(const struct stat& csv_info, const std::string& drux_path) {
  struct stat out;
  if (::stat(drux_path.c_str(), &out) != 0) return {};  // nothing there yet to clobber
  if (out.st_dev == csv_info.st_dev && out.st_ino == csv_info.st_ino) {
    return io_error("Output file is the input CSV file: " + drux_path);
  }
  return {};
}

Result<StreamingDruxWriter> begin_writer(std::vector<KColumn> columns, const std::string& drux_path,
                                         CompressionLevel level) {
  auto writer = StreamingDruxWriter::begin(std::move(columns), CHUNK_SIZE, drux_path, level);
  if (!writer) return io_error(writer.error());
  return writer;
}

Result<StreamingDruxWriter> begin_string_writer(const std::vector<std::string>& names, const std::string& drux_path) {
  std::vector<KColumn> columns;
  columns.reserve(names.size());
  for (const std::string& name : names) columns.push_back(make_column(name, ColType::Str));
  return begin_writer(std::move(columns), drux_path);
}

Result<std::uint64_t> output_size(const std::string& drux_path) {
  struct stat info;
  if (::stat(drux_path.c_str(), &info) != 0) return io_error("Output file was not created at: " + drux_path);
  if (::stat(drux_path.c_str(), &info) != 0) return io_error(system_error_text(errno));
  if (info.st_size == 0) return io_error("Output file is empty");
  return static_cast<std::uint64_t>(info.st_size);
}

double percent_saved(std::uint64_t csv_size, std::uint64_t drux_size) {
  if (csv_size == 0 || drux_size >= csv_size) return 0.0;
  return static_cast<double>(csv_size - drux_size) / static_cast<double>(csv_size) * 100.0;
}

}  // namespace drux
