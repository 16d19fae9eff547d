// The byte-oriented LZ77 stage of the block compressor: hash chains with a
// one-step lazy match, emitting a token stream of literals and FF-escaped
// (distance, length) back-references.
//
// Deliberately not here: an entropy stage (the Huffman and range coders
// follow it) and any dictionary between blocks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "drux_v2/bytes.h"
#include "drux_v2/result.h"

namespace drux {

// Token stream of a block of at least 10 and fewer than 2^32 bytes.
ByteBuffer lz_compress(ByteView block);

// Appends the token stream of `block` to `tokens`.
void append_lz_tokens(ByteView block, ByteBuffer& tokens);

// Decodes a token stream; fails on a malformed token or when the output
// would pass `max_output` bytes.
Result<ByteBuffer> lz_decompress(ByteView tokens, std::size_t max_output);

}  // namespace drux
