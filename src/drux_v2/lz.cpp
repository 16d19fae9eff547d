// LZ stage of the block compressor.
//
// Greedy LZ77 over hash chains with one position of lookahead. Two ideas keep
// it fast: the chain walk is capped at 8 entries and stops at a match longer
// than 127 bytes, and inside long matches only every second or fourth
// position is hashed. Since a walk never goes past the seven most recent
// entries of a chain, only those are kept, in one bucket per hash: a walk
// reads one bucket instead of following links one by one, and is skipped
// when the bucket shows that no entry can give a match that counts. A
// candidate's first 16 bytes are compared at once, and longer matches are
// extended 8 bytes per step.
// Every position enters the chains at most once: positions are inserted in
// increasing order, and the only one inserted ahead of the cursor is the
// lookahead's, which the insertion inside the following match skips.
//
// The decoders check every token against what is left of the input and what
// has been decoded before they write a byte: they never trust a distance or
// a length they have read. They copy literal runs and matches in wide words,
// writing into a margin past the decoded end that is cut off afterwards.
#include "drux_v2/lz.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>

#include "drux_v2/lz_tokens.h"

namespace drux {
namespace {

constexpr std::uint8_t kTokenMarker = 0xFF;       // opens a five-byte token
constexpr std::size_t kTokenSize = 5;             // FF, distance u16, length u16
constexpr std::size_t kHashBits = 16;
constexpr std::size_t kBuckets = std::size_t{1} << kHashBits;
constexpr std::uint32_t kHashMultiplier = 0x9E3779B1u;
constexpr std::size_t kMinMatch = 6;              // shorter matches are written as literals
constexpr std::size_t kMaxMatch = 65535;          // 16-bit length field
constexpr std::size_t kMaxDistance = 65535;       // 16-bit distance field
constexpr std::size_t kGoodEnoughMatch = 127;     // a longer match ends the chain walk
constexpr int kChainVisits = 8;                   // entries visited per search, k itself included
constexpr std::size_t kUnsearchedTail = 4;        // the last four positions are never searched
constexpr std::size_t kMinCandidate = 4;          // bytes a chain entry must share with k to count
constexpr std::size_t kPrefixBytes = 16;          // compared at once, without a loop

std::uint32_t hash_at(const std::uint8_t* p) { return (load_u32_le(p) * kHashMultiplier) >> kHashBits; }

// Index of the first byte that differs in two 8-byte strings whose bits
// differ by mask; 8 when they are equal.
std::size_t first_difference(std::uint64_t mask) { return static_cast<std::size_t>(std::countr_zero(mask)) >> 3; }

struct Match {
  std::size_t length = 0;
  std::size_t distance = 0;
};

// Eight 16-bit lanes, compared and shifted as one: the compiler's generic
// vectors, which become the target's own vector instructions.
using Lanes = std::uint16_t __attribute__((vector_size(16)));

// What a chain walk needs of a hash chain is its few most recent entries,
// so the finder keeps just those, per hash, in one 32-byte bucket: the
// newest position whole, then the gap from each entry to the next older
// one, and each entry's fifth and sixth bytes. A walk reads one bucket, and
// its candidates' bytes are fetched side by side rather than one link after
// another. A gap of kFarGap or more is stored as kFarGap: it puts that
// entry, and every older one, more than kMaxDistance behind any later
// position, which is all a walk needs to know.
//
// A match of kMinMatch bytes agrees in the fifth and sixth bytes as well as
// the first four, and shorter ones are written as literals whatever they
// are. So when no entry's fifth and sixth bytes are those at k, the walk
// cannot find anything that counts and is skipped: a third of the searches
// on CSV text, nearly all on data with few repeats.
struct alignas(32) Bucket {
  std::uint64_t low;   // newest position, gap 1 at bit 32, gap 2 at bit 48
  std::uint64_t high;  // gaps 3 to 6, 16 bits each
  Lanes next;          // bytes 4 and 5 of each entry, newest in lane 0; lane 7 is not an entry
};
static_assert(sizeof(Bucket) == 32);

constexpr std::uint32_t kNone = 0xFFFFFFFFu;  // no position: blocks are shorter than this
constexpr std::uint64_t kGapMask = 0xFFFF;  // a gap's 16 bits
constexpr std::uint64_t kFarGap = kGapMask;  // the largest gap a bucket can hold
constexpr Bucket kEmptyBucket = {kNone | kFarGap << 32 | kFarGap << 48, ~std::uint64_t{0}, Lanes{}};
constexpr std::size_t kCandidates = kChainVisits - 1;  // the walk skips k itself
constexpr std::size_t kPrefetchAhead = 8;  // positions between fetching a bucket and using it
constexpr std::size_t kNextBytes = kMinCandidate;  // where the two bytes kept per entry start
// The lookahead looks for at least two bytes more than a match, so for at
// least a whole word.
static_assert(kMinMatch + 2 >= sizeof(std::uint64_t));

// A bucket's positions, newest first. Once one entry is out of reach all
// later ones are too, so a walk stops at the first. Arithmetic on positions
// wraps, which keeps k - position a true distance for every entry a walk
// can reach.
struct Candidates {
  std::size_t at[kCandidates];

