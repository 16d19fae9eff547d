// Validation walks the text once. The fast path loads eight bytes and tests
// their high bits together, so ASCII-only text (the bulk of most CSV files)
// costs one load and one mask per eight bytes; a multi-byte sequence is
// checked byte by byte against the ranges that keep it well formed.
//
// Deliberately not here: replacement of invalid sequences.
#include "drux_v2/utf8_check.h"

#include <cstdint>
#include <cstring>

namespace drux {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the well-formed multi-byte sequence at `s` (s[0] >= 0x80), or 0.
std::size_t multibyte_len(const unsigned char* s, std::size_t left) {
  const unsigned char b0 = s[0];
  std::size_t len = 0;
  unsigned char lo = 0x80;  // allowed range of the second byte
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong below U+10000
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;  // a stray continuation byte, C0, C1 or F5..FF
  }
  if (left < len || s[1] < lo || s[1] > hi) return 0;
  for (std::size_t i = 2; i < len; ++i) {
    if (!is_continuation(s[i])) return 0;
  }
  return len;
}

}  // namespace

bool is_valid_utf8(const char* data, std::size_t size) {
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const end = s + size;
  while (s < end) {
    while (end - s >= 8) {
      std::uint64_t word;
      std::memcpy(&word, s, sizeof word);
      if (word & kHighBits) break;
      s += 8;
    }
    while (s < end && *s < 0x80) ++s;
    if (s == end) return true;
    const std::size_t len = multibyte_len(s, static_cast<std::size_t>(end - s));
    if (len == 0) return false;
    s += len;
  }
  return true;
}

}  // namespace drux
