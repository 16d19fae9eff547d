// Throughput of the conversion driver's own work, without the writer:
// reading lines through the 16 MiB buffer (UTF-8 check included), splitting
// and trimming fields, and building the string column chunks (payload,
// bounds and filter) chunk after chunk.
// BM_CutCsvIntoPieces measures the one stage of the threaded conversion
// that runs on a single thread (reading and cutting at every 65,536th
// row): its rate is the ceiling of that conversion on any number of cores.
// The file is mixed CSV of 8 columns, read from the page cache.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "python_bindings/csv_converter.h"
#include "python_bindings/csv_pieces.h"
#include "python_bindings/csv_rows.h"
#include "python_bindings/line_reader.h"

namespace {

constexpr std::size_t kColumns = 8;
constexpr std::size_t kRows = 500000;
constexpr std::size_t kReadBuffer = 16777216;

// A deterministic mixed CSV in a temporary file, removed at exit.
class MixedCsv {
 public:
  MixedCsv() {
    char name[] = "/tmp/drux_parse_XXXXXX";
    const int fd = ::mkstemp(name);
    path_ = name;
    std::string text = "id,when,kind,price,qty,name,flag,note\n";
    const char* kinds[] = {"books", "garden", "toys", "music", "tools"};
    const char* names[] = {"Cedar Raven", "Onyx Willow", "Amber Dune", "Falcon Quartz"};
    unsigned state = 12345;
    char line[256];
    for (std::size_t i = 0; i < kRows; ++i) {
      state = state * 1103515245u + 12345u;
      const unsigned r = state >> 8;
      const int n = std::snprintf(line, sizeof line,
                                  "%zu,2024-%02u-%02uT%02u:%02u:00Z,%s,%u.%02u,%u,%s,%s,note %u about item %zu here\n",
                                  i, r % 12 + 1, r % 28 + 1, r % 24, r % 60, kinds[r % 5], r % 2000, r % 100, r % 500,
                                  names[r % 4], (r & 1) ? "true" : "false", r % 977, i);
      text.append(line, static_cast<std::size_t>(n));
    }
    bytes_ = text.size();
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
    ::close(fd);
  }
  ~MixedCsv() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }
  std::size_t bytes() const { return bytes_; }

 private:
  std::string path_;
  std::size_t bytes_ = 0;
};

void BM_ParseCsvIntoColumns(benchmark::State& state) {
  static const MixedCsv csv;
  drux::CsvChunk chunk(kColumns);
  std::size_t filled = 0;
  for (auto _ : state) {
    auto reader = drux::LineReader::open(csv.path(), kReadBuffer);
    if (!reader) {
      state.SkipWithError(reader.error().c_str());
      return;
    }
    std::string_view line;
    (void)reader->next_line(line);
    while (reader->next_line(line) == drux::LineStatus::Line) {
      chunk.add_line(line);
      ++filled;
      if (chunk.rows() == drux::CHUNK_SIZE) {
        benchmark::DoNotOptimize(chunk.finish().data());
        chunk.clear();
      }
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * csv.bytes()));
  state.counters["rows"] = benchmark::Counter(static_cast<double>(filled), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseCsvIntoColumns)->Unit(benchmark::kMillisecond);

void BM_CutCsvIntoPieces(benchmark::State& state) {
  static const MixedCsv csv;
  drux::CsvPiece piece;
  std::size_t rows = 0;
  for (auto _ : state) {
    drux::PieceCutter cutter(drux::UniqueFd(::open(csv.path().c_str(), O_RDONLY)));
    if (!cutter.skip_header()) {
      state.SkipWithError("cannot read the CSV");
      return;
    }
    for (;;) {
      auto more = cutter.next(piece);
      if (!more || !more.value()) break;
      rows += piece.rows;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * csv.bytes()));
  state.counters["rows"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CutCsvIntoPieces)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
