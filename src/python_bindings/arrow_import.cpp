// Each Arrow column is planned once from the schema (its source layout and
// the DRUX column type it becomes), then every batch is cut at chunk
// boundaries and each column's slice is appended to its builder with one
// tight loop per source layout. Chunks are compressed column by column on up
// to `jobs` threads and appended in order.
#include "python_bindings/arrow_import.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

#include "drux_v2/column_block.h"
#include "drux_v2/replacing_file.h"
#include "drux_v2/streaming_writer.h"
#include "drux_v2/utf8_check.h"

namespace drux {
namespace {

enum class Source {
  Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64,
  Float32, Float64, Bool,
  Utf8, LargeUtf8, Utf8View,
  Binary, LargeBinary, BinaryView, FixedBinary,
};

struct ColumnPlan {
  std::string name;
  Source source = Source::Int64;
  ColType type = ColType::Int;
  std::int64_t fixed_width = 0;  // FixedBinary only
};

Error refusal(const std::string& column, const std::string& why) {
  return data_error("Column '" + column + "': " + why);
}

Error cell_refusal(const ColumnPlan& plan, std::uint64_t row, const std::string& why) {
  return data_error("Column '" + plan.name + "', row " + std::to_string(row) + ": " + why);
}

// The layout and DRUX type of one schema field.
Result<ColumnPlan> plan_column(const ArrowSchema& field, bool lossy) {
  ColumnPlan plan;
  plan.name = field.name ? field.name : "";
  const std::string_view f = field.format ? field.format : "";
  if (field.dictionary != nullptr) {
    return refusal(plan.name, "dictionary-encoded columns are not supported; decode it to its value type first");
  }
  struct Simple {
    std::string_view format;
    Source source;
    ColType type;
  };
  static constexpr Simple kSimple[] = {
      {"c", Source::Int8, ColType::Int},       {"s", Source::Int16, ColType::Int},
      {"i", Source::Int32, ColType::Int},      {"l", Source::Int64, ColType::Int},
      {"C", Source::UInt8, ColType::Int},      {"S", Source::UInt16, ColType::Int},
      {"I", Source::UInt32, ColType::Int},     {"L", Source::UInt64, ColType::Int},
      {"f", Source::Float32, ColType::Float},  {"g", Source::Float64, ColType::Float},
      {"b", Source::Bool, ColType::Bool},      {"u", Source::Utf8, ColType::Str},
      {"U", Source::LargeUtf8, ColType::Str},  {"vu", Source::Utf8View, ColType::Str},
      {"z", Source::Binary, ColType::Bytes},   {"Z", Source::LargeBinary, ColType::Bytes},
      {"vz", Source::BinaryView, ColType::Bytes},
  };
  for (const Simple& s : kSimple) {
    if (f == s.format) {
      plan.source = s.source;
      plan.type = s.type;
      return plan;
    }
  }
  if (f.starts_with("w:")) {
    plan.source = Source::FixedBinary;
    plan.type = ColType::Bytes;
    plan.fixed_width = std::atoll(std::string(f.substr(2)).c_str());
    if (plan.fixed_width < 0) return refusal(plan.name, "bad fixed-size binary width in format " + std::string(f));
    return plan;
  }
  // Dates, times, timestamps and durations are 32- or 64-bit integer counts of a unit.
  const bool temporal32 = f == "tdD" || f == "tts" || f == "ttm";
  const bool temporal64 = f == "tdm" || f == "ttu" || f == "ttn" || f.starts_with("ts") || f.starts_with("tD");
  if (temporal32 || temporal64) {
    if (!lossy) {
      return refusal(plan.name, "dates, times, timestamps and durations are not DRUX column types "
                                "(lossy=True stores their integer count of the unit)");
    }
    plan.source = temporal32 ? Source::Int32 : Source::Int64;
    plan.type = ColType::Int;
    return plan;
  }
  return refusal(plan.name, "Arrow type '" + std::string(f) + "' has no DRUX column type (nested, decimal and "
                            "other types are not held by the format)");
}

// ---- Reading Arrow buffers ---------------------------------------------------------------

bool bit_at(const void* bitmap, std::int64_t i) {
  return (static_cast<const std::uint8_t*>(bitmap)[i >> 3] >> (i & 7)) & 1;
}

template <class T>
T value_at(const ArrowArray& a, int buffer, std::int64_t i) {
  T v;
  std::memcpy(&v, static_cast<const char*>(a.buffers[buffer]) + (a.offset + i) * static_cast<std::int64_t>(sizeof(T)),
              sizeof(T));
  return v;
}

// The bytes of element i of a variable-width (offsets) or view layout; none
// when a view names a data buffer the array does not have.
std::optional<std::string_view> bytes_at(const ColumnPlan& plan, const ArrowArray& a, std::int64_t i) {
  switch (plan.source) {
    case Source::Utf8:
    case Source::Binary: {
      const auto start = value_at<std::int32_t>(a, 1, i);
      const auto end = value_at<std::int32_t>(a, 1, i + 1);
      if (end < start) return std::nullopt;
      return std::string_view{static_cast<const char*>(a.buffers[2]) + start, static_cast<std::size_t>(end - start)};
    }
    case Source::LargeUtf8:
    case Source::LargeBinary: {
      const auto start = value_at<std::int64_t>(a, 1, i);
      const auto end = value_at<std::int64_t>(a, 1, i + 1);
      if (end < start) return std::nullopt;
      return std::string_view{static_cast<const char*>(a.buffers[2]) + start, static_cast<std::size_t>(end - start)};
    }
    case Source::FixedBinary:
      return std::string_view{static_cast<const char*>(a.buffers[1]) + (a.offset + i) * plan.fixed_width,
                              static_cast<std::size_t>(plan.fixed_width)};
    default: {  // views: 16 bytes each, inline up to 12 bytes, else prefix, buffer index, offset
      const char* view = static_cast<const char*>(a.buffers[1]) + (a.offset + i) * 16;
      std::int32_t length, buffer, offset;
      std::memcpy(&length, view, 4);
      if (length < 0) return std::nullopt;
      if (length <= 12) return std::string_view{view + 4, static_cast<std::size_t>(length)};
      std::memcpy(&buffer, view + 8, 4);
      std::memcpy(&offset, view + 12, 4);
      // Data buffers follow validity and views; the last buffer holds their sizes.
      if (buffer < 0 || offset < 0 || 2 + buffer >= a.n_buffers - 1) return std::nullopt;
      return std::string_view{static_cast<const char*>(a.buffers[2 + buffer]) + offset, static_cast<std::size_t>(length)};
    }
  }
}

// The buffers a layout needs, so a malformed array is refused before any read.
Status check_layout(const ColumnPlan& plan, const ArrowArray& a) {
  const bool view = plan.source == Source::Utf8View || plan.source == Source::BinaryView;
  const bool offsets = plan.type == ColType::Str || plan.type == ColType::Bytes;
  const std::int64_t wanted = view ? 3 : (offsets && plan.source != Source::FixedBinary ? 3 : 2);
  if (a.length < 0 || a.offset < 0 || a.n_buffers < wanted || a.buffers == nullptr) {
    return refusal(plan.name, "malformed Arrow array (length, offset or buffers)");
  }
  if (a.length > 0 && (a.buffers[1] == nullptr || (offsets && !view && plan.source != Source::FixedBinary &&
                                                   a.buffers[2] == nullptr))) {
    return refusal(plan.name, "malformed Arrow array (a data buffer is missing)");
  }
  return {};
}

// ---- Building chunks ---------------------------------------------------------------------

using Builder = std::variant<std::monostate, StrColumnBuilder, ValueColumnBuilder, BytesColumnBuilder>;

struct ChunkBuilder {
  ChunkBuilder(const std::vector<ColumnPlan>& plans) : plans(plans), chunks(plans.size()), values(plans.size()),
                                                       builders(plans.size()) {
    restart();
  }

