// Fields are found eight bytes at a time and go straight from the line into
// their column's payload: the only copy of a field's bytes. Deliberately not
// here: any allocation per line or per field once the first chunk is built.
#include "python_bindings/csv_rows.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "drux_v2/bytes.h"

namespace drux {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
constexpr std::uint64_t kCommas = kOnes * ',';

}  // namespace

// Fields are short, so eight bytes are tested at a time in a register rather
// than through a library call: the lowest byte flagged by the zero-byte test
// of (word ^ commas) is exact.
const char* find_comma(const char* p, const char* end) {
  while (end - p >= 8) {
    const std::uint64_t x = load_u64_le(reinterpret_cast<const std::uint8_t*>(p)) ^ kCommas;
    const std::uint64_t hit = (x - kOnes) & ~x & kHighBits;
    if (hit != 0) return p + (std::countr_zero(hit) >> 3);
    p += 8;
  }
  while (p < end && *p != ',') ++p;
  return p;
}

std::vector<std::string> split_column_names(std::string_view header) {
  std::vector<std::string> names;
  for_each_field(header, header.size() + 1, [&](std::string_view name) { names.emplace_back(name); });
  return names;
}

CsvChunk::CsvChunk(std::size_t num_columns) : columns_(num_columns) {
  builders_.reserve(num_columns);
  clear();
}

void CsvChunk::add_line(std::string_view line) {
  std::size_t c = 0;
  for_each_field(line, builders_.size(), [&](std::string_view field) { builders_[c++].add(field); });
  for (; c < builders_.size(); ++c) builders_[c].add({});
  ++rows_;
}

std::span<ColumnChunk> CsvChunk::finish() {
  for (StrColumnBuilder& builder : builders_) builder.finish();
  return columns_;
}

void CsvChunk::clear() {
  builders_.clear();
  for (ColumnChunk& column : columns_) builders_.emplace_back(column);
  rows_ = 0;
}

}  // namespace drux
