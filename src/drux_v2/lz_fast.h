// The fast parse of the LZ stage: a token stream built for speed rather
// than size, for the writer's "fast" compression level.
#pragma once

#include "drux_v2/bytes.h"

namespace drux {

// Appends a token stream of `block` (shorter than 4 GiB) to `tokens`. It
// decodes back to the block like the exact parse's, but its matches are
// the ones a single-probe search finds.
void append_lz_tokens_fast(ByteView block, ByteBuffer& tokens);

}  // namespace drux