  void restart() {
    for (std::size_t c = 0; c < plans.size(); ++c) {
      switch (plans[c].type) {
        case ColType::Str: builders[c].emplace<StrColumnBuilder>(chunks[c]); break;
        case ColType::Bytes: builders[c].emplace<BytesColumnBuilder>(chunks[c]); break;
        default: builders[c].emplace<ValueColumnBuilder>(plans[c].type, chunks[c], values[c]); break;
      }
    }
    rows = 0;
  }

  void finish() {
    for (Builder& b : builders) {
      std::visit([](auto& builder) {
        if constexpr (!std::is_same_v<std::decay_t<decltype(builder)>, std::monostate>) builder.finish();
      }, b);
    }
  }

  const std::vector<ColumnPlan>& plans;
  std::vector<ColumnChunk> chunks;
  std::vector<std::vector<std::int64_t>> values;
  std::vector<Builder> builders;
  std::uint64_t rows = 0;
};

constexpr double kTwoTo63 = 9223372036854775808.0;

// Appends rows [start, start + count) of column `a` to its builder; `row`
// is the file row of `start`, for messages.
Status append_slice(const ColumnPlan& plan, const ArrowArray& a, std::int64_t start, std::int64_t count,
                    Builder& builder, std::uint64_t row, bool lossy) {
  const void* validity = a.null_count == 0 ? nullptr : a.buffers[0];
  for (std::int64_t i = start; i < start + count; ++i, ++row) {
    const bool is_null = validity != nullptr && !bit_at(validity, a.offset + i);
    if (is_null && !lossy) {
      return cell_refusal(plan, row, "null (integer, float, boolean, string and bytes columns keep no per-cell "
                                     "null; lossy=True stores it as 0, 0.0, false, \"\" or b\"\")");
    }
    if (auto* text = std::get_if<StrColumnBuilder>(&builder)) {
      if (is_null) {
        text->add_null();
        continue;
      }
      const auto s = bytes_at(plan, a, i);
      if (!s) return cell_refusal(plan, row, "malformed Arrow string array");
      if (!is_valid_utf8(s->data(), s->size())) return cell_refusal(plan, row, "text is not valid UTF-8");
      text->add(*s);
      continue;
    }
    if (auto* bytes = std::get_if<BytesColumnBuilder>(&builder)) {
      if (is_null) {
        bytes->add_null();
        continue;
      }
      const auto b = bytes_at(plan, a, i);
      if (!b) return cell_refusal(plan, row, "malformed Arrow binary array");
      bytes->add(*b);
      continue;
    }
    auto& values = std::get<ValueColumnBuilder>(builder);
    if (is_null) {
      values.add_null();
      continue;
    }
    switch (plan.source) {
      case Source::Int8: values.add_int(value_at<std::int8_t>(a, 1, i)); break;
      case Source::Int16: values.add_int(value_at<std::int16_t>(a, 1, i)); break;
      case Source::Int32: values.add_int(value_at<std::int32_t>(a, 1, i)); break;
      case Source::Int64: values.add_int(value_at<std::int64_t>(a, 1, i)); break;
      case Source::UInt8: values.add_int(value_at<std::uint8_t>(a, 1, i)); break;
      case Source::UInt16: values.add_int(value_at<std::uint16_t>(a, 1, i)); break;
      case Source::UInt32: values.add_int(value_at<std::uint32_t>(a, 1, i)); break;
      case Source::UInt64: {
        const auto v = value_at<std::uint64_t>(a, 1, i);
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          if (!lossy) {
            return cell_refusal(plan, row, std::to_string(v) + " does not fit a signed 64-bit integer "
                                                               "(lossy=True saturates it)");
          }
          values.add_int(std::numeric_limits<std::int64_t>::max());
        } else {
          values.add_int(static_cast<std::int64_t>(v));
        }
        break;
      }
      case Source::Bool: values.add_bool(bit_at(a.buffers[1], a.offset + i)); break;
      default: {  // floats
        const double v = plan.source == Source::Float32 ? value_at<float>(a, 1, i) : value_at<double>(a, 1, i);
        const bool exact = std::isfinite(v) && std::fabs(v) * 10000.0 < kTwoTo63 &&
                           static_cast<double>(scale_float(v)) / 10000.0 == v;
        if (!exact && !lossy) {
          char shown[64];
          std::snprintf(shown, sizeof shown, "%.17g", v);
          return cell_refusal(plan, row, std::string(shown) + " is not held exactly at four decimals "
                                                              "(lossy=True rounds it)");
        }
        values.add_float(v);
        break;
      }
    }
  }
  return {};
}

// Compresses each column chunk on up to `jobs` threads.
Status compress_columns(const std::vector<KColumn>& columns, std::uint64_t chunk_index, ChunkBuilder& built,
                        std::vector<EncodedColumn>& out, unsigned jobs, CompressionLevel level) {
  out.assign(columns.size(), {});
  const unsigned threads = std::max(1u, std::min<unsigned>(jobs, static_cast<unsigned>(columns.size())));
  std::vector<char> failed(threads, 0);
  auto work = [&](unsigned t) {
    try {
      for (std::size_t c = t; c < columns.size(); c += threads) {
        encipher_if_asked(columns[c], chunk_index, built.chunks[c]);
        compress_column_chunk(built.chunks[c], out[c], level);
      }
    } catch (const std::bad_alloc&) {
      failed[t] = 1;
    }
  };
  std::vector<std::thread> pool;
  try {
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work, t);
  } catch (const std::system_error&) {
    for (std::thread& thread : pool) thread.join();
    return Error{"Cannot start a worker thread", ErrorKind::Io};
  }
  work(0);
  for (std::thread& thread : pool) thread.join();
  for (char f : failed) {
    if (f) return Error{"Out of memory", ErrorKind::Io};
  }
  return {};
}

