// AES-256 encryption and its counter mode.
//
// The portable path is the classic four-table round (each table folds
// SubBytes, ShiftRows and MixColumns for one byte position); its tables and
// the S-box are computed at compile time from the field arithmetic rather
// than typed in. The AES-NI path runs eight counter blocks through the rounds
// side by side so the instruction latency is hidden. Both paths share the
// key schedule. Only encryption exists: counter mode never needs the inverse.
#include "drux_v2/aes256.h"

#include <cstring>

#include "drux_v2/bytes.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace drux {
namespace {

constexpr int kRounds = 14;
constexpr int kKeyWords = 8;
constexpr int kScheduleWords = 4 * (kRounds + 1);
constexpr std::size_t kBlockBytes = 16;

using Schedule = std::array<std::uint32_t, kScheduleWords>;  // big-endian words

// ---- Field arithmetic and tables --------------------------------------------

constexpr std::uint8_t xtime(std::uint8_t a) {
  return static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
}

constexpr std::uint8_t rotl8(std::uint8_t v, int s) { return static_cast<std::uint8_t>((v << s) | (v >> (8 - s))); }

constexpr std::array<std::uint8_t, 256> make_sbox() {
  // Walk the powers of the generator 3 for log/antilog, then invert and apply
  // the affine map.
  std::array<std::uint8_t, 256> exp{}, log{};
  std::uint8_t x = 1;
  for (int i = 0; i < 255; ++i) {
    exp[i] = x;
    log[x] = static_cast<std::uint8_t>(i);
    x = static_cast<std::uint8_t>(x ^ xtime(x));
  }
  std::array<std::uint8_t, 256> sbox{};
  for (int i = 0; i < 256; ++i) {
    const std::uint8_t inv = i == 0 ? 0 : exp[(255 - log[i]) % 255];
    sbox[i] = static_cast<std::uint8_t>(inv ^ rotl8(inv, 1) ^ rotl8(inv, 2) ^ rotl8(inv, 3) ^ rotl8(inv, 4) ^ 0x63);
  }
  return sbox;
}

constexpr std::array<std::uint8_t, 256> kSbox = make_sbox();

using RoundTable = std::array<std::uint32_t, 256>;

constexpr std::uint32_t rotr32(std::uint32_t v, int s) { return (v >> s) | (v << (32 - s)); }

// Column contribution of byte value b in row r: MixColumns of S(b) rotated.
constexpr std::array<RoundTable, 4> make_round_tables() {
  std::array<RoundTable, 4> t{};
  for (int b = 0; b < 256; ++b) {
    const std::uint8_t s = kSbox[b];
    const std::uint8_t s2 = xtime(s);
    const std::uint8_t s3 = static_cast<std::uint8_t>(s2 ^ s);
    const std::uint32_t col = (std::uint32_t{s2} << 24) | (std::uint32_t{s} << 16) | (std::uint32_t{s} << 8) | s3;
    t[0][b] = col;
    t[1][b] = rotr32(col, 8);
    t[2][b] = rotr32(col, 16);
    t[3][b] = rotr32(col, 24);
  }
  return t;
}

constexpr std::array<RoundTable, 4> kTe = make_round_tables();

std::uint32_t sub_word(std::uint32_t w) {
  return (std::uint32_t{kSbox[w >> 24]} << 24) | (std::uint32_t{kSbox[(w >> 16) & 0xFF]} << 16) |
         (std::uint32_t{kSbox[(w >> 8) & 0xFF]} << 8) | kSbox[w & 0xFF];
}

Schedule expand_key(const AesKey& key) {
  Schedule w{};
  for (int i = 0; i < kKeyWords; ++i) w[i] = load_u32_be(key.data() + 4 * i);
  std::uint8_t rcon = 1;
  for (int i = kKeyWords; i < kScheduleWords; ++i) {
    std::uint32_t temp = w[i - 1];
    if (i % kKeyWords == 0) {
      temp = sub_word((temp << 8) | (temp >> 24)) ^ (std::uint32_t{rcon} << 24);
      rcon = xtime(rcon);
    } else if (i % kKeyWords == 4) {
      temp = sub_word(temp);
    }
    w[i] = w[i - kKeyWords] ^ temp;
  }
  return w;
}

// ---- Portable path -------------------------------------------------------------

void encrypt_portable(const Schedule& rk, const std::uint8_t* in, std::uint8_t* out) {
  std::uint32_t s0 = load_u32_be(in) ^ rk[0];
  std::uint32_t s1 = load_u32_be(in + 4) ^ rk[1];
  std::uint32_t s2 = load_u32_be(in + 8) ^ rk[2];
  std::uint32_t s3 = load_u32_be(in + 12) ^ rk[3];
  for (int r = 1; r < kRounds; ++r) {
    const std::uint32_t* k = rk.data() + 4 * r;
    const std::uint32_t t0 = kTe[0][s0 >> 24] ^ kTe[1][(s1 >> 16) & 0xFF] ^ kTe[2][(s2 >> 8) & 0xFF] ^ kTe[3][s3 & 0xFF] ^ k[0];
    const std::uint32_t t1 = kTe[0][s1 >> 24] ^ kTe[1][(s2 >> 16) & 0xFF] ^ kTe[2][(s3 >> 8) & 0xFF] ^ kTe[3][s0 & 0xFF] ^ k[1];
    const std::uint32_t t2 = kTe[0][s2 >> 24] ^ kTe[1][(s3 >> 16) & 0xFF] ^ kTe[2][(s0 >> 8) & 0xFF] ^ kTe[3][s1 & 0xFF] ^ k[2];
    const std::uint32_t t3 = kTe[0][s3 >> 24] ^ kTe[1][(s0 >> 16) & 0xFF] ^ kTe[2][(s1 >> 8) & 0xFF] ^ kTe[3][s2 & 0xFF] ^ k[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  // Last round: no MixColumns, so plain S-box bytes.
  const std::uint32_t* k = rk.data() + 4 * kRounds;
  auto last = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return (std::uint32_t{kSbox[a >> 24]} << 24) | (std::uint32_t{kSbox[(b >> 16) & 0xFF]} << 16) |
           (std::uint32_t{kSbox[(c >> 8) & 0xFF]} << 8) | kSbox[d & 0xFF];
  };
  store_u32_be(out, last(s0, s1, s2, s3) ^ k[0]);
  store_u32_be(out + 4, last(s1, s2, s3, s0) ^ k[1]);
  store_u32_be(out + 8, last(s2, s3, s0, s1) ^ k[2]);
  store_u32_be(out + 12, last(s3, s0, s1, s2) ^ k[3]);
}

void counter_block(const CtrPrefix& prefix, std::uint32_t counter, std::uint8_t* block) {
  std::memcpy(block, prefix.data(), prefix.size());
  store_u32_be(block + prefix.size(), counter);
}

void ctr_portable(const Schedule& rk, const CtrPrefix& prefix, std::uint8_t* data, std::size_t n) {
  std::uint8_t ctr[kBlockBytes];
  std::uint8_t stream[kBlockBytes];
  for (std::uint32_t counter = 0; n > 0; ++counter) {
    counter_block(prefix, counter, ctr);
    encrypt_portable(rk, ctr, stream);
    const std::size_t take = n < kBlockBytes ? n : kBlockBytes;
    for (std::size_t i = 0; i < take; ++i) data[i] ^= stream[i];
    data += take;
    n -= take;
  }
}

// ---- AES-NI path -----------------------------------------------------------------

#if defined(__x86_64__)

constexpr int kLanes = 8;  // counter blocks in flight

struct NiSchedule {
  __m128i k[kRounds + 1];
  const __m128i& operator[](int r) const { return k[r]; }
};

__attribute__((target("aes,sse4.1"))) NiSchedule load_schedule(const Schedule& rk) {
  NiSchedule ks;
  for (int r = 0; r <= kRounds; ++r) {
    std::uint8_t bytes[kBlockBytes];
    for (int c = 0; c < 4; ++c) store_u32_be(bytes + 4 * c, rk[4 * r + c]);
    ks.k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  }
  return ks;
}

__attribute__((target("aes,sse4.1"))) __m128i encrypt_ni(const NiSchedule& ks, __m128i b) {
  b = _mm_xor_si128(b, ks[0]);
  for (int r = 1; r < kRounds; ++r) b = _mm_aesenc_si128(b, ks[r]);
  return _mm_aesenclast_si128(b, ks[kRounds]);
}

__attribute__((target("aes,sse4.1"))) void encrypt_block_ni(const Schedule& rk, const std::uint8_t* in,
                                                             std::uint8_t* out) {
  const NiSchedule ks = load_schedule(rk);
  const __m128i b = encrypt_ni(ks, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), b);
}

__attribute__((target("aes,sse4.1"))) inline __m128i counter_ni(__m128i base, std::uint32_t counter) {
  return _mm_insert_epi32(base, static_cast<int>(__builtin_bswap32(counter)), 3);
}

__attribute__((target("aes,sse4.1"))) void ctr_ni(const Schedule& rk, const CtrPrefix& prefix, std::uint8_t* data,
                                                   std::size_t n) {
  const NiSchedule ks = load_schedule(rk);
  std::uint8_t base_bytes[kBlockBytes] = {};
  std::memcpy(base_bytes, prefix.data(), prefix.size());
  const __m128i base = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base_bytes));
  std::uint32_t counter = 0;

  while (n >= kLanes * kBlockBytes) {
    // Fully unrolled so the eight states live in registers.
    __m128i b[kLanes];
#pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) b[i] = _mm_xor_si128(counter_ni(base, counter + i), ks[0]);
#pragma GCC unroll 13
    for (int r = 1; r < kRounds; ++r) {
#pragma GCC unroll 8
      for (int i = 0; i < kLanes; ++i) b[i] = _mm_aesenc_si128(b[i], ks[r]);
    }
#pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) {
      __m128i* p = reinterpret_cast<__m128i*>(data + i * kBlockBytes);
      const __m128i stream = _mm_aesenclast_si128(b[i], ks[kRounds]);
      _mm_storeu_si128(p, _mm_xor_si128(_mm_loadu_si128(p), stream));
    }
    counter += kLanes;
    data += kLanes * kBlockBytes;
    n -= kLanes * kBlockBytes;
  }
  for (; n > 0; ++counter) {
    std::uint8_t stream[kBlockBytes];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(stream), encrypt_ni(ks, counter_ni(base, counter)));
    const std::size_t take = n < kBlockBytes ? n : kBlockBytes;
    for (std::size_t i = 0; i < take; ++i) data[i] ^= stream[i];
    data += take;
    n -= take;
  }
}

#endif

bool use_hardware(AesImpl impl) { return impl == AesImpl::Auto && aes_hardware_available(); }

}  // namespace

bool aes_hardware_available() {
#if defined(__x86_64__)
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse4.1");
  }();
  return supported;
#else
  return false;
#endif
}

AesBlock aes256_encrypt_block(const AesKey& key, const AesBlock& plain, AesImpl impl) {
  const Schedule rk = expand_key(key);
  AesBlock out;
#if defined(__x86_64__)
  if (use_hardware(impl)) {
    encrypt_block_ni(rk, plain.data(), out.data());
    return out;
  }
#endif
  encrypt_portable(rk, plain.data(), out.data());
  return out;
}

void aes256_ctr_xor(const AesKey& key, const CtrPrefix& prefix, std::span<std::uint8_t> data, AesImpl impl) {
  if (data.empty()) return;
  const Schedule rk = expand_key(key);
#if defined(__x86_64__)
  if (use_hardware(impl)) {
    ctr_ni(rk, prefix, data.data(), data.size());
    return;
  }
#endif
  ctr_portable(rk, prefix, data.data(), data.size());
}

}  // namespace drux
