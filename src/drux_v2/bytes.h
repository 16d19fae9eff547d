// Byte buffers, fixed-width numbers and varints: the one home of the byte
// order of everything the library writes and reads.
//
// Writers append fields in order with put_*; codecs that work on raw
// pointers load and store through load_*/store_* (one memcpy and, on a
// big-endian host, one byte swap: the compiler makes each a single move).
// Readers of untrusted bytes go through ByteReader, whose every read checks
// what is left and reports a shortfall as `false` instead of reading past the
// end; the reads are [[nodiscard]], so a read whose outcome is not looked at
// does not compile. Deliberately not here: the layout of any record (see
// container.h) and any error text (see result.h).
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

// ---- Loads and stores at a pointer with room for them ----------------------

template <class T>
inline T byte_swap(T v) {
  static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
  if constexpr (sizeof(T) == 2) {
    return __builtin_bswap16(v);
  } else if constexpr (sizeof(T) == 4) {
    return __builtin_bswap32(v);
  } else {
    return __builtin_bswap64(v);
  }
}

template <class T>
inline T load_le(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = byte_swap(v);
  return v;
}

template <class T>
inline void store_le(std::uint8_t* p, T v) {
  if constexpr (std::endian::native == std::endian::big) v = byte_swap(v);
  std::memcpy(p, &v, sizeof v);
}

// Big-endian: the Huffman bit stream and the AES state words.
template <class T>
inline T load_be(const std::uint8_t* p) {
  return byte_swap(load_le<T>(p));
}

template <class T>
inline void store_be(std::uint8_t* p, T v) {
  store_le(p, byte_swap(v));
}

inline std::uint16_t load_u16_le(const std::uint8_t* p) { return load_le<std::uint16_t>(p); }
inline std::uint32_t load_u32_le(const std::uint8_t* p) { return load_le<std::uint32_t>(p); }
inline std::uint64_t load_u64_le(const std::uint8_t* p) { return load_le<std::uint64_t>(p); }
inline std::uint32_t load_u32_be(const std::uint8_t* p) { return load_be<std::uint32_t>(p); }
inline std::uint64_t load_u64_be(const std::uint8_t* p) { return load_be<std::uint64_t>(p); }
// The first min(size, 8) bytes at p as a little-endian number, zero above
// them, from loads that stay inside [p, p + size): a word, two overlapping
// halves, or the first, middle and last bytes. Short texts are the common
// case where this is used, and a memcpy of a variable size is a call.
inline std::uint64_t load_u64_le_prefix(const std::uint8_t* p, std::size_t size) {
  if (size >= 8) return load_u64_le(p);
  if (size >= 4) return load_u32_le(p) | std::uint64_t{load_u32_le(p + size - 4)} << (8 * (size - 4));
  if (size == 0) return 0;
  return std::uint64_t{p[0]} | std::uint64_t{p[size / 2]} << (8 * (size / 2)) |
         std::uint64_t{p[size - 1]} << (8 * (size - 1));
}

inline void store_u16_le(std::uint8_t* p, std::uint16_t v) { store_le(p, v); }
inline void store_u32_le(std::uint8_t* p, std::uint32_t v) { store_le(p, v); }
inline void store_u64_le(std::uint8_t* p, std::uint64_t v) { store_le(p, v); }
inline void store_u32_be(std::uint8_t* p, std::uint32_t v) { store_be(p, v); }
inline void store_u64_be(std::uint8_t* p, std::uint64_t v) { store_be(p, v); }

// memcpy for ranges that are mostly short, such as CSV cells: up to 16
// bytes are moved inline by overlapping loads and stores that stay inside
// both ranges, longer ones by the library.
inline void copy_bytes(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    const std::uint64_t head = load_u64_le(from), tail = load_u64_le(from + n - 8);
    store_u64_le(to, head);
    store_u64_le(to + n - 8, tail);
  } else if (n >= 4) {
    const std::uint32_t head = load_u32_le(from), tail = load_u32_le(from + n - 4);
    store_u32_le(to, head);
    store_u32_le(to + n - 4, tail);
  } else if (n > 0) {
    const std::uint8_t first = from[0], middle = from[n / 2], last = from[n - 1];
    to[0] = first;
    to[n / 2] = middle;
    to[n - 1] = last;
  }
}

// ---- Writing ---------------------------------------------------------------

inline void put_u8(ByteBuffer& out, std::uint8_t v) { out.push_back(v); }

template <class T>
inline void put_le(ByteBuffer& out, T v) {
  for (std::size_t shift = 0; shift < 8 * sizeof(T); shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

inline void put_u16_le(ByteBuffer& out, std::uint16_t v) { put_le(out, v); }
inline void put_u32_le(ByteBuffer& out, std::uint32_t v) { put_le(out, v); }
inline void put_u64_le(ByteBuffer& out, std::uint64_t v) { put_le(out, v); }

inline void put_bytes(ByteBuffer& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// Unsigned LEB128: seven bits at a time, least significant group first.
inline void put_varint(ByteBuffer& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

inline constexpr std::size_t kMaxVarintBytes = 10;  // of a 64-bit value

// put_varint at a pointer with room for kMaxVarintBytes; returns the end.
inline std::uint8_t* store_varint(std::uint8_t* p, std::uint64_t v) {
  while (v >= 0x80) {
    *p++ = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<std::uint8_t>(v);
  return p;
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
  [[nodiscard]] bool read_u8(std::uint8_t& v) {
    if (remaining() < 1) {
      v = 0;
      return false;
    }
    v = data_[pos_++];
    return true;
  }
  [[nodiscard]] bool read_u16_le(std::uint16_t& v) { return read_le(v); }
  [[nodiscard]] bool read_u32_le(std::uint32_t& v) { return read_le(v); }
  [[nodiscard]] bool read_u64_le(std::uint64_t& v) { return read_le(v); }

  // Refuses a varint longer than ten bytes or one whose value passes 2^64.
  [[nodiscard]] bool read_varint(std::uint64_t& v) {
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

  [[nodiscard]] bool read_svarint(std::int64_t& v) {
    std::uint64_t u;
    v = 0;
    if (!read_varint(u)) return false;
    v = unzigzag(u);
    return true;
  }

  // A view of the next n bytes; fails without moving when fewer are left.
  [[nodiscard]] bool read_bytes(std::uint64_t n, ByteView& out) {
    if (n > remaining()) return false;
    out = data_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return true;
  }

  [[nodiscard]] bool skip(std::uint64_t n) {
    ByteView ignored;
    return read_bytes(n, ignored);
  }

  // Everything not yet read; the reader is then at its end. Cannot fail.
  ByteView read_rest() {
    ByteView rest = data_.subspan(pos_);
    pos_ = data_.size();
    return rest;
  }

 private:
  template <class T>
  bool read_le(T& v) {
    v = 0;
    if (remaining() < sizeof(T)) return false;
    v = load_le<T>(data_.data() + pos_);
    pos_ += sizeof(T);
    return true;
  }

  ByteView data_;
  std::size_t pos_ = 0;
};

}  // namespace drux
