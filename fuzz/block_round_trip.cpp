// Any byte block must come back unchanged through compress_block and
// decompress_block; so must the entropy coders on their own.
#include <cstdlib>

#include "drux_v2/block_compressor.h"
#include "drux_v2/huffman.h"
#include "drux_v2/range_coder.h"
#include "fuzz_input.h"

using namespace drux;

static void require_equal(const Result<ByteBuffer>& decoded, ByteView original) {
  if (!decoded.ok() || decoded.value().size() != original.size() ||
      !std::equal(original.begin(), original.end(), decoded.value().begin())) {
    std::abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView block(data, size);
  require_equal(decompress_block(compress_block(block), size), block);
  if (size > 0) {
    require_equal(huffman_decompress(huffman_compress(block), size), block);
    require_equal(range_decompress(range_compress(block), size), block);
  }
  return 0;
}
