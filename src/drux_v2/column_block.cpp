// Encoding choice, payloads, statistics, filter and encryption of one
// column chunk; see column_block.h.
#include "drux_v2/column_block.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "drux_v2/fnv1a.h"
#include "drux_v2/nested_codec.h"

namespace drux {
namespace {

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
// The largest double below 2^63; anything above it does not fit an int64.
constexpr double kLargestScaledBelow2p63 = 9223372036854774784.0;
constexpr double kMinus2p63 = -9223372036854775808.0;
// Frame of reference is offered only to ranges that fit 32 bits.
constexpr std::uint64_t kMaxForRange = 0xFFFFFFFF;
constexpr std::size_t kRuledOut = std::numeric_limits<std::size_t>::max();

std::uint64_t wrapping_diff(std::int64_t later, std::int64_t earlier) {
  return static_cast<std::uint64_t>(later) - static_cast<std::uint64_t>(earlier);
}

std::size_t for_size(std::int64_t lo, std::int64_t hi, std::size_t n) {
  std::uint64_t range = wrapping_diff(hi, lo);
  if (range > kMaxForRange) return kRuledOut;
  std::size_t width = static_cast<std::size_t>(std::bit_width(range));
  return svarint_size(lo) + 1 + (n * width + 7) / 8;
}

// ---- Integer and float columns ---------------------------------------------

// Bounds of the integer views of the non-Null cells of integer, float and
// boolean columns. A scan that leaves the minimum at its INT64_MAX start
// stores both bounds as 0.
struct IntBounds {
  std::int64_t lo = kInt64Max;
  std::int64_t hi = kInt64Min;
  std::uint32_t nulls = 0;

