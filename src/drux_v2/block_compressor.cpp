// Block compressor: runs the LZ stage, then tries the entropy coders only
// where they can pay off, and keeps the smallest candidate.
//
// The coders are skipped for short token streams (their tables cost more
// than they save), raw-block Huffman only runs when LZ saved little, and the
// range coder only when Huffman on the token stream stayed above 70 % of
// stored. The decoder is here for tests and tools; the writer never reads a
// block back.
#include "drux_v2/block_compressor.h"

#include <algorithm>
#include <limits>

#include "drux_v2/huffman.h"
#include "drux_v2/lz.h"
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

std::size_t candidate_size(const ByteBuffer& payload) {
  return payload.empty() ? 0 : payload.size() + kMethodByteSize;
}

// LZ saved less than 15 %: 100 m > 85 L.
bool lz_saved_little(std::size_t tokens, std::size_t length) { return 100 * tokens > 85 * length; }

// Huffman on the token stream did not reach 70 % of stored (or gave nothing).
bool huffman_stayed_high(std::size_t lz_huffman, std::size_t stored) {
  return lz_huffman == 0 || 100 * lz_huffman >= 70 * stored;
}

// Every candidate payload by method byte; the stored payload is the block
// itself and is never copied.
struct Candidates {
  ByteBuffer payload[6];
  BlockCandidateSizes sizes;
};

ByteBuffer& payload_of(Candidates& c, BlockMethod method) { return c.payload[static_cast<int>(method)]; }

Candidates gather_candidates(ByteView block) {
  Candidates c;
  const std::size_t length = block.size();
  if (length == 0) return c;
  c.sizes.stored = length + kMethodByteSize;
  if (block_stored_by_length(length)) return c;

  ByteBuffer& tokens = payload_of(c, BlockMethod::Lz);
  tokens = lz_compress(block);
  c.sizes.lz = tokens.size() + kMethodByteSize;
  if (tokens.size() < kMinCodedTokens) return c;

  ByteBuffer& lz_huffman = payload_of(c, BlockMethod::LzHuffman);
  lz_huffman = huffman_compress(tokens);
  c.sizes.lz_huffman = candidate_size(lz_huffman);
  if (length >= kMinRawHuffmanBlock && lz_saved_little(tokens.size(), length)) {
    ByteBuffer& huffman = payload_of(c, BlockMethod::Huffman);
    huffman = huffman_compress(block);
    c.sizes.huffman = candidate_size(huffman);
  }
  if (huffman_stayed_high(c.sizes.lz_huffman, c.sizes.stored)) {
    ByteBuffer& lz_range = payload_of(c, BlockMethod::LzRange);
    lz_range = range_compress(tokens);
    c.sizes.lz_range = candidate_size(lz_range);
    if (length >= kMinRawRangeBlock) {
      ByteBuffer& range = payload_of(c, BlockMethod::Range);
      range = range_compress(block);
      c.sizes.range = candidate_size(range);
    }
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

Result<ByteBuffer> decode_tokens(Result<ByteBuffer> tokens, std::size_t max_output) {
  if (!tokens) return tokens.error_value();
  return lz_decompress(tokens.value(), max_output);
}

}  // namespace

bool block_stored_by_length(std::uint64_t length) {
  return length < kMinSearchedBlock || length >= kMaxSearchedBlock;
}

BlockCandidateSizes block_candidate_sizes(ByteView block) { return gather_candidates(block).sizes; }

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

ByteBuffer compress_block(ByteView block) {
  ByteBuffer out;
  if (block.empty()) return out;
  Candidates c = gather_candidates(block);
  const BlockMethod method = choose_block_method(c.sizes);
  if (method == BlockMethod::Stored) {
    out.reserve(block.size() + kMethodByteSize);
    put_u8(out, static_cast<std::uint8_t>(method));
    put_bytes(out, block);
    return out;
  }
  ByteBuffer& payload = payload_of(c, method);
  out.reserve(payload.size() + kMethodByteSize);
  put_u8(out, static_cast<std::uint8_t>(method));
  put_bytes(out, payload);
  return out;
}

Result<ByteBuffer> decompress_block(ByteView block, std::size_t max_output) {
  if (block.empty()) return ByteBuffer{};
  const ByteView payload = block.subspan(kMethodByteSize);
  if (payload.empty()) return data_error("compressed block has a method byte but no payload");
  switch (block[0]) {
    case static_cast<std::uint8_t>(BlockMethod::Lz):
      return lz_decompress(payload, max_output);
    case static_cast<std::uint8_t>(BlockMethod::LzHuffman):
      return decode_tokens(huffman_decompress(payload, token_limit(max_output)), max_output);
    case static_cast<std::uint8_t>(BlockMethod::Stored):
      if (payload.size() > max_output) return data_error("stored block passes its size limit");
      return ByteBuffer(payload.begin(), payload.end());
    case static_cast<std::uint8_t>(BlockMethod::Huffman):
      return huffman_decompress(payload, max_output);
    case static_cast<std::uint8_t>(BlockMethod::Range):
      return range_decompress(payload, max_output);
    case static_cast<std::uint8_t>(BlockMethod::LzRange):
      return decode_tokens(range_decompress(payload, token_limit(max_output)), max_output);
  }
  return data_error("unknown block compression method");
}

}  // namespace drux
