// The byte-oriented LZ77 stage of the block compressor: hash chains with a
// one-step lazy match, emitting a token stream of literals and FF-escaped
// (distance, length) back-references.
//
// Deliberately not here: an entropy stage (the Huffman and range coders
// follow it) and any dictionary between blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "drux_v2/bytes.h"
#include "drux_v2/result.h"

namespace drux {

// Token stream of a block of at least 10 and fewer than 2^32 bytes.
ByteBuffer lz_compress(ByteView block);

// Appends the token stream of `block` to `tokens`.
void append_lz_tokens(ByteView block, ByteBuffer& tokens);

// Decodes a token stream; fails on a malformed token or when the output
// would pass `max_output` bytes.
Result<ByteBuffer> lz_decompress(ByteView tokens, std::size_t max_output);

// Decodes a token stream that arrives in pieces (from an entropy decoder),
// checking each token as it comes and appending its bytes to `out`, so the
// whole token stream is never held and a bogus one fails at its first bad
// token. A token may straddle two pieces. While decoding, `out` runs ahead
// of the decoded bytes by a margin, so literals and matches are copied in
// wide words; finish() cuts it to the decoded size.
class LzPieceDecoder {
 public:
  LzPieceDecoder(ByteBuffer& out, std::size_t max_output)
      : out_(out), max_output_(max_output), size_(out.size()) {}

  Status feed(ByteView piece);
  // Fails when the stream ended inside a token; leaves `out` holding exactly
  // the decoded bytes.
  Status finish();

 private:
  Status apply_token(const std::uint8_t* token, std::size_t ahead, std::uint8_t*& base, std::size_t& size);
  // Makes room for `extra` more bytes beyond the decoded ones plus the
  // margin the wide copies write past their end.
  void reserve_ahead(std::size_t extra);

  ByteBuffer& out_;
  std::size_t max_output_;
  std::size_t size_;  // bytes decoded; out_ may be longer
  std::array<std::uint8_t, 5> carry_{};  // the start of a token cut by a piece's end
  std::size_t carried_ = 0;
};

}  // namespace drux
