// Throughput of CRC-32 and AES-256 counter mode on 16 MiB, each with the
// run-time chosen path and the portable fallback.
//
// Deliberately not here: key expansion and the counter derivation, which cost
// once per chunk.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "drux_v2/aes256.h"
#include "drux_v2/crc32.h"

namespace {

constexpr std::size_t kBufferBytes = 16u << 20;

drux::ByteBuffer random_buffer() {
  std::mt19937_64 rng(42);
  drux::ByteBuffer out(kBufferBytes);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

void BM_Crc32(benchmark::State& state, bool portable) {
  const drux::ByteBuffer data = random_buffer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(portable ? drux::crc32_portable(data) : drux::crc32(data));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
}

void BM_Aes256Ctr(benchmark::State& state, drux::AesImpl impl) {
  drux::ByteBuffer data = random_buffer();
  drux::AesKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const drux::CtrPrefix prefix{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (auto _ : state) {
    drux::aes256_ctr_xor(key, prefix, data, impl);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(data.size()));
  state.SetLabel(impl == drux::AesImpl::Auto && drux::aes_hardware_available() ? "aes-ni" : "portable");
}

BENCHMARK_CAPTURE(BM_Crc32, dispatch, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Crc32, portable, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Aes256Ctr, auto, drux::AesImpl::Auto)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Aes256Ctr, portable, drux::AesImpl::Portable)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
