// Any byte block must come back unchanged through compress_block at the
// fast level and the strict decoder, and never grow past the stored block.
// Deliberately not here: malformed blocks (block_decode).
#include <algorithm>
#include <cstdlib>

#include "drux_v2/block_compressor.h"

using namespace drux;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView block(data, size);
  const ByteBuffer compressed = compress_block(block, CompressionLevel::Fast);
  if (compressed.size() > size + 1 || (size == 0) != compressed.empty()) std::abort();
  const Result<ByteBuffer> decoded = decompress_block(compressed, size);
  if (!decoded.ok() || !std::equal(block.begin(), block.end(), decoded.value().begin(), decoded.value().end())) {
    std::abort();
  }
  return 0;
}
