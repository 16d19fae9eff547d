// LZ stage of the block compressor.
//
// Greedy LZ77 over hash chains with one position of lookahead. Two ideas keep
// it fast: the chain walk is capped at 8 entries and stops at a match longer
// than 127 bytes, and inside long matches only every second or fourth
// position is hashed. Matches are extended 8 bytes per step. On data with
// few repeats, once several walks in a row come back empty, most searches
// end in a check of the first chain entries that does not branch on each
// entry. Chain ends are marked by a sentinel out of reach of every position,
// so one comparison ends a walk either way.
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
    const std::uint32_t h = hash_at(data_ + p);
    chain_[slot(p)] = head_[h];
    head_[h] = static_cast<std::uint32_t>(p);
    next_insert_ = p + 1;
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
    Match best;
    const std::uint8_t* data = data_;
    const std::uint8_t* here = data + k;
    const std::uint32_t here4 = load_u32(here);
    if (empty_streak_ > kEmptySearchesBeforeQuickCheck && nothing_to_find(k, here4)) return best;
    const std::size_t max_len = std::min(size_ - k, kMaxMatch);
    std::size_t entry = link(k);
    for (int visit = 1; visit < kChainVisits; ++visit) {
      const std::size_t p = entry;
      if (k - p > kMaxDistance) break;  // also at the end of the chain
      entry = link(p);  // issued early: the walk is a chain of dependent loads
      const std::uint8_t* there = data + p;
      // A candidate that differs at the best length so far cannot be longer.
      if ((there[best.length] != here[best.length]) | (load_u32(there) != here4)) continue;
      const std::size_t len = 4 + common_length(there + 4, here + 4, max_len - 4);
      if (len > best.length) {
        best = {len, k - p};
        if (len > kGoodEnoughMatch || len == max_len) break;
      }
    }
    empty_streak_ = best.length == 0 ? empty_streak_ + 1 : 0;
    return best;
  }

 private:
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
    for (std::size_t i = 1; i < match.length && k + i < limit; i += step) finder.insert(k + i);
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
