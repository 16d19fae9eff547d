// Block compressor: runs the LZ stage, then tries the entropy coders only
// where they can pay off, and keeps the smallest candidate.
//
// The coders are skipped for short token streams (their tables cost more
// than they save), raw-block Huffman only runs when LZ saved little, and the
// range coder only when Huffman on the token stream stayed above 70 % of
// stored. Within those rules compress_block does no work whose result it
// cannot use: Huffman sizes come from the byte counts, a range candidate is
// coded only when its size floor leaves it a chance, and only the winner is
// written out. The decoder is here for tests and tools; the writer never
// reads a block back.
//
// The levels differ in the parse and in the trials. Fast runs the
// single-probe parse and only the Huffman trials, which are sized from byte
// counts. Max weighs every method on the raw block, on the fast parse and on
// a priced parse whose prices are the fast parse's Huffman code lengths,
// and keeps the smallest.
#include "drux_v2/block_compressor.h"

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <optional>

#include "drux_v2/huffman.h"
#include "drux_v2/lz.h"
#include "drux_v2/lz_fast.h"
#include "drux_v2/lz_optimal.h"
#include "drux_v2/range_coder.h"

namespace drux {
namespace {

constexpr std::uint64_t kMinSearchedBlock = 10;
constexpr std::uint64_t kMaxSearchedBlock = std::uint64_t{1} << 32;  // 32-bit positions
constexpr std::size_t kMinCodedTokens = 512;       // shorter token streams skip the coders
constexpr std::size_t kMinRawHuffmanBlock = 512;
constexpr std::size_t kMinRawRangeBlock = 256;
constexpr std::size_t kMethodByteSize = 1;
// Worst case of the token stream per decoded byte: an escaped FF.
constexpr std::size_t kMaxTokenBytesPerByte = 5;

// LZ saved less than 15 %: 100 m > 85 L.
bool lz_saved_little(std::size_t tokens, std::size_t length) { return 100 * tokens > 85 * length; }

// Huffman on the token stream did not reach 70 % of stored (or gave nothing).
bool huffman_stayed_high(std::size_t lz_huffman, std::size_t stored) {
  return lz_huffman == 0 || 100 * lz_huffman >= 70 * stored;
}

// How far compress_block works out a range coder candidate it may weigh:
// exactly, or only as far as needed to see that it cannot win. A candidate
// whose size floor already passes a smaller candidate would change neither
// the smallest size nor the choice among equals, so it need not be coded.
enum class RangeSizing { Exact, OnlyContenders };

// What a level asks of the candidates the rules call for: which parse
// writes the token stream, and whether the range coder is tried at all.
struct Trials {
  void (*parse)(ByteView block, ByteBuffer& tokens);
  bool range;
};

constexpr Trials kExactTrials = {append_lz_tokens, true};
// Range coding a token stream takes about two thirds as long as the whole
// fast level and saves well under 1 % beside Huffman coding, which is sized
// from counts without writing a bit.
constexpr Trials kFastTrials = {append_lz_tokens_fast, false};

// What weighing a block's candidates leaves behind: each size, the token
// stream, the Huffman plans (sized from counts alone, written only for the
// winner) and the range coded payloads, which had to be coded to be sized.
// Every buffer starts with room for its method byte, so the winner is
// returned without a copy.
struct Candidates {
  BlockCandidateSizes sizes;
  ByteBuffer tokens;
  HuffmanPlan lz_huffman;
  HuffmanPlan huffman;
  ByteBuffer lz_range;
  ByteBuffer range;
};

// A buffer holding only the method byte's place, with room for `size` bytes.
ByteBuffer with_method_room(std::size_t size = kMethodByteSize) {
  ByteBuffer out;
  out.reserve(size);
  out.resize(kMethodByteSize);
  return out;
}

ByteView without_method(const ByteBuffer& candidate) { return ByteView(candidate).subspan(kMethodByteSize); }

std::size_t plan_size(const HuffmanPlan& plan) {
  return plan.output_size == 0 ? 0 : plan.output_size + kMethodByteSize;
}

// Smallest of the given sizes, ignoring zeros (candidates not computed).
std::size_t smallest(std::initializer_list<std::size_t> sizes) {
  std::size_t best = std::numeric_limits<std::size_t>::max();
  for (std::size_t s : sizes) {
    if (s != 0) best = std::min(best, s);
  }
  return best;
}

// Codes `block` with the range coder when `sizing` asks for the exact size
// or when its floor does not pass `to_beat`; returns its size, 0 if skipped.
std::size_t weigh_range(ByteView block, const ByteFrequencies& counts, RangeSizing sizing, std::size_t to_beat,
                        ByteBuffer& payload) {
  const bool cannot_win = range_compressed_size_floor(counts, block.size()) + kMethodByteSize > to_beat;
  if (sizing == RangeSizing::OnlyContenders && cannot_win) return 0;
  payload = with_method_room();
  append_range(block, counts, payload);
  return payload.size() == kMethodByteSize ? 0 : payload.size();
}

Candidates gather_candidates(ByteView block, RangeSizing sizing, const Trials& trials) {
  Candidates c;
  const std::size_t length = block.size();
  if (length == 0) return c;
  c.sizes.stored = length + kMethodByteSize;
  if (block_stored_by_length(length)) return c;

  c.tokens = with_method_room();
  trials.parse(block, c.tokens);
  const ByteView tokens = without_method(c.tokens);
  c.sizes.lz = c.tokens.size();
  if (tokens.size() < kMinCodedTokens) return c;

  const ByteFrequencies token_counts = count_byte_frequencies(tokens);
  c.lz_huffman = plan_huffman(token_counts, tokens.size());
  c.sizes.lz_huffman = plan_size(c.lz_huffman);
  std::optional<ByteFrequencies> block_counts;
  if (length >= kMinRawHuffmanBlock && lz_saved_little(tokens.size(), length)) {
    block_counts = count_byte_frequencies(block);
    c.huffman = plan_huffman(*block_counts, length);
    c.sizes.huffman = plan_size(c.huffman);
  }
  if (!trials.range || !huffman_stayed_high(c.sizes.lz_huffman, c.sizes.stored)) return c;
  const std::size_t others = smallest({c.sizes.lz, c.sizes.stored, c.sizes.lz_huffman, c.sizes.huffman});
  c.sizes.lz_range = weigh_range(tokens, token_counts, sizing, others, c.lz_range);
  if (length >= kMinRawRangeBlock) {
    if (!block_counts) block_counts = count_byte_frequencies(block);
    // Range coding of the block wins only at or below every other size.
    const std::size_t to_beat = smallest({others, c.sizes.lz_range});
    c.sizes.range = weigh_range(block, *block_counts, sizing, to_beat, c.range);
  }
  return c;
}

std::size_t size_of(const BlockCandidateSizes& s, BlockMethod method) {
  switch (method) {
    case BlockMethod::Lz: return s.lz;
    case BlockMethod::LzHuffman: return s.lz_huffman;
    case BlockMethod::Stored: return s.stored;
    case BlockMethod::Huffman: return s.huffman;
    case BlockMethod::Range: return s.range;
    case BlockMethod::LzRange: return s.lz_range;
  }
  return 0;
}

// Token streams decode to at least one byte per five token bytes.
std::size_t token_limit(std::size_t max_output) {
  const std::size_t most = std::numeric_limits<std::size_t>::max();
  return max_output > most / kMaxTokenBytesPerByte ? most : max_output * kMaxTokenBytesPerByte;
}

// An entropy-coded token stream goes straight into the LZ decoder piece by
// piece: memory is the output so far plus one piece, never the token
// stream the entropy header declares (up to five times the output cap).
using PieceDecoder = Status (*)(ByteView, std::size_t, const PieceSink&);

Result<ByteBuffer> decode_tokens(PieceDecoder entropy, ByteView payload, std::size_t max_output) {
  ByteBuffer out;
  LzPieceDecoder lz(out, max_output);
  Status status = entropy(payload, token_limit(max_output), [&lz](ByteView piece) { return lz.feed(piece); });
  if (status) status = lz.finish();
  if (!status) return status.error_value();
  return out;
}

// The smallest of the candidates so far, method byte first. A candidate
// is sized before it is written: Huffman coding from its counts, and range
// coding only when its size floor leaves it a chance.
class SmallestBlock {
 public:
  explicit SmallestBlock(ByteView block) : best_(with_method_room(block.size() + kMethodByteSize)) {
    best_[0] = static_cast<std::uint8_t>(BlockMethod::Stored);
    put_bytes(best_, block);
  }

