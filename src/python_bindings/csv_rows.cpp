// Fields are found eight bytes at a time and go straight from the line into
// their column's payload: the only copy of a field's bytes. Deliberately not
// here: any allocation per line or per field once the first chunk is built.
#include "python_bindings/csv_rows.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "drux_v2/bytes.h"
#include "python_bindings/csv_types.h"

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

CsvChunk::CsvChunk(std::size_t num_columns) : CsvChunk(std::vector<ColType>(num_columns, ColType::Str)) {}

CsvChunk::CsvChunk(std::vector<ColType> types)
    : types_(std::move(types)), columns_(types_.size()), values_(types_.size()), slot_(types_.size()) {
  all_text_ = std::all_of(types_.begin(), types_.end(), [](ColType t) { return t == ColType::Str; });
  builders_.reserve(types_.size());
  value_builders_.reserve(types_.size());
  clear();
}

void CsvChunk::add_line(std::string_view line) {
  std::size_t c = 0;
  if (all_text_) {
    for_each_field(line, builders_.size(), [&](std::string_view field) { builders_[c++].add(field); });
    for (; c < builders_.size(); ++c) builders_[c].add({});
  } else {
    for_each_field(line, types_.size(), [&](std::string_view field) { add_typed_field(c++, field); });
    for (; c < types_.size(); ++c) add_typed_field(c, {});
  }
  ++rows_;
}

void CsvChunk::add_typed_field(std::size_t c, std::string_view field) {
  if (types_[c] == ColType::Str) {
    builders_[slot_[c]].add(field);
    return;
  }
  ValueColumnBuilder& builder = value_builders_[slot_[c]];
  switch (types_[c]) {
    case ColType::Int:
      if (const auto v = parse_canonical_int(field)) return builder.add_int(*v);
      break;
    case ColType::Float:
      if (const auto v = parse_storable_float(field)) return builder.add_float(*v);
      break;
    default:  // boolean
      if (field == "true" || field == "false") return builder.add_bool(field == "true");
      break;
  }
  builder.add_int(0);
  if (!bad_cell_) bad_cell_ = CellPosition{c, rows_};
}

std::span<ColumnChunk> CsvChunk::finish() {
  for (StrColumnBuilder& builder : builders_) builder.finish();
  for (ValueColumnBuilder& builder : value_builders_) builder.finish();
  return columns_;
}

void CsvChunk::clear() {
  builders_.clear();
  value_builders_.clear();
  for (std::size_t c = 0; c < types_.size(); ++c) {
    if (types_[c] == ColType::Str) {
      slot_[c] = static_cast<std::uint32_t>(builders_.size());
      builders_.emplace_back(columns_[c]);
    } else {
      slot_[c] = static_cast<std::uint32_t>(value_builders_.size());
      value_builders_.emplace_back(types_[c], columns_[c], values_[c]);
    }
  }
  rows_ = 0;
  bad_cell_.reset();
}

}  // namespace drux
