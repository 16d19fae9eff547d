// Static order-0 range coder.
//
// The model is fixed before coding starts, so each byte costs one table
// lookup, two multiplications and a branch-free renormalisation that stores
// two bytes and advances past zero, one or two of them. A carry out of `low`
// is rare and is pushed back into the bytes already written.
//
// The reader checks the model and refuses any block length the coded bytes
// could not carry, before it allocates the output.
//
// Deliberately not here: adaptive or higher-order models.
#include "drux_v2/range_coder.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "drux_v2/huffman.h"

namespace drux {
namespace {

constexpr int kModelBits = 14;
constexpr std::uint32_t kRenormLimit = 1u << 16;
constexpr std::uint32_t kInitialRange = 0xFFFFFFFFu;
constexpr std::uint64_t kMaxBlockLength = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kFinalBytes = 4;
// Renormalisation writes at most two bytes per symbol; the output grows
// between batches of this many symbols, never inside one.
constexpr std::size_t kCodingBatch = 4096;
constexpr std::size_t kMaxBytesPerSymbol = 2;

// Frequency and cumulative start of one byte value.
struct SymbolRange {
  std::uint32_t start;
  std::uint32_t frequency;
};

RangeModelFrequencies scale_counts(const ByteFrequencies& counts, std::uint64_t length) {
  RangeModelFrequencies freq{};
  std::uint32_t sum = 0;
  int most_frequent = -1;
  for (int v = 0; v < 256; ++v) {
    if (counts[v] == 0) continue;
    const std::uint64_t scaled = static_cast<std::uint64_t>(counts[v]) * kRangeModelTotal / length;
    freq[v] = static_cast<std::uint16_t>(scaled == 0 ? 1 : scaled);
    sum += freq[v];
    if (most_frequent < 0 || counts[v] >= counts[most_frequent]) most_frequent = v;
  }
  if (sum < kRangeModelTotal) freq[most_frequent] = static_cast<std::uint16_t>(freq[most_frequent] + (kRangeModelTotal - sum));
  // Values raised to 1 can push the sum past the total by at most one unit
  // each, so this runs at most 256 times.
  for (; sum > kRangeModelTotal; --sum) {
    int largest = -1;
    for (int v = 0; v < 256; ++v) {
      if (freq[v] >= 2 && (largest < 0 || freq[v] >= freq[largest])) largest = v;
    }
    --freq[largest];
  }
  return freq;
}

std::array<SymbolRange, 256> symbol_ranges(const RangeModelFrequencies& freq) {
  std::array<SymbolRange, 256> ranges{};
  std::uint32_t start = 0;
  for (int v = 0; v < 256; ++v) {
    ranges[v] = SymbolRange{start, freq[v]};
    start += freq[v];
  }
  return ranges;
}

int distinct_values(const RangeModelFrequencies& freq) {
  int distinct = 0;
  for (std::uint16_t f : freq) distinct += f != 0;
  return distinct;
}

// The header below: value count, then value and frequency per value, then
// the block length.
std::size_t model_header_size(int distinct) {
  return sizeof(std::uint16_t) + 3 * static_cast<std::size_t>(distinct) + sizeof(std::uint32_t);
}

void put_model_header(ByteBuffer& out, const RangeModelFrequencies& freq, std::uint32_t length) {
  put_u16_le(out, static_cast<std::uint16_t>(distinct_values(freq)));
  for (int v = 0; v < 256; ++v) {
    if (freq[v] == 0) continue;
    put_u8(out, static_cast<std::uint8_t>(v));
    put_u16_le(out, freq[v]);
  }
  put_u32_le(out, length);
}

// Adds a carry out of `low` into the coded bytes [start, end).
void propagate_carry(std::uint8_t* bytes, std::size_t start, std::size_t end) {
  while (end > start) {
    if (++bytes[--end] != 0) return;
  }
}

// Bits the block carries under the model: each byte of value v costs
// log2(16384 / f(v)).
double information_bits(const ByteFrequencies& counts, const RangeModelFrequencies& freq) {
  double bits = 0;
  for (int v = 0; v < 256; ++v) {
    if (counts[v] != 0) bits += counts[v] * std::log2(static_cast<double>(kRangeModelTotal) / freq[v]);
  }
  return bits;
}

// What the coded bytes should take: the model's entropy plus a margin.
std::size_t estimated_coded_size(const ByteFrequencies& counts, const RangeModelFrequencies& freq) {
  return static_cast<std::size_t>(information_bits(counts, freq) / 8 * 1.02) + kCodingBatch * kMaxBytesPerSymbol +
         2 * kFinalBytes;
}

// Codes `block` into `out` from index `start` on; `out` grows as needed and
// ends exactly at the last coded byte.
//
// `range` itself is never stored: each step needs only r = range >> 14, and
// after renormalising the new range by 0, 8 or 16 bits, r is the product
// r * frequency shifted right by 14, 6 or left by 2. Choosing among the three
// by comparison keeps the loop-carried chain to one multiply and a select.
void encode_symbols(ByteView block, const std::array<SymbolRange, 256>& ranges, ByteBuffer& out, std::size_t start) {
  std::uint32_t low = 0;
  std::uint32_t r = kInitialRange >> kModelBits;
  std::size_t w = start;
  const std::uint8_t* in = block.data();
  for (std::size_t batch = 0; batch < block.size(); batch += kCodingBatch) {
    const std::size_t batch_end = std::min(block.size(), batch + kCodingBatch);
    const std::size_t needed = w + kCodingBatch * kMaxBytesPerSymbol + kFinalBytes;
    if (out.size() < needed) out.resize(std::max(needed, out.size() * 2));
    std::uint8_t* p = out.data();
    for (std::size_t i = batch; i < batch_end; ++i) {
      const SymbolRange s = ranges[in[i]];
      const std::uint32_t next_low = low + r * s.start;
      if (next_low < low) propagate_carry(p, start, w);
      low = next_low;
      const std::uint32_t range = r * s.frequency;
      const bool one_byte = range < kRenormLimit;
      const bool two_bytes = range < (kRenormLimit >> 8);
      const unsigned shifts = static_cast<unsigned>(one_byte) + static_cast<unsigned>(two_bytes);
      r = two_bytes ? range << (16 - kModelBits) : one_byte ? range >> (kModelBits - 8) : range >> kModelBits;
      p[w] = static_cast<std::uint8_t>(low >> 24);
      p[w + 1] = static_cast<std::uint8_t>(low >> 16);
      w += shifts;
      low <<= 8 * shifts;
    }
  }
  out.resize(w);
  for (int shift = 24; shift >= 0; shift -= 8) put_u8(out, static_cast<std::uint8_t>(low >> shift));
}

}  // namespace

RangeModelFrequencies range_model_frequencies(ByteView block) {
  if (block.empty()) return {};
  return scale_counts(count_byte_frequencies(block), block.size());
}

void append_range(ByteView block, const ByteFrequencies& counts, ByteBuffer& out) {
  if (block.empty() || block.size() > kMaxBlockLength) return;
  const RangeModelFrequencies freq = scale_counts(counts, block.size());
  put_model_header(out, freq, static_cast<std::uint32_t>(block.size()));
  if (distinct_values(freq) == 1) return;
  const std::size_t coded_start = out.size();
  out.resize(coded_start + estimated_coded_size(counts, freq));
  encode_symbols(block, symbol_ranges(freq), out, coded_start);
}

ByteBuffer range_compress(ByteView block) {
  ByteBuffer out;
  if (!block.empty()) append_range(block, count_byte_frequencies(block), out);
  return out;
}

// Each symbol narrows `range` to at most its model share f / 2^14, each coded
// byte widens it by 2^8, and it starts below 2^32 and ends no lower than
// 2^16. So for a block carrying I bits under the model, 8 e >= I - 16 for the
// e bytes written before the final four.
std::size_t range_compressed_size_floor(const ByteFrequencies& counts, std::uint64_t block_length) {
  if (block_length == 0 || block_length > kMaxBlockLength) return 0;
  const RangeModelFrequencies freq = scale_counts(counts, block_length);
  const int distinct = distinct_values(freq);
  const std::size_t header = model_header_size(distinct);
  if (distinct == 1) return header;
  // A margin for rounding in the sum keeps the floor at or below the bound.
  const double sure_bits = information_bits(counts, freq) * (1 - 1e-9) - 1 - 16;
  const double coded_before_final = sure_bits > 0 ? std::ceil(sure_bits / 8) : 0;
  return header + static_cast<std::size_t>(coded_before_final) + kFinalBytes;
}

// ---- Decoding -----------------------------------------------------------------

namespace {

constexpr std::size_t kMaxDistinct = 256;

Status read_model(ByteReader& in, RangeModelFrequencies& freq) {
  std::uint16_t distinct;
  DRUX_FAIL_IF(!in.read_u16_le(distinct), "Range model is truncated");
  DRUX_FAIL_IF(distinct == 0 || distinct > kMaxDistinct, "Range model has a bad value count");
  std::uint32_t sum = 0;
  int previous = -1;
  for (int i = 0; i < distinct; ++i) {
    std::uint8_t value;
    std::uint16_t frequency;
    DRUX_FAIL_IF(!in.read_u8(value) || !in.read_u16_le(frequency), "Range model is truncated");
    DRUX_FAIL_IF(value <= previous, "Range model values are not ascending");
    DRUX_FAIL_IF(frequency == 0, "Range model frequency is zero");
    freq[value] = frequency;
    sum += frequency;
    previous = value;
  }
  DRUX_FAIL_IF(sum != kRangeModelTotal, "Range model frequencies do not add up to 16384");
  return {};
}

// Every symbol narrows `range` by at least the largest frequency's share,
// and `range` ends no lower than 2^16 after starting below 2^32: the coded
// bytes bound how many symbols they can hold.
bool length_fits_coded_bytes(std::uint32_t block_length, const RangeModelFrequencies& freq, std::size_t coded_size) {
  std::uint16_t largest = 0;
  for (std::uint16_t f : freq) largest = std::max(largest, f);
  const double min_bits_per_symbol = std::log2(static_cast<double>(kRangeModelTotal) / largest);
  const double available_bits = 16.0 + 8.0 * static_cast<double>(coded_size - kFinalBytes);
  const double max_symbols = available_bits / min_bits_per_symbol * (1 + 1e-9) + 1;
  return block_length <= max_symbols;
}

// The decoder's state between pieces: the code value, the coder's low and
// range, and the next coded byte to shift in.
struct RangeDecoder {
  ByteView coded;
  std::array<SymbolRange, 256> ranges;
  std::vector<std::uint8_t> symbol_at;  // symbol of each cumulative slot
  std::uint32_t code = 0;
  std::uint32_t low = 0;
  std::uint32_t range = kInitialRange;
  std::size_t pos = 0;