  // Every coding of `data`, a token stream or the block itself: as it is
  // (method 00 for tokens; the stored block is the first candidate), then
  // Huffman and range coding of it.
  void offer_codings(ByteView data, const ByteFrequencies& counts, bool tokens) {
    if (tokens && beats(data.size())) keep(BlockMethod::Lz, data);
    const HuffmanPlan plan = plan_huffman(counts, data.size());
    if (plan.output_size != 0 && beats(plan.output_size)) {
      best_ = with_method_room(plan.output_size + kMethodByteSize);
      best_[0] = static_cast<std::uint8_t>(tokens ? BlockMethod::LzHuffman : BlockMethod::Huffman);
      append_huffman(data, plan, best_);
    }
    const std::size_t floor = range_compressed_size_floor(counts, data.size());
    if (floor == 0 || !beats(floor)) return;
    scratch_ = with_method_room(floor + kMethodByteSize);
    append_range(data, counts, scratch_);
    if (scratch_.size() < best_.size()) {
      scratch_[0] = static_cast<std::uint8_t>(tokens ? BlockMethod::LzRange : BlockMethod::Range);
      std::swap(best_, scratch_);
    }
  }

  ByteBuffer take() { return std::move(best_); }

 private:
  bool beats(std::size_t payload_size) const { return payload_size + kMethodByteSize < best_.size(); }

