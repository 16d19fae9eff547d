// Hashing for the membership filter; see bloom_filter.h.
#include "drux_v2/bloom_filter.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "drux_v2/bytes.h"
#include "drux_v2/format.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define DRUX_BLOOM_AVX512 1
#endif

namespace drux {
namespace {

void set_bit(BloomFilter& bloom, std::uint64_t hash) {
  const std::uint64_t bit = hash % kBloomBits;
  bloom[bit / 64] |= std::uint64_t{1} << (bit % 64);
}

#ifdef DRUX_BLOOM_AVX512

constexpr std::size_t kLanes = 8;

const std::uint8_t* bytes_of(std::string_view text) { return reinterpret_cast<const std::uint8_t*>(text.data()); }

// Bytes [at, at + 8) of a text, low byte first, where at < size; past the
// end the word holds anything, as the lane is masked off by then. A load
// near the end is moved back to end at the text's last byte and shifted,
// so nothing outside the text is read.
std::uint64_t word_at(std::string_view text, std::size_t at) {
  const std::size_t size = text.size();
  if (size < sizeof(std::uint64_t)) return load_u64_le_prefix(bytes_of(text), size);
  const std::size_t from = std::min(at, size - sizeof(std::uint64_t));
  return load_u64_le(bytes_of(text) + from) >> (8 * std::min<std::size_t>(at - from, 7));
}

// Up to eight texts, one per lane. Each lane's word holds the next eight
// bytes of its text, low byte first; a lane whose text has ended keeps its
// hashes through the mask.
__attribute__((target("avx512f,avx512dq"))) void add_lanes_to_bloom(BloomFilter& bloom,
                                                                    std::span<const std::string_view> texts) {
  alignas(64) std::array<std::uint64_t, kLanes> sizes{};
  std::size_t longest = 0;
  for (std::size_t t = 0; t < texts.size(); ++t) {
    sizes[t] = texts[t].size();
    longest = std::max(longest, texts[t].size());
  }
  const __m512i size_v = _mm512_load_si512(sizes.data());
  const __m512i multiplier = _mm512_set1_epi64(static_cast<long long>(kBloomMultiplier));
  const __m512i low_byte = _mm512_set1_epi64(0xFF);
  __m512i h0 = _mm512_set1_epi64(static_cast<long long>(kBloomSeeds[0]));
  __m512i h1 = _mm512_set1_epi64(static_cast<long long>(kBloomSeeds[1]));
  __m512i h2 = _mm512_set1_epi64(static_cast<long long>(kBloomSeeds[2]));
  alignas(64) std::array<std::uint64_t, kLanes> words{};
  for (std::size_t at = 0; at < longest; at += sizeof(std::uint64_t)) {
    for (std::size_t t = 0; t < texts.size(); ++t) words[t] = word_at(texts[t], at);
    __m512i w = _mm512_load_si512(words.data());
    const std::size_t steps = std::min<std::size_t>(sizeof(std::uint64_t), longest - at);
    for (std::size_t s = 0; s < steps; ++s) {
      const __mmask8 live = _mm512_cmpgt_epu64_mask(size_v, _mm512_set1_epi64(static_cast<long long>(at + s)));
      const __m512i b = _mm512_and_si512(w, low_byte);
      w = _mm512_maskz_srli_epi64(0xFF, w, 8);
      h0 = _mm512_mask_mullo_epi64(h0, live, _mm512_xor_si512(h0, b), multiplier);
      h1 = _mm512_mask_mullo_epi64(h1, live, _mm512_xor_si512(h1, b), multiplier);
      h2 = _mm512_mask_mullo_epi64(h2, live, _mm512_xor_si512(h2, b), multiplier);
    }
  }
  alignas(64) std::array<std::array<std::uint64_t, kLanes>, 3> hashes;
  _mm512_store_si512(hashes[0].data(), h0);
  _mm512_store_si512(hashes[1].data(), h1);
  _mm512_store_si512(hashes[2].data(), h2);
  for (std::size_t t = 0; t < texts.size(); ++t) {
    for (const auto& seed_hashes : hashes) set_bit(bloom, seed_hashes[t]);
  }
}

bool has_vector_multiply() {
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  return has;
}

#endif

}  // namespace

void add_to_bloom(BloomFilter& bloom, std::string_view text) {
  std::uint64_t h0 = kBloomSeeds[0], h1 = kBloomSeeds[1], h2 = kBloomSeeds[2];
  for (unsigned char b : text) {
    h0 = (h0 ^ b) * kBloomMultiplier;
    h1 = (h1 ^ b) * kBloomMultiplier;
    h2 = (h2 ^ b) * kBloomMultiplier;
  }
  for (std::uint64_t h : {h0, h1, h2}) set_bit(bloom, h);
}

void add_texts_to_bloom(BloomFilter& bloom, std::span<const std::string_view> texts) {
#ifdef DRUX_BLOOM_AVX512
  if (has_vector_multiply()) {
    for (std::size_t t = 0; t < texts.size(); t += kLanes) {
      add_lanes_to_bloom(bloom, texts.subspan(t, std::min(kLanes, texts.size() - t)));
    }
    return;
  }
#endif
  for (std::string_view text : texts) add_to_bloom(bloom, text);
}

}  // namespace drux