  RangeDecoder(ByteView bytes, const RangeModelFrequencies& freq)
      : coded(bytes), ranges(symbol_ranges(freq)), symbol_at(kRangeModelTotal) {
    for (int v = 0; v < 256; ++v) {
      std::fill_n(symbol_at.begin() + ranges[v].start, ranges[v].frequency, static_cast<std::uint8_t>(v));
    }
    for (; pos < kFinalBytes; ++pos) code = code << 8 | coded[pos];
  }

  Status decode(std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t r = range >> kModelBits;
      const std::uint32_t target = (code - low) / r;
      DRUX_FAIL_IF(target >= kRangeModelTotal, "Range coded bytes hold an impossible value");
      const std::uint8_t symbol = symbol_at[target];
      const SymbolRange s = ranges[symbol];
      out[i] = symbol;
      low += r * s.start;
      range = r * s.frequency;
      while (range < kRenormLimit) {
        DRUX_FAIL_IF(pos == coded.size(), "Range coded bytes are truncated");
        code = code << 8 | coded[pos++];
        low <<= 8;
        range <<= 8;
      }
    }
    return {};
  }
};

}  // namespace

Status range_decode_pieces(ByteView data, std::size_t max_output, const PieceSink& sink) {
  if (data.empty()) return {};
  ByteReader in(data);
  RangeModelFrequencies freq{};
  if (Status status = read_model(in, freq); !status) return status;
  std::uint32_t block_length;
  DRUX_FAIL_IF(!in.read_u32_le(block_length), "Range block length is truncated");
  const ByteView coded = in.read_rest();

  const int distinct = distinct_values(freq);
  DRUX_FAIL_IF(block_length > max_output, "Range block length exceeds the allowed output");
  DRUX_FAIL_IF(block_length < static_cast<std::uint32_t>(distinct), "Range block length is too short for its model");
  ByteBuffer piece(std::min<std::size_t>(block_length, kDecodePieceSize));
  if (distinct == 1) {
    DRUX_FAIL_IF(!coded.empty(), "Range single-value block has trailing bytes");
    int value = 0;
    while (freq[value] == 0) ++value;
    std::fill(piece.begin(), piece.end(), static_cast<std::uint8_t>(value));
    for (std::size_t left = block_length; left > 0;) {
      const std::size_t n = std::min(left, piece.size());
      if (Status status = sink(ByteView(piece.data(), n)); !status) return status;
      left -= n;
    }
    return {};
  }
  DRUX_FAIL_IF(coded.size() < kFinalBytes, "Range coded bytes are truncated");
  DRUX_FAIL_IF(!length_fits_coded_bytes(block_length, freq, coded.size()),
               "Range block length exceeds what the coded bytes can hold");
  RangeDecoder decoder(coded, freq);
  for (std::size_t left = block_length; left > 0;) {
    const std::size_t n = std::min(left, piece.size());
    if (Status status = decoder.decode(piece.data(), n); !status) return status;
    if (Status status = sink(ByteView(piece.data(), n)); !status) return status;
    left -= n;
  }
  DRUX_FAIL_IF(decoder.pos != coded.size(), "Range coded bytes have trailing bytes");
  return {};
}

Result<ByteBuffer> range_decompress(ByteView data, std::size_t max_output) {
  ByteBuffer out;
  Status status = range_decode_pieces(data, max_output, [&out](ByteView piece) {
    put_bytes(out, piece);
    return Status{};
  });
  if (!status) return status.error_value();
  return out;
}

}  // namespace drux