// Releases an Arrow struct when it goes out of scope, if its owner has not.
template <class T>
struct Released {
  T& value;
  ~Released() {
    if (value.release != nullptr) value.release(&value);
  }
};

std::string stream_error(ArrowArrayStream& stream, int code) {
  const char* message = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
  return "the Arrow stream failed: " + std::string(message ? message : std::strerror(code));
}

Result<std::vector<ColumnPlan>> plan_columns(ArrowArrayStream& stream, bool lossy) {
  ArrowSchema schema{};
  if (const int code = stream.get_schema(&stream, &schema); code != 0) return data_error(stream_error(stream, code));
  Released<ArrowSchema> release_schema{schema};
  if (std::string_view(schema.format ? schema.format : "") != "+s") {
    return data_error("The Arrow data is not a table (its schema is not a struct)");
  }
  std::vector<ColumnPlan> plans;
  for (std::int64_t c = 0; c < schema.n_children; ++c) {
    auto plan = plan_column(*schema.children[c], lossy);
    if (!plan) return plan.error_value();
    plans.push_back(std::move(plan).value());
  }
  return plans;
}

Result<std::string> write_stream(ArrowArrayStream& stream, const std::string& path, const ArrowImportOptions& options) {
  if (options.chunk_rows == 0 || options.chunk_rows > 0xFFFFFFFF) return data_error("chunk_rows must be 1 to 4294967295");
  auto plans = plan_columns(stream, options.lossy);
  if (!plans) return plans.error_value();
  std::vector<KColumn> columns;
  for (const ColumnPlan& plan : plans.value()) {
    KColumn column = make_column(plan.name, plan.type);
    if (auto key = options.keys.find(plan.name); key != options.keys.end()) {
      column.encrypted = true;
      column.key = key->second;
    }
    columns.push_back(std::move(column));
  }
  auto output = ReplacingFile::create(path);
  if (!output) return output.error_value();
  auto writer = StreamingDruxWriter::begin(columns, options.chunk_rows, output->temp_path(), options.level);
  if (!writer) return writer.error_value();

  using Clock = std::chrono::steady_clock;
  auto ms_since = [](Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); };
  auto report = [&](const ChunkReport& r) -> Status {
    if (options.on_chunk && !options.on_chunk(r)) return Error{"Write cancelled", ErrorKind::Io};
    return {};
  };
  ChunkBuilder chunk(plans.value());
  std::vector<EncodedColumn> encoded;
  std::uint64_t file_row = 0;
  if (Status s = report({.csv_bytes = 0, .read_ms = 0.0, .file_bytes = writer->bytes_written(), .write_ms = 0.0,
                         .rows = 0});
      !s) {
    return s.error_value();
  }
  auto flush = [&]() -> Status {
    chunk.finish();
    if (Status s = compress_columns(columns, writer->chunk_count(), chunk, encoded, options.jobs, options.level); !s) return s;
    const std::uint64_t before = writer->bytes_written();
    const std::uint64_t payload_before = writer->payload_bytes();
    const Clock::time_point write_start = Clock::now();
    if (Status s = writer->write_encoded_chunk(chunk.rows, encoded); !s) return s;
    // The input is memory, not a read: its payload bytes with no read time.
    const ChunkReport r{.csv_bytes = writer->payload_bytes() - payload_before, .read_ms = 0.0,
                        .file_bytes = writer->bytes_written() - before, .write_ms = ms_since(write_start),
                        .rows = chunk.rows};
    chunk.restart();
    return report(r);
  };
  for (;;) {
    ArrowArray batch{};
    if (const int code = stream.get_next(&stream, &batch); code != 0) return data_error(stream_error(stream, code));
    if (batch.release == nullptr) break;  // the end of the stream
    Released<ArrowArray> release_batch{batch};
    if (batch.n_children != static_cast<std::int64_t>(plans->size()) || batch.length < 0 || batch.offset < 0) {
      return data_error("An Arrow batch does not match its schema");
    }
    for (std::size_t c = 0; c < plans->size(); ++c) {
      const ArrowArray& child = *batch.children[c];
      if (Status s = check_layout(plans.value()[c], child); !s) return s.error_value();
      if (child.length < batch.offset + batch.length) return refusal(plans.value()[c].name, "Arrow column shorter than its batch");
    }
    for (std::int64_t done = 0; done < batch.length;) {
      const std::int64_t take = std::min<std::int64_t>(batch.length - done,
                                                       static_cast<std::int64_t>(options.chunk_rows - chunk.rows));
      for (std::size_t c = 0; c < plans->size(); ++c) {
        if (Status s = append_slice(plans.value()[c], *batch.children[c], batch.offset + done, take,
                                    chunk.builders[c], file_row, options.lossy);
            !s) {
          return s.error_value();
        }
      }
      done += take;
      file_row += static_cast<std::uint64_t>(take);
      chunk.rows += static_cast<std::uint64_t>(take);
      if (chunk.rows == options.chunk_rows) {
        if (Status s = flush(); !s) return s.error_value();
      }
    }
  }
  if (chunk.rows > 0) {
    if (Status s = flush(); !s) return s.error_value();
  }
  const std::uint64_t before_footer = writer->bytes_written();
  const Clock::time_point finish_start = Clock::now();
  auto summary = writer->finish();
  if (!summary) return summary.error_value();
  struct stat finished;
  const std::uint64_t size =
      ::stat(output->temp_path().c_str(), &finished) == 0 ? static_cast<std::uint64_t>(finished.st_size) : before_footer;
  if (Status s = report({.csv_bytes = 0, .read_ms = 0.0, .file_bytes = size - before_footer,
                         .write_ms = ms_since(finish_start), .rows = 0});
      !s) {
    return s.error_value();
  }
  if (Status s = output->commit(); !s) return s.error_value();
  return summary;
}

}  // namespace

Result<std::string> write_arrow_stream(ArrowArrayStream& stream, const std::string& path,
                                       const ArrowImportOptions& options) {
  Released<ArrowArrayStream> release_stream{stream};
  try {
    return write_stream(stream, path, options);
  } catch (const std::bad_alloc&) {
    return Error{"Out of memory", ErrorKind::Io};
  }
}

}  // namespace drux
