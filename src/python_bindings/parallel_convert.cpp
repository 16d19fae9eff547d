// The pipeline of parallel_convert.h. Pieces (csv_pieces.h) hold exactly
// the rows compress_csv hands to each write_chunk, and a worker encodes a
// piece with the very code the sequential conversion uses (CsvChunk,
// compress_column_chunk), so the blocks are the same bytes. With inferred
// types a first pass of the same pipeline runs a cheaper job (TypeScan) over
// every piece and ANDs the masks of what each column's cells can be stored
// as; the second pass encodes with the types decided.
//
// Errors keep file order: a failing piece stops the reading, pieces before
// it are still consumed, and the first error in file order is the one
// returned, as a sequential reader would have met it.
#include "python_bindings/parallel_convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include "drux_v2/replacing_file.h"
#include "drux_v2/streaming_writer.h"
#include "drux_v2/system_error.h"
#include "python_bindings/conversion_steps.h"
#include "python_bindings/csv_pieces.h"
#include "python_bindings/csv_rows.h"
#include "python_bindings/csv_types.h"
#include "python_bindings/line_reader.h"
#include "drux_v2/utf8_check.h"
#include "python_bindings/piece_pool.h"

namespace drux {
namespace {

using Clock = std::chrono::steady_clock;

// Pieces in flight: one per worker, plus a quarter more (at least one) as
// slack for the in-order append when one piece takes longer than its
// neighbours; with one worker that one is the piece being read while the
// other is encoded. Each costs about a chunk of CSV twice over (its lines
// and its column payloads), so this bounds memory; measured on 2 cores, a
// second piece per worker was 4 % faster but 30 MiB larger
// (bench/compare_peers.py reports peak RSS).
unsigned pieces_in_flight(unsigned jobs) { return jobs + std::max(1u, jobs / 4); }
constexpr auto kProgressInterval = std::chrono::milliseconds(250);

Error io_error(std::string message) { return Error{std::move(message), ErrorKind::Io}; }

double milliseconds_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// What every job's output carries beside its own result.
struct PieceOutput {
  std::size_t rows = 0;
  std::uint64_t csv_bytes = 0;
  double read_ms = 0.0;
  std::optional<Error> error;

  // Takes the piece's sizes; false (with `error` set) when it is not UTF-8.
  // LF and CR are ASCII, so the piece is valid UTF-8 exactly when each of its lines is.
  bool start(const CsvPiece& piece) {
    rows = piece.rows;
    csv_bytes = piece.bytes.size();
    read_ms = piece.read_ms;
    if (is_valid_utf8(piece.bytes.data(), piece.bytes.size())) return true;
    error = io_error(kInvalidUtf8Message);
    return false;
  }
};

// ---- encode_chunk ------------------------------------------------------------------

struct EncodedChunk : PieceOutput {
  std::vector<EncodedColumn> columns;
};

// One worker's reusable state: the column chunks being built.
struct Encode {
  using Output = EncodedChunk;

  Encode(const std::vector<KColumn>& columns, CompressionLevel level)
      : columns(columns), level(level), chunk(types_of(columns)) {}

  static std::vector<ColType> types_of(const std::vector<KColumn>& columns) {
    std::vector<ColType> types;
    for (const KColumn& column : columns) types.push_back(column.col_type);
    return types;
  }

  // Splits the piece's lines into rows and encodes every column block.
  // `stopping` is polled between blocks so a failure elsewhere ends the work early.
  EncodedChunk run(const CsvPiece& piece, const std::atomic<bool>& stopping,
                   const std::function<void()>& done_with_bytes) {
    EncodedChunk out;
    if (!out.start(piece) || piece.rows == 0) return out;
    add_piece_lines(piece, chunk);
    done_with_bytes();  // the cells are in the column chunks now
    if (const auto bad = chunk.first_bad_cell()) {
      out.error = io_error("CSV file changed while it was read: column " + columns[bad->column].name + ", row " +
                           std::to_string(piece.index * CHUNK_SIZE + bad->row + 1) +
                           " no longer fits the type inferred for the column");
      chunk.clear();
      return out;
    }
    std::span<ColumnChunk> built = chunk.finish();
    out.columns.resize(built.size());
    for (std::size_t c = 0; c < built.size() && !stopping.load(std::memory_order_relaxed); ++c) {
      encipher_if_asked(columns[c], piece.index, built[c]);
      compress_column_chunk(built[c], out.columns[c], level);
    }
    chunk.clear();
    return out;
  }

