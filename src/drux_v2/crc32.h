// CRC-32 (ISO-HDLC / IEEE 802.3): reflected polynomial 0xEDB88320, initial
// value and final complement 0xFFFFFFFF.
//
// One function over a whole buffer, plus the portable walk for tests.
// Deliberately not here: incremental state across calls.
#pragma once

#include <cstdint>

#include "drux_v2/bytes.h"

namespace drux {

// Fastest implementation this CPU supports, chosen once at run time.
std::uint32_t crc32(ByteView data);

// Portable table-driven implementation (also the fallback); exposed for tests.
std::uint32_t crc32_portable(ByteView data);

}  // namespace drux