  void keep(BlockMethod method, ByteView payload) {
    best_.resize(kMethodByteSize);
    best_[0] = static_cast<std::uint8_t>(method);
    put_bytes(best_, payload);
  }

  ByteBuffer best_;
  ByteBuffer scratch_;
};

// Every token byte at eight bits: the parse whose token stream is shortest,
// for blocks whose tokens stay uncoded.
constexpr TokenBytePrices flat_prices() {
  TokenBytePrices prices{};
  for (auto& p : prices) p = 8;
  return prices;
}
constexpr TokenBytePrices kFlatPrices = flat_prices();
// Below this size a block is parsed a second time at flat prices: its
// parse is cheap, and the coders' tables weigh most in a small block.
constexpr std::size_t kFlatPricedBelow = std::size_t{64} << 10;

// Max: the raw block's codings, then those of the fast parse, whose code
// lengths price the thorough parse, then those of the priced parse. A
// second priced parse, priced by the first, saves under 1 % more on text
// for a quarter more time.
ByteBuffer compress_block_max(ByteView block) {
  SmallestBlock smallest(block);
  if (block.size() >= kMaxSearchedBlock) return smallest.take();
  ByteBuffer fast;
  append_lz_tokens_fast(block, fast);
  const ByteFrequencies fast_counts = count_byte_frequencies(fast);
  const LzMatchCandidates matches = find_lz_match_candidates(block);
  ByteBuffer tokens;
  append_lz_tokens_priced(block, matches, token_byte_prices(huffman_code_lengths(fast_counts)), tokens);
  smallest.offer_codings(tokens, count_byte_frequencies(tokens), true);
  if (block.size() < kFlatPricedBelow) {
    tokens.clear();
    append_lz_tokens_priced(block, matches, kFlatPrices, tokens);
    smallest.offer_codings(tokens, count_byte_frequencies(tokens), true);
  }
  // Offered last, these are mostly settled by their size floors alone.
  smallest.offer_codings(fast, fast_counts, true);
  smallest.offer_codings(block, count_byte_frequencies(block), false);
  return smallest.take();
}

}  // namespace

bool block_stored_by_length(std::uint64_t length) {
  return length < kMinSearchedBlock || length >= kMaxSearchedBlock;
}

BlockCandidateSizes block_candidate_sizes(ByteView block) {
  return gather_candidates(block, RangeSizing::Exact, kExactTrials).sizes;
}

BlockMethod choose_block_method(const BlockCandidateSizes& sizes) {
  static constexpr BlockMethod kTieOrder[] = {BlockMethod::LzRange, BlockMethod::Stored, BlockMethod::LzHuffman,
                                              BlockMethod::Huffman, BlockMethod::Lz};
  std::size_t best = std::numeric_limits<std::size_t>::max();
  for (BlockMethod m : kTieOrder) {
    const std::size_t s = size_of(sizes, m);
    if (s != 0) best = std::min(best, s);
  }
  if (sizes.range != 0 && sizes.range <= best) return BlockMethod::Range;
  for (BlockMethod m : kTieOrder) {
    if (size_of(sizes, m) == best) return m;
  }
  return BlockMethod::Stored;
}

std::optional<CompressionLevel> compression_level_named(std::string_view name) {
  if (name == "exact") return CompressionLevel::Exact;
  if (name == "fast") return CompressionLevel::Fast;
  if (name == "max") return CompressionLevel::Max;
  return std::nullopt;
}

ByteBuffer compress_block(ByteView block, CompressionLevel level) {
  if (block.empty()) return {};
  if (level == CompressionLevel::Max) return compress_block_max(block);
  Candidates c =
      gather_candidates(block, RangeSizing::OnlyContenders, level == CompressionLevel::Fast ? kFastTrials : kExactTrials);
  const BlockMethod method = choose_block_method(c.sizes);
  ByteBuffer out;
  switch (method) {
    case BlockMethod::Lz: out = std::move(c.tokens); break;
    case BlockMethod::LzRange: out = std::move(c.lz_range); break;
    case BlockMethod::Range: out = std::move(c.range); break;
    case BlockMethod::LzHuffman:
      out = with_method_room(c.sizes.lz_huffman);
      append_huffman(without_method(c.tokens), c.lz_huffman, out);
      break;
    case BlockMethod::Huffman:
      out = with_method_room(c.sizes.huffman);
      append_huffman(block, c.huffman, out);
      break;
    case BlockMethod::Stored:
      out = with_method_room(c.sizes.stored);
      put_bytes(out, block);
      break;
  }
  out[0] = static_cast<std::uint8_t>(method);
  return out;
}

Result<ByteBuffer> decompress_block(ByteView block, std::size_t max_output) {
  if (block.empty()) return ByteBuffer{};
  const ByteView payload = block.subspan(kMethodByteSize);
  DRUX_FAIL_IF(payload.empty(), "compressed block has a method byte but no payload");
  switch (block[0]) {
    case static_cast<std::uint8_t>(BlockMethod::Lz):
      return lz_decompress(payload, max_output);
    case static_cast<std::uint8_t>(BlockMethod::LzHuffman):
      return decode_tokens(huffman_decode_pieces, payload, max_output);
    case static_cast<std::uint8_t>(BlockMethod::Stored):
      DRUX_FAIL_IF(payload.size() > max_output, "stored block passes its size limit");
      return ByteBuffer(payload.begin(), payload.end());
    case static_cast<std::uint8_t>(BlockMethod::Huffman):
      return huffman_decompress(payload, max_output);
    case static_cast<std::uint8_t>(BlockMethod::Range):
      return range_decompress(payload, max_output);
    case static_cast<std::uint8_t>(BlockMethod::LzRange):
      return decode_tokens(range_decode_pieces, payload, max_output);
  }
  return data_error("unknown block compression method");
}

}  // namespace drux