  const std::vector<KColumn>& columns;
  CompressionLevel level;
  CsvChunk chunk;
};

// ---- scan_types: the first pass of an inferring conversion ------------------------------

struct TypeMasks : PieceOutput {
  std::vector<std::uint8_t> masks;  // per column, what every cell of the piece can be stored as
};

struct TypeScan {
  using Output = TypeMasks;

  explicit TypeScan(std::size_t num_columns) : num_columns(num_columns) {}

  // Most columns are text, and show it in their first cells: a column
  // already ruled out is not looked at again, the fields past the last
  // column still open are not split, and the piece is left once none is.
  TypeMasks run(const CsvPiece& piece, const std::atomic<bool>&, const std::function<void()>&) {
    TypeMasks out;
    out.masks.assign(num_columns, kMaybeAnyType);
    if (!out.start(piece)) return out;
    std::size_t open = num_columns;  // one past the last column that may still be typed
    for_each_row_line(piece, [&](std::string_view line) {
      std::size_t c = 0;
      for_each_field(line, open, [&](std::string_view field) {
        if (out.masks[c] != 0) out.masks[c] &= storable_kinds(field);
        ++c;
      });
      for (; c < open; ++c) out.masks[c] = 0;  // a missing field is an empty cell
      while (open > 0 && out.masks[open - 1] == 0) --open;
      return open > 0;
    });
    return out;
  }

  std::size_t num_columns;
};

// ---- The stage on the calling thread: find_lines and append_blocks -----------------------

// Calls the progress callback at most every kProgressInterval; a pass of
// several covers its share of the bytes.
class Progress {
 public:
  Progress(const ParallelConvertOptions& options, std::uint64_t csv_size) : options_(options), csv_size_(csv_size) {}

  void start_pass(unsigned pass, unsigned passes) {
    pass_ = pass;
    passes_ = passes;
  }

  // False when the callback asks to stop.
  bool report(std::uint64_t done, bool last) {
    if (!options_.progress) return true;
    const Clock::time_point now = Clock::now();
    if (!last && now - last_call_ < kProgressInterval) return true;
    last_call_ = now;
    return options_.progress((csv_size_ * pass_ + done) / passes_, csv_size_);
  }

