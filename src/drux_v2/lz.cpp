// LZ stage of the block compressor.
//
// Greedy LZ77 over hash chains with one position of lookahead. Two ideas keep
// it fast: the chain walk is capped at 8 entries and stops at a match longer
// than 127 bytes, and inside long matches only every second or fourth
// position is hashed. A candidate's first 16 bytes are compared at once, and
// longer matches are extended 8 bytes per step. On data with few repeats,
// once several walks in a row come back empty, positions go by in a loop
// that inserts each and checks the first chain entries without branching on
// each entry. Chain ends are marked by a sentinel out of reach of every
// position, so one comparison ends a walk either way.
// Every position enters the chains at most once, and since positions are
// inserted in increasing order one "next position to insert" mark enforces
// that.
//
// The decoder checks every token against what is left of the input and what
// has been decoded before it writes a byte: it never trusts a distance or a
// length it has read.
#include "drux_v2/lz.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>

namespace drux {
namespace {

constexpr std::uint8_t kTokenMarker = 0xFF;       // opens a five-byte token
constexpr std::size_t kTokenSize = 5;             // FF, distance u16, length u16
constexpr std::size_t kHashBits = 16;
constexpr std::size_t kHeadEntries = std::size_t{1} << kHashBits;
constexpr std::uint32_t kHashMultiplier = 0x9E3779B1u;
constexpr std::size_t kMinMatch = 6;              // shorter matches are written as literals
constexpr std::size_t kMaxMatch = 65535;          // 16-bit length field
constexpr std::size_t kMaxDistance = 65535;       // 16-bit distance field
constexpr std::size_t kGoodEnoughMatch = 127;     // a longer match ends the chain walk
constexpr int kChainVisits = 8;                   // entries visited per search, k itself included
constexpr std::size_t kUnsearchedTail = 4;        // the last four positions are never searched
constexpr std::size_t kEmptySearchesBeforeQuickCheck = 8;  // see MatchFinder::empty_streak_
constexpr std::size_t kMinCandidate = 4;          // bytes a chain entry must share with k to count
constexpr std::size_t kPrefixBytes = 16;          // compared at once, without a loop

// Loads are little-endian by the host's own order; the system runs on x86-64.
static_assert(std::endian::native == std::endian::little);

std::uint32_t load_u32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint64_t load_u64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint32_t hash_at(const std::uint8_t* p) { return (load_u32(p) * kHashMultiplier) >> kHashBits; }

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

// Index of the first byte that differs in two 8-byte strings whose bits
// differ by mask; 8 when they are equal.
std::size_t first_difference(std::uint64_t mask) { return static_cast<std::size_t>(std::countr_zero(mask)) >> 3; }

struct Match {
  std::size_t length = 0;
  std::size_t distance = 0;
};

// Hash chains over one block: head and chain entries hold a position, or
// kNone. kNone lies more than kMaxDistance behind every position, so the
// walk's reach check also ends it at the end of a chain.
constexpr std::uint32_t kNone = 0xFFFFFFFFu;  // blocks are shorter than this
constexpr std::size_t kPrefetchAhead = 8;  // positions between fetching a head entry and using it
// Links kept, most recent positions only: a power of two with room for the
// reach and the lookahead. The match finder's memory is the same for every
// block size, so a stream of blocks of varying sizes does not leave the
// heap holding ever larger holes.
constexpr std::size_t kChainSlots = std::size_t{1} << 17;

class MatchFinder {
 public:
  explicit MatchFinder(ByteView block)
      : data_(block.data()),
        size_(block.size()),
        head_(std::make_unique_for_overwrite<std::uint32_t[]>(kHeadEntries)),
        // Every chain entry is written when its position is inserted, before
        // anything can follow a link to it, so the table needs no filling.
        chain_(std::make_unique_for_overwrite<std::uint32_t[]>(kChainSlots)) {
    std::memset(head_.get(), 0xFF, kHeadEntries * sizeof(std::uint32_t));  // every entry kNone
  }

  // Inserts p unless it is already in its chain.
  void insert(std::size_t p) {
    if (p < next_insert_) return;
    const std::size_t ahead = p + kPrefetchAhead;
    if (ahead + sizeof(std::uint32_t) <= size_) __builtin_prefetch(&head_[hash_at(data_ + ahead)]);
    link_in(p);
    next_insert_ = p + 1;
  }

