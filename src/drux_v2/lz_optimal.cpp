// Thorough parse of the LZ stage: deep match search, then the cheapest path.
//
// Two ideas make it small. The search walks hash chains of six-byte hashes
// (the shortest match a token may hold) over the whole 65535-byte reach of a
// distance, much deeper than the exact parse, and keeps at each position
// every match longer than the ones nearer to it. Then a forward pass prices
// every way through the block, one literal or one match length at a time,
// with what the entropy stage will spend on each token byte, and the
// cheapest path is written out. Prices come from an earlier token stream's
// own Huffman code lengths, so parsing twice lets the second parse price
// the statistics of the first.
// Deliberately not here: positions inside a very long match are neither
// searched nor priced at lengths between the usual and the longest, and
// the last eight positions are never searched; a price does not see how a
// token changes the code it is priced by.
#include "drux_v2/lz_optimal.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>

#include "drux_v2/lz_tokens.h"

namespace drux {
namespace {

constexpr unsigned kHashBits = 16;
constexpr std::uint64_t kSixBytes = (std::uint64_t{1} << 48) - 1;
constexpr std::uint64_t kHashMultiplier = 0x9E3779B97F4A7C15u;
constexpr std::uint32_t kNoPosition = 0xFFFFFFFFu;  // blocks are shorter than this
// Chain entries examined per position.
constexpr int kChainVisits = 48;
// A match this long ends the search, and the positions inside it are not
// searched: it is taken whole or priced at usual lengths.
constexpr std::size_t kLongMatch = 256;
// The search stops this far before the end, so every probe may load eight
// bytes at the cursor.
constexpr std::size_t kUnsearchedTail = 8;
// A byte value the earlier token stream did not hold, priced in bits.
constexpr std::uint32_t kAbsentBytePrice = 12;

static_assert(std::endian::native == std::endian::little);

std::uint64_t load_u64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Length of the common prefix of a and b, at most max_len bytes.
std::size_t common_length(const std::uint8_t* a, const std::uint8_t* b, std::size_t max_len) {
  std::size_t len = 0;
  while (len + 8 <= max_len) {
    const std::uint64_t diff = load_u64(a + len) ^ load_u64(b + len);
    if (diff != 0) return len + static_cast<std::size_t>(std::countr_zero(diff) >> 3);
    len += 8;
  }
  while (len < max_len && a[len] == b[len]) ++len;
  return len;
}

std::size_t hash_at(const std::uint8_t* p) {
  return static_cast<std::size_t>(((load_u64(p) & kSixBytes) * kHashMultiplier) >> (64 - kHashBits));
}

std::uint32_t pack(std::size_t length, std::size_t distance) {
  return static_cast<std::uint32_t>(length << 16 | distance);
}
std::size_t length_of(std::uint32_t packed) { return packed >> 16; }
std::size_t distance_of(std::uint32_t packed) { return packed & 0xFFFF; }

// Cost of the two bytes of a 16-bit field.
std::uint32_t field_price(const TokenBytePrices& prices, std::size_t v) { return prices[v & 0xFF] + prices[v >> 8]; }

}  // namespace

LzMatchCandidates find_lz_match_candidates(ByteView block) {
  const std::size_t size = block.size();
  const std::uint8_t* data = block.data();
  LzMatchCandidates m;
  m.first.assign(size + 1, 0);
  if (size <= kUnsearchedTail) return m;
  m.at.reserve(size);
  const std::size_t limit = size - kUnsearchedTail;
  std::vector<std::uint32_t> head(std::size_t{1} << kHashBits, kNoPosition);
  // previous[p]: the position before p with the same hash.
  auto previous = std::make_unique_for_overwrite<std::uint32_t[]>(limit);
  const auto insert = [&](std::size_t p) {
    const std::size_t h = hash_at(data + p);
    previous[p] = head[h];
    head[h] = static_cast<std::uint32_t>(p);
  };

  std::size_t p = 0;
  while (p < limit) {
    m.first[p] = static_cast<std::uint32_t>(m.at.size());
    const std::size_t h = hash_at(data + p);
    std::size_t candidate = head[h];
    previous[p] = static_cast<std::uint32_t>(candidate);
    head[h] = static_cast<std::uint32_t>(p);

    const std::size_t max_len = std::min(size - p, kLzMaxMatch);
    const std::uint8_t* here = data + p;
    std::size_t best = kLzMinMatch - 1;
    for (int visits = 0; visits < kChainVisits && candidate != kNoPosition; ++visits) {
      const std::size_t distance = p - candidate;
      if (distance > kLzMaxDistance) break;
      const std::uint8_t* there = data + candidate;
      // Only a candidate that agrees one byte past the best so far can beat it.
      if (there[best] == here[best]) {
        const std::size_t len = common_length(there, here, max_len);
        if (len > best) {
          best = len;
          m.at.push_back(pack(len, distance));
          if (len >= kLongMatch || len == max_len) break;
        }
      }
      candidate = previous[candidate];
    }
    ++p;
    if (best >= kLongMatch) {
      const std::size_t end = std::min(p - 1 + best, limit);
      for (; p < end; ++p) {
        m.first[p] = static_cast<std::uint32_t>(m.at.size());
        insert(p);
      }
    }
  }
  for (; p <= size; ++p) m.first[p] = static_cast<std::uint32_t>(m.at.size());
  return m;
}

TokenBytePrices token_byte_prices(const CodeLengths& lengths) {
  TokenBytePrices prices;
  for (std::size_t v = 0; v < prices.size(); ++v) prices[v] = lengths[v] == 0 ? kAbsentBytePrice : lengths[v];
  return prices;
}

void append_lz_tokens_priced(ByteView block, const LzMatchCandidates& matches, const TokenBytePrices& prices,
                             ByteBuffer& tokens) {
  const std::size_t size = block.size();
  const std::uint8_t* data = block.data();
  // cost[i]: least price of the first i bytes; step[i]: the last token of
  // that path, a match packed as length and distance, or 0 for a literal.
  std::vector<std::uint32_t> cost(size + 1, std::numeric_limits<std::uint32_t>::max());
  auto step = std::make_unique_for_overwrite<std::uint32_t[]>(size + 1);
  cost[0] = 0;
  const std::uint32_t escaped_marker = prices[kLzTokenMarker] + 3 * prices[0] + prices[1];
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint32_t here = cost[i];
    const std::uint32_t literal = here + (data[i] == kLzTokenMarker ? escaped_marker : prices[data[i]]);
    if (literal < cost[i + 1]) {
      cost[i + 1] = literal;
      step[i + 1] = 0;
    }
    std::size_t shortest = kLzMinMatch;
    for (std::uint32_t k = matches.first[i]; k < matches.first[i + 1]; ++k) {
      const std::size_t length = length_of(matches.at[k]);
      const std::size_t distance = distance_of(matches.at[k]);
      const std::uint32_t base = here + prices[kLzTokenMarker] + field_price(prices, distance);
      const std::size_t priced_to = std::min(length, kLongMatch);
      for (std::size_t len = shortest; len <= priced_to; ++len) {
        const std::uint32_t c = base + field_price(prices, len);
        if (c < cost[i + len]) {
          cost[i + len] = c;
          step[i + len] = pack(len, distance);
        }
      }
      if (length > priced_to) {
        const std::uint32_t c = base + field_price(prices, length);
        if (c < cost[i + length]) {
          cost[i + length] = c;
          step[i + length] = pack(length, distance);
        }
      }
      shortest = length + 1;
    }
  }

  // Walk the cheapest path back from the end, then write it forwards.
  std::vector<std::uint32_t> ends;
  for (std::size_t i = size; i > 0;) {
    if (step[i] == 0) {
      --i;
    } else {
      ends.push_back(static_cast<std::uint32_t>(i));
      i -= length_of(step[i]);
    }
  }
  LzTokenWriter out(tokens, size + size / 8 + 16);
  std::size_t literal_start = 0;
  for (auto e = ends.rbegin(); e != ends.rend(); ++e) {
    const std::uint32_t match = step[*e];
    const std::size_t start = *e - length_of(match);
    out.literals(data + literal_start, data + start);
    out.match(distance_of(match), length_of(match));
    literal_start = *e;
  }
  out.literals(data + literal_start, data + size);
  out.finish();
}

}  // namespace drux
