// Self-describing serialisation of one KVal of any variant, every child
// length-prefixed so a reader can skip what it does not understand.
#pragma once

#include "drux_v2/bytes.h"
#include "drux_v2/kval.h"
#include "drux_v2/result.h"

namespace drux {

// Values nested deeper than this many container levels are refused by both
// directions: it bounds recursion (and so stack use) on hostile input.
inline constexpr int kMaxNestingDepth = 256;

// Depth of a value: 0 for a scalar, 1 + the deepest child for a container.
int nesting_depth(const KVal& value);

// Encodes `value`, which must be at most kMaxNestingDepth deep (callers
// check with nesting_depth; deeper values are encoded as Null).
ByteBuffer encode_nested_val(const KVal& value);

// Decodes one complete encoding; the input must end where the value ends.
Result<KVal> decode_nested_val(ByteView data);

}  // namespace drux
