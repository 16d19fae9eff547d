// Integer column encodings.
//
// Encoders make one pass (two for frame of reference and run-length, whose
// first pass sizes what comes first) and append to one buffer reserved up
// front. Differences wrap in 64 bits, so every input round-trips.
//
// Decoders check each count against the bytes that can justify it before
// allocating: a delta value costs at least one byte, a run at least two. Only
// the encodings that imply their values (constant delta, frame of reference of
// width 0, long runs) turn few bytes into many values; for those the caller's
// row count is the bound.
//
// Deliberately not here: the choice between the encodings (column_block.cpp).
#include "drux_v2/int_codecs.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

namespace drux {
namespace {

constexpr std::uint8_t kMaxForWidth = 64;
constexpr std::uint64_t kMaxRunLength = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kMinRunBytes = 2;  // varint length + signed varint value

std::uint64_t as_unsigned(std::int64_t v) { return static_cast<std::uint64_t>(v); }
std::int64_t as_signed(std::uint64_t v) { return static_cast<std::int64_t>(v); }

std::string codec_message(const char* codec, const char* what) { return std::string(codec) + " payload: " + what; }

// Refuses counts no vector can hold, so a hostile count fails as bad data
// instead of as an allocation error.
bool count_fits(std::size_t count) { return count <= std::vector<std::int64_t>().max_size(); }

// Writes the varint of `v` at `p`, which has room for it; returns the end.
std::uint8_t* write_varint(std::uint8_t* p, std::uint64_t v) {
  while (v >= 0x80) {
    *p++ = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<std::uint8_t>(v);
  return p;
}

// Bits needed to write `v` (0 for 0).
std::uint8_t bit_width_of(std::uint64_t v) { return static_cast<std::uint8_t>(std::bit_width(v)); }

// Writes `width`-bit offsets least significant bit first into a buffer
// already sized for them, eight bytes at a time; `used` (< 64) bits of the
// next word wait in `acc`.
class BitPacker {
 public:
  explicit BitPacker(std::uint8_t* out) : out_(out) {}

  void put(std::uint64_t v, unsigned width) {
    acc_ |= v << used_;
    used_ += width;
    if (used_ >= 64) {
      store_word(acc_);
      used_ -= 64;
      acc_ = used_ == 0 ? 0 : v >> (width - used_);  // the bits that did not fit
    }
  }

  void flush() {
    for (unsigned bits = 0; bits < used_; bits += 8) {
      *out_++ = static_cast<std::uint8_t>(acc_);
      acc_ >>= 8;
    }
    used_ = 0;
  }

 private:
  void store_word(std::uint64_t w) {
    store_u64_le(out_, w);
    out_ += sizeof w;
  }

  std::uint8_t* out_;
  std::uint64_t acc_ = 0;
  unsigned used_ = 0;
};

// Reads the `width`-bit field starting at bit `bit` of `packed`.
std::uint64_t get_bits(ByteView packed, std::uint64_t bit, unsigned width) {
  std::size_t byte = static_cast<std::size_t>(bit / 8);
  unsigned shift = static_cast<unsigned>(bit % 8);
  std::size_t span = std::min<std::size_t>(9, packed.size() - byte);
  std::uint64_t lo = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(8, span); ++i) {
    lo |= static_cast<std::uint64_t>(packed[byte + i]) << (8 * i);
  }
  std::uint64_t v = lo >> shift;
  if (shift != 0 && span == 9) v |= static_cast<std::uint64_t>(packed[byte + 8]) << (64 - shift);
  return width == 64 ? v : v & ((std::uint64_t{1} << width) - 1);
}

std::size_t packed_size(std::size_t count, unsigned width) {
  // count * width may exceed 64 bits only for counts the caller has already
  // checked against the input size, so split the product.
  std::uint64_t full_bytes = static_cast<std::uint64_t>(count / 8) * width;
  std::uint64_t rest_bits = static_cast<std::uint64_t>(count % 8) * width;
  return static_cast<std::size_t>(full_bytes + (rest_bits + 7) / 8);
}

}  // namespace

// ---- Delta -------------------------------------------------------------------

ByteBuffer encode_delta_int(IntView values) {
  // Size the output exactly first, then write through a pointer: no growth
  // checks per byte.
  auto step = [&](std::size_t i) {
    return zigzag(i == 0 ? values[0] : as_signed(as_unsigned(values[i]) - as_unsigned(values[i - 1])));
  };
  std::size_t total = 0;
  for (std::size_t i = 0; i < values.size(); ++i) total += varint_size(step(i));
  ByteBuffer out(total);
  std::uint8_t* p = out.data();
  for (std::size_t i = 0; i < values.size(); ++i) p = write_varint(p, step(i));
  return out;
}

Result<std::vector<std::int64_t>> decode_delta_int(ByteView data, std::size_t count) {
  static constexpr const char* kCodec = "delta";
  DRUX_FAIL_IF(count > data.size(), codec_message(kCodec, "more values than bytes"));
  ByteReader in(data);
  std::vector<std::int64_t> values;
  values.reserve(count);
  std::uint64_t current = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::int64_t step;
    DRUX_FAIL_IF(!in.read_svarint(step), codec_message(kCodec, "truncated or overlong varint"));
    current = i == 0 ? as_unsigned(step) : current + as_unsigned(step);
    values.push_back(as_signed(current));
  }
  DRUX_FAIL_IF(!in.at_end(), codec_message(kCodec, "trailing bytes"));
  return values;
}

