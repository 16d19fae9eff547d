// The pipeline of parallel_convert.h. Pieces (csv_pieces.h) hold exactly
// the rows compress_csv hands to each write_chunk, and a worker encodes a
// piece with the very code the sequential conversion uses (CsvChunk,
// compress_column_chunk), so the blocks are the same bytes.
//
// Errors keep file order: a failing piece stops the reading, pieces before
// it are still written, and the first error in file order is the one
// returned, as a sequential reader would have met it.
#include "python_bindings/parallel_convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "drux_v2/replacing_file.h"
#include "drux_v2/streaming_writer.h"
#include "drux_v2/system_error.h"
#include "python_bindings/conversion_steps.h"
#include "python_bindings/csv_pieces.h"
#include "python_bindings/csv_rows.h"
#include "python_bindings/line_reader.h"
#include "drux_v2/utf8_check.h"

namespace drux {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kPiecesPerJob = 2;  // pieces in flight per worker
constexpr auto kProgressInterval = std::chrono::milliseconds(250);

Error io_error(std::string message) { return Error{std::move(message), ErrorKind::Io}; }

Error out_of_memory() { return io_error("Out of memory"); }

// A piece's column blocks, or why it could not be encoded.
struct EncodedChunk {
  std::size_t rows = 0;
  std::uint64_t csv_bytes = 0;
  double read_ms = 0.0;
  std::vector<EncodedColumn> columns;
  std::optional<Error> error;
};

// ---- encode_chunk ------------------------------------------------------------------

// One worker's reusable state: the column chunks being built.
struct Encoder {
  explicit Encoder(const std::vector<KColumn>& columns) : columns(columns), chunk(columns.size()) {}

  // Splits the piece's lines into rows and encodes every column block.
  // `stopping` is polled between blocks so a failure elsewhere ends the work early.
  EncodedChunk encode(const CsvPiece& piece, const std::atomic<bool>& stopping) {
    EncodedChunk out;
    out.rows = piece.rows;
    out.csv_bytes = piece.bytes.size();
    out.read_ms = piece.read_ms;
    // LF and CR are ASCII, so the piece is valid UTF-8 exactly when each of its lines is.
    if (!is_valid_utf8(piece.bytes.data(), piece.bytes.size())) {
      out.error = io_error(kInvalidUtf8Message);
      return out;
    }
    if (piece.rows == 0) return out;
    add_piece_lines(piece, chunk);
    std::span<ColumnChunk> built = chunk.finish();
    out.columns.resize(built.size());
    for (std::size_t c = 0; c < built.size() && !stopping.load(std::memory_order_relaxed); ++c) {
      encipher_if_asked(columns[c], piece.index, built[c]);
      compress_column_chunk(built[c], out.columns[c]);
    }
    chunk.clear();
    return out;
  }

  const std::vector<KColumn>& columns;
  CsvChunk chunk;
};

// Encodes pieces on `workers` threads (or, with none, on the caller's at
// submit) and hands the chunks back by index. It owns its threads: the
// destructor stops and joins every one of them, on every path.
class EncodePool {
 public:
  EncodePool(unsigned workers, const std::vector<KColumn>& columns) : columns_(columns), inline_(columns) {
    threads_.reserve(workers);
    try {
      for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
      shut_down();
      throw;
    }
  }
  EncodePool(const EncodePool&) = delete;
  EncodePool& operator=(const EncodePool&) = delete;
  ~EncodePool() { shut_down(); }

  void submit(CsvPiece piece) {
    if (threads_.empty()) {
      EncodedChunk chunk = encode_guarded(inline_, piece);
      release_bytes(std::move(piece.bytes));
      finish_piece(piece.index, std::move(chunk));
      return;
    }
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(piece));
    }
    work_ready_.notify_one();
  }

  // The chunk of piece `index`; waits for it when `wait` is set.
  std::optional<EncodedChunk> take(std::uint64_t index, bool wait) {
    std::unique_lock lock(mutex_);
    if (wait) done_ready_.wait(lock, [&] { return done_.count(index) > 0; });
    auto found = done_.find(index);
    if (found == done_.end()) return std::nullopt;
    EncodedChunk chunk = std::move(found->second);
    done_.erase(found);
    return chunk;
  }

  // Whether some piece has failed: reading more is then pointless.
  bool failed() const { return failed_.load(std::memory_order_relaxed); }

  // A buffer a piece has released, so steady streaming reuses its memory.
  LineBytes spare_bytes() {
    std::lock_guard lock(mutex_);
    if (spare_.empty()) return {};
    LineBytes bytes = std::move(spare_.back());
    spare_.pop_back();
    return bytes;
  }

 private:
  EncodedChunk encode_guarded(Encoder& encoder, const CsvPiece& piece) {
    try {
      return encoder.encode(piece, stopping_);
    } catch (const std::bad_alloc&) {
      EncodedChunk failed;
      failed.error = out_of_memory();
      return failed;
    }
  }

  void release_bytes(LineBytes bytes) {
    std::lock_guard lock(mutex_);
    spare_.push_back(std::move(bytes));
  }

  void finish_piece(std::uint64_t index, EncodedChunk chunk) {
    if (chunk.error) failed_.store(true, std::memory_order_relaxed);
    {
      std::lock_guard lock(mutex_);
      done_.emplace(index, std::move(chunk));
    }
    done_ready_.notify_all();
  }

  void work() {
    Encoder encoder(columns_);
    for (;;) {
      CsvPiece piece;
      {
        std::unique_lock lock(mutex_);
        work_ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        piece = std::move(queue_.front());
        queue_.pop_front();
      }
      EncodedChunk chunk = encode_guarded(encoder, piece);
      release_bytes(std::move(piece.bytes));
      finish_piece(piece.index, std::move(chunk));
    }
  }

  void shut_down() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
    threads_.clear();
  }

  const std::vector<KColumn>& columns_;
  Encoder inline_;  // the encoder of a pool without threads
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable done_ready_;
  std::deque<CsvPiece> queue_;
  std::map<std::uint64_t, EncodedChunk> done_;
  std::vector<LineBytes> spare_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> failed_{false};
  std::vector<std::thread> threads_;
};

