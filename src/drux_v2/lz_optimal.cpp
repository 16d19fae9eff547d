// Thorough parse of the LZ stage: deep match search, then the cheapest path.
//
// Two ideas make it small. The search inserts positions into a binary tree
// per six-byte hash (six bytes being the shortest match a token may hold),
// ordered by the bytes that follow; walking down it meets the longest
// matches within the whole 65535-byte reach in a few steps, where a hash
// chain would visit every position with the same six bytes. Each match
// longer than those met before it is kept. Then a forward pass prices every
// way through the block, one literal or one match length at a time, with
// what the entropy stage will spend on each token byte, and writes the
// cheapest path. The prices are the Huffman code lengths of an earlier
// token stream of the same block.
// Deliberately not here: positions inside a match of 16 bytes or more, past
// the one after its start, are neither searched nor inserted (their matches
// are the outer match's, shortened), which takes a third off the search on
// text for under 3 % in size; lengths of a match past 256 bytes are priced
// only in full; a price does not see how a token changes the code it is
// priced by.
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
constexpr std::uint64_t kHashMultiplier = 0x9E3779B97F4A7C15u;
constexpr std::uint32_t kNoPosition = 0xFFFFFFFFu;  // blocks are shorter than this
// Inside a match this long positions take the match's own, shortened.
constexpr std::size_t kDeriveFrom = 16;
// Tree nodes a search visits at most.
constexpr int kTreeVisits = 24;
// A match this long ends the search; the positions inside it enter the
// tree but record no matches, and it is priced at usual lengths or whole.
constexpr std::size_t kLongMatch = 256;
// No match starts in the last five positions.
constexpr std::size_t kUnsearchedTail = kLzMinMatch - 1;
// A byte value the earlier token stream did not hold, priced in bits.
constexpr std::uint32_t kAbsentBytePrice = 12;

static_assert(std::endian::native == std::endian::little);

// Hash of the six bytes at p, read without touching the bytes after them.
std::size_t hash_at(const std::uint8_t* p) {
  std::uint32_t low;
  std::uint16_t high;
  std::memcpy(&low, p, sizeof low);
  std::memcpy(&high, p + sizeof low, sizeof high);
  const std::uint64_t six = low | std::uint64_t{high} << 32;
  return static_cast<std::size_t>((six * kHashMultiplier) >> (64 - kHashBits));
}

std::uint32_t pack(std::size_t length, std::size_t distance) {
  return static_cast<std::uint32_t>(length << 16 | distance);
}
std::size_t length_of(std::uint32_t packed) { return packed >> 16; }
std::size_t distance_of(std::uint32_t packed) { return packed & 0xFFFF; }

// Cost of the two bytes of a 16-bit field.
std::uint32_t field_price(const TokenBytePrices& prices, std::size_t v) { return prices[v & 0xFF] + prices[v >> 8]; }

}  // namespace

namespace {

// A binary tree of the positions in reach, one per hash of six bytes,
// ordered by the bytes that follow each position. Inserting a position
// walks down from the most recent one, so the walk meets the longest match
// in reach in a few steps however many positions share the hash, and it
// rebuilds the tree around the new root on the way.
class MatchTree {
 public:
  explicit MatchTree(ByteView block)
      : data_(block.data()),
        size_(block.size()),
        head_(std::size_t{1} << kHashBits, kNoPosition),
        children_(std::make_unique_for_overwrite<std::uint32_t[]>(2 * kWindow)) {}

  // Inserts p (six bytes or more before the end) and calls
  // found(length, distance) for each match longer than those the walk met
  // before it; returns the longest length, or less than kLzMinMatch for
  // none. Bytes are compared up to `reach`: a position that agrees with p
  // that far leaves the tree to p, so an insertion that needs no matches
  // can stop early inside a long run.
  template <typename Found>
  std::size_t insert(std::size_t p, Found&& found, std::size_t reach = kLzMaxMatch) {
    const std::size_t h = hash_at(data_ + p);
    std::size_t candidate = head_[h];
    head_[h] = static_cast<std::uint32_t>(p);
    const std::size_t max_len = std::min(size_ - p, reach);
    const std::uint8_t* here = data_ + p;
    // Where the walk hangs the next position smaller or larger than p.
    std::uint32_t* smaller = &children_[2 * (p % kWindow)];
    std::uint32_t* larger = smaller + 1;
    std::size_t smaller_len = 0, larger_len = 0;
    std::size_t best = kLzMinMatch - 1;
    for (int visits = 0;; ++visits) {
      const std::size_t distance = p - candidate;  // huge for kNoPosition
      if (visits == kTreeVisits || distance > kLzMaxDistance) {
        *smaller = *larger = kNoPosition;
        return best;
      }
      std::uint32_t* pair = &children_[2 * (candidate % kWindow)];
      const std::uint8_t* there = data_ + candidate;
      std::size_t len = std::min(smaller_len, larger_len);
      if (there[len] == here[len]) {
        len += common_length(there + len, here + len, max_len - len);
        if (len > best) {
          best = len;
          found(len, distance);
          if (len == max_len) {
            *smaller = pair[0];
            *larger = pair[1];
            return best;
          }
        }
      }
      if (there[len] < here[len]) {
        *smaller = static_cast<std::uint32_t>(candidate);
        smaller = pair + 1;
        candidate = *smaller;
        smaller_len = len;
      } else {
        *larger = static_cast<std::uint32_t>(candidate);
        larger = pair;
        candidate = *larger;
        larger_len = len;
      }
    }
  }

