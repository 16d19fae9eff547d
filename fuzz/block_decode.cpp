// decompress_block on arbitrary bytes: a value or an error, never a crash.
// Deliberately not here: round trips, which the *_round_trip targets check.
#include "drux_v2/block_compressor.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto decoded = drux::decompress_block(drux::ByteView(data, size), drux::fuzz::kMaxOutput);
  if (decoded.ok() && decoded.value().size() > drux::fuzz::kMaxOutput) __builtin_trap();
  return 0;
}
