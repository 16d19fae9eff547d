// Byte buffers, little-endian fixed-width numbers and varints.
//
// Writers append fields in order with put_*; readers of untrusted bytes go
// through ByteReader, whose every read checks what is left and reports a
// shortfall as `false` instead of reading past the end.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace drux {

using ByteBuffer = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string_view as_text(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// ---- Writing ---------------------------------------------------------------

inline void put_u8(ByteBuffer& out, std::uint8_t v) { out.push_back(v); }

inline void put_u16_le(ByteBuffer& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void put_u32_le(ByteBuffer& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

inline void put_u64_le(ByteBuffer& out, std::uint64_t v) {
  for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

inline void put_bytes(ByteBuffer& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// Unsigned LEB128: seven bits at a time, least significant group first.
inline void put_varint(ByteBuffer& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

// Zigzag maps 0, -1, 1, -2, 2 to 0, 1, 2, 3, 4 so small magnitudes stay short.
inline std::uint64_t zigzag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}

inline std::int64_t unzigzag(std::uint64_t u) {
  return static_cast<std::int64_t>((u >> 1) ^ (~(u & 1) + 1));
}

inline void put_svarint(ByteBuffer& out, std::int64_t v) { put_varint(out, zigzag(v)); }

// Bytes of the varint of `v`, without a loop: encoders use it to size their
// output exactly and the writer to compare trial encodings without building them.
inline std::size_t varint_size(std::uint64_t v) { return static_cast<std::size_t>((std::bit_width(v | 1) + 6) / 7); }

inline std::size_t svarint_size(std::int64_t v) { return varint_size(zigzag(v)); }

// ---- Reading untrusted bytes -------------------------------------------------

class ByteReader {
 public:
  explicit ByteReader(ByteView data) : data_(data) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return data_.size() - pos_; }
  bool at_end() const { return pos_ == data_.size(); }

  // Every read assigns its output, 0 on failure, so no caller ever sees an
  // indeterminate value.
  bool read_u8(std::uint8_t& v) {
    if (remaining() < 1) {
      v = 0;
      return false;
    }
    v = data_[pos_++];
    return true;
  }
  bool read_u16_le(std::uint16_t& v) { return read_le(v); }
  bool read_u32_le(std::uint32_t& v) { return read_le(v); }
  bool read_u64_le(std::uint64_t& v) { return read_le(v); }

  // Refuses a varint longer than ten bytes or one whose value passes 2^64.
  bool read_varint(std::uint64_t& v) {
    v = 0;
    std::uint64_t result = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      std::uint8_t byte;
      if (!read_u8(byte)) return false;
      if (shift == 63 && byte > 1) return false;
      result |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) {
        v = result;
        return true;
      }
    }
    return false;
  }

  bool read_svarint(std::int64_t& v) {
    std::uint64_t u;
    v = 0;
    if (!read_varint(u)) return false;
    v = unzigzag(u);
    return true;
  }

  // A view of the next n bytes; fails without moving when fewer are left.
  bool read_bytes(std::uint64_t n, ByteView& out) {
    if (n > remaining()) return false;
    out = data_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return true;
  }

  bool skip(std::uint64_t n) {
    ByteView ignored;
    return read_bytes(n, ignored);
  }

 private:
  template <class T>
  bool read_le(T& v) {
    v = 0;
    if (remaining() < sizeof(T)) return false;
    T result = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) result |= static_cast<T>(data_[pos_ + i]) << (8 * i);
    pos_ += sizeof(T);
    v = result;
    return true;
  }

  ByteView data_;
  std::size_t pos_ = 0;
};

}  // namespace drux
