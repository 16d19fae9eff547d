// Views of a KVal for storage in a column of a given type. Every view is
// total: a variant that does not fit falls back to 0, false or empty text.
#include "drux_v2/kval.h"

#include <cmath>
#include <limits>

namespace drux {

std::int64_t int_view(const KVal& v) {
  switch (v.tag()) {
    case KTag::Int:
      return v.int_value();
    case KTag::Float: {
      const double f = v.float_value();
      if (std::isnan(f)) return 0;
      if (f >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
      if (f < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
      return static_cast<std::int64_t>(f);  // truncates toward zero
    }
    case KTag::Bool:
      return v.bool_value() ? 1 : 0;
    default:
      return 0;
  }
}

double float_view(const KVal& v) {
  switch (v.tag()) {
    case KTag::Float:
      return v.float_value();
    case KTag::Int:
      return static_cast<double>(v.int_value());
    default:
      return 0.0;
  }
}

static bool spells_true(std::string_view s) {
  if (s == "1") return true;
  if (s.size() != 4) return false;
  static constexpr char kTrue[] = "true";
  for (std::size_t i = 0; i < 4; ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kTrue[i]) return false;
  }
  return true;
}

bool bool_view(const KVal& v) {
  switch (v.tag()) {
    case KTag::Str:
      return spells_true(v.str_value());
    case KTag::Bool:
      return v.bool_value();
    case KTag::Int:
      return v.int_value() != 0;
    default:
      return false;
  }
}

}  // namespace drux
