// Plain layout of a chunk's strings: varint length, then the bytes, per value.
//
// Deliberately not here: any string compression; the block compressor does
// that.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "drux_v2/bytes.h"
#include "drux_v2/result.h"

namespace drux {

ByteBuffer encode_raw_str(std::span<const std::string_view> strings);

// Appends one string of a raw string payload: its length, then its bytes.
void append_raw_str(ByteBuffer& out, std::string_view s);

// Reads exactly `count` strings and requires the input to end there.
Result<std::vector<std::string>> decode_raw_str(ByteView data, std::size_t count);

}  // namespace drux