  // Inserts the positions first, first + step, ... below end that are not
  // in their chains yet. Only the first can already be in: the run follows
  // a search at first - 1, and the lookahead inserts at most one position.
  void insert_run(std::size_t first, std::size_t end, std::size_t step) {
    if (first < next_insert_) first += step;
    if (first >= end) return;
    std::size_t p = first;
    for (; p < end; p += step) link_in(p);
    next_insert_ = p - step + 1;
    // The cursor resumes at end: fetch the head entries it will use next.
    for (std::size_t q = end; q < end + kPrefetchAhead && q + sizeof(std::uint32_t) <= size_; ++q) {
      __builtin_prefetch(&head_[hash_at(data_ + q)]);
    }
  }

  // Inserts the positions from k on whose walks are sure to come back
  // empty, while walks keep coming back empty, and returns the first other
  // position (or limit). On data with few repeats most positions go by here
  // in a loop that does nothing else.
  std::size_t skip_empty(std::size_t k, std::size_t limit) {
    if (empty_streak_ <= kEmptySearchesBeforeQuickCheck) return k;
    for (; k < limit; ++k) {
      insert(k);
      if (!nothing_to_find(k, load_u32(data_ + k))) break;
      ++empty_streak_;
    }
    return k;
  }

  // True when the walk at k is sure to come back empty: neither of the first
  // two chain entries holds k's four bytes, and the third is out of reach.
  // On data with few repeats that is most positions, and there the walk's
  // own branches, on whether each entry exists and is in reach, mispredict;
  // this check computes the same answer without branching on the entries.
  bool nothing_to_find(std::size_t k, std::uint32_t here4) const {
    // Entries out of reach are replaced by k before anything is read at
    // them: their bytes and links are never needed, and they lie anywhere
    // in the block, where each read would miss the cache.
    const auto in_reach_or_k = [k](std::size_t p, bool near) { return near ? p : k; };
    const std::size_t e1 = link(k);
    const bool near1 = k - e1 <= kMaxDistance;
    const std::size_t p1 = in_reach_or_k(e1, near1);
    if (near1 & (load_u32(data_ + p1) == here4)) return false;
    const std::size_t e2 = link(p1);
    const bool near2 = near1 & (k - e2 <= kMaxDistance);
    const std::size_t p2 = in_reach_or_k(e2, near2);
    const std::size_t e3 = link(p2);
    const bool near3 = near2 & (k - e3 <= kMaxDistance);
    const bool found2 = near2 & (load_u32(data_ + p2) == here4);
    return !(found2 | near3);
  }

  // Best match at k, which must already be inserted: the most recent of the
  // longest candidates among the 7 chain entries after k itself.
  [[gnu::always_inline]] Match search(std::size_t k) {
    if (empty_streak_ > kEmptySearchesBeforeQuickCheck && nothing_to_find(k, load_u32(data_ + k))) return {};
    const std::size_t max_len = std::min(size_ - k, kMaxMatch);
    const Match best = max_len >= kPrefixBytes ? walk<CompareFrom::Prefix>(k, max_len) : walk_near_end(k, max_len);
    empty_streak_ = best.length == 0 ? empty_streak_ + 1 : 0;
    return best;
  }

 private:
  // Puts p at the head of its chain.
  void link_in(std::size_t p) {
    const std::uint32_t h = hash_at(data_ + p);
    chain_[slot(p)] = head_[h];
    head_[h] = static_cast<std::uint32_t>(p);
  }

  // How a candidate's length is taken: the first 16 bytes at once, or,
  // near the end of the block where fewer are left, byte by byte.
  enum class CompareFrom { Prefix, Bytes };

  // Walks the chain from k's own entry. Most candidates differ within their
  // first 16 bytes, and two 8-byte compares settle those without a loop.
  template <CompareFrom kCompare>
  [[gnu::always_inline]] Match walk(std::size_t k, std::size_t max_len) const {
    Match best;
    const std::uint8_t* here = data_ + k;
    std::uint64_t here_lo = 0, here_hi = 0;
    if constexpr (kCompare == CompareFrom::Prefix) {
      here_lo = load_u64(here);
      here_hi = load_u64(here + 8);
    }
    std::size_t entry = link(k);
    for (int visit = 1; visit < kChainVisits; ++visit) {
      const std::size_t p = entry;
      if (k - p > kMaxDistance) break;  // also at the end of the chain
      entry = link(p);  // issued early: the walk is a chain of dependent loads
      const std::uint8_t* there = data_ + p;
      std::size_t len;
      if constexpr (kCompare == CompareFrom::Prefix) {
        // The second half is read only when the first agrees: it can lie on
        // the next cache line.
        const std::uint64_t lo = load_u64(there) ^ here_lo;
        len = lo != 0 ? first_difference(lo) : 8 + first_difference(load_u64(there + 8) ^ here_hi);
      } else {
        len = common_length(there, here, max_len);
      }
      if (len == kPrefixBytes) [[unlikely]] {  // only with 16 bytes or more left
        len += common_length(there + kPrefixBytes, here + kPrefixBytes, max_len - kPrefixBytes);
        if (len > best.length) {
          best = {len, k - p};
          if (len > kGoodEnoughMatch || len == max_len) break;
        }
        continue;
      }
      // A candidate counts only when its first four bytes agree.
      const bool better = (len >= kMinCandidate) & (len > best.length);
      best.distance = better ? k - p : best.distance;
      best.length = better ? len : best.length;
      // Below 16 bytes only a byte-by-byte length can reach max_len, and a
      // candidate that reaches it is the longest possible.
      if constexpr (kCompare == CompareFrom::Bytes) {
        if (len == max_len) break;
      }
    }
    return best;
  }