  explicit Candidates(const Bucket& b) {
    at[0] = static_cast<std::uint32_t>(b.low);
    at[1] = at[0] - ((b.low >> 32) & kGapMask);
    at[2] = at[1] - (b.low >> 48);
    at[3] = at[2] - (b.high & kGapMask);
    at[4] = at[3] - ((b.high >> 16) & kGapMask);
    at[5] = at[4] - ((b.high >> 32) & kGapMask);
    at[6] = at[5] - (b.high >> 48);
  }
};

// True when some entry of the bucket has next2 as its bytes 4 and 5.
bool may_hold(const Bucket& b, std::uint16_t next2) {
  constexpr Lanes kEntryLanes = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0};
  const Lanes equal = reinterpret_cast<Lanes>(b.next == next2) & kEntryLanes;
  std::uint64_t halves[2];
  std::memcpy(halves, &equal, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}

// The lanes of b with next2 in front and the oldest dropped.
Lanes push_front(const Lanes& b, std::uint16_t next2) {
  return __builtin_shufflevector(b, Lanes{}, 8, 0, 1, 2, 3, 4, 5, 6) | Lanes{next2};
}

// How the bucket table starts out empty. Filling its 2 MiB costs more than
// a small block takes to compress; there, a bitmap of buckets in use stands
// in for the fill, at a small cost on every insertion.
enum class TableStart { Filled, Tracked };

// Blocks from this size on fill the table.
constexpr std::size_t kFillTableFrom = std::size_t{64} << 10;

template <TableStart kStart>
class MatchFinder {
 public:
  explicit MatchFinder(ByteView block)
      : data_(block.data()),
        size_(block.size()),
        buckets_(std::make_unique_for_overwrite<Bucket[]>(kBuckets)) {
    if constexpr (kStart == TableStart::Filled) {
      std::fill_n(buckets_.get(), kBuckets, kEmptyBucket);
    } else {
      in_use_ = std::make_unique<std::uint64_t[]>(kBuckets / 64);
    }
  }

  // Inserts p, which must not be in yet, and returns its bucket as it was
  // before: the chain a search at p walks.
  Bucket insert(std::size_t p) {
    const std::size_t ahead = p + kPrefetchAhead;
    if (ahead + sizeof(std::uint32_t) <= size_) __builtin_prefetch(&buckets_[hash_at(data_ + ahead)]);
    return push(hash_at(data_ + p), p);
  }

  // Inserts the positions first, first + step, ... below end.
  void insert_run(std::size_t first, std::size_t end, std::size_t step) {
    for (std::size_t p = first; p < end; p += step) push(hash_at(data_ + p), p);
    // The cursor resumes at end: fetch the buckets it will use next.
    for (std::size_t q = end; q < end + kPrefetchAhead && q + sizeof(std::uint32_t) <= size_; ++q) {
      __builtin_prefetch(&buckets_[hash_at(data_ + q)]);
    }
  }

  // search(k, chain) when that match is at least `at_least` bytes long, 8
  // or more; otherwise it may return any shorter length. The lookahead
  // needs no more, and its walk is rarely worth running: a match that long
  // agrees with k in its first eight bytes and in the eight that end at
  // at_least, and one pass comparing just those words usually shows that
  // no candidate does.
  [[gnu::always_inline]] Match search_at_least(std::size_t k, const Bucket& chain, std::size_t at_least) const {
    const std::size_t max_len = max_length_at(k);
    if (max_len < at_least || !may_hold(chain, load_u16_le(data_ + k + kNextBytes))) return {};
    const Candidates candidates(chain);
    if (max_len >= kPrefixBytes && !any_agrees(k, candidates, at_least)) return {};
    return walk_from(k, candidates, max_len);
  }

