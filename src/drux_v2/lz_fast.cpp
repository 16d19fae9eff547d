// Fast parse of the LZ stage: greedy matching with one probe per position.
//
// A hash of the six bytes at a position (the shortest match a token may
// hold) picks one table entry, the last position that had the same hash;
// when its six bytes agree the match is taken, extended forward eight bytes
// per step and backward into the pending literals. With no match the
// cursor steps further the longer the literal run, so data that does not
// repeat is crossed quickly. The table is sized to the block, so small
// blocks pay little to clear it.
// Deliberately not here: chains, lazy matching and any position inside a
// match entering the table; the exact parse in lz.cpp and the thorough one
// in lz_optimal.cpp do those.
#include "drux_v2/lz_fast.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "drux_v2/lz_tokens.h"

namespace drux {
namespace {

constexpr unsigned kMinTableBits = 10;
constexpr unsigned kMaxTableBits = 16;
// The search stops this far before the end, so every probe may load eight
// bytes at the cursor.
constexpr std::size_t kUnsearchedTail = 8;
// A literal run of 2^kSkipShift positions makes the step one longer.
constexpr unsigned kSkipShift = 5;
constexpr std::uint64_t kSixBytes = (std::uint64_t{1} << 48) - 1;
constexpr std::uint64_t kHashMultiplier = 0x9E3779B97F4A7C15u;

static_assert(std::endian::native == std::endian::little);

// Enough table bits for one entry per position of the block, within bounds.
unsigned table_bits(std::size_t size) {
  const unsigned bits = static_cast<unsigned>(std::bit_width(size));
  return std::clamp(bits, kMinTableBits, kMaxTableBits);
}

}  // namespace

void append_lz_tokens_fast(ByteView block, ByteBuffer& tokens) {
  const std::size_t size = block.size();
  const std::uint8_t* data = block.data();
  LzTokenWriter out(tokens, size + size / 8 + 16);
  if (size <= kUnsearchedTail + kLzMinMatch) {
    out.literals(data, data + size);
    out.finish();
    return;
  }
  const unsigned bits = table_bits(size);
  const unsigned shift = 64 - bits;
  // Entries hold positions; 0 is a real position, and the distance check
  // below keeps an entry from matching the cursor it was read at.
  auto table = std::make_unique<std::uint32_t[]>(std::size_t{1} << bits);
  const auto hash = [shift](std::uint64_t bytes) {
    return static_cast<std::size_t>(((bytes & kSixBytes) * kHashMultiplier) >> shift);
  };

  const std::size_t limit = size - kUnsearchedTail;
  std::size_t k = 0;
  std::size_t literal_start = 0;
  std::size_t misses = 0;
  // The next position's hash is taken before this one is settled, so its
  // table entry is on its way while the candidate here is compared.
  std::size_t h = hash(load_u64_le(data));
  while (k < limit) {
    const std::uint64_t here = load_u64_le(data + k);
    const std::size_t candidate = table[h];
    table[h] = static_cast<std::uint32_t>(k);
    const std::size_t next = k + 1 + (misses >> kSkipShift);
    const std::size_t next_hash = hash(load_u64_le(data + std::min(next, limit)));
    const std::size_t distance = k - candidate;
    if (distance - 1 >= kLzMaxDistance || ((load_u64_le(data + candidate) ^ here) & kSixBytes) != 0) {
      ++misses;
      k = next;
      h = next_hash;
      continue;
    }
    misses = 0;
    std::size_t start = k;
    std::size_t length = kLzMinMatch +
                         common_length(data + candidate + kLzMinMatch, data + k + kLzMinMatch,
                                       std::min(size - k, kLzMaxMatch) - kLzMinMatch);
    // Bytes before the match that also agree join it.
    while (start > literal_start && start > distance && length < kLzMaxMatch &&
           data[start - 1] == data[start - 1 - distance]) {
      --start;
      ++length;
    }
    out.literals(data + literal_start, data + start);
    out.match(distance, length);
    k = start + length;
    literal_start = k;
    // Positions inside the match stay out of the table: entering even one
    // of them measured slower and no smaller on text.
    if (k >= limit) break;
    h = hash(load_u64_le(data + k));
  }
  out.literals(data + literal_start, data + size);
  out.finish();
}

}  // namespace drux
