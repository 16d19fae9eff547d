// Integer column encodings: delta, run-length, frame of reference and
// constant delta. Encoders are pure and never fail; decoders take the value
// count from the chunk metadata (no encoding stores it) and refuse malformed
// input with an error value.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "drux_v2/bytes.h"
#include "drux_v2/format.h"
#include "drux_v2/result.h"

namespace drux {

using IntView = std::span<const std::int64_t>;

ByteBuffer encode_delta_int(IntView values);
ByteBuffer encode_rle_int(IntView values);
ByteBuffer encode_for(IntView values);
ByteBuffer encode_cdelta(IntView values);

// Each decoder reads exactly `count` values and requires the input to end
// there. A count the input cannot justify (more delta values than bytes, more
// packed values than bits, runs that do not sum to it) is refused before
// anything is allocated from it. Constant delta, frame of reference of width 0
// and long runs legitimately describe many values in few bytes, so the caller
// must bound `count` (the chunk's row count) before decoding those.
Result<std::vector<std::int64_t>> decode_delta_int(ByteView data, std::size_t count);
Result<std::vector<std::int64_t>> decode_rle_int(ByteView data, std::size_t count);
Result<std::vector<std::int64_t>> decode_for(ByteView data, std::size_t count);
Result<std::vector<std::int64_t>> decode_cdelta(ByteView data, std::size_t count);

// The decoder of an integer encoding tag; a data error for any other tag.
Result<std::vector<std::int64_t>> decode_ints(Encoding encoding, ByteView data, std::size_t count);

}  // namespace drux