  void add(std::int64_t x) {
    lo = std::min(lo, x);
    hi = std::max(hi, x);
  }
  void store(ColStats& stats) const {
    const bool none_below_start = lo == kInt64Max;
    stats.min_int = none_below_start ? 0 : lo;
    stats.max_int = none_below_start ? 0 : hi;
    stats.null_count = nulls;
  }
};

// The integer sequence of an integer or float column and its statistics, in
// one pass over the rows. Nulls enter the sequence as 0 (the integer view of
// Null, and the scaled float view 0.0).
void gather_int_column(const KColumn& column, std::span<const Row> rows, std::size_t c,
                       std::vector<std::int64_t>& v, ColStats& stats) {
  const bool scaled = column.col_type == ColType::Float;
  IntBounds bounds;
  v.clear();
  v.reserve(rows.size());
  for (const Row& row : rows) {
    const KVal& cell = cell_at(row, c);
    if (cell.is_null()) {
      ++bounds.nulls;
      v.push_back(0);
      continue;
    }
    const std::int64_t x = int_view(cell);
    bounds.add(x);
    v.push_back(scaled ? scale_float(float_view(cell)) : x);
  }
  bounds.store(stats);
}

void gather_bool_stats(std::span<const Row> rows, std::size_t c, ColStats& stats) {
  IntBounds bounds;
  for (const Row& row : rows) {
    const KVal& cell = cell_at(row, c);
    if (cell.is_null()) {
      ++bounds.nulls;
    } else {
      bounds.add(int_view(cell));
    }
  }
  bounds.store(stats);
}

ByteBuffer encode_ints(Encoding encoding, IntView v) {
  switch (encoding) {
    case Encoding::RunLength: return encode_rle_int(v);
    case Encoding::Delta: return encode_delta_int(v);
    case Encoding::FrameOfReference: return encode_for(v);
    default: return encode_cdelta(v);
  }
}

// The encoding choice and payload of an integer or float column's stored integers.
void store_ints(ColType type, IntView v, ColumnChunk& out) {
  out.encoding = choose_int_encoding(v);
  ByteBuffer encoded = encode_ints(out.encoding, v);
  if (type == ColType::Float) {
    out.payload.reserve(encoded.size() + 2);
    put_u8(out.payload, kFloatMarker);
    put_u8(out.payload, kFloatDecimals);
    put_bytes(out.payload, encoded);
  } else {
    out.payload = std::move(encoded);
  }
}

void encode_int_column(const KColumn& column, std::span<const Row> rows, std::size_t c,
                       ColumnScratch& scratch, ColumnChunk& out) {
  gather_int_column(column, rows, c, scratch.ints, out.stats);
  store_ints(column.col_type, scratch.ints, out);
}

// ---- Boolean columns -------------------------------------------------------

void encode_bool_column(std::span<const Row> rows, std::size_t c, ColumnChunk& out) {
  out.encoding = Encoding::Bitmap;
  out.payload.assign((rows.size() + 7) / 8, 0);
  for (std::size_t j = 0; j < rows.size(); ++j) {
    if (bool_view(cell_at(rows[j], c))) out.payload[j >> 3] |= static_cast<std::uint8_t>(1u << (j & 7));
  }
  gather_bool_stats(rows, c, out.stats);
}

// ---- String columns --------------------------------------------------------

// Every row is its own allocation and a column walk takes one cell from
// each, so without a hint each cell, and a long text's bytes, is a wait on
// memory. The cell is fetched two strides ahead and the text one stride
// ahead, once its cell has arrived.
constexpr std::size_t kPrefetchStride = 32;

void prefetch_text(std::span<const Row> rows, std::size_t r, std::size_t c) {
  if (r + 2 * kPrefetchStride < rows.size()) {
    const Row& far = rows[r + 2 * kPrefetchStride];
    if (c < far.size()) {
      // A cell may straddle two cache lines; its tag sits at the end.
      const auto* cell = reinterpret_cast<const char*>(&far[c]);
      __builtin_prefetch(cell);
      __builtin_prefetch(cell + sizeof(KVal) - 1);
    }
  }
  if (r + kPrefetchStride < rows.size()) {
    const KVal& near = cell_at(rows[r + kPrefetchStride], c);
    if (near.tag() == KTag::Str) __builtin_prefetch(near.str_value().data());
  }
}

// The payload is written during the walk, while each text is in cache;
// gathering the texts first and copying them after meant a second trip to
// memory for every one.
void encode_str_column(std::span<const Row> rows, std::size_t c, ColumnChunk& out) {
  StrColumnBuilder builder(out);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    prefetch_text(rows, r, c);
    const KVal& cell = cell_at(rows[r], c);
    if (cell.is_null()) {
      builder.add_null();
    } else {
      builder.add(text_view(cell));
    }
  }
  builder.finish();
}

// The first eight bytes of a text, big-endian and zero-padded. Two texts
// whose keys differ are in the order of their keys, so most comparisons
// with the bounds need no call into the library.
std::uint64_t order_key(std::string_view text) {
  return byte_swap(load_u64_le_prefix(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// ---- Bytes and nested columns ----------------------------------------------

std::uint32_t count_nulls(std::span<const Row> rows, std::size_t c) {
  std::uint32_t nulls = 0;
  for (const Row& row : rows) nulls += cell_at(row, c).is_null() ? 1 : 0;
  return nulls;
}

void encode_bytes_column(std::span<const Row> rows, std::size_t c, ColumnChunk& out) {
  out.encoding = Encoding::Plain;
  for (const Row& row : rows) {
    const KVal& cell = cell_at(row, c);
    if (cell.tag() == KTag::Bytes) {
      put_varint(out.payload, cell.bytes_value().size());
      put_bytes(out.payload, as_bytes(cell.bytes_value()));
    } else {
      put_u8(out.payload, 0);
    }
  }
  out.stats.null_count = count_nulls(rows, c);
}

void encode_nested_column(std::span<const Row> rows, std::size_t c, ColumnChunk& out) {
  out.encoding = Encoding::Plain;
  for (const Row& row : rows) {
    ByteBuffer e = encode_nested_val(cell_at(row, c));
    put_varint(out.payload, e.size());
    put_bytes(out.payload, e);
  }
  out.stats.null_count = count_nulls(rows, c);
}

}  // namespace

std::int64_t scale_float(double value) {
  double scaled = std::round(value * kFloatScale);
  if (std::isnan(scaled)) return 0;
  if (scaled > kLargestScaledBelow2p63) return kInt64Max;
  if (scaled < kMinus2p63) return kInt64Min;
  return static_cast<std::int64_t>(scaled);
}

bool is_arithmetic(IntView v) {
  if (v.size() < 3) return true;
  std::uint64_t step = wrapping_diff(v[1], v[0]);
  for (std::size_t i = 2; i < v.size(); ++i) {
    if (wrapping_diff(v[i], v[i - 1]) != step) return false;
  }
  return true;
}

IntTrialSizes int_trial_sizes(IntView v) {
  IntTrialSizes sizes;
  if (v.empty()) {
    sizes.rle = 1;  // the run count 0
    sizes.for_ = 0;
    return sizes;
  }
  std::int64_t lo = v[0], hi = v[0];
  std::size_t delta = svarint_size(v[0]);
  std::size_t runs = 0, run_bytes = 0;
  std::uint64_t run_length = 1;
  for (std::size_t i = 1; i < v.size(); ++i) {
    std::int64_t x = v[i];
    lo = std::min(lo, x);
    hi = std::max(hi, x);
    delta += varint_size(zigzag(static_cast<std::int64_t>(wrapping_diff(x, v[i - 1]))));
    if (x == v[i - 1]) {
      ++run_length;
    } else {
      ++runs;
      run_bytes += varint_size(run_length) + svarint_size(v[i - 1]);
      run_length = 1;
    }
  }
  ++runs;
  run_bytes += varint_size(run_length) + svarint_size(v.back());
  sizes.rle = varint_size(runs) + run_bytes;
  sizes.delta = delta;
  sizes.for_ = for_size(lo, hi, v.size());
  return sizes;
}

Encoding choose_int_encoding(IntView v) {
  if (is_arithmetic(v)) return Encoding::ConstantDelta;
  IntTrialSizes s = int_trial_sizes(v);
  if (s.for_ <= s.rle && s.for_ <= s.delta) return Encoding::FrameOfReference;
  return s.rle < s.delta ? Encoding::RunLength : Encoding::Delta;
}

CtrPrefix column_ctr_prefix(std::string_view column_name, std::uint64_t chunk_index) {
  std::uint64_t s = fnv1a64(column_name) ^ chunk_index;
  std::uint64_t n1 = s * kFnvPrime;
  std::uint32_t n2 = static_cast<std::uint32_t>(s) * kCounterMultiplier;
  CtrPrefix prefix{};
  for (int i = 0; i < 8; ++i) prefix[i] = static_cast<std::uint8_t>(n1 >> (8 * i));
  for (int i = 0; i < 4; ++i) prefix[8 + i] = static_cast<std::uint8_t>(n2 >> (8 * i));
  return prefix;
}

bool column_enciphers(const KColumn& column) {
  return column.encrypted && std::any_of(column.key.begin(), column.key.end(), [](std::uint8_t b) { return b != 0; });
}

void encode_column_chunk(const KColumn& column, std::span<const Row> rows, std::size_t c,
                         std::uint64_t chunk_index, ColumnScratch& scratch, ColumnChunk& out) {
  out.payload.clear();
  out.stats = ColStats{};
  out.bloom.fill(0);
  switch (column.col_type) {
    case ColType::Int:
    case ColType::Float: encode_int_column(column, rows, c, scratch, out); break;
    case ColType::Bool: encode_bool_column(rows, c, out); break;
    case ColType::Str: encode_str_column(rows, c, out); break;
    case ColType::Bytes: encode_bytes_column(rows, c, out); break;
    case ColType::Object:
    case ColType::List:
    case ColType::Map: encode_nested_column(rows, c, out); break;
  }
  encipher_if_asked(column, chunk_index, out);
}

StrColumnBuilder::StrColumnBuilder(ColumnChunk& out) : out_(out) {
  out_.payload.clear();
  out_.stats = ColStats{};
  out_.bloom.fill(0);
  out_.encoding = Encoding::Plain;
  memo_sizes_.fill(kNoText);
}

// The payload is grown ahead of the cursor and cut to it by finish(), so a
// text costs one capacity check and one copy; growing is the rare path.
inline std::uint8_t* StrColumnBuilder::room(std::size_t n) {
  if (out_.payload.size() - used_ < n) [[unlikely]] grow(n);
  return out_.payload.data() + used_;
}

void StrColumnBuilder::grow(std::size_t n) {
  ByteBuffer& payload = out_.payload;
  payload.resize(std::max({payload.capacity(), 2 * payload.size(), used_ + n}));
}

[[gnu::always_inline]] inline StrColumnBuilder::Stored StrColumnBuilder::append(std::string_view text) {
  const std::size_t size = text.size();
  std::uint8_t* to = store_varint(room(kMaxVarintBytes + size), size);
  copy_bytes(to, reinterpret_cast<const std::uint8_t*>(text.data()), size);
  used_ = static_cast<std::size_t>(to - out_.payload.data()) + size;
  const std::uint64_t key = order_key(text);
  const Stored stored{used_ - size, size, key};
  if (text.size() > sizeof key) {
    filter_later(stored);
  } else {
    // Up to eight bytes, the key and the size are the whole text.
    const std::size_t slot = ((key ^ text.size()) * kMemoMultiplier) >> (64 - kMemoBits);
    if (memo_keys_[slot] != key || memo_sizes_[slot] != text.size()) {
      filter_later(stored);
      memo_keys_[slot] = key;
      memo_sizes_[slot] = static_cast<std::uint8_t>(text.size());
    }
  }
  return stored;
}

void StrColumnBuilder::filter_later(const Stored& text) {
  pending_[pending_count_++] = text;
  if (pending_count_ == kFilterBatch) filter_pending();
}

void StrColumnBuilder::filter_pending() {
  std::array<std::string_view, kFilterBatch> texts;
  for (std::size_t i = 0; i < pending_count_; ++i) texts[i] = view(pending_[i]);
  add_texts_to_bloom(out_.bloom, std::span(texts.data(), pending_count_));
  pending_count_ = 0;
}

bool StrColumnBuilder::precedes(const Stored& a, const Stored& b) const {
  if (a.key != b.key) return a.key < b.key;
  return text_less(view(a), view(b));
}

std::string_view StrColumnBuilder::view(Stored text) const {
  return as_text(ByteView(out_.payload).subspan(text.offset, text.size));
}

void StrColumnBuilder::add(std::string_view text) {
  const Stored stored = append(text);
  if (!seen_) {
    lo_ = hi_ = stored;
    seen_ = true;
  } else if (precedes(stored, lo_)) {
    lo_ = stored;
  } else if (precedes(hi_, stored)) {
    hi_ = stored;
  }
}

void StrColumnBuilder::add_null() {
  append({});
  ++nulls_;
}

void StrColumnBuilder::finish() {
  out_.payload.resize(used_);
  filter_pending();
  out_.stats.min_str.assign(view(lo_));
  out_.stats.max_str.assign(view(hi_));
  out_.stats.null_count = nulls_;
}

void encipher_if_asked(const KColumn& column, std::uint64_t chunk_index, ColumnChunk& chunk) {
  if (column_enciphers(column)) {
    aes256_ctr_xor(column.key, column_ctr_prefix(column.name, chunk_index), chunk.payload);
  }
}

ValueColumnBuilder::ValueColumnBuilder(ColType type, ColumnChunk& out, std::vector<std::int64_t>& values)
    : type_(type), out_(out), values_(values) {
  out_.payload.clear();
  out_.stats = ColStats{};
  out_.bloom.fill(0);
  values_.clear();
}

void ValueColumnBuilder::add_int(std::int64_t value) {
  values_.push_back(value);
  note(value);
}

void ValueColumnBuilder::add_float(double value) {
  values_.push_back(scale_float(value));
  note(int_view(KVal::Float(value)));
}

void ValueColumnBuilder::add_bool(bool value) {
  values_.push_back(value ? 1 : 0);
  note(value ? 1 : 0);
}

void ValueColumnBuilder::add_null() {
  values_.push_back(0);
  ++nulls_;
}

void ValueColumnBuilder::note(std::int64_t integer_view) {
  lo_ = std::min(lo_, integer_view);
  hi_ = std::max(hi_, integer_view);
}

void ValueColumnBuilder::finish() {
  IntBounds bounds;
  bounds.lo = lo_;
  bounds.hi = hi_;
  bounds.nulls = nulls_;
  bounds.store(out_.stats);
  if (type_ != ColType::Bool) {
    store_ints(type_, values_, out_);
    return;
  }
  out_.encoding = Encoding::Bitmap;
  out_.payload.assign((values_.size() + 7) / 8, 0);
  for (std::size_t j = 0; j < values_.size(); ++j) {
    if (values_[j] != 0) out_.payload[j >> 3] |= static_cast<std::uint8_t>(1u << (j & 7));
  }
}

BytesColumnBuilder::BytesColumnBuilder(ColumnChunk& out) : out_(out) {
  out_.payload.clear();
  out_.stats = ColStats{};
  out_.bloom.fill(0);
  out_.encoding = Encoding::Plain;
}

void BytesColumnBuilder::add(std::string_view bytes) {
  put_varint(out_.payload, bytes.size());
  put_bytes(out_.payload, as_bytes(bytes));
}

void BytesColumnBuilder::add_null() {
  put_u8(out_.payload, 0);
  ++nulls_;
}

void BytesColumnBuilder::finish() { out_.stats.null_count = nulls_; }

}  // namespace drux
