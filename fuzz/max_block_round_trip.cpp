// Any byte block must come back unchanged through compress_block at the max
// level and the strict decoder. Max weighs every coding of the fast parse
// among its candidates, so it is never larger than the fast level's block.
// Deliberately not here: malformed blocks (block_decode).
#include <algorithm>
#include <cstdlib>

#include "drux_v2/block_compressor.h"

using namespace drux;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView block(data, size);
  const ByteBuffer compressed = compress_block(block, CompressionLevel::Max);
  if (compressed.size() > compress_block(block, CompressionLevel::Fast).size()) std::abort();
  const Result<ByteBuffer> decoded = decompress_block(compressed, size);
  if (!decoded.ok() || !std::equal(block.begin(), block.end(), decoded.value().begin(), decoded.value().end())) {
    std::abort();
  }
  return 0;
}