  [[gnu::noinline]] Match walk_near_end(std::size_t k, std::size_t max_len) const {
    return walk<CompareFrom::Bytes>(k, max_len);
  }

  // Where the link of position p is kept. A walk follows only links of
  // positions in reach, and a slot is reused only by a position kChainSlots
  // later, beyond anything inserted while a position in reach is searched.
  static std::size_t slot(std::size_t p) { return p & (kChainSlots - 1); }
  std::uint32_t link(std::size_t p) const { return chain_[slot(p)]; }

  const std::uint8_t* data_;
  std::size_t size_;
  std::unique_ptr<std::uint32_t[]> head_;
  std::unique_ptr<std::uint32_t[]> chain_;
  std::size_t next_insert_ = 0;
  // Walks in a row that found no candidate. The quick check pays off only
  // where walks usually come back empty, and costs a little elsewhere.
  std::size_t empty_streak_ = 0;
};

// Appends tokens through a raw cursor into a buffer sized ahead, so a token
// costs a capacity check and a copy rather than several push_backs. The
// buffer is cut to the bytes written when the stream is done.
class TokenWriter {
 public:
  TokenWriter(ByteBuffer& out, std::size_t expected) : out_(out), used_(out.size()) { out_.resize(used_ + expected); }

  // Writes block[from, to) as literals, each FF escaped as FF 00 00 01 00.
  void literals(const std::uint8_t* from, const std::uint8_t* to) {
    const std::size_t count = static_cast<std::size_t>(to - from);
    if (count <= kShortLiteralRun) {
      short_literals(from, count);
    } else {
      long_literals(from, to);
    }
  }

  // FF, then distance and length as 16-bit little-endian numbers.
  void match(const Match& m) {
    const std::uint8_t token[kTokenSize] = {
        kTokenMarker, static_cast<std::uint8_t>(m.distance), static_cast<std::uint8_t>(m.distance >> 8),
        static_cast<std::uint8_t>(m.length), static_cast<std::uint8_t>(m.length >> 8)};
    std::memcpy(room(kTokenSize), token, kTokenSize);
    used_ += kTokenSize;
  }

  void finish() { out_.resize(used_); }

 private:
  static constexpr std::size_t kShortLiteralRun = 16;
  static constexpr std::uint8_t kEscapedMarker[kTokenSize] = {kTokenMarker, 0, 0, 1, 0};

  // Runs between matches are mostly a byte or two: a plain loop beats two
  // library calls.
  void short_literals(const std::uint8_t* from, std::size_t count) {
    std::uint8_t* dst = room(count * kTokenSize);
    for (std::size_t i = 0; i < count; ++i) {
      if (from[i] == kTokenMarker) {
        std::memcpy(dst, kEscapedMarker, kTokenSize);
        dst += kTokenSize;
      } else {
        *dst++ = from[i];
      }
    }
    used_ = static_cast<std::size_t>(dst - out_.data());
  }

  void long_literals(const std::uint8_t* from, const std::uint8_t* to) {
    while (from < to) {
      const std::size_t left = static_cast<std::size_t>(to - from);
      const void* found = std::memchr(from, kTokenMarker, left);
      const std::size_t run = found ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - from) : left;
      std::uint8_t* dst = room(run + kTokenSize);
      std::memcpy(dst, from, run);
      used_ += run;
      if (run == left) return;
      std::memcpy(dst + run, kEscapedMarker, kTokenSize);
      used_ += kTokenSize;
      from += run + 1;
    }
  }

  // Cursor with at least n writable bytes behind it.
  std::uint8_t* room(std::size_t n) {
    if (out_.size() - used_ < n) out_.resize(std::max(2 * out_.size(), used_ + n));
    return out_.data() + used_;
  }

  ByteBuffer& out_;
  std::size_t used_;
};

// Step between positions hashed inside a match: long matches are sampled.
std::size_t insertion_step(std::size_t len) { return len <= 32 ? 1 : len <= 64 ? 2 : 4; }

}  // namespace

