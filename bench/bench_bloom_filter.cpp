// Hashing texts into a membership filter: one at a time, and eight at a
// time as string columns do, over texts of the lengths CSV cells have
// (short codes, twelve-byte references, twenty-byte timestamps, mixed
// descriptions). Prints texts per second for each.
//
// Deliberately not here: the rest of a string column chunk's building,
// which bench_write_chunk measures.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "drux_v2/bloom_filter.h"

namespace {

constexpr std::size_t kTexts = 65536;
constexpr std::size_t kBatch = 8;

// kTexts texts laid end to end, as in a column payload, of lengths
// lo to lo + spread - 1.
struct Texts {
  std::string bytes;
  std::vector<std::string_view> views;
};

Texts make_texts(std::size_t lo, std::size_t spread) {
  std::mt19937 rng(11);
  Texts t;
  std::vector<std::size_t> sizes(kTexts);
  for (auto& s : sizes) s = lo + rng() % spread;
  for (std::size_t s : sizes) {
    for (std::size_t i = 0; i < s; ++i) t.bytes.push_back(static_cast<char>('a' + rng() % 26));
  }
  std::size_t at = 0;
  for (std::size_t s : sizes) {
    t.views.emplace_back(t.bytes.data() + at, s);
    at += s;
  }
  return t;
}

void BM_BloomOneByOne(benchmark::State& state, std::size_t lo, std::size_t spread) {
  const Texts t = make_texts(lo, spread);
  for (auto _ : state) {
    drux::BloomFilter bloom{};
    for (std::string_view v : t.views) drux::add_to_bloom(bloom, v);
    benchmark::DoNotOptimize(bloom);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kTexts));
}

void BM_BloomEightAtATime(benchmark::State& state, std::size_t lo, std::size_t spread) {
  const Texts t = make_texts(lo, spread);
  const std::span<const std::string_view> all(t.views);
  for (auto _ : state) {
    drux::BloomFilter bloom{};
    for (std::size_t i = 0; i < all.size(); i += kBatch) drux::add_texts_to_bloom(bloom, all.subspan(i, kBatch));
    benchmark::DoNotOptimize(bloom);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kTexts));
}

#define DRUX_BLOOM_CASES(fn)                                                     \
  BENCHMARK_CAPTURE(fn, codes_1_to_7, 1, 7)->Unit(benchmark::kMicrosecond);      \
  BENCHMARK_CAPTURE(fn, refs_12, 12, 1)->Unit(benchmark::kMicrosecond);          \
  BENCHMARK_CAPTURE(fn, timestamps_20, 20, 1)->Unit(benchmark::kMicrosecond);    \
  BENCHMARK_CAPTURE(fn, descriptions_9_to_60, 9, 52)->Unit(benchmark::kMicrosecond)

DRUX_BLOOM_CASES(BM_BloomOneByOne);
DRUX_BLOOM_CASES(BM_BloomEightAtATime);

}  // namespace

BENCHMARK_MAIN();
