// Fields are found eight bytes at a time and stored as views until the one copy into
// their cell; a field of up to 15 bytes stays in the string's inline
// storage, a longer one reuses the capacity an earlier chunk left there.
#include "python_bindings/csv_rows.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "python_bindings/text_trim.h"

namespace drux {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
constexpr std::uint64_t kCommas = kOnes * ',';

// First comma in [p, end), or end. Fields are short, so eight bytes are
// tested at a time in a register rather than through a library call: the
// lowest byte flagged by the zero-byte test of (word ^ commas) is exact.
const char* find_comma(const char* p, const char* end) {
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const std::uint64_t x = word ^ kCommas;
    const std::uint64_t hit = (x - kOnes) & ~x & kHighBits;
    if (hit != 0) return p + (std::countr_zero(hit) >> 3);
    p += 8;
  }
  while (p < end && *p != ',') ++p;
  return p;
}

}  // namespace

void fill_row(std::string_view line, Row& row) {
  const char* field = line.data();
  const char* const end = field + line.size();
  std::size_t c = 0;
  while (c < row.size()) {
    const char* comma = find_comma(field, end);
    row[c++].assign_str(trim_white_space(std::string_view(field, static_cast<std::size_t>(comma - field))));
    if (comma == end) break;
    field = comma + 1;
  }
  for (; c < row.size(); ++c) row[c].assign_str({});
}

}  // namespace drux
