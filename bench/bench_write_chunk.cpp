// Throughput of StreamingDruxWriter::write_chunk on full chunks of 65,536
// rows, written to a temporary file: short-string columns (the CSV path)
// and integer columns (encoding trials, then one encoder).
//
// Deliberately not here: CSV reading and the final fsync, whose cost is the
// disk's.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "drux_v2/streaming_writer.h"

namespace {

using drux::ColType;
using drux::KVal;
using drux::Row;

constexpr std::size_t kChunkRows = 65536;

std::string temp_path() {
  std::string pattern = "/tmp/drux_bench_XXXXXX";
  int fd = mkstemp(pattern.data());
  if (fd >= 0) close(fd);
  return pattern;
}

// Short strings such as a CSV holds: words, codes and small numbers.
std::vector<Row> short_string_rows(std::size_t columns) {
  static const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"};
  std::mt19937_64 rng(42);
  std::vector<Row> rows(kChunkRows);
  for (Row& row : rows) {
    for (std::size_t c = 0; c < columns; ++c) {
      std::uint64_t r = rng();
      switch (c % 3) {
        case 0: row.push_back(KVal::Str(kWords[r % 8])); break;
        case 1: row.push_back(KVal::Str("ID-" + std::to_string(r % 100000))); break;
        default: row.push_back(KVal::Str(std::to_string(r % 1000) + "." + std::to_string(r % 100))); break;
      }
    }
  }
  return rows;
}

std::vector<Row> integer_rows(std::size_t columns) {
  std::mt19937_64 rng(42);
  std::vector<Row> rows(kChunkRows);
  std::int64_t walk = 1000000;
  for (Row& row : rows) {
    walk += static_cast<std::int64_t>(rng() % 201) - 100;
    for (std::size_t c = 0; c < columns; ++c) {
      row.push_back(KVal::Int(c % 2 == 0 ? walk : static_cast<std::int64_t>(rng() % 50000)));
    }
  }
  return rows;
}

void run_chunks(benchmark::State& state, ColType type, const std::vector<Row>& rows, std::size_t columns) {
  std::vector<drux::KColumn> cols;
  for (std::size_t c = 0; c < columns; ++c) cols.push_back(drux::make_column(std::string("c").append(std::to_string(c)), type));
  const std::string path = temp_path();
  auto writer = drux::StreamingDruxWriter::begin(std::move(cols), kChunkRows, path);
  if (!writer.ok()) {
    state.SkipWithError(writer.error().c_str());
    return;
  }
  for (auto _ : state) {
    drux::Status s = writer->write_chunk(rows);
    if (!s.ok()) {
      state.SkipWithError(s.error().c_str());
      break;
    }
  }
  auto summary = writer->finish();
  benchmark::DoNotOptimize(summary);
  std::remove(path.c_str());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kChunkRows));
}

void BM_WriteChunkShortStrings(benchmark::State& state) {
  const std::size_t columns = static_cast<std::size_t>(state.range(0));
  const std::vector<Row> rows = short_string_rows(columns);
  run_chunks(state, ColType::Str, rows, columns);
}
BENCHMARK(BM_WriteChunkShortStrings)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_WriteChunkIntegers(benchmark::State& state) {
  const std::size_t columns = static_cast<std::size_t>(state.range(0));
  const std::vector<Row> rows = integer_rows(columns);
  run_chunks(state, ColType::Int, rows, columns);
}
BENCHMARK(BM_WriteChunkIntegers)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
