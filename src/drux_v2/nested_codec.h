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

// Depth of a value: 0 for a scalar, 1 + the deepest child for a container
// (an empty container is 1). It stops descending once the bound is passed and
// then returns kMaxNestingDepth + 1, so it never recurses deeper than that.
int nesting_depth(const KVal& value);

// Encodes `value`. A value must be at most kMaxNestingDepth deep: callers
// (the writer) check nesting_depth first and refuse a deeper value with an
// error. Should one get here anyway, each container beyond the bound is
// written as Null, so the output stays decodable and recursion stays bounded.
ByteBuffer encode_nested_val(const KVal& value);

// Decodes one complete encoding; the input must end where the value ends.
// Refuses unknown tags, containers beyond kMaxNestingDepth, a child that does
// not fill its length prefix exactly, counts the remaining bytes cannot hold
// and trailing bytes.
Result<KVal> decode_nested_val(ByteView data);

}  // namespace drux