  // Best match at k, given its bucket from before k went in: the most
  // recent of the longest candidates, or a length below kMinMatch when no
  // candidate reaches it.
  [[gnu::always_inline]] Match search(std::size_t k, const Bucket& chain) const {
    const std::size_t max_len = max_length_at(k);
    if (max_len < kMinMatch || !may_hold(chain, load_u16_le(data_ + k + kNextBytes))) return {};
    return walk_from(k, Candidates(chain), max_len);
  }

 private:
  Bucket read(std::uint32_t h) const {
    if constexpr (kStart == TableStart::Tracked) {
      if (((in_use_[h / 64] >> (h % 64)) & 1) == 0) return kEmptyBucket;
    }
    return buckets_[h];
  }

  std::size_t max_length_at(std::size_t k) const { return std::min(size_ - k, kMaxMatch); }

  // False when no candidate in reach agrees with k in both its first eight
  // bytes and the eight that end at at_least, which k + at_least <= size
  // keeps inside the block.
  bool any_agrees(std::size_t k, const Candidates& candidates, std::size_t at_least) const {
    const std::size_t tail = at_least - sizeof(std::uint64_t);
    const std::uint64_t first = load_u64_le(data_ + k);
    const std::uint64_t last = load_u64_le(data_ + k + tail);
    bool found = false;
    for (const std::size_t p : candidates.at) {
      if (k - p > kMaxDistance) break;
      found |= (load_u64_le(data_ + p) == first) & (load_u64_le(data_ + p + tail) == last);
    }
    return found;
  }

  // Puts p in front of bucket h and returns the bucket as it was.
  Bucket push(std::uint32_t h, std::size_t p) {
    const Bucket before = read(h);
    if constexpr (kStart == TableStart::Tracked) in_use_[h / 64] |= std::uint64_t{1} << (h % 64);
    const std::uint64_t gap = std::min<std::uint64_t>(p - static_cast<std::uint32_t>(before.low), kFarGap);
    // Positions whose bytes 4 and 5 lie past the end are never candidates
    // of a search that can count: any later search has fewer bytes left.
    const std::uint16_t next2 = p + kNextBytes + 2 <= size_ ? load_u16_le(data_ + p + kNextBytes) : 0;
    buckets_[h] = {p | gap << 32 | (before.low >> 32) << 48, before.high << 16 | before.low >> 48,
                   push_front(before.next, next2)};
    return before;
  }

  // How a candidate's length is taken: the first 16 bytes at once, or,
  // near the end of the block where fewer are left, byte by byte.
  enum class CompareFrom { Prefix, Bytes };

