// A float cell is checked by reading its digits as an exact integer (value x
// 10,000), rendering that integer back and comparing texts (which settles
// the canonical form), then comparing it with what the writer stores for
// the cell's 64-bit float: the one place where rounding could differ.
#include "python_bindings/csv_types.h"

#include <charconv>
#include <cstdlib>

#include "drux_v2/column_block.h"

namespace drux {
namespace {

constexpr std::int64_t kScale = 10000;
constexpr std::int64_t kFloatLimit = std::int64_t{1} << 53;  // exact in a double
constexpr std::size_t kMaxDecimals = 4;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// value x 10,000 read exactly from "-?digits(.digits)?", below 2^53 in magnitude.
std::optional<std::int64_t> exact_scaled(std::string_view cell) {
  std::size_t i = cell.starts_with('-') ? 1 : 0;
  std::int64_t magnitude = 0;
  std::size_t digits = 0;
  std::size_t decimals = 0;
  bool point = false;
  for (; i < cell.size(); ++i) {
    if (cell[i] == '.' && !point) {
      point = true;
      continue;
    }
    if (!is_digit(cell[i])) return std::nullopt;
    if (point && ++decimals > kMaxDecimals) return std::nullopt;
    magnitude = magnitude * 10 + (cell[i] - '0');
    if (magnitude >= kFloatLimit) return std::nullopt;
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  for (; decimals < kMaxDecimals; ++decimals) magnitude *= 10;
  if (magnitude >= kFloatLimit) return std::nullopt;
  return cell.starts_with('-') ? -magnitude : magnitude;
}

}  // namespace

std::optional<std::int64_t> parse_canonical_int(std::string_view cell) {
  const std::string_view digits = cell.starts_with('-') ? cell.substr(1) : cell;
  if (digits.empty() || (digits[0] == '0' && (digits.size() > 1 || cell.size() > 1))) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(cell.data(), cell.data() + cell.size(), value);
  if (error != std::errc{} || end != cell.data() + cell.size()) return std::nullopt;
  return value;
}

std::optional<double> parse_storable_float(std::string_view cell) {
  const std::optional<std::int64_t> scaled = exact_scaled(cell);
  if (!scaled || render_scaled_float(*scaled) != cell) return std::nullopt;
  double value = 0.0;
  const auto [end, error] = std::from_chars(cell.data(), cell.data() + cell.size(), value);
  if (error != std::errc{} || end != cell.data() + cell.size()) return std::nullopt;
  if (scale_float(value) != *scaled) return std::nullopt;
  return value;
}

std::uint8_t storable_kinds(std::string_view cell) {
  if (cell == "true" || cell == "false") return kMaybeBool;
  if (cell.empty() || !(is_digit(cell[0]) || cell[0] == '-')) return 0;  // the common text cell, at once
  if (const auto value = parse_canonical_int(cell)) {
    // Well inside the float limit an integer is a storable float too, with
    // no second parse: x 10,000 it is exact in a double.
    constexpr std::int64_t kSurelyStorable = 100'000'000'000;
    if (*value > -kSurelyStorable && *value < kSurelyStorable) return kMaybeInt | kMaybeFloat;
    return parse_storable_float(cell) ? kMaybeInt | kMaybeFloat : kMaybeInt;
  }
  return parse_storable_float(cell) ? kMaybeFloat : 0;
}

ColType inferred_type(std::uint8_t mask) {
  if (mask & kMaybeInt) return ColType::Int;
  if (mask & kMaybeFloat) return ColType::Float;
  if (mask & kMaybeBool) return ColType::Bool;
  return ColType::Str;
}

std::string render_scaled_float(std::int64_t scaled) {
  const std::uint64_t magnitude =
      scaled < 0 ? static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
  std::string text = scaled < 0 ? "-" : "";
  text += std::to_string(magnitude / kScale);
  std::uint64_t fraction = magnitude % kScale;
  if (fraction == 0) return text;
  std::string digits = std::to_string(fraction + kScale).substr(1);  // four digits with leading zeros
  while (digits.back() == '0') digits.pop_back();
  return text + "." + digits;
}

}  // namespace drux
