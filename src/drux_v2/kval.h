// The in-memory vocabulary of a table: cells, columns, statistics and the
// membership filter, with the views the writer takes of a cell by column
// type. A cell owns its nested values, so copies are deep and no cell
// refers to another. Deliberately not here: the format's codes (format.h)
// and the records of the file (container.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "drux_v2/format.h"

namespace drux {

// In-memory discriminants of KVal. They never reach a file: nested values
// carry their own tag numbering on disk.
enum class KTag : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3, Bytes = 4, Null = 5, Object = 6, List = 7, Map = 8 };

class KVal;
using KObject = std::vector<std::pair<std::string, KVal>>;  // ordered; names may repeat
using KList = std::vector<KVal>;
using KMap = std::vector<std::pair<KVal, KVal>>;  // ordered; keys may repeat

// One table cell. Owns everything beneath it; copies are deep.
class KVal {
 public:
  KVal() : v_(std::in_place_index<5>) {}  // Null

  static KVal Int(std::int64_t v) { return KVal(std::in_place_index<0>, v); }
  static KVal Float(double v) { return KVal(std::in_place_index<1>, v); }
  static KVal Bool(bool v) { return KVal(std::in_place_index<2>, v); }
  static KVal Str(std::string v) { return KVal(std::in_place_index<3>, std::move(v)); }
  static KVal Bytes(std::string v) { return KVal(std::in_place_index<4>, std::move(v)); }
  static KVal Null() { return KVal(); }
  static KVal Object(KObject v) { return KVal(std::in_place_index<6>, std::move(v)); }
  static KVal List(KList v) { return KVal(std::in_place_index<7>, std::move(v)); }
  static KVal Map(KMap v) { return KVal(std::in_place_index<8>, std::move(v)); }

  KTag tag() const { return static_cast<KTag>(v_.index()); }
  bool is_null() const { return tag() == KTag::Null; }

  // Payload access; the tag must match.
  std::int64_t int_value() const { return std::get<0>(v_); }
  double float_value() const { return std::get<1>(v_); }
  bool bool_value() const { return std::get<2>(v_); }
  const std::string& str_value() const { return std::get<3>(v_); }
  const std::string& bytes_value() const { return std::get<4>(v_); }
  const KObject& object_value() const { return std::get<6>(v_); }
  const KList& list_value() const { return std::get<7>(v_); }
  const KMap& map_value() const { return std::get<8>(v_); }

 private:
  template <std::size_t I, class... Args>
  explicit KVal(std::in_place_index_t<I> index, Args&&... args) : v_(index, std::forward<Args>(args)...) {}

  std::variant<std::int64_t, double, bool, std::string, std::string, std::monostate, KObject, KList, KMap> v_;
};

// A row holds one value per column, in column order; a chunk is a run of rows.
using Row = std::vector<KVal>;

// Cell c of a row: a row shorter than c + 1 values reads as Null there.
// Inline: every column walk calls it once per row.
inline const KVal& cell_at(const Row& row, std::size_t c) {
  static const KVal kNull;
  return c < row.size() ? row[c] : kNull;
}

inline bool is_nested(ColType t) { return t == ColType::Object || t == ColType::List || t == ColType::Map; }

using AesKey = std::array<std::uint8_t, 32>;

struct KColumn {
  std::string name;
  AesKey key{};            // all zero: the column has no key
  bool encrypted = false;  // payloads pass through AES-256-CTR
  ColType col_type = ColType::Str;
};

inline KColumn make_column(std::string name, ColType type = ColType::Str, bool encrypted = false, AesKey key = {}) {
  return KColumn{std::move(name), key, encrypted, type};
}

// Statistics of one column within one chunk.
struct ColStats {
  std::string min_str;  // string columns only
  std::string max_str;
  std::int64_t min_int = 0;  // integer, float and boolean columns
  std::int64_t max_int = 0;
  std::uint32_t null_count = 0;
};

// Bit i of the 4096-bit membership filter is bit (i mod 64) of word (i div 64).
using BloomFilter = std::array<std::uint64_t, 64>;

// ---- Views: how the writer reads a value for a column of a given type -------

std::int64_t int_view(const KVal& v);
double float_view(const KVal& v);
bool bool_view(const KVal& v);
// Inline: the writer calls it for every cell of every string column.
inline std::string_view text_view(const KVal& v) {
  return v.tag() == KTag::Str ? std::string_view(v.str_value()) : std::string_view();
}

// Text order: unsigned bytewise, a proper prefix sorts first.
inline bool text_less(std::string_view a, std::string_view b) {
  return a < b;  // char_traits<char>::compare orders as unsigned char
}

}  // namespace drux
