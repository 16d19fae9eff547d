// The codes of the DRUX v2 format, each declared once: the column types of
// the schema, the encoding tags of the footer, and the constants of the
// column payloads (float scaling, membership filter, counter blocks).
//
// Each code comes with its names in one table, so that error messages, the
// native module and through it the Python package all take the names from
// here instead of copying them. Deliberately not here: the byte layout of
// the file's records (container.h) and the codecs themselves.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace drux {

// How a column's values are stored: the type byte of a schema entry.
enum class ColType : std::uint8_t { Int = 1, Float = 2, Bool = 3, Str = 4, Bytes = 5, Object = 6, List = 7, Map = 8 };

// Encoding tags of a column chunk, stored in its footer entry.
enum class Encoding : std::uint8_t {
  Plain = 0,          // string, bytes and nested columns
  RunLength = 1,      // integer and float columns
  Delta = 2,          // integer and float columns
  Bitmap = 4,         // boolean columns
  ConstantDelta = 6,  // integer and float columns
  FrameOfReference = 7,
};

// A column type with its short name (the Python package's) and the word
// error messages use.
struct ColTypeName {
  ColType type;
  std::string_view name;
  std::string_view word;
};

inline constexpr std::array<ColTypeName, 8> kColTypeNames = {{
    {ColType::Int, "int", "integer"},
    {ColType::Float, "float", "float"},
    {ColType::Bool, "bool", "boolean"},
    {ColType::Str, "str", "string"},
    {ColType::Bytes, "bytes", "bytes"},
    {ColType::Object, "object", "object"},
    {ColType::List, "list", "list"},
    {ColType::Map, "map", "map"},
}};

struct EncodingName {
  Encoding tag;
  std::string_view name;
};

inline constexpr std::array<EncodingName, 6> kEncodingNames = {{
    {Encoding::Plain, "plain"},
    {Encoding::RunLength, "run-length"},
    {Encoding::Delta, "delta"},
    {Encoding::Bitmap, "bitmap"},
    {Encoding::ConstantDelta, "constant-delta"},
    {Encoding::FrameOfReference, "frame-of-reference"},
}};

// Whether `code` is the type byte of a column type.
constexpr bool is_col_type(std::uint8_t code) {
  return code >= static_cast<std::uint8_t>(ColType::Int) && code <= static_cast<std::uint8_t>(ColType::Map);
}

// Float columns store round(value * 10,000) and open with these two bytes:
// a marker and the number of decimal places.
inline constexpr double kFloatScale = 10000.0;
inline constexpr std::uint8_t kFloatMarker = 0xFE;
inline constexpr std::uint8_t kFloatDecimals = 4;

// The 4096-bit membership filter of a string column chunk.
inline constexpr std::uint32_t kBloomBits = 4096;
inline constexpr std::uint64_t kBloomMultiplier = 0x517cc1b727220a95ULL;
inline constexpr std::array<std::uint64_t, 3> kBloomSeeds = {0x9e3779b97f4a7c15ULL, 0x6c62272e07bb0142ULL,
                                                             0xbf58476d1ce4e5b9ULL};

// Counter-block derivation of encrypted columns.
inline constexpr std::uint32_t kCounterMultiplier = 0x7ed7fb2f;

}  // namespace drux
