// Throughput of compress_block (LZ stage plus whatever coder attempts the
// block earns) at each compression level on typical and extreme blocks, and
// of decompress_block on CSV text. Compare the levels from one run: the
// ratio counter is output over input. For an entropy-coded token stream,
// decompress_block (which hands the tokens to the LZ decoder a piece at a
// time, so the stream is never held whole) runs beside the two-step decoding
// it replaced (the whole token stream first, then LZ), to show what bounding
// the memory costs.
//
// It prints figures and judges none; the write path around the blocks is
// bench_write_chunk's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "drux_v2/block_compressor.h"
#include "drux_v2/huffman.h"
#include "drux_v2/lz.h"
#include "drux_v2/range_coder.h"
#include "drux_v2/string_codec.h"

namespace {

constexpr std::size_t kBlockBytes = 1u << 20;
constexpr std::size_t kColumnRows = 65536;

// CSV-like lines: an id, a name from a small set, a price and a date.
drux::ByteBuffer csv_text() {
  static const char* const kNames[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel"};
  std::mt19937 rng(1);
  std::string text = "id,name,price,date\n";
  for (int id = 1; text.size() < kBlockBytes; ++id) {
    text += std::to_string(id) + "," + kNames[rng() % 8] + "," + std::to_string(rng() % 100000 / 100.0) +
            ",2024-" + std::to_string(1 + rng() % 12) + "-" + std::to_string(1 + rng() % 28) + "\n";
  }
  text.resize(kBlockBytes);
  return drux::ByteBuffer(text.begin(), text.end());
}

// The plain string payload of a chunk column of short values like "user4711".
drux::ByteBuffer string_payload() {
  std::mt19937 rng(2);
  std::vector<std::string> values(kColumnRows);
  for (auto& v : values) v = "user" + std::to_string(rng() % 20000);
  std::vector<std::string_view> views(values.begin(), values.end());
  return drux::encode_raw_str(views);
}

drux::ByteBuffer random_block() {
  std::mt19937_64 rng(3);
  drux::ByteBuffer out(kBlockBytes);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

void report(benchmark::State& state, std::size_t input, std::size_t output, std::uint8_t method) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(input));
  state.counters["ratio"] = static_cast<double>(output) / static_cast<double>(input);
  state.SetLabel("method " + std::to_string(method));
}

void BM_CompressBlock(benchmark::State& state, drux::ByteBuffer (*make)(), drux::CompressionLevel level) {
  const drux::ByteBuffer block = make();
  drux::ByteBuffer compressed;
  for (auto _ : state) {
    compressed = drux::compress_block(block, level);
    benchmark::DoNotOptimize(compressed.data());
  }
  report(state, block.size(), compressed.size(), compressed[0]);
}

void BM_DecompressBlock(benchmark::State& state, drux::ByteBuffer (*make)()) {
  const drux::ByteBuffer block = make();
  const drux::ByteBuffer compressed = drux::compress_block(block);
  auto check = drux::decompress_block(compressed, block.size());
  if (!check.ok() || check.value() != block) {
    state.SkipWithError("block did not round-trip");
    return;
  }
  for (auto _ : state) {
    auto decoded = drux::decompress_block(compressed, block.size());
    benchmark::DoNotOptimize(decoded.value().data());
  }
  report(state, block.size(), compressed.size(), compressed[0]);
}

drux::ByteBuffer one_byte_block() { return drux::ByteBuffer(kBlockBytes, 'x'); }

using Level = drux::CompressionLevel;
// Each input at the three levels, side by side.
#define DRUX_BENCH_LEVELS(name, make)                                                         \
  BENCHMARK_CAPTURE(BM_CompressBlock, name##_exact, make, Level::Exact)->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(BM_CompressBlock, name##_fast, make, Level::Fast)->Unit(benchmark::kMillisecond);   \
  BENCHMARK_CAPTURE(BM_CompressBlock, name##_max, make, Level::Max)->Unit(benchmark::kMillisecond)

DRUX_BENCH_LEVELS(csv_1MiB, csv_text);
DRUX_BENCH_LEVELS(string_column_65536_rows, string_payload);
DRUX_BENCH_LEVELS(random_1MiB, random_block);
DRUX_BENCH_LEVELS(one_byte_1MiB, one_byte_block);

// The token stream decoded whole, then LZ-decoded: the same output as
// decompress_block for methods 01 and 05, with the whole stream in memory.
void BM_DecompressWholeTokens(benchmark::State& state, drux::ByteBuffer (*make)()) {
  const drux::ByteBuffer block = make();
  const drux::ByteBuffer compressed = drux::compress_block(block);
  const drux::ByteView payload = drux::ByteView(compressed).subspan(1);
  const bool huffman = compressed[0] == static_cast<std::uint8_t>(drux::BlockMethod::LzHuffman);
  if (!huffman && compressed[0] != static_cast<std::uint8_t>(drux::BlockMethod::LzRange)) {
    state.SkipWithError("block is not an entropy-coded token stream");
    return;
  }
  const std::size_t token_cap = 5 * block.size();
  for (auto _ : state) {
    auto tokens = huffman ? drux::huffman_decompress(payload, token_cap) : drux::range_decompress(payload, token_cap);
    auto decoded = drux::lz_decompress(tokens.value(), block.size());
    benchmark::DoNotOptimize(decoded.value().data());
  }
  report(state, block.size(), compressed.size(), compressed[0]);
}

BENCHMARK_CAPTURE(BM_DecompressBlock, csv_1MiB, csv_text)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecompressWholeTokens, csv_1MiB, csv_text)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecompressBlock, string_column_65536_rows, string_payload)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecompressWholeTokens, string_column_65536_rows, string_payload)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
