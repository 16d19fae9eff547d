// Range coder with a static order-0 model: the block's byte frequencies
// scaled to a total of 2^14, stored in front of the coded bytes.
//
// Deliberately not here: the choice of when to use it (block_compressor.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "drux_v2/bytes.h"
#include "drux_v2/huffman.h"
#include "drux_v2/result.h"

namespace drux {

// The model's frequencies add up to this total.
inline constexpr std::uint32_t kRangeModelTotal = 1u << 14;

// One model frequency per byte value: at least 1 for every value present in
// the block, 0 for the others, summing to kRangeModelTotal.
using RangeModelFrequencies = std::array<std::uint16_t, 256>;

// The model range_compress stores for `block` (all zero for an empty block;
// a block shorter than 4 GiB).
RangeModelFrequencies range_model_frequencies(ByteView block);

// Empty exactly for an empty input, and for a block of 4 GiB or more.
ByteBuffer range_compress(ByteView block);

// Appends range_compress(block); `counts` must be the block's own, from
// count_byte_frequencies.
void append_range(ByteView block, const ByteFrequencies& counts, ByteBuffer& out);

// A size range_compress never goes below for a nonempty block with these
// counts, found without coding it: 0 for a block it returns nothing for.
std::size_t range_compressed_size_floor(const ByteFrequencies& counts, std::uint64_t block_length);

// Fails on malformed input or when the stored length passes `max_output`.
// An empty input decodes to an empty block.
Result<ByteBuffer> range_decompress(ByteView data, std::size_t max_output);

// range_decompress, handing the output to `sink` piece by piece as it is
// decoded (see huffman.h): a model that lets a few bytes declare billions
// of symbols costs only what is really produced before the sink refuses.
Status range_decode_pieces(ByteView data, std::size_t max_output, const PieceSink& sink);

}  // namespace drux