void append_lz_tokens(ByteView block, ByteBuffer& tokens) {
  const std::size_t size = block.size();
  const std::uint8_t* data = block.data();
  // Room for the block as literals plus a little: blocks that do not
  // shrink rarely grow by much, and the writer grows if they do.
  TokenWriter out(tokens, size + size / 8 + 16);
  if (size < kUnsearchedTail + 1) {
    out.literals(data, data + size);
    out.finish();
    return;
  }
  const std::size_t limit = size - kUnsearchedTail;
  MatchFinder finder(block);
  std::size_t k = 0;
  std::size_t literal_start = 0;
  // The match found at k by the lookahead of the previous step, if any.
  bool have_match = false;
  Match match;
  while (k < limit) {
    if (!have_match) {
      k = finder.skip_empty(k, limit);
      if (k == limit) break;
      finder.insert(k);
      match = finder.search(k);
    }
    have_match = false;
    if (match.length < kMinMatch) {
      ++k;
      continue;
    }
    if (match.length <= kGoodEnoughMatch && k + 1 < limit) {
      finder.insert(k + 1);
      const Match next = finder.search(k + 1);
      if (next.length >= kMinMatch && next.length > match.length + 1) {
        // k becomes a literal; the search at k + 1 would repeat this one.
        match = next;
        have_match = true;
        ++k;
        continue;
      }
    }
    out.literals(data + literal_start, data + k);
    out.match(match);
    const std::size_t step = insertion_step(match.length);
    finder.insert_run(k + 1, std::min(k + match.length, limit), step);
    k += match.length;
    literal_start = k;
  }
  out.literals(data + literal_start, data + size);
  out.finish();
}

ByteBuffer lz_compress(ByteView block) {
  ByteBuffer tokens;
  append_lz_tokens(block, tokens);
  return tokens;
}

namespace {

// Checks every token and returns the decoded size, so the decoder proper can
// write into a buffer of exactly that size without further checks.
Result<std::size_t> decoded_size(ByteView tokens, std::size_t max_output) {
  std::size_t out = 0;
  std::size_t i = 0;
  const std::size_t n = tokens.size();
  while (i < n) {
    if (tokens[i] != kTokenMarker) {
      const std::uint8_t* marker = static_cast<const std::uint8_t*>(
          std::memchr(tokens.data() + i, kTokenMarker, n - i));
      const std::size_t run = (marker ? static_cast<std::size_t>(marker - tokens.data()) : n) - i;
      if (run > max_output - out) return data_error("LZ output passes its size limit");
      out += run;
      i += run;
      continue;
    }
    if (n - i < kTokenSize) return data_error("LZ token stream ends inside a token");
    const std::size_t distance = tokens[i + 1] | (std::size_t{tokens[i + 2]} << 8);
    const std::size_t length = tokens[i + 3] | (std::size_t{tokens[i + 4]} << 8);
    if (distance == 0) {
      if (length != 1) return data_error("LZ token with distance 0 is not an escaped FF");
    } else {
      if (distance > out) return data_error("LZ match reaches before the start of the block");
      if (length < kMinMatch) return data_error("LZ match shorter than 6 bytes");
    }
    if (length > max_output - out) return data_error("LZ output passes its size limit");
    out += length;
    i += kTokenSize;
  }
  return out;
}

// Copies a match one byte at a time in effect: a distance shorter than the
// length repeats the most recent bytes.
void copy_match(std::uint8_t* dst, std::size_t distance, std::size_t length) {
  const std::uint8_t* src = dst - distance;
  if (distance >= 8) {
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) std::memcpy(dst + i, src + i, 8);
    for (; i < length; ++i) dst[i] = src[i];
  } else {
    for (std::size_t i = 0; i < length; ++i) dst[i] = src[i];
  }
}

}  // namespace

Result<ByteBuffer> lz_decompress(ByteView tokens, std::size_t max_output) {
  auto size = decoded_size(tokens, max_output);
  if (!size) return size.error_value();
  ByteBuffer out(size.value());
  std::uint8_t* o = out.data();
  std::size_t i = 0;
  const std::size_t n = tokens.size();
  while (i < n) {
    if (tokens[i] != kTokenMarker) {
      *o++ = tokens[i++];
      continue;
    }
    const std::size_t distance = tokens[i + 1] | (std::size_t{tokens[i + 2]} << 8);
    const std::size_t length = tokens[i + 3] | (std::size_t{tokens[i + 4]} << 8);
    i += kTokenSize;
    if (distance == 0) {
      *o++ = kTokenMarker;
    } else {
      copy_match(o, distance, length);
      o += length;
    }
  }
  return out;
}

}  // namespace drux
