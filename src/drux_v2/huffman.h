// Canonical Huffman coder over a block's own byte frequencies, with the code
// lengths stored in front so a reader rebuilds the codes from them alone.
#pragma once

#include <cstddef>

#include "drux_v2/bytes.h"
#include "drux_v2/result.h"

namespace drux {

inline constexpr int kMaxHuffmanCodeLength = 15;

// Empty exactly for an empty input, and for a block of 4 GiB or more, which
// the 32-bit length field cannot describe.
ByteBuffer huffman_compress(ByteView block);

// Fails on malformed input or when the stored length passes `max_output`.
Result<ByteBuffer> huffman_decompress(ByteView data, std::size_t max_output);

}  // namespace drux
