// CRC-32, FNV-1a and AES-256 (block and counter mode): published vectors,
// and the fast paths held to the portable ones (and CRC-32 to a bit-by-bit
// oracle) at every length and alignment.
// Deliberately not here: which columns are encrypted and their counter
// prefixes (column_encoding_test, streaming_writer_test), and speed
// (bench/bench_crc_aes).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "drux_v2/aes256.h"
#include "drux_v2/crc32.h"
#include "drux_v2/fnv1a.h"

namespace drux {
namespace {

ByteBuffer random_bytes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  ByteBuffer out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> from_hex(const char* hex) {
  std::array<std::uint8_t, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
  return out;
}

// One bit at a time, straight from the polynomial: an oracle independent of
// both the tables and the folding constants.
std::uint32_t crc32_bitwise(ByteView data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t b : data) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  return ~crc;
}

TEST(Crc32, MatchesPublishedCheckValues) {
  struct Case {
    std::string_view text;
    std::uint32_t crc;
  } cases[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(crc32(as_bytes(c.text)), c.crc) << c.text;
    EXPECT_EQ(crc32_portable(as_bytes(c.text)), c.crc) << c.text;
  }
}

TEST(Crc32, FastPathEqualsPortableAtEveryLengthAndAlignment) {
  const ByteBuffer data = random_bytes(400, 1);
  for (std::size_t start = 0; start < 16; ++start) {
    for (std::size_t n = 0; n + start <= 316; ++n) {
      const ByteView piece = ByteView(data).subspan(start, n);
      const std::uint32_t expected = crc32_bitwise(piece);
      ASSERT_EQ(crc32_portable(piece), expected) << "start " << start << " length " << n;
      ASSERT_EQ(crc32(piece), expected) << "start " << start << " length " << n;
    }
  }
}

TEST(Crc32, FastPathEqualsPortableOnLargeBuffers) {
  const ByteBuffer data = random_bytes((1u << 20) + 64, 2);
  for (std::size_t n : {4096u, 65536u + 13u, (1u << 20) + 7u}) {
    for (std::size_t start : {0u, 3u}) {
      const ByteView piece = ByteView(data).subspan(start, n);
      EXPECT_EQ(crc32(piece), crc32_portable(piece)) << "length " << n << " start " << start;
    }
  }
  EXPECT_EQ(crc32_portable(ByteView(data).subspan(0, 4096)), crc32_bitwise(ByteView(data).subspan(0, 4096)));
}

TEST(Fnv1a, MatchesPublishedVectors) {
  struct Case {
    std::string_view text;
    std::uint64_t hash;
  } cases[] = {
      {"", 0xcbf29ce484222325ULL},
      {"a", 0xaf63dc4c8601ec8cULL},
      {"foobar", 0x85944171f73967e8ULL},
  };
  for (const auto& c : cases) EXPECT_EQ(fnv1a64(c.text), c.hash) << c.text;
}

const AesImpl kImpls[] = {AesImpl::Auto, AesImpl::Portable};

TEST(Aes256, EncryptsPublishedBlockVectors) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  } cases[] = {
      // FIPS-197 appendix C.3.
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "00112233445566778899aabbccddeeff",
       "8ea2b7ca516745bfeafc49904b496089"},
      // SP 800-38A F.1.5, first block.
      {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", "6bc1bee22e409f96e93d7e117393172a",
       "f3eed1bdb5d2a03c064b5a7e3db181f8"},
  };
  for (const auto& c : cases) {
    for (AesImpl impl : kImpls) {
      EXPECT_EQ(aes256_encrypt_block(from_hex<32>(c.key), from_hex<16>(c.plain), impl), from_hex<16>(c.cipher))
          << c.cipher << (impl == AesImpl::Portable ? " portable" : " auto");
    }
  }
}

// Keystream block i is the encryption of prefix || i as four big-endian bytes.
ByteBuffer ctr_reference(const AesKey& key, const CtrPrefix& prefix, ByteBuffer data) {
  for (std::size_t i = 0; i * 16 < data.size(); ++i) {
    AesBlock counter{};
    std::copy(prefix.begin(), prefix.end(), counter.begin());
    counter[12] = static_cast<std::uint8_t>(i >> 24);
    counter[13] = static_cast<std::uint8_t>(i >> 16);
    counter[14] = static_cast<std::uint8_t>(i >> 8);
    counter[15] = static_cast<std::uint8_t>(i);
    const AesBlock stream = aes256_encrypt_block(key, counter, AesImpl::Portable);
    for (std::size_t j = 0; j < 16 && i * 16 + j < data.size(); ++j) data[i * 16 + j] ^= stream[j];
  }
  return data;
}

TEST(Aes256, CounterModeXorsPerBlockKeystreamWithBigEndianCounter) {
  const AesKey key = from_hex<32>("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  const CtrPrefix prefix = from_hex<12>("a0a1a2a3a4a5a6a7a8a9aaab");
  for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 100u, 127u, 128u, 129u, 4096u + 5u}) {
    const ByteBuffer plain = random_bytes(n + 1, n);
    const ByteBuffer expected = ctr_reference(key, prefix, ByteBuffer(plain.begin() + 1, plain.end()));
    for (AesImpl impl : kImpls) {
      ByteBuffer buf = plain;  // encrypt from offset 1 so the fast path meets unaligned data
      std::span<std::uint8_t> data(buf.data() + 1, n);
      aes256_ctr_xor(key, prefix, data, impl);
      EXPECT_TRUE(std::equal(data.begin(), data.end(), expected.begin())) << "length " << n;
      if (n > 0) {
        EXPECT_NE(ByteBuffer(data.begin(), data.end()), ByteBuffer(plain.begin() + 1, plain.end()));
      }
      aes256_ctr_xor(key, prefix, data, impl);
      EXPECT_EQ(buf, plain) << "applying the keystream twice restores the input, length " << n;
    }
  }
}

TEST(Aes256, DifferentPrefixesGiveDifferentKeystreams) {
  const AesKey key = from_hex<32>("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  ByteBuffer a(64, 0), b(64, 0);
  CtrPrefix p1{}, p2{};
  p2[11] = 1;
  aes256_ctr_xor(key, p1, a);
  aes256_ctr_xor(key, p2, b);
  EXPECT_NE(a, b);
  EXPECT_EQ(a, ctr_reference(key, p1, ByteBuffer(64, 0)));
}

}  // namespace
}  // namespace drux
