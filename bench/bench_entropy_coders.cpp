// Throughput of the Huffman and range coders, alone, on 1 MiB blocks shaped
// like what the block compressor hands them: CSV text and an LZ token
// stream (literals mixed with FF distance/length tokens).
//
// Deliberately not here: the choice between the coders
// (bench_block_compressor).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "drux_v2/huffman.h"
#include "drux_v2/range_coder.h"

namespace {

constexpr std::size_t kBlockSize = 1 << 20;

drux::ByteBuffer csv_block() {
  const char* names[] = {"Alice", "Bob", "Carol", "Dave", "Eve", "Mallory", "Trent", "Peggy"};
  const char* cities[] = {"Paris", "Lyon", "Nice", "Lille", "Nantes", "Toulouse"};
  std::mt19937 rng(7);
  std::string text = "id,name,city,amount,date\n";
  for (std::uint32_t id = 1; text.size() < kBlockSize; ++id) {
    text += std::to_string(id) + ',' + names[rng() % 8] + ',' + cities[rng() % 6] + ',' +
            std::to_string(rng() % 100000 / 100.0).substr(0, 6) + ",2026-" + std::to_string(1 + rng() % 12) + '-' +
            std::to_string(1 + rng() % 28) + '\n';
  }
  text.resize(kBlockSize);
  return drux::ByteBuffer(text.begin(), text.end());
}

// Literal runs of text interleaved with back-reference tokens whose
// distances and lengths are small, as the LZ stage writes them.
drux::ByteBuffer lz_token_block() {
  const drux::ByteBuffer text = csv_block();
  std::mt19937 rng(11);
  drux::ByteBuffer block;
  block.reserve(kBlockSize + 16);
  std::size_t at = 0;
  while (block.size() < kBlockSize) {
    const std::size_t literals = rng() % 6;
    for (std::size_t i = 0; i < literals; ++i) block.push_back(text[at++ % text.size()]);
    const std::uint16_t distance = static_cast<std::uint16_t>(1 + rng() % 600);
    const std::uint16_t length = static_cast<std::uint16_t>(6 + rng() % 24);
    drux::put_u8(block, 0xFF);
    drux::put_u16_le(block, distance);
    drux::put_u16_le(block, length);
  }
  block.resize(kBlockSize);
  return block;
}

const drux::ByteBuffer& input(int which) {
  static const drux::ByteBuffer csv = csv_block();
  static const drux::ByteBuffer tokens = lz_token_block();
  return which == 0 ? csv : tokens;
}

const char* input_name(int which) { return which == 0 ? "csv" : "lz_tokens"; }

void report(benchmark::State& state, std::size_t out_size) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kBlockSize));
  state.counters["ratio"] = static_cast<double>(out_size) / kBlockSize;
  state.SetLabel(input_name(static_cast<int>(state.range(0))));
}

void BM_HuffmanCompress(benchmark::State& state) {
  const drux::ByteBuffer& block = input(static_cast<int>(state.range(0)));
  std::size_t out_size = 0;
  for (auto _ : state) {
    drux::ByteBuffer out = drux::huffman_compress(block);
    out_size = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  report(state, out_size);
}

void BM_HuffmanDecompress(benchmark::State& state) {
  const drux::ByteBuffer compressed = drux::huffman_compress(input(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    auto out = drux::huffman_decompress(compressed, kBlockSize);
    if (!out.ok()) state.SkipWithError(out.error().c_str());
    benchmark::DoNotOptimize(out);
  }
  report(state, compressed.size());
}

void BM_RangeCompress(benchmark::State& state) {
  const drux::ByteBuffer& block = input(static_cast<int>(state.range(0)));
  std::size_t out_size = 0;
  for (auto _ : state) {
    drux::ByteBuffer out = drux::range_compress(block);
    out_size = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  report(state, out_size);
}

void BM_RangeDecompress(benchmark::State& state) {
  const drux::ByteBuffer compressed = drux::range_compress(input(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    auto out = drux::range_decompress(compressed, kBlockSize);
    if (!out.ok()) state.SkipWithError(out.error().c_str());
    benchmark::DoNotOptimize(out);
  }
  report(state, compressed.size());
}

BENCHMARK(BM_HuffmanCompress)->Arg(0)->Arg(1);
BENCHMARK(BM_HuffmanDecompress)->Arg(0)->Arg(1);
BENCHMARK(BM_RangeCompress)->Arg(0)->Arg(1);
BENCHMARK(BM_RangeDecompress)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