// ---- Run-length --------------------------------------------------------------

namespace {

// Runs are maximal stretches of equal values, except that a stretch longer
// than a 32-bit run length can count is split into several runs.
template <class Visit>
void for_each_run(IntView values, Visit visit) {
  std::size_t i = 0;
  while (i < values.size()) {
    std::size_t end = i + 1;
    while (end < values.size() && values[end] == values[i] && end - i < kMaxRunLength) ++end;
    visit(static_cast<std::uint64_t>(end - i), values[i]);
    i = end;
  }
}

}  // namespace

ByteBuffer encode_rle_int(IntView values) {
  // The run count comes first, so a first pass counts runs and sizes the
  // output; the second writes it.
  std::uint64_t runs = 0;
  std::size_t total = 0;
  for_each_run(values, [&](std::uint64_t length, std::int64_t value) {
    ++runs;
    total += varint_size(length) + varint_size(zigzag(value));
  });
  ByteBuffer out(varint_size(runs) + total);
  std::uint8_t* p = write_varint(out.data(), runs);
  for_each_run(values, [&](std::uint64_t length, std::int64_t value) {
    p = write_varint(p, length);
    p = write_varint(p, zigzag(value));
  });
  return out;
}

Result<std::vector<std::int64_t>> decode_rle_int(ByteView data, std::size_t count) {
  static constexpr const char* kCodec = "run-length";
  DRUX_FAIL_IF(!count_fits(count), codec_message(kCodec, "value count too large"));
  ByteReader in(data);
  std::uint64_t runs;
  DRUX_FAIL_IF(!in.read_varint(runs), codec_message(kCodec, "truncated or overlong run count"));
  DRUX_FAIL_IF(runs > in.remaining() / kMinRunBytes || runs > count,
               codec_message(kCodec, "more runs than the input can hold"));
  std::vector<std::int64_t> values;
  values.reserve(count);
  for (std::uint64_t r = 0; r < runs; ++r) {
    std::uint64_t length;
    std::int64_t value;
    DRUX_FAIL_IF(!in.read_varint(length) || !in.read_svarint(value),
                 codec_message(kCodec, "truncated or overlong varint"));
    DRUX_FAIL_IF(length == 0, codec_message(kCodec, "empty run"));
    DRUX_FAIL_IF(length > count - values.size(), codec_message(kCodec, "runs exceed the value count"));
    values.insert(values.end(), static_cast<std::size_t>(length), value);
  }
  DRUX_FAIL_IF(values.size() != count, codec_message(kCodec, "runs fall short of the value count"));
  DRUX_FAIL_IF(!in.at_end(), codec_message(kCodec, "trailing bytes"));
  return values;
}

// ---- Frame of reference ------------------------------------------------------

ByteBuffer encode_for(IntView values) {
  ByteBuffer out;
  if (values.empty()) return out;
  auto [min_it, max_it] = std::minmax_element(values.begin(), values.end());
  const std::int64_t min = *min_it;
  const std::uint8_t width = bit_width_of(as_unsigned(*max_it) - as_unsigned(min));
  const std::size_t packed = packed_size(values.size(), width);
  out.reserve(varint_size(zigzag(min)) + 1 + packed);
  put_svarint(out, min);
  put_u8(out, width);
  if (width == 0) return out;
  const std::size_t start = out.size();
  out.resize(start + packed);
  BitPacker packer(out.data() + start);
  for (std::int64_t v : values) packer.put(as_unsigned(v) - as_unsigned(min), width);
  packer.flush();
  return out;
}