// ---- append_blocks and the stage that drives them ---------------------------------------

class Progress {
 public:
  Progress(const ParallelConvertOptions& options, std::uint64_t csv_size) : options_(options), csv_size_(csv_size) {}

  // False when the callback asks to stop.
  bool report(std::uint64_t done, bool last) {
    if (!options_.progress) return true;
    const Clock::time_point now = Clock::now();
    if (!last && now - last_call_ < kProgressInterval) return true;
    last_call_ = now;
    return options_.progress(done, csv_size_);
  }

 private:
  const ParallelConvertOptions& options_;
  std::uint64_t csv_size_;
  Clock::time_point last_call_{};
};

double milliseconds_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool report_io(const ParallelConvertOptions& options, const ChunkReport& report) {
  return !options.on_chunk || options.on_chunk(report);
}

ChunkReport report_of(const EncodedChunk& chunk, double write_ms) {
  ChunkReport report{
      .csv_bytes = chunk.csv_bytes, .read_ms = chunk.read_ms, .file_bytes = 0, .write_ms = write_ms, .rows = chunk.rows};
  for (const EncodedColumn& column : chunk.columns) report.file_bytes += column.block.size() + kColumnBlockOverhead;
  return report;
}

// Streams the data lines through the pool into `writer`, keeping file order.
Status stream_pieces(PieceCutter& cutter, EncodePool& pool, unsigned window, StreamingDruxWriter& writer,
                     Progress& progress, const ParallelConvertOptions& options) {
  std::uint64_t submitted = 0;
  std::uint64_t written = 0;
  std::uint64_t bytes_done = cutter.header_bytes();
  std::optional<Error> read_error;
  bool reading = true;
  while (reading || written < submitted) {
    if (written < submitted) {
      const bool must_wait = !reading || submitted - written >= window;
      if (std::optional<EncodedChunk> chunk = pool.take(written, must_wait)) {
        if (chunk->error) return *chunk->error;
        const Clock::time_point write_start = Clock::now();
        if (Status s = writer.write_encoded_chunk(chunk->rows, chunk->columns); !s) return io_error(s.error());
        ++written;
        bytes_done += chunk->csv_bytes;
        if (!progress.report(bytes_done, false)) return io_error(kCancelledMessage);
        if (!report_io(options, report_of(*chunk, milliseconds_since(write_start)))) return io_error(kCancelledMessage);
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
  auto writer = begin_string_writer(names.value(), output->temp_path());
  if (!writer) return writer.error_value();
  const double begin_ms = milliseconds_since(begin_start);

  auto fd = UniqueFd(::open(csv_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return io_error(system_error_text(errno));
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // only a hint
  PieceCutter cutter(std::move(fd));
  const Clock::time_point header_start = Clock::now();
  if (Status s = cutter.skip_header(); !s) return s.error_value();
  // The header line and everything before the first block, as the first report.
  if (!report_io(options, {.csv_bytes = cutter.header_bytes(), .read_ms = milliseconds_since(header_start),
                           .file_bytes = writer->bytes_written(), .write_ms = begin_ms, .rows = 0})) {
    return io_error(kCancelledMessage);
  }

  const std::vector<KColumn> columns = [&] {
    std::vector<KColumn> list;
    for (const std::string& name : names.value()) list.push_back(make_column(name, ColType::Str));
    return list;
  }();
  const unsigned jobs = std::max(1u, options.jobs);
  Progress progress(options, result.csv_size);
  {
    EncodePool pool(jobs == 1 ? 0 : jobs, columns);
    if (Status s = stream_pieces(cutter, pool, jobs * kPiecesPerJob, writer.value(), progress, options); !s) {
      return s.error_value();
    }
  }
  if (!progress.report(result.csv_size, true)) return io_error(kCancelledMessage);
  if (cutter.bytes_read() != result.csv_size) {
    return io_error("CSV file changed size while it was read: " + csv_path + " (" + std::to_string(result.csv_size) +
                    " bytes before, " + std::to_string(cutter.bytes_read()) + " read)");
  }
  result.rows = writer->total_rows();
  result.chunks = writer->chunk_count();
  result.columns = columns.size();
  const std::uint64_t before_footer = writer->bytes_written();
  const Clock::time_point finish_start = Clock::now();
  if (auto summary = writer->finish(); !summary) return io_error(summary.error());
  // The footer and trailer, as the last report, before the file takes its place.
  struct stat finished;
  const std::uint64_t file_size = ::stat(output->temp_path().c_str(), &finished) == 0 ? finished.st_size : before_footer;
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
    return out_of_memory();
  } catch (const std::system_error& error) {  // a thread that could not start
    return io_error(std::string("Cannot start a worker thread: ") + error.what());
  }
}

}  // namespace drux
