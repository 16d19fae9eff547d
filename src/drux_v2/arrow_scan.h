// Arrow-native scans of a DRUX file: chosen columns of the chunks that can
// hold a matching row, decoded from their column blocks into Arrow buffers
// and handed out through the Arrow C data and C stream interfaces, one
// record batch (a struct array) per chunk.
//
// The idea: the footer already says, per chunk and column, where the block
// is and what values it can hold (bounds, and for strings a membership
// filter), so a filter is first answered per chunk from the footer alone and
// only the surviving chunks' blocks are read; their rows are then filtered
// exactly. A stream decodes the column blocks of one batch side by side on
// worker threads it owns, so memory stays at about one chunk of the needed
// columns, and none of its callbacks touches anything but this library.
//
// Arrow types: integer int64, float float64 (stored / 10,000), boolean bool,
// string utf8, bytes binary, and the nested kinds large_utf8 holding JSON
// text (object -> JSON object with its fields in order, repeated names kept;
// list -> JSON array; map -> JSON array of [key, value] pairs; bytes -> hex
// string; non-finite floats -> null; a Null cell -> an Arrow null). Plain
// kinds keep no per-cell null marker, so their columns have no nulls.
//
// Deliberately not here: turning names or Python values into column indices
// and filter values (the bindings do that), casting to a requested schema,
// and any Arrow library.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "drux_v2/arrow_c_abi.h"
#include "drux_v2/drux_reader.h"
#include "drux_v2/result.h"

namespace drux {

enum class FilterOp : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge, In, NotIn };

// One operand of a filter term. Integer and float columns take Int or
// Float operands, boolean columns Int (0 or 1), string and bytes columns Text.
struct FilterValue {
  enum class Kind : std::uint8_t { Int, Float, Text };
  Kind kind = Kind::Int;
  std::int64_t i = 0;
  double f = 0.0;
  std::string text;
};

// `column op value`, or for In and NotIn `column op {values}`.
struct FilterTerm {
  std::size_t column = 0;  // index among the file's columns
  FilterOp op = FilterOp::Eq;
  std::vector<FilterValue> values;
};

// A row matches when every term of any one conjunction holds; an empty
// list of conjunctions matches every row.
using FilterConjunction = std::vector<FilterTerm>;

// What a scan reads: `columns` in output order (file indices, repeats
// allowed), the filter, and the key of each encrypted column that is read.
struct ScanRequest {
  std::vector<std::size_t> columns;
  std::vector<FilterConjunction> filters;
  std::vector<std::pair<std::size_t, AesKey>> keys;
  unsigned jobs = 1;  // threads decoding a batch's blocks, the caller's included
};

// Running totals over every stream of one scan. A block is counted read
// when fetched; every other block of the file counts as skipped.
struct ScanCounters {
  std::atomic<std::uint64_t> chunks_read{0};
  std::atomic<std::uint64_t> chunks_skipped{0};
  std::atomic<std::uint64_t> blocks_read{0};
  std::atomic<std::uint64_t> blocks_skipped{0};
  std::atomic<std::uint64_t> bytes_read{0};
  std::atomic<std::uint64_t> bytes_skipped{0};
};

// An open file and a checked request, shared by the streams made from it.
struct ScanSource {
  ScanSource(DruxReader opened, ScanRequest asked) : reader(std::move(opened)), request(std::move(asked)) {}

  DruxReader reader;
  ScanRequest request;
  std::vector<std::size_t> decoded;            // selected and filter columns, each once
  std::vector<std::optional<AesKey>> key_of;   // per file column
  mutable ScanCounters counters;  // streams count through a shared const source

  // The first error a stream of this scan met, for callers that see only
  // the consumer's rendering of it.
  void note_failure(const Error& error) const;
  std::optional<Error> failure() const;

 private:
  mutable std::mutex failure_mutex_;
  mutable std::optional<Error> failure_;
};

// Checks the request against the file: indices in range, filter operands
// fitting their column types, no filter on a nested column, a key for every
// encrypted column read.
Result<std::shared_ptr<ScanSource>> make_scan_source(DruxReader reader, ScanRequest request);

// Whether the footer leaves room for a matching row in `chunk`.
bool chunk_may_match(const DruxMetadata& meta, std::uint32_t chunk, const std::vector<FilterConjunction>& filters);

// One decoded column of one chunk in Arrow layout, every buffer 64-byte
// aligned and padded.
struct AlignedBuffer {
  struct Free {
    void operator()(std::uint8_t* p) const noexcept;
  };
  std::unique_ptr<std::uint8_t, Free> bytes;
  std::size_t size = 0;

  // `size` bytes, zero-filled up to the padding.
  void allocate(std::size_t n);
  std::uint8_t* data() const { return bytes.get(); }
};

struct ArrowColumn {
  ColType type = ColType::Int;
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  AlignedBuffer validity;  // nested columns with nulls only
  AlignedBuffer values;    // int64, float64, bit-packed bool, or offsets
  AlignedBuffer data;      // the bytes of var-length kinds
};

// The Arrow format string of a column type ("l", "g", "b", "u", "z", "U").
const char* arrow_format(ColType type);

// Reads, checks, decrypts and decodes one block.
Result<ArrowColumn> decode_arrow_column(const ScanSource& source, std::uint32_t chunk, std::size_t column);

// The rows of `chunk` that pass the filter, given the columns of
// `source.decoded` in that order (only the filter's columns are looked at);
// nullopt when every row passes.
std::optional<std::vector<std::uint32_t>> matching_rows(const ScanSource& source, std::uint32_t chunk,
                                                        const std::vector<ArrowColumn>& decoded);

// Adds one chunk to the counters: its needed blocks read, or all skipped.
void count_chunk(const ScanSource& source, std::uint32_t chunk, bool read);

// Writes the schema of the scan's output (a struct of the selected columns).
void export_scan_schema(const ScanSource& source, ArrowSchema* out);

// Writes a fresh stream over the scan into `out`; it shares `source`.
void export_scan_stream(std::shared_ptr<ScanSource> source, ArrowArrayStream* out);

}  // namespace drux
