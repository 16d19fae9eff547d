// Re-deriving a footer entry from decoded cells; see footer_check.h.
#include "drux_v2/footer_check.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "drux_v2/column_block.h"

namespace drux {
namespace {

std::string str(std::int64_t v) { return std::to_string(v); }

// What a Null of a plain column kind reads back as; nested columns store
// Null itself.
bool reads_as_null(ColType type, const KVal& cell) {
  switch (type) {
    case ColType::Int: return cell.tag() == KTag::Int && cell.int_value() == 0;
    case ColType::Float: return cell.tag() == KTag::Float && cell.float_value() == 0.0;
    case ColType::Bool: return cell.tag() == KTag::Bool && !cell.bool_value();
    case ColType::Str: return cell.tag() == KTag::Str && cell.str_value().empty();
    case ColType::Bytes: return cell.tag() == KTag::Bytes && cell.bytes_value().empty();
    case ColType::Object:
    case ColType::List:
    case ColType::Map: return cell.is_null();
  }
  return false;
}

// A float stored at the edge of the 64-bit range has lost its magnitude, and
// with it the truncated value the statistics keep.
bool saturated(const KVal& cell) {
  const std::int64_t v = scale_float(cell.float_value());
  return v == std::numeric_limits<std::int64_t>::max() || v == std::numeric_limits<std::int64_t>::min();
}

bool bound_matches(ColType type, std::int64_t stored, std::int64_t derived) {
  if (type != ColType::Float) return stored == derived;
  const auto distance = static_cast<std::uint64_t>(stored) - static_cast<std::uint64_t>(derived);
  return distance <= 1 || distance == std::numeric_limits<std::uint64_t>::max();  // within one either way
}

}  // namespace

Status check_entry_against_cells(const KColumn& column, const FooterEntry& entry, std::span<const KVal> cells) {
  const ColType type = column.col_type;
  const std::uint32_t nulls = entry.stats.null_count;
  std::uint64_t null_like = 0;
  for (const KVal& cell : cells) null_like += reads_as_null(type, cell) ? 1 : 0;
  if (is_nested(type)) {
    DRUX_FAIL_IF(null_like != nulls, "footer null count " + str(nulls) + ", but the block holds " +
                                         str(static_cast<std::int64_t>(null_like)) + " nulls");
  } else {
    DRUX_FAIL_IF(null_like < nulls, "footer null count " + str(nulls) + ", but only " +
                                        str(static_cast<std::int64_t>(null_like)) + " cells can be nulls");
  }

  // The cells as the writer was given them, `nulls` of the null-like ones
  // back to Null.
  std::vector<Row> rows(cells.size());
  std::uint32_t restored = 0;
  // A boolean column's bounds are the integer views of the cells it was
  // given (7 for an Int 7), which its bits do not keep.
  bool skip_bounds = type == ColType::Bool;
  for (std::size_t r = 0; r < cells.size(); ++r) {
    if (restored < nulls && reads_as_null(type, cells[r])) {
      rows[r].emplace_back();
      ++restored;
    } else {
      rows[r].push_back(cells[r]);
      if (type == ColType::Float && cells[r].tag() == KTag::Float && saturated(cells[r])) skip_bounds = true;
    }
  }
  const KColumn plain = make_column(column.name, type);
  ColumnScratch scratch;
  ColumnChunk derived;
  encode_column_chunk(plain, rows, 0, 0, scratch, derived);

  const ColStats& want = derived.stats;
  const ColStats& have = entry.stats;
  DRUX_FAIL_IF(have.null_count != want.null_count,
               "footer null count " + str(have.null_count) + ", the cells give " + str(want.null_count));
  if (!skip_bounds) {
    DRUX_FAIL_IF(!bound_matches(type, have.min_int, want.min_int),
                 "footer minimum " + str(have.min_int) + ", the cells give " + str(want.min_int));
    DRUX_FAIL_IF(!bound_matches(type, have.max_int, want.max_int),
                 "footer maximum " + str(have.max_int) + ", the cells give " + str(want.max_int));
  }
  DRUX_FAIL_IF(have.min_str != want.min_str, "footer's smallest text differs from the cells' smallest");
  DRUX_FAIL_IF(have.max_str != want.max_str, "footer's largest text differs from the cells' largest");
  DRUX_FAIL_IF(entry.bloom != derived.bloom, "footer's membership filter differs from the one the cells give");
  return {};
}

}  // namespace drux
