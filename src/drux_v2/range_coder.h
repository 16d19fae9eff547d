// Range coder with a static order-0 model: the block's byte frequencies
// scaled to a total of 2^14, stored in front of the coded bytes.
#pragma once

#include <cstddef>

#include "drux_v2/bytes.h"
#include "drux_v2/result.h"

namespace drux {

// Empty exactly for an empty input, and for a block of 4 GiB or more.
ByteBuffer range_compress(ByteView block);

// Fails on malformed input or when the stored length passes `max_output`.
Result<ByteBuffer> range_decompress(ByteView data, std::size_t max_output);

}  // namespace drux