Result<std::vector<std::int64_t>> decode_for(ByteView data, std::size_t count) {
  static constexpr const char* kCodec = "frame-of-reference";
  if (count == 0) {
    DRUX_FAIL_IF(!data.empty(), codec_message(kCodec, "bytes for zero values"));
    return std::vector<std::int64_t>{};
  }
  DRUX_FAIL_IF(!count_fits(count), codec_message(kCodec, "value count too large"));
  ByteReader in(data);
  std::int64_t min;
  std::uint8_t width;
  DRUX_FAIL_IF(!in.read_svarint(min), codec_message(kCodec, "truncated or overlong minimum"));
  DRUX_FAIL_IF(!in.read_u8(width), codec_message(kCodec, "missing bit width"));
  DRUX_FAIL_IF(width > kMaxForWidth, codec_message(kCodec, "bit width above 64"));
  if (width == 0) {
    DRUX_FAIL_IF(!in.at_end(), codec_message(kCodec, "trailing bytes"));
    return std::vector<std::int64_t>(count, min);
  }
  // Each value needs `width` bits: refuse a count the input cannot hold
  // before sizing anything from it.
  DRUX_FAIL_IF(count / 8 > in.remaining() / width, codec_message(kCodec, "more values than packed bits"));
  const std::size_t expected = packed_size(count, width);
  DRUX_FAIL_IF(in.remaining() != expected, codec_message(kCodec, "packed size does not match the value count"));
  ByteView packed;
  DRUX_FAIL_IF(!in.read_bytes(expected, packed), codec_message(kCodec, "truncated packed values"));
  const std::uint64_t used_bits = static_cast<std::uint64_t>(count / 8) * width * 8 + (count % 8) * width;
  DRUX_FAIL_IF(used_bits % 8 != 0 && (packed.back() >> (used_bits % 8)) != 0,
               codec_message(kCodec, "padding bits are not zero"));
  std::vector<std::int64_t> values;
  values.reserve(count);
  std::uint64_t bit = 0;
  for (std::size_t i = 0; i < count; ++i, bit += width) {
    values.push_back(as_signed(as_unsigned(min) + get_bits(packed, bit, width)));
  }
  return values;
}

// ---- Constant delta ----------------------------------------------------------

ByteBuffer encode_cdelta(IntView values) {
  ByteBuffer out;
  const std::int64_t first = values.empty() ? 0 : values[0];
  const std::int64_t step = values.size() < 2 ? 0 : as_signed(as_unsigned(values[1]) - as_unsigned(values[0]));
  put_svarint(out, first);
  put_svarint(out, step);
  return out;
}

Result<std::vector<std::int64_t>> decode_cdelta(ByteView data, std::size_t count) {
  static constexpr const char* kCodec = "constant-delta";
  DRUX_FAIL_IF(!count_fits(count), codec_message(kCodec, "value count too large"));
  ByteReader in(data);
  std::int64_t first;
  std::int64_t step;
  DRUX_FAIL_IF(!in.read_svarint(first) || !in.read_svarint(step),
               codec_message(kCodec, "truncated or overlong varint"));
  DRUX_FAIL_IF(!in.at_end(), codec_message(kCodec, "trailing bytes"));
  std::vector<std::int64_t> values;
  values.reserve(count);
  std::uint64_t current = as_unsigned(first);
  for (std::size_t i = 0; i < count; ++i, current += as_unsigned(step)) values.push_back(as_signed(current));
  return values;
}

Result<std::vector<std::int64_t>> decode_ints(Encoding encoding, ByteView data, std::size_t count) {
  switch (encoding) {
    case Encoding::RunLength: return decode_rle_int(data, count);
    case Encoding::Delta: return decode_delta_int(data, count);
    case Encoding::ConstantDelta: return decode_cdelta(data, count);
    case Encoding::FrameOfReference: return decode_for(data, count);
    default: break;
  }
  return data_error("not an integer encoding");
}

}  // namespace drux