  // Most candidates differ within their first 16 bytes, and two 8-byte
  // compares settle those without a loop.
  template <CompareFrom kCompare>
  [[gnu::always_inline]] Match walk(std::size_t k, const Candidates& candidates, std::size_t max_len) const {
    Match best;
    const std::uint8_t* here = data_ + k;
    std::uint64_t here_lo = 0, here_hi = 0;
    if constexpr (kCompare == CompareFrom::Prefix) {
      here_lo = load_u64_le(here);
      here_hi = load_u64_le(here + 8);
    }
    for (const std::size_t p : candidates.at) {
      if (k - p > kMaxDistance) break;  // also at the end of the chain
      const std::uint8_t* there = data_ + p;
      std::size_t len;
      if constexpr (kCompare == CompareFrom::Prefix) {
        // Both halves are read and joined without a branch: on short values
        // whether the first eight bytes agree is a coin toss.
        const std::uint64_t lo = load_u64_le(there) ^ here_lo;
        const std::uint64_t hi = load_u64_le(there + 8) ^ here_hi;
        len = first_difference(lo) + (lo == 0 ? first_difference(hi) : 0);
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

  // The walk that suits what is left of the block after k.
  [[gnu::always_inline]] Match walk_from(std::size_t k, const Candidates& candidates, std::size_t max_len) const {
    return max_len >= kPrefixBytes ? walk<CompareFrom::Prefix>(k, candidates, max_len)
                                   : walk_near_end(k, candidates, max_len);
  }

  [[gnu::noinline]] Match walk_near_end(std::size_t k, const Candidates& candidates, std::size_t max_len) const {
    return walk<CompareFrom::Bytes>(k, candidates, max_len);
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::unique_ptr<Bucket[]> buckets_;
  std::unique_ptr<std::uint64_t[]> in_use_;  // one bit per bucket, when tracked
};

// The token stream is written by the writer every parse shares.
using TokenWriter = LzTokenWriter;

// Step between positions hashed inside a match: long matches are sampled.
std::size_t insertion_step(std::size_t len) { return len <= 32 ? 1 : len <= 64 ? 2 : 4; }

// Writes the tokens of a block of more than kUnsearchedTail bytes.
template <TableStart kStart>
void write_tokens(ByteView block, TokenWriter& out) {
  const std::size_t size = block.size();
  const std::uint8_t* data = block.data();
  const std::size_t limit = size - kUnsearchedTail;
  MatchFinder<kStart> finder(block);
  std::size_t k = 0;
  std::size_t literal_start = 0;
  // The match found at k by the lookahead of the previous step, if any.
  bool have_match = false;
  Match match;
  while (k < limit) {
    if (!have_match) match = finder.search(k, finder.insert(k));
    have_match = false;
    if (match.length < kMinMatch) {
      ++k;
      continue;
    }
    // The lookahead inserts k + 1, so the positions inside the match start
    // one step later.
    const bool look_ahead = match.length <= kGoodEnoughMatch && k + 1 < limit;
    if (look_ahead) {
      const Match next = finder.search_at_least(k + 1, finder.insert(k + 1), match.length + 2);
      if (next.length >= kMinMatch && next.length > match.length + 1) {
        // k becomes a literal; the search at k + 1 would repeat this one.
        match = next;
        have_match = true;
        ++k;
        continue;
      }
    }
    out.literals(data + literal_start, data + k);
    out.match(match.distance, match.length);
    const std::size_t step = insertion_step(match.length);
    finder.insert_run(look_ahead ? k + 1 + step : k + 1, std::min(k + match.length, limit), step);
    k += match.length;
    literal_start = k;
  }
  out.literals(data + literal_start, data + size);
}

}  // namespace

void append_lz_tokens(ByteView block, ByteBuffer& tokens) {
  const std::size_t size = block.size();
  // Room for the block as literals plus a little: blocks that do not
  // shrink rarely grow by much, and the writer grows if they do.
  TokenWriter out(tokens, size + size / 8 + 16);
  if (size <= kUnsearchedTail) {
    out.literals(block.data(), block.data() + size);
  } else if (size < kFillTableFrom) {
    write_tokens<TableStart::Tracked>(block, out);
  } else {
    write_tokens<TableStart::Filled>(block, out);
  }
  out.finish();
}

ByteBuffer lz_compress(ByteView block) {
  ByteBuffer tokens;
  append_lz_tokens(block, tokens);
  return tokens;
}

namespace {

// Wide copies write up to this many bytes past the end of what they copy.
constexpr std::size_t kCopyMargin = 16;
// The smallest step by which the piece decoder's output grows.
constexpr std::size_t kMinGrowth = std::size_t{1} << 16;

constexpr std::uint64_t kLowBits = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// The high bit of every FF byte (a token marker) of the eight bytes of `w`
// read little-endian, 0 when there is none. Bits above the first marker may
// be set wrongly; the lowest set bit is always the first marker's.
std::uint64_t marker_bytes(std::uint64_t w) {
  const std::uint64_t x = ~w;  // FF bytes become 00
  return (x - kLowBits) & ~x & kHighBits;
}

// Copies a match as a byte-by-byte copy would (a distance shorter than the
// length repeats the most recent bytes), given room for kCopyMargin bytes
// after dst + length: in 16- or 8-byte words wherever the distance keeps a
// word's source behind its destination, by a fill for a run of one byte.
void copy_match_wide(std::uint8_t* dst, std::size_t distance, std::size_t length) {
  const std::uint8_t* src = dst - distance;
  if (distance >= 16) {
    for (std::size_t i = 0; i < length; i += 16) std::memcpy(dst + i, src + i, 16);
  } else if (distance >= 8) {
    for (std::size_t i = 0; i < length; i += 8) std::memcpy(dst + i, src + i, 8);
  } else if (distance == 1) {
    std::memset(dst, *src, length);
  } else {
    for (std::size_t i = 0; i < length; ++i) dst[i] = src[i];
  }
}

}  // namespace

void LzPieceDecoder::reserve_ahead(std::size_t extra) {
  // Nothing past the limit is ever written: a token or literal that would
  // pass it fails first.
  const std::size_t needed = size_ + std::min(extra, max_output_ - size_) + kCopyMargin;
  if (needed <= out_.size()) return;
  // Geometric growth keeps the copying of a growing output linear; the
  // output never runs more than one step ahead of what was decoded, nor
  // past the limit by more than the margin.
  const std::size_t step = std::min(std::max(2 * out_.size(), kMinGrowth), max_output_ + kCopyMargin);
  out_.resize(std::max(needed, step));
}

// Checks one token against the output so far, `size` bytes at `base`, and
// applies it. The output grows only when the token's bytes and the `ahead`
// literals the piece may still hold pass the room there is. Inlined into
// feed's loop, so base and size stay in registers there.
[[gnu::always_inline]] inline Status LzPieceDecoder::apply_token(const std::uint8_t* token, std::size_t ahead,
                                                                 std::uint8_t*& base, std::size_t& size) {
  const std::size_t distance = token[1] | (std::size_t{token[2]} << 8);
  const std::size_t length = token[3] | (std::size_t{token[4]} << 8);
  if (distance == 0) {
    DRUX_FAIL_IF(length != 1, "LZ token with distance 0 is not an escaped FF");
  } else {
    DRUX_FAIL_IF(distance > size, "LZ match reaches before the start of the block");
    DRUX_FAIL_IF(length < kMinMatch, "LZ match shorter than 6 bytes");
  }
  DRUX_FAIL_IF(length > max_output_ - size, "LZ output passes its size limit");
  if (size + length + std::min(ahead, max_output_ - size - length) + kCopyMargin > out_.size()) {
    size_ = size;
    reserve_ahead(length + ahead);
    base = out_.data();
  }
  if (distance == 0) {
    base[size] = kTokenMarker;
  } else {
    copy_match_wide(base + size, distance, length);
  }
  size += length;
  return {};
}

// Keeps room for every literal left in the piece (they never outnumber its
// bytes), so literal runs need no growth check of their own. The loop works
// on local copies of the output's state: stores through byte pointers would
// otherwise force the compiler to reload the members after each one.
Status LzPieceDecoder::feed(ByteView piece) {
  const std::uint8_t* p = piece.data();
  const std::uint8_t* const end = p + piece.size();
  std::uint8_t* base = out_.data();
  std::size_t size = size_;
  if (carried_ > 0) {
    const std::size_t take = std::min(kTokenSize - carried_, piece.size());
    std::memcpy(carry_.data() + carried_, p, take);
    carried_ += take;
    p += take;
    if (carried_ < kTokenSize) return {};
    carried_ = 0;
    if (Status s = apply_token(carry_.data(), static_cast<std::size_t>(end - p), base, size); !s) return s;
  }
  size_ = size;
  reserve_ahead(static_cast<std::size_t>(end - p));
  base = out_.data();
  while (p < end) {
    if (*p != kTokenMarker) {
      // A run of literals, eight bytes a word: each word is stored whole
      // (the margin takes what lies past a marker) and the run advances to
      // the first marker in it. Near the end of the piece or of the limit,
      // byte by byte.
      std::size_t room = max_output_ - size;
      while (end - p >= 8 && room >= 8) {
        const std::uint64_t w = load_u64_le(p);
        std::memcpy(base + size, p, 8);
        const std::uint64_t markers = marker_bytes(w);
        const std::size_t step = markers == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(markers)) >> 3;
        size += step;
        p += step;
        room -= step;
        if (markers != 0) break;
      }
      while (p < end && *p != kTokenMarker) {
        DRUX_FAIL_IF(room == 0, "LZ output passes its size limit");
        base[size++] = *p++;
        --room;
      }
      continue;
    }
    if (end - p < static_cast<std::ptrdiff_t>(kTokenSize)) {
      carried_ = static_cast<std::size_t>(end - p);
      std::memcpy(carry_.data(), p, carried_);
      break;
    }
    const std::uint8_t* token = p;
    p += kTokenSize;
    if (Status s = apply_token(token, static_cast<std::size_t>(end - p), base, size); !s) return s;
  }
  size_ = size;
  return {};
}

Status LzPieceDecoder::finish() {
  DRUX_FAIL_IF(carried_ > 0, "LZ token stream ends inside a token");
  out_.resize(size_);
  return {};
}

// A whole token stream is one piece.
Result<ByteBuffer> lz_decompress(ByteView tokens, std::size_t max_output) {
  ByteBuffer out;
  LzPieceDecoder decoder(out, max_output);
  Status status = decoder.feed(tokens);
  if (status) status = decoder.finish();
  if (!status) return status.error_value();
  return out;
}

}  // namespace drux
