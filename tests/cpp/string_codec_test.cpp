// Raw string layout: exact bytes, round trips and refusal of malformed input,
// from tables of strings with their literal bytes and of broken payloads.
// Deliberately not here: string statistics and filters (column_encoding_test)
// and arbitrary payloads (fuzz/column_decode).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "drux_v2/string_codec.h"

namespace drux {
namespace {

using Strings = std::vector<std::string>;

ByteBuffer encode(const Strings& strings) {
  std::vector<std::string_view> views(strings.begin(), strings.end());
  return encode_raw_str(views);
}

TEST(RawStr, EncodesLengthThenBytesPerString) {
  struct Case {
    Strings strings;
    ByteBuffer prefix;  // expected bytes before the last string's body
  } cases[] = {
      {{"ab", ""}, {0x02, 0x61, 0x62, 0x00}},
      {{}, {}},
      {{std::string(200, 'x')}, {0xC8, 0x01}},
      {{std::string(128, 'y')}, {0x80, 0x01}},
      {{std::string(127, 'z')}, {0x7F}},
  };
  for (const auto& c : cases) {
    const ByteBuffer bytes = encode(c.strings);
    std::size_t body = c.strings.empty() ? 0 : c.strings.back().size();
    ASSERT_EQ(bytes.size(), c.prefix.size() + body);
    EXPECT_TRUE(std::equal(c.prefix.begin(), c.prefix.end(), bytes.begin()));
    if (body > 0) {
      EXPECT_EQ(as_text(ByteView(bytes).subspan(c.prefix.size())), c.strings.back());
    }
  }
}

TEST(RawStr, RandomStringsRoundTripIncludingBinaryBytes) {
  std::mt19937_64 rng(7);
  for (std::size_t n : {0u, 1u, 5u, 300u}) {
    Strings strings(n);
    for (auto& s : strings) {
      s.resize(rng() % 3 == 0 ? rng() % 400 : rng() % 5);
      for (auto& ch : s) ch = static_cast<char>(rng());
    }
    Result<Strings> back = decode_raw_str(encode(strings), n);
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(back.value(), strings);
  }
}

TEST(RawStr, DecoderRefusesMalformedPayloads) {
  struct Case {
    const char* label;
    ByteBuffer bytes;
    std::size_t count;
  } cases[] = {
      {"string runs past the end", {0x03, 0x61, 0x62}, 1},
      {"truncated length", {0x01, 0x61, 0x80}, 2},
      {"overlong length", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 1},
      {"length near 2^64", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x61}, 1},
      {"more strings than bytes", {0x00, 0x00}, 3},
      {"trailing bytes", {0x00, 0x00}, 1},
      {"bytes for zero strings", {0x00}, 0},
  };
  for (const auto& c : cases) {
    Result<Strings> back = decode_raw_str(c.bytes, c.count);
    ASSERT_FALSE(back.ok()) << c.label;
    EXPECT_EQ(back.error_kind(), ErrorKind::Data) << c.label;
  }
}

}  // namespace
}  // namespace drux
