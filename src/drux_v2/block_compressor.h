// compress_block: one method byte, then the smallest of the LZ token stream,
// the block stored, and Huffman or range coding of either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "drux_v2/bytes.h"
#include "drux_v2/result.h"

namespace drux {

enum class BlockMethod : std::uint8_t {
  Lz = 0,            // LZ token stream
  LzHuffman = 1,     // Huffman of the token stream
  Stored = 2,        // the block unchanged
  Huffman = 3,       // Huffman of the block
  Range = 4,         // range coding of the block
  LzRange = 5,       // range coding of the token stream
};

// How hard compress_block works for its size. Every level writes blocks of
// the same methods and token streams, which any reader decodes; the level
// is not recorded anywhere.
enum class CompressionLevel : std::uint8_t {
  Exact,  // the reference choice of tokens and coders, byte for byte
  Fast,   // a single-probe parse and only the Huffman trials: several times faster, a little larger
  Max,    // a priced parse over the whole window and every method tried: smallest, slowest
};

// The level called `name` ("exact", "fast" or "max"); none for any other.
std::optional<CompressionLevel> compression_level_named(std::string_view name);

// Empty for an empty input; never fails.
ByteBuffer compress_block(ByteView block, CompressionLevel level = CompressionLevel::Exact);

// Inverse of compress_block. Fails on a malformed block or when the output
// would pass `max_output` bytes.
Result<ByteBuffer> decompress_block(ByteView block, std::size_t max_output);

// Whether a nonempty block of this length is stored without running the LZ
// stage or the coders: blocks under 10 bytes, and blocks of 4 GiB or more,
// whose positions and length fields 32 bits cannot describe.
bool block_stored_by_length(std::uint64_t length);

// The size of every candidate the exact level's rules call for, each counting
// the method byte; 0 for a candidate they leave out or whose coder gave
// nothing. block_candidate_sizes codes every such candidate; compress_block
// skips range candidates whose size floor shows they cannot win, and picks
// the same method.
struct BlockCandidateSizes {
  std::size_t lz = 0;
  std::size_t lz_huffman = 0;
  std::size_t stored = 0;
  std::size_t huffman = 0;
  std::size_t range = 0;
  std::size_t lz_range = 0;
};

BlockCandidateSizes block_candidate_sizes(ByteView block);

// The winner among the candidate sizes: range coding of the block when it is
// no larger than every other candidate, otherwise the first of LzRange,
// Stored, LzHuffman, Huffman, Lz that reaches the smallest size.
BlockMethod choose_block_method(const BlockCandidateSizes& sizes);

}  // namespace drux
