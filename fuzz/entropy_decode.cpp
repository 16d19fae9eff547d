// The LZ, Huffman and range decoders on arbitrary bytes, chosen by the
// first byte: a value or an error, never a crash or an output past the cap.
#include "drux_v2/huffman.h"
#include "drux_v2/lz.h"
#include "drux_v2/range_coder.h"
#include "fuzz_input.h"

using namespace drux;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const std::uint8_t which = input.take_u8() % 3;
  Result<ByteBuffer> decoded = which == 0   ? lz_decompress(input.rest, fuzz::kMaxOutput)
                               : which == 1 ? huffman_decompress(input.rest, fuzz::kMaxOutput)
                                            : range_decompress(input.rest, fuzz::kMaxOutput);
  if (decoded.ok() && decoded.value().size() > fuzz::kMaxOutput) __builtin_trap();
  return 0;
}
