// Trimming of CSV fields: strips leading and trailing Unicode White_Space
// (tab, LF, VT, FF, CR, space, U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000). U+FEFF is not white space, so a
// byte-order mark stays part of the first field.
//
// The input is valid UTF-8 (lines are validated when read), so a white-space
// character is recognised by matching its exact byte sequence; a lead byte
// can never be mistaken for a continuation byte. The common case -- a field
// that starts and ends with a printable ASCII byte -- costs two compares.
#pragma once

#include <cstddef>
#include <string_view>

namespace drux {

inline bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Byte length of the white-space character at the start of `s`, or 0.
inline std::size_t leading_space_len(std::string_view s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) return is_ascii_space(b0) ? 1 : 0;
  if (s.size() >= 2 && b0 == 0xC2) {
    const auto b1 = static_cast<unsigned char>(s[1]);
    return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
  }
  if (s.size() < 3) return 0;
  const auto b1 = static_cast<unsigned char>(s[1]);
  const auto b2 = static_cast<unsigned char>(s[2]);
  switch (b0) {
    case 0xE1:  // U+1680
      return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
    case 0xE2:  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
      if (b1 == 0x80) return (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;
    case 0xE3:  // U+3000
      return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

// Byte length of the white-space character at the end of `s`, or 0.
inline std::size_t trailing_space_len(std::string_view s) {
  const std::size_t n = s.size();
  if (n == 0) return 0;
  const auto last = static_cast<unsigned char>(s[n - 1]);
  if (last < 0x80) return is_ascii_space(last) ? 1 : 0;
  if (n >= 2 && static_cast<unsigned char>(s[n - 2]) == 0xC2) return leading_space_len(s.substr(n - 2));
  if (n >= 3) return leading_space_len(s.substr(n - 3));
  return 0;
}

inline std::string_view trim_white_space(std::string_view s) {
  while (std::size_t k = leading_space_len(s)) s.remove_prefix(k);
  while (std::size_t k = trailing_space_len(s)) s.remove_suffix(k);
  return s;
}

}  // namespace drux