 private:
  const ParallelConvertOptions& options_;
  std::uint64_t csv_size_;
  unsigned pass_ = 0;
  unsigned passes_ = 1;
  Clock::time_point last_call_{};
};

bool report_io(const ParallelConvertOptions& options, const ChunkReport& report) {
  return !options.on_chunk || options.on_chunk(report);
}

ChunkReport report_of(const EncodedChunk& chunk, double write_ms) {
  ChunkReport report{
      .csv_bytes = chunk.csv_bytes, .read_ms = chunk.read_ms, .file_bytes = 0, .write_ms = write_ms, .rows = chunk.rows};
  for (const EncodedColumn& column : chunk.columns) report.file_bytes += column.block.size() + kColumnBlockOverhead;
  return report;
}

// Reads the CSV's data lines in pieces, runs the pool's job on them and
// hands each output to consume(output, bytes_done) in file order. At most
// `window` pieces are in flight.
template <class Job, class Consume>
Status run_pieces(PieceCutter& cutter, PiecePool<Job>& pool, unsigned window, Consume consume) {
  std::uint64_t submitted = 0;
  std::uint64_t consumed = 0;
  std::uint64_t bytes_done = cutter.header_bytes();
  std::optional<Error> read_error;
  bool reading = true;
  while (reading || consumed < submitted) {
    if (consumed < submitted) {
      const bool must_wait = !reading || submitted - consumed >= window;
      if (auto output = pool.take(consumed, must_wait)) {
        if (output->error) return *output->error;
        ++consumed;
        bytes_done += output->csv_bytes;
        if (Status s = consume(*output, bytes_done); !s) return s;
        continue;
      }
    }
    if (pool.failed()) {
      reading = false;
      continue;
    }
    CsvPiece piece;
    piece.bytes = pool.spare_bytes();
    piece.index = submitted;
    const Clock::time_point read_start = Clock::now();
    Result<bool> more = cutter.next(piece);
    piece.read_ms = milliseconds_since(read_start);
    if (!more) read_error = more.error_value();
    if (!more || !more.value()) {
      reading = false;
      continue;
    }
    pool.submit(std::move(piece));
    ++submitted;
  }
  if (read_error) return *read_error;
  return {};
}

// One front-to-back read of the CSV through `job`s on the options' threads.
template <class Job, class Consume>
Status read_pass(const std::string& csv_path, std::uint64_t csv_size, const ParallelConvertOptions& options,
                 typename PiecePool<Job>::MakeJob make_job, PieceCutter& cutter, Consume consume) {
  const unsigned jobs = std::max(1u, options.jobs);
  {
    PiecePool<Job> pool(jobs, std::move(make_job));
    if (Status s = run_pieces(cutter, pool, pieces_in_flight(jobs), consume); !s) return s;
  }
  if (cutter.bytes_read() != csv_size) {
    return io_error("CSV file changed size while it was read: " + csv_path + " (" + std::to_string(csv_size) +
                    " bytes before, " + std::to_string(cutter.bytes_read()) + " read)");
  }
  return {};
}

Result<PieceCutter> open_pieces(const std::string& csv_path) {
  auto fd = UniqueFd(::open(csv_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return io_error(system_error_text(errno));
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // only a hint
  PieceCutter cutter(std::move(fd));
  if (Status s = cutter.skip_header(); !s) return s.error_value();
  return cutter;
}

// The first pass of types = Infer: each column's type from all of its cells.
Result<std::vector<ColType>> infer_types(const std::string& csv_path, std::uint64_t csv_size, std::size_t num_columns,
                                         const ParallelConvertOptions& options, Progress& progress) {
  auto cutter = open_pieces(csv_path);
  if (!cutter) return cutter.error_value();
  std::vector<std::uint8_t> masks(num_columns, kMaybeAnyType);
  std::uint64_t rows = 0;
  progress.start_pass(0, 2);
  Status scanned = read_pass<TypeScan>(
      csv_path, csv_size, options, [num_columns](std::optional<TypeScan>& job) { job.emplace(num_columns); }, cutter.value(),
      [&](const TypeMasks& piece, std::uint64_t bytes_done) -> Status {
        rows += piece.rows;
        for (std::size_t c = 0; c < num_columns; ++c) masks[c] &= piece.masks[c];
        if (!progress.report(bytes_done, false)) return io_error(kCancelledMessage);
        return {};
      });
  if (!scanned) return scanned.error_value();
  std::vector<ColType> types;
  for (std::uint8_t mask : masks) types.push_back(rows == 0 ? ColType::Str : inferred_type(mask));
  progress.start_pass(1, 2);
  return types;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Result<ParallelConvertResult> convert(const std::string& csv_path, const std::string& drux_path,
                                      const ParallelConvertOptions& options) {
  const Clock::time_point start = Clock::now();
  auto csv_info = stat_input(csv_path);
  if (!csv_info) return csv_info.error_value();
  ParallelConvertResult result;
  result.csv_size = static_cast<std::uint64_t>(csv_info->st_size);
  auto names = read_column_names(csv_path);
  if (!names) return names.error_value();
  if (Status distinct = refuse_input_as_output(csv_info.value(), drux_path); !distinct) return distinct.error_value();

  const Clock::time_point begin_start = Clock::now();
  auto output = ReplacingFile::create(drux_path);
  if (!output) return output.error_value();
  double begin_ms = milliseconds_since(begin_start);

  Progress progress(options, result.csv_size);
  std::vector<ColType> types(names->size(), ColType::Str);
  if (options.types == CsvTypes::Infer) {
    auto inferred = infer_types(csv_path, result.csv_size, names->size(), options, progress);
    if (!inferred) return inferred.error_value();
    types = std::move(inferred).value();
  }
  std::vector<KColumn> columns;
  for (std::size_t c = 0; c < types.size(); ++c) columns.push_back(make_column(names.value()[c], types[c]));

  const Clock::time_point writer_start = Clock::now();
  auto writer = begin_writer(columns, output->temp_path(), options.level);
  if (!writer) return writer.error_value();
  begin_ms += milliseconds_since(writer_start);

  const Clock::time_point header_start = Clock::now();
  auto cutter = open_pieces(csv_path);
  if (!cutter) return cutter.error_value();
  // The header line and everything before the first block, as the first report.
  if (!report_io(options, {.csv_bytes = cutter->header_bytes(), .read_ms = milliseconds_since(header_start),
                           .file_bytes = writer->bytes_written(), .write_ms = begin_ms, .rows = 0})) {
    return io_error(kCancelledMessage);
  }
  Status streamed = read_pass<Encode>(
      csv_path, result.csv_size, options, [&columns, &options](std::optional<Encode>& job) { job.emplace(columns, options.level); }, cutter.value(),
      [&](const EncodedChunk& chunk, std::uint64_t bytes_done) -> Status {
        const Clock::time_point write_start = Clock::now();
        if (Status s = writer->write_encoded_chunk(chunk.rows, chunk.columns); !s) return io_error(s.error());
        if (!progress.report(bytes_done, false)) return io_error(kCancelledMessage);
        if (!report_io(options, report_of(chunk, milliseconds_since(write_start)))) return io_error(kCancelledMessage);
        return {};
      });
  if (!streamed) return streamed.error_value();
  if (!progress.report(result.csv_size, true)) return io_error(kCancelledMessage);

  result.rows = writer->total_rows();
  result.chunks = writer->chunk_count();
  result.columns = columns.size();
  const std::uint64_t before_footer = writer->bytes_written();
  const Clock::time_point finish_start = Clock::now();
  if (auto summary = writer->finish(); !summary) return io_error(summary.error());
  // The footer and trailer, as the last report, before the file takes its place.
  struct stat finished;
  const std::uint64_t file_size =
      ::stat(output->temp_path().c_str(), &finished) == 0 ? static_cast<std::uint64_t>(finished.st_size) : before_footer;
  if (!report_io(options, {.csv_bytes = 0, .read_ms = 0.0, .file_bytes = file_size - before_footer,
                           .write_ms = milliseconds_since(finish_start), .rows = 0})) {
    return io_error(kCancelledMessage);
  }
  if (Status s = output->commit(); !s) return s.error_value();

  auto drux_size = output_size(drux_path);
  if (!drux_size) return drux_size.error_value();
  result.drux_size = drux_size.value();
  result.saved_percent = percent_saved(result.csv_size, result.drux_size);
  result.seconds = seconds_since(start);
  return result;
}

}  // namespace

Result<ParallelConvertResult> convert_csv(const std::string& csv_path, const std::string& drux_path,
                                          const ParallelConvertOptions& options) {
  try {
    return convert(csv_path, drux_path, options);
  } catch (const std::bad_alloc&) {
    return io_error("Out of memory");
  } catch (const std::system_error& error) {  // a thread that could not start
    return io_error(std::string("Cannot start a worker thread: ") + error.what());
  }
}

}  // namespace drux
