// Varints, zigzag and the checked reader every decoder builds on, held to
// tables of values and their literal bytes, and to truncated and overlong
// inputs that every read must refuse.
// The short-range helpers (prefix loads, inline copies) are held to memcpy
// over every size class from buffers of exactly that size, so the address
// sanitizer sees any byte they touch outside their ranges.
// Deliberately not here: the fixed-width load and store helpers on their
// own; the container's literal bytes and the AES counter test cover them
// through their users (container_test, checksum_crypto_test).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "drux_v2/bytes.h"

namespace drux {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();

TEST(Varint, IsLeb128LeastSignificantGroupFirst) {
  struct Case {
    std::uint64_t value;
    ByteBuffer bytes;
  } cases[] = {
      {0, {0x00}},
      {127, {0x7F}},
      {128, {0x80, 0x01}},
      {300, {0xAC, 0x02}},
      {16384, {0x80, 0x80, 0x01}},
      {kU64Max, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
  };
  for (const auto& c : cases) {
    ByteBuffer out;
    put_varint(out, c.value);
    EXPECT_EQ(out, c.bytes) << c.value;
    EXPECT_EQ(varint_size(c.value), c.bytes.size()) << c.value;
    std::uint8_t stored[kMaxVarintBytes] = {};
    EXPECT_EQ(ByteBuffer(stored, store_varint(stored, c.value)), c.bytes) << c.value;
    ByteReader in(out);
    std::uint64_t back = 0;
    ASSERT_TRUE(in.read_varint(back)) << c.value;
    EXPECT_EQ(back, c.value);
    EXPECT_TRUE(in.at_end());
  }
}

TEST(ShortRanges, PrefixLoadsAndCopiesAgreeWithMemcpyAtEverySize) {
  for (std::size_t n = 0; n <= 40; ++n) {
    SCOPED_TRACE(n);
    auto from = std::make_unique<std::uint8_t[]>(n);
    auto to = std::make_unique<std::uint8_t[]>(n);
    for (std::size_t i = 0; i < n; ++i) from[i] = static_cast<std::uint8_t>(0xA0 + i);
    std::uint64_t expected = 0;
    std::memcpy(&expected, from.get(), std::min<std::size_t>(n, sizeof expected));
    EXPECT_EQ(load_u64_le_prefix(from.get(), n), load_u64_le(reinterpret_cast<const std::uint8_t*>(&expected)));
    copy_bytes(to.get(), from.get(), n);
    EXPECT_EQ(ByteBuffer(to.get(), to.get() + n), ByteBuffer(from.get(), from.get() + n));
  }
}

TEST(Zigzag, InterleavesSignsSoSmallMagnitudesStayShort) {
  struct Case {
    std::int64_t value;
    std::uint64_t mapped;
  } cases[] = {
      {0, 0}, {-1, 1}, {1, 2}, {-2, 3}, {2, 4}, {kI64Max, kU64Max - 1}, {kI64Min, kU64Max},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zigzag(c.value), c.mapped) << c.value;
    EXPECT_EQ(unzigzag(c.mapped), c.value) << c.value;
  }
}

TEST(ByteReader, RefusesMalformedVarints) {
  struct Case {
    const char* label;
    ByteBuffer bytes;
  } cases[] = {
      {"empty", {}},
      {"continuation bit on the last byte", {0x80}},
      {"eleven bytes", {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
      {"tenth byte passes 2^64", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}},
  };
  for (const auto& c : cases) {
    ByteReader in(c.bytes);
    std::uint64_t v = 0;
    EXPECT_FALSE(in.read_varint(v)) << c.label;
  }
}

TEST(ByteReader, RefusesEveryReadPastTheEnd) {
  const ByteBuffer three = {1, 2, 3};
  std::uint8_t u8;
  std::uint16_t u16;
  std::uint32_t u32;
  std::uint64_t u64;
  ByteView view;

  ByteReader in(three);
  EXPECT_FALSE(in.read_u32_le(u32));
  EXPECT_FALSE(in.read_u64_le(u64));
  EXPECT_FALSE(in.read_bytes(4, view));
  EXPECT_FALSE(in.skip(4));
  EXPECT_EQ(in.position(), 0u) << "a refused read must not move the reader";

  ASSERT_TRUE(in.read_u16_le(u16));
  EXPECT_EQ(u16, 0x0201);
  EXPECT_FALSE(in.read_u16_le(u16));
  ASSERT_TRUE(in.read_u8(u8));
  EXPECT_EQ(u8, 3);
  EXPECT_TRUE(in.at_end());
  EXPECT_FALSE(in.read_u8(u8));
  EXPECT_FALSE(in.read_bytes(1, view));
  EXPECT_TRUE(in.read_bytes(0, view));
  EXPECT_FALSE(in.read_bytes(kU64Max, view)) << "a huge length must not wrap the position";
}

TEST(ByteReader, ReadsFixedWidthNumbersLittleEndian) {
  ByteBuffer out;
  put_u16_le(out, 0xBEEF);
  put_u32_le(out, 0xDEADBEEF);
  put_u64_le(out, 0x0123456789ABCDEFULL);
  EXPECT_EQ(out[0], 0xEF);
  EXPECT_EQ(out[2], 0xEF);
  EXPECT_EQ(out[6], 0xEF);
  EXPECT_EQ(out[13], 0x01);
  ByteReader in(out);
  std::uint16_t a;
  std::uint32_t b;
  std::uint64_t c;
  ASSERT_TRUE(in.read_u16_le(a) && in.read_u32_le(b) && in.read_u64_le(c));
  EXPECT_EQ(a, 0xBEEF);
  EXPECT_EQ(b, 0xDEADBEEFu);
  EXPECT_EQ(c, 0x0123456789ABCDEFULL);
  EXPECT_TRUE(in.at_end());
}

}  // namespace
}  // namespace drux
