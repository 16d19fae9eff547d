// The LZ, Huffman and range decoders on arbitrary bytes, chosen by the
// first byte: a value or an error, never a crash or an output past the cap.
// The LZ decoder that takes its tokens in pieces must agree with the one
// that takes them whole, wherever the pieces are cut. Deliberately not here:
// the method byte and block framing (block_decode).
#include <algorithm>

#include "drux_v2/huffman.h"
#include "drux_v2/lz.h"
#include "drux_v2/range_coder.h"
#include "fuzz_input.h"

using namespace drux;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const std::uint8_t which = input.take_u8() % 4;
  if (which == 3) {
    const std::size_t piece = input.take_u8() % 16 + 1;
    Result<ByteBuffer> whole = lz_decompress(input.rest, fuzz::kMaxOutput);
    ByteBuffer out;
    LzPieceDecoder pieces(out, fuzz::kMaxOutput);
    Status status;
    for (std::size_t at = 0; status && at < input.rest.size(); at += piece) {
      status = pieces.feed(input.rest.subspan(at, std::min(piece, input.rest.size() - at)));
    }
    if (status) status = pieces.finish();
    if (status.ok() != whole.ok() || (whole.ok() && whole.value() != out)) __builtin_trap();
    return 0;
  }
  Result<ByteBuffer> decoded = which == 0   ? lz_decompress(input.rest, fuzz::kMaxOutput)
                               : which == 1 ? huffman_decompress(input.rest, fuzz::kMaxOutput)
                                            : range_decompress(input.rest, fuzz::kMaxOutput);
  if (decoded.ok() && decoded.value().size() > fuzz::kMaxOutput) __builtin_trap();
  return 0;
}
