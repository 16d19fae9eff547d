// CRC-32 (ISO-HDLC): a portable slicing-by-8 table walk, and on x86-64 a
// carry-less multiply path that folds four 128-bit lanes 64 bytes at a time,
// then reduces to 32 bits by Barrett reduction. The fast path is chosen once
// per process; both paths work on the same raw (uncomplemented) state, so the
// fast path hands any tail shorter than 16 bytes to the table walk.
//
// Deliberately not here: other CRC polynomials or a combine operation.
#include "drux_v2/crc32.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace drux {
namespace {

constexpr std::uint32_t kCrcPolyReflected = 0xEDB88320u;
constexpr std::uint32_t kCrcInit = 0xFFFFFFFFu;
constexpr int kSlices = 8;

using CrcTables = std::array<std::array<std::uint32_t, 256>, kSlices>;

// tables[0] is the byte-at-a-time table; tables[k][b] advances the CRC of
// byte b followed by k zero bytes, so eight bytes cost eight independent loads.
constexpr CrcTables make_tables() {
  CrcTables t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t c = b;
    for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ ((c & 1) ? kCrcPolyReflected : 0);
    t[0][b] = c;
  }
  for (int k = 1; k < kSlices; ++k) {
    for (std::uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  }
  return t;
}

constexpr CrcTables kTables = make_tables();

std::uint32_t update_portable(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  while (n >= 8) {
    const std::uint64_t w = load_u64_le(p) ^ crc;
    crc = kTables[7][w & 0xFF] ^ kTables[6][(w >> 8) & 0xFF] ^ kTables[5][(w >> 16) & 0xFF] ^
          kTables[4][(w >> 24) & 0xFF] ^ kTables[3][(w >> 32) & 0xFF] ^ kTables[2][(w >> 40) & 0xFF] ^
          kTables[1][(w >> 48) & 0xFF] ^ kTables[0][w >> 56];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) crc = kTables[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)

// Folding constants in the bit-reflected domain, each (x^k mod P) reflected
// and shifted left by one: k1/k2 fold across 512 bits, k3/k4 across 128 bits,
// k5 takes 64 bits to 32; then P and floor(x^64 / P) for Barrett reduction.
constexpr std::uint64_t kFold512Lo = 0x154442bd4, kFold512Hi = 0x1c6e41596;
constexpr std::uint64_t kFold128Lo = 0x1751997d0, kFold128Hi = 0x0ccaa009e;
constexpr std::uint64_t kFold64 = 0x163cd6124;
constexpr std::uint64_t kPoly = 0x1db710641, kMu = 0x1f7011641;
constexpr std::size_t kFoldBlock = 64;
constexpr std::size_t kLane = 16;

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i acc, __m128i k, __m128i next) {
  const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load_lane(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Needs n >= 64 and n a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t update_folded(std::uint32_t crc, const std::uint8_t* p,
                                                                      std::size_t n) {
  __m128i x1 = _mm_xor_si128(load_lane(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load_lane(p + 16);
  __m128i x3 = load_lane(p + 32);
  __m128i x4 = load_lane(p + 48);
  p += kFoldBlock;
  n -= kFoldBlock;

  const __m128i k512 = _mm_set_epi64x(static_cast<long long>(kFold512Hi), static_cast<long long>(kFold512Lo));
  while (n >= kFoldBlock) {
    x1 = fold(x1, k512, load_lane(p));
    x2 = fold(x2, k512, load_lane(p + 16));
    x3 = fold(x3, k512, load_lane(p + 32));
    x4 = fold(x4, k512, load_lane(p + 48));
    p += kFoldBlock;
    n -= kFoldBlock;
  }

  const __m128i k128 = _mm_set_epi64x(static_cast<long long>(kFold128Hi), static_cast<long long>(kFold128Lo));
  x1 = fold(x1, k128, x2);
  x1 = fold(x1, k128, x3);
  x1 = fold(x1, k128, x4);
  while (n >= kLane) {
    x1 = fold(x1, k128, load_lane(p));
    p += kLane;
    n -= kLane;
  }

  // 128 bits to 64.
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  __m128i x2r = _mm_clmulepi64_si128(x1, k128, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2r);
  // 64 bits to 32 (kept above the low word).
  const __m128i k64 = _mm_set_epi64x(0, static_cast<long long>(kFold64));
  x2r = _mm_srli_si128(x1, 4);
  x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k64, 0x00);
  x1 = _mm_xor_si128(x1, x2r);
  // Barrett reduction.
  const __m128i poly = _mm_set_epi64x(static_cast<long long>(kMu), static_cast<long long>(kPoly));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

bool has_clmul() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  }();
  return supported;
}

#endif

}  // namespace

std::uint32_t crc32_portable(ByteView data) { return ~update_portable(kCrcInit, data.data(), data.size()); }

std::uint32_t crc32(ByteView data) {
#if defined(__x86_64__)
  if (data.size() >= kFoldBlock && has_clmul()) {
    const std::size_t folded = data.size() & ~(kLane - 1);
    const std::uint32_t crc = update_folded(kCrcInit, data.data(), folded);
    return ~update_portable(crc, data.data() + folded, data.size() - folded);
  }
#endif
  return crc32_portable(data);
}

}  // namespace drux
