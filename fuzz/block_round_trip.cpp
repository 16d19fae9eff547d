// Any byte block must come back unchanged through compress_block and
// decompress_block; so must the entropy coders on their own. compress_block
// skips range candidates that cannot win, so its method must still be the
// one that weighing every candidate exactly picks.
//
// Deliberately not here: malformed blocks, which block_decode feeds the
// decoders.
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
  const ByteBuffer compressed = compress_block(block);
  require_equal(decompress_block(compressed, size), block);
  if (size > 0 && compressed[0] != static_cast<std::uint8_t>(choose_block_method(block_candidate_sizes(block)))) {
    std::abort();
  }
  if (size > 0) {
    require_equal(huffman_decompress(huffman_compress(block), size), block);
    require_equal(range_decompress(range_compress(block), size), block);
  }
  return 0;
}
