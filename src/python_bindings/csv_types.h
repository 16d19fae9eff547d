// Lossless column types for CSV text. A column may be stored as integers,
// floats or booleans only when every cell's text comes back exactly from
// the stored value, so a typed file renders to the very cells the all-text
// conversion stores:
//   integer  the canonical decimal of a signed 64-bit value: an optional
//            "-", no leading zeros, no "+", not "-0";
//   float    the canonical decimal of a value with at most four decimals
//            (no trailing zeros after the point, no exponent, not "-0"),
//            whose value x 10,000 is exactly the integer the writer stores
//            for it, checked per cell, and below 2^53 in magnitude so that
//            any reader's 64-bit float gives the same text back;
//   boolean  exactly "true" or "false".
// An empty cell, "NA" or any other text keeps the column text: these column
// kinds keep no per-cell null. A column whose cells are all integers stays
// an integer column even though they are floats too.
//
// Deliberately not here: dates, times and any locale-dependent number form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "drux_v2/kval.h"

namespace drux {

// Which typed columns can hold a cell, as bits: a column's mask is the AND
// of its cells' masks.
inline constexpr std::uint8_t kMaybeInt = 1;
inline constexpr std::uint8_t kMaybeFloat = 2;
inline constexpr std::uint8_t kMaybeBool = 4;
inline constexpr std::uint8_t kMaybeAnyType = kMaybeInt | kMaybeFloat | kMaybeBool;

// The kinds that can store the (trimmed) cell and give back the same text.
std::uint8_t storable_kinds(std::string_view cell);

// The column type for a column mask: integer, else float, else boolean, else string.
ColType inferred_type(std::uint8_t mask);

// The value of a canonical integer cell; none for any other text.
std::optional<std::int64_t> parse_canonical_int(std::string_view cell);

// The value of a cell a float column can store losslessly; none otherwise.
std::optional<double> parse_storable_float(std::string_view cell);

// The text of a float column's stored value (value x 10,000): the inverse of
// the float rule, e.g. 390200 -> "39.02", -5000 -> "-0.5", 10120000 -> "1012".
std::string render_scaled_float(std::int64_t scaled);

}  // namespace drux
