// CSV to DRUX v2 in two passes: a short pass for the header line, then a
// streaming pass that adds each data line's trimmed texts to the string
// column chunks being built and hands CHUNK_SIZE rows at a time to the
// writer.
//
// Memory is bounded by one chunk's column payloads and the two fixed read
// buffers. The payloads are refilled in place (csv_rows.h), so once the
// first chunk is built the streaming pass stops allocating. Lines are views
// into the read buffer; the only copy of a field's bytes is the one into
// its column's payload.
//
// The CSV rules themselves live in csv_rows.h. Deliberately not here:
// quoting, type inference and threads.
#include "python_bindings/csv_converter.h"

#include <chrono>
#include <string_view>
#include <utility>
#include <vector>

#include "drux_v2/streaming_writer.h"
#include "python_bindings/conversion_steps.h"
#include "python_bindings/csv_rows.h"
#include "python_bindings/line_reader.h"
#include "python_bindings/stderr_report.h"
#include "python_bindings/text_trim.h"

namespace drux {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kDataBufferSize = 16777216;    // 16 MiB: the streaming pass
constexpr std::uint64_t kProgressEveryRows = 1000000;
constexpr const char* kBanner = "\n>>> compress_csv v1.3.2 STREAMING MODE\n";

Error io_error(std::string message) { return Error{std::move(message), ErrorKind::Io}; }

// Whole seconds plus the nanoseconds of the part second.
double seconds_since(Clock::time_point start) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
  constexpr std::int64_t kNanosPerSecond = 1000000000;
  return static_cast<double>(ns / kNanosPerSecond) + static_cast<double>(ns % kNanosPerSecond) / 1e9;
}

std::string join_names(const std::vector<std::string>& names) {
  std::string joined;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) joined += ", ";
    joined += names[i];
  }
  return joined;
}

void report_progress(std::uint64_t row_count, Clock::time_point start) {
  const double millions = static_cast<double>(row_count) / 1e6;
  const double seconds = seconds_since(start);
  write_stderr_line("  Streamed " + format_fixed(millions, 1) + "M rows in " + format_fixed(seconds, 0) + "s (" +
                    format_fixed(millions / seconds, 1) + "M rows/sec)\n");
}

Status write_rows(StreamingDruxWriter& writer, CsvChunk& chunk) {
  Status written = writer.write_chunk(chunk.rows(), chunk.finish());
  chunk.clear();
  if (!written) return io_error(written.error());
  return {};
}

// The streaming pass; returns the time it started streaming rows.
Result<Clock::time_point> stream_rows(const std::string& csv_path, std::size_t num_columns,
                                      StreamingDruxWriter& writer, const ConvertHooks& hooks,
                                      std::uint64_t csv_size) {
  auto reader = LineReader::open(csv_path, kDataBufferSize);
  if (!reader) return reader.error_value();
  if (hooks.progress) {
    reader->set_refill_observer([&hooks, csv_size](std::uint64_t done) { hooks.progress(done, csv_size); });
  }
  std::string_view line;
  (void)reader->next_line(line);  // the header line, already read; whatever it yields now is ignored

  CsvChunk chunk(num_columns);
  std::uint64_t row_count = 0;
  const Clock::time_point start = Clock::now();
  for (;;) {
    const LineStatus status = reader->next_line(line);
    if (status == LineStatus::End) break;
    if (status == LineStatus::Failed) return io_error(reader->error());
    if (is_blank_line(line)) continue;
    chunk.add_line(line);
    ++row_count;
    if (chunk.rows() < CHUNK_SIZE) continue;
    if (Status written = write_rows(writer, chunk); !written) return written.error_value();
    if (row_count % kProgressEveryRows == 0) report_progress(row_count, start);
  }
  if (hooks.progress) hooks.progress(reader->bytes_read(), csv_size);
  reader->close();
  if (chunk.rows() > 0) {
    if (Status written = write_rows(writer, chunk); !written) return written.error_value();
  }
  return start;
}

void report_done(const std::string& csv_size_text, const ConvertResult& result, double seconds,
                 const std::string& summary) {
  const double throughput = static_cast<double>(result.csv_size) / kBytesPerGB / seconds;
  write_stderr_line(">>> DONE! " + csv_size_text + " \u2192 " +
                    format_fixed(static_cast<double>(result.drux_size) / kBytesPerMB, 1) + "MB (" +
                    format_fixed(result.compression_ratio, 1) + "% saved) in " + format_fixed(seconds, 0) + "s (" +
                    format_fixed(throughput, 1) + "GB/sec) | " + summary + "\n");
}

}  // namespace

Result<ConvertResult> compress_csv(const std::string& csv_path, const std::string& drux_path,
                                   const ConvertHooks& hooks) {
  auto csv_info = stat_input(csv_path);
  if (!csv_info) return csv_info.error_value();
  ConvertResult result;
  result.csv_size = static_cast<std::uint64_t>(csv_info->st_size);
  const std::string csv_size_text = size_text(result.csv_size);
  write_stderr_line(kBanner);
  write_stderr_line(">>> File: " + csv_path + " (" + csv_size_text + ")\n");

  auto names = read_column_names(csv_path);
  if (!names) return names.error_value();
  write_stderr_line(">>> Columns (" + std::to_string(names->size()) + "): " + join_names(names.value()) + "\n");

  if (Status distinct = refuse_input_as_output(csv_info.value(), drux_path); !distinct) return distinct.error_value();
  auto writer = begin_string_writer(names.value(), drux_path);
  if (!writer) return writer.error_value();
  // 20 bytes assumed per value: num_columns x CHUNK_SIZE x 20 / 1 MiB, in whole MB.
  const std::uint64_t memory_mb = names->size() * 5 / 4;
  write_stderr_line(">>> Streaming " + std::to_string(CHUNK_SIZE) + " rows at a time (~" +
                    std::to_string(memory_mb) + "MB memory constant)...\n");

  auto start = stream_rows(csv_path, names->size(), writer.value(), hooks, result.csv_size);
  if (!start) return start.error_value();
  auto summary = writer->finish();
  if (!summary) return io_error(summary.error());

  auto drux_size = output_size(drux_path);
  if (!drux_size) return drux_size.error_value();
  result.drux_size = drux_size.value();
  result.compression_ratio = percent_saved(result.csv_size, result.drux_size);
  report_done(csv_size_text, result, seconds_since(start.value()), summary.value());
  return result;
}

}  // namespace drux
