// Canonical Huffman coder over a block's own byte frequencies, with the code
// lengths stored in front so a reader rebuilds the codes from them alone.
//
// Deliberately not here: adaptive models and code lengths above 15 bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "drux_v2/bytes.h"
#include "drux_v2/result.h"

namespace drux {

inline constexpr int kMaxHuffmanCodeLength = 15;

// One count per byte value. Blocks are under 4 GiB, so 32 bits suffice.
using ByteFrequencies = std::array<std::uint32_t, 256>;

// One code length (or tree depth) per byte value, 0 for absent values.
using CodeLengths = std::array<std::uint8_t, 256>;

// Counts every byte value of a block shorter than 4 GiB.
ByteFrequencies count_byte_frequencies(ByteView block);

// Leaf depths of the Huffman tree built from `counts` (at least 1 for a
// present value), before any limit on the code length; a depth may pass 15.
// All zero when no value is present. The counts must add up to less than
// 2^32, as those of any block under 4 GiB do.
CodeLengths huffman_tree_depths(const ByteFrequencies& counts);

// The code lengths the coder stores: the tree depths when the tree is at
// most 15 deep, otherwise depths brought down to 15 that still form a
// complete prefix code.
CodeLengths huffman_code_lengths(const ByteFrequencies& counts);

// The Huffman coding of one block, worked out from its byte counts: the
// exact output size is known before a bit is written, so a caller weighing
// candidates writes the stream only when it keeps it.
struct HuffmanPlan {
  CodeLengths lengths{};
  int distinct = 0;             // byte values present
  std::size_t output_size = 0;  // what huffman_compress returns; 0 when it returns nothing
};

// `counts` must be the block's own, from count_byte_frequencies.
HuffmanPlan plan_huffman(const ByteFrequencies& counts, std::uint64_t block_length);

// Appends the output planned for `block` (exactly plan.output_size bytes).
void append_huffman(ByteView block, const HuffmanPlan& plan, ByteBuffer& out);

// Empty exactly for an empty input, and for a block of 4 GiB or more, which
// the 32-bit length field cannot describe.
ByteBuffer huffman_compress(ByteView block);

// Fails on malformed input or when the stored length passes `max_output`.
// An empty input decodes to an empty block.
Result<ByteBuffer> huffman_decompress(ByteView data, std::size_t max_output);

// Takes decoded output a piece at a time; a failure stops the decoder.
using PieceSink = std::function<Status(ByteView)>;

// Decoded output goes to the sink in pieces of at most this many bytes, so
// a decoder holds no more than one piece of what it produces.
inline constexpr std::size_t kDecodePieceSize = std::size_t{1} << 16;

// huffman_decompress, handing the output to `sink` piece by piece as it is
// decoded instead of allocating the length the block declares.
Status huffman_decode_pieces(ByteView data, std::size_t max_output, const PieceSink& sink);

}  // namespace drux
