// Per-column work of one chunk: the encoding choice, the payload, the
// statistics and membership filter, and the optional encryption.
//
// Integer trials are measured without building their buffers; only the
// chosen encoder runs. A string column is written into its payload text by
// text, so a chunk costs no allocation per cell.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "drux_v2/aes256.h"
#include "drux_v2/bloom_filter.h"
#include "drux_v2/bytes.h"
#include "drux_v2/format.h"
#include "drux_v2/int_codecs.h"
#include "drux_v2/kval.h"

namespace drux {

// A float cell as stored: value x 10,000 rounded half away from zero,
// saturated to the signed 64-bit range, NaN as 0.
std::int64_t scale_float(double value);

// Byte lengths of the three trial encodings of an integer sequence. `for_`
// is the largest size_t when the range of the values passes 32 bits.
struct IntTrialSizes {
  std::size_t rle = 0;
  std::size_t delta = 0;
  std::size_t for_ = 0;
};

IntTrialSizes int_trial_sizes(IntView values);

// Whether every wrap-around difference equals the first (true for n < 3).
bool is_arithmetic(IntView values);

// The encoding tag an integer or float column chunk gets.
Encoding choose_int_encoding(IntView values);

// The counter-block prefix of a column chunk: N1 (LE 8 bytes) || N2 (LE 4).
CtrPrefix column_ctr_prefix(std::string_view column_name, std::uint64_t chunk_index);

// Whether the column's payloads are really enciphered: the flag is set and
// the key is not all zero.
bool column_enciphers(const KColumn& column);

// One encoded column chunk, ready for compression.
struct ColumnChunk {
  ByteBuffer payload;
  ColStats stats;
  BloomFilter bloom{};
  Encoding encoding = Encoding::Plain;
};

// Reusable per-writer buffers, so chunks after the first allocate little.
struct ColumnScratch {
  std::vector<std::int64_t> ints;
};

// Builds a string column chunk one text at a time: the payload, the null
// count, the text bounds and the filter, the same as encode_column_chunk
// gives for the same cells. A source of texts that has no rows of cells,
// such as a CSV file read line by line, feeds it directly.
class StrColumnBuilder {
 public:
  // Starts `out` over as an empty string column chunk; its payload keeps
  // its capacity.
  explicit StrColumnBuilder(ColumnChunk& out);

  void add(std::string_view text);
  // A Null cell: stored and filtered as the empty text, counted as null and
  // left out of the bounds.
  void add_null();
  // Stores the bounds and the null count; `out` is then complete.
  void finish();

 private:
  // A text by its place in the payload, which may move as it grows, and
  // its first eight bytes as a number (see order_key).
  struct Stored {
    std::size_t offset = 0;
    std::size_t size = 0;
    std::uint64_t key = 0;
  };
  Stored append(std::string_view text);
  std::string_view view(Stored text) const;
  bool precedes(const Stored& a, const Stored& b) const;
  std::uint8_t* room(std::size_t n);
  void grow(std::size_t n);
  void filter_later(const Stored& text);
  void filter_pending();

  ColumnChunk& out_;
  std::size_t used_ = 0;  // payload bytes written; the payload may be longer until finish()
  Stored lo_;
  Stored hi_;
  bool seen_ = false;
  std::uint32_t nulls_ = 0;
  // Short texts already in the membership filter, by key and size: a
  // repeated code costs a lookup here instead of its three hashes (the
  // filter's bits are set once whatever the count).
  static constexpr unsigned kMemoBits = 6;
  static constexpr std::uint8_t kNoText = 0xFF;  // no memoised text is that long
  static constexpr std::uint64_t kMemoMultiplier = 0x9E3779B97F4A7C15u;
  std::array<std::uint64_t, std::size_t{1} << kMemoBits> memo_keys_{};
  std::array<std::uint8_t, std::size_t{1} << kMemoBits> memo_sizes_{};
  // Texts bound for the filter, hashed a batch at a time (bloom_filter.h).
  static constexpr std::size_t kFilterBatch = 8;
  std::array<Stored, kFilterBatch> pending_{};
  std::size_t pending_count_ = 0;
};

// Builds an integer, float or boolean column chunk one value at a time from
// cells that are never null: the same chunk encode_column_chunk gives for
// the same values in rows. A float is given as its 64-bit value and stored
// scaled, its bounds taken from its integer view, as for a Float cell.
class ValueColumnBuilder {
 public:
  // Starts `out` over; `values` is the caller's scratch for the stored integers.
  ValueColumnBuilder(ColType type, ColumnChunk& out, std::vector<std::int64_t>& values);

  void add_int(std::int64_t value);
  void add_float(double value);
  void add_bool(bool value);
  // A Null cell: stored as 0 (false), counted as null and left out of the bounds.
  void add_null();
  // Chooses the encoding and writes the payload and statistics; `out` is then complete.
  void finish();

 private:
  void note(std::int64_t integer_view);

  ColType type_;
  ColumnChunk& out_;
  std::vector<std::int64_t>& values_;
  std::uint32_t nulls_ = 0;
  std::int64_t lo_ = std::numeric_limits<std::int64_t>::max();
  std::int64_t hi_ = std::numeric_limits<std::int64_t>::min();
};

// Builds a bytes column chunk one value at a time, the same as
// encode_column_chunk gives for the same cells.
class BytesColumnBuilder {
 public:
  explicit BytesColumnBuilder(ColumnChunk& out);
  void add(std::string_view bytes);
  // A Null cell: stored as the empty value and counted as null.
  void add_null();
  void finish();

 private:
  ColumnChunk& out_;
  std::uint32_t nulls_ = 0;
};

// Enciphers the payload with the chunk's counter blocks when the column
// asks for it.
void encipher_if_asked(const KColumn& column, std::uint64_t chunk_index, ColumnChunk& chunk);

// Encodes column `c` of `rows` (cells past a row's end read as Null),
// encrypting the payload with the chunk's counter blocks when the column
// asks for it. Nested cells must be at most kMaxNestingDepth deep.
void encode_column_chunk(const KColumn& column, std::span<const Row> rows, std::size_t c,
                         std::uint64_t chunk_index, ColumnScratch& scratch, ColumnChunk& out);

}  // namespace drux
