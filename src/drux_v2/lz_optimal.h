// The thorough parse of the LZ stage: the token stream of least price, for
// the writer's "max" compression level.
//
// The matches of a block are found once; each parse then prices every way
// through the block with the code lengths the entropy stage gave an
// earlier token stream, so a caller can parse, code, and parse again.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "drux_v2/bytes.h"
#include "drux_v2/huffman.h"

namespace drux {

// The back-references worth pricing at each position of a block: each
// match the search met that is longer than those it met before, so in
// increasing length. Inside a long match positions hold that match,
// shortened, or none.
struct LzMatchCandidates {
  // Position p's matches are at[first[p]] to at[first[p + 1] - 1].
  std::vector<std::uint32_t> first;
  // Length in the high 16 bits, distance in the low 16.
  std::vector<std::uint32_t> at;
};

// Searches every position of a block (shorter than 4 GiB) over the whole
// reach of a token's distance.
LzMatchCandidates find_lz_match_candidates(ByteView block);

// What each token byte value is taken to cost, in bits.
using TokenBytePrices = std::array<std::uint32_t, 256>;

// Prices from the code lengths a Huffman code gave a token stream; values it
// did not hold are priced as rare.
TokenBytePrices token_byte_prices(const CodeLengths& lengths);

// Appends the token stream of `block` whose bytes cost least at `prices`,
// using the block's `matches`.
void append_lz_tokens_priced(ByteView block, const LzMatchCandidates& matches, const TokenBytePrices& prices,
                             ByteBuffer& tokens);

}  // namespace drux
