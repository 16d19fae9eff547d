// The LZ token stream as every parse writes it: the limits of a token, the
// match measure and one writer shared by the exact, fast and thorough parses.
//
// The writer appends through a raw cursor into a buffer sized ahead, so a
// token costs a capacity check and a copy rather than several push_backs.
// Deliberately not here: how a parse chooses its tokens, and the decoder,
// which lives with the exact parse in lz.cpp.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "drux_v2/bytes.h"

namespace drux {

inline constexpr std::uint8_t kLzTokenMarker = 0xFF;    // opens a five-byte token
inline constexpr std::size_t kLzTokenSize = 5;          // FF, distance u16, length u16
inline constexpr std::size_t kLzMinMatch = 6;           // shortest back-reference a token may hold
inline constexpr std::size_t kLzMaxMatch = 65535;       // 16-bit length field
inline constexpr std::size_t kLzMaxDistance = 65535;    // 16-bit distance field

// Length of the common prefix of a and b, at most max_len bytes; every
// parse measures its matches with it.
inline std::size_t common_length(const std::uint8_t* a, const std::uint8_t* b, std::size_t max_len) {
  std::size_t len = 0;
  while (len + 8 <= max_len) {
    const std::uint64_t diff = load_u64_le(a + len) ^ load_u64_le(b + len);
    if (diff != 0) return len + static_cast<std::size_t>(std::countr_zero(diff) >> 3);
    len += 8;
  }
  while (len < max_len && a[len] == b[len]) ++len;
  return len;
}

// Appends tokens to a buffer; the buffer is cut to the bytes written by
// finish().
class LzTokenWriter {
 public:
  LzTokenWriter(ByteBuffer& out, std::size_t expected) : out_(out), used_(out.size()) {
    out_.resize(used_ + expected);
  }

  // Writes block[from, to) as literals, each FF escaped as FF 00 00 01 00.
  void literals(const std::uint8_t* from, const std::uint8_t* to) {
    const std::size_t count = static_cast<std::size_t>(to - from);
    if (count <= kShortLiteralRun) {
      short_literals(from, count);
    } else {
      long_literals(from, to);
    }
  }

  // FF, then distance and length as 16-bit little-endian numbers.
  void match(std::size_t distance, std::size_t length) {
    const std::uint8_t token[kLzTokenSize] = {
        kLzTokenMarker, static_cast<std::uint8_t>(distance), static_cast<std::uint8_t>(distance >> 8),
        static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
    std::memcpy(room(kLzTokenSize), token, kLzTokenSize);
    used_ += kLzTokenSize;
  }

  void finish() { out_.resize(used_); }

 private:
  static constexpr std::size_t kShortLiteralRun = 16;
  static constexpr std::uint8_t kEscapedMarker[kLzTokenSize] = {kLzTokenMarker, 0, 0, 1, 0};

  // Runs between matches are mostly a byte or two: a plain loop beats two
  // library calls.
  void short_literals(const std::uint8_t* from, std::size_t count) {
    std::uint8_t* dst = room(count * kLzTokenSize);
    for (std::size_t i = 0; i < count; ++i) {
      if (from[i] == kLzTokenMarker) {
        std::memcpy(dst, kEscapedMarker, kLzTokenSize);
        dst += kLzTokenSize;
      } else {
        *dst++ = from[i];
      }
    }
    used_ = static_cast<std::size_t>(dst - out_.data());
  }

  void long_literals(const std::uint8_t* from, const std::uint8_t* to) {
    while (from < to) {
      const std::size_t left = static_cast<std::size_t>(to - from);
      const void* found = std::memchr(from, kLzTokenMarker, left);
      const std::size_t run = found ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - from) : left;
      std::uint8_t* dst = room(run + kLzTokenSize);
      std::memcpy(dst, from, run);
      used_ += run;
      if (run == left) return;
      std::memcpy(dst + run, kEscapedMarker, kLzTokenSize);
      used_ += kLzTokenSize;
      from += run + 1;
    }
  }

  // Cursor with at least n writable bytes behind it.
  std::uint8_t* room(std::size_t n) {
    if (out_.size() - used_ < n) out_.resize(std::max(2 * out_.size(), used_ + n));
    return out_.data() + used_;
  }

  ByteBuffer& out_;
  std::size_t used_;
};

}  // namespace drux
