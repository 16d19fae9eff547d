// compress_block: one method byte, then the smallest of the LZ token stream,
// the block stored, and Huffman or range coding of either.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Empty for an empty input; never fails.
ByteBuffer compress_block(ByteView block);

// Inverse of compress_block. Fails on a malformed block or when the output
// would pass `max_output` bytes.
Result<ByteBuffer> decompress_block(ByteView block, std::size_t max_output);

}  // namespace drux