 private:
  // Every position in reach has its own pair of children.
  static constexpr std::size_t kWindow = kLzMaxDistance + 1;

  const std::uint8_t* data_;
  std::size_t size_;
  std::vector<std::uint32_t> head_;
  std::unique_ptr<std::uint32_t[]> children_;
};

}  // namespace

LzMatchCandidates find_lz_match_candidates(ByteView block) {
  const std::size_t size = block.size();
  LzMatchCandidates m;
  m.first.assign(size + 1, 0);
  if (size <= kUnsearchedTail) return m;
  m.at.reserve(size);
  const std::size_t limit = size - kUnsearchedTail;
  MatchTree tree(block);
  const auto record = [&m](std::size_t length, std::size_t distance) { m.at.push_back(pack(length, distance)); };
  const auto ignore = [](std::size_t, std::size_t) {};
  std::size_t p = 0;
  while (p < limit) {
    const std::size_t from = m.at.size();
    m.first[p] = static_cast<std::uint32_t>(from);
    const std::size_t best = tree.insert(p, record);
    const std::size_t to = m.at.size();
    const std::size_t start = p++;
    if (best >= kLongMatch) {
      const std::size_t end = std::min(start + best, limit);
      for (; p < end; ++p) {
        m.first[p] = static_cast<std::uint32_t>(m.at.size());
        tree.insert(p, ignore, kLongMatch);
      }
    } else if (best >= kDeriveFrom) {
      // The next position is still searched: matches that start one byte
      // into this one often reach further.
      if (p < limit) {
        m.first[p] = static_cast<std::uint32_t>(m.at.size());
        tree.insert(p++, record);
      }
      const std::size_t end = std::min(start + best, limit);
      for (; p < end; ++p) {
        m.first[p] = static_cast<std::uint32_t>(m.at.size());
        const std::size_t shift = p - start;
        for (std::size_t k = from; k < to; ++k) {
          const std::size_t len = length_of(m.at[k]);
          if (len >= kLzMinMatch + shift) m.at.push_back(pack(len - shift, distance_of(m.at[k])));
        }
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
  std::vector<std::uint32_t> step(size + 1);
  cost[0] = 0;
  const std::uint32_t escaped_marker = prices[kLzTokenMarker] + 3 * prices[0] + prices[1];
  // The price of each length up to kLongMatch, looked up in the inner loop.
  std::array<std::uint32_t, kLongMatch + 1> length_price;
  for (std::size_t len = 0; len <= kLongMatch; ++len) length_price[len] = field_price(prices, len);
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint32_t here = cost[i];
    const std::uint32_t literal = here + (data[i] == kLzTokenMarker ? escaped_marker : prices[data[i]]);
    const bool literal_better = literal < cost[i + 1];
    cost[i + 1] = literal_better ? literal : cost[i + 1];
    step[i + 1] = literal_better ? 0 : step[i + 1];
    std::size_t shortest = kLzMinMatch;
    for (std::uint32_t k = matches.first[i]; k < matches.first[i + 1]; ++k) {
      const std::size_t length = length_of(matches.at[k]);
      const std::size_t distance = distance_of(matches.at[k]);
      const std::uint32_t base = here + prices[kLzTokenMarker] + field_price(prices, distance);
      const std::size_t priced_to = std::min(length, kLongMatch);
      // Without branches, so the loop runs on vectors.
      std::uint32_t* to_cost = &cost[i];
      std::uint32_t* to_step = &step[i];
      for (std::size_t len = shortest; len <= priced_to; ++len) {
        const std::uint32_t c = base + length_price[len];
        const bool better = c < to_cost[len];
        to_cost[len] = better ? c : to_cost[len];
        to_step[len] = better ? pack(len, distance) : to_step[len];
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
