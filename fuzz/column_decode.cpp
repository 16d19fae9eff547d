// The column payload decoders on arbitrary bytes. The first byte picks the
// decoder, the next two give the value count; decoders whose values are
// implied by a few bytes must still honour the count they were given.
//
// Deliberately not here: the block and container layers, which reader_decode
// covers.
#include "drux_v2/int_codecs.h"
#include "drux_v2/nested_codec.h"
#include "drux_v2/string_codec.h"
#include "fuzz_input.h"

using namespace drux;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const std::uint8_t which = input.take_u8() % 6;
  const std::size_t count = input.take_u16();
  const ByteView payload = input.rest;
  auto check_count = [count](const auto& decoded) {
    if (decoded.ok() && decoded.value().size() != count) __builtin_trap();
  };
  switch (which) {
    case 0: check_count(decode_delta_int(payload, count)); break;
    case 1: check_count(decode_rle_int(payload, count)); break;
    case 2: check_count(decode_for(payload, count)); break;
    case 3: check_count(decode_cdelta(payload, count)); break;
    case 4: check_count(decode_raw_str(payload, count)); break;
    default: {
      // A value that decodes must survive encoding and decoding again
      // unchanged (the input itself may spell varints non-minimally).
      auto value = decode_nested_val(payload);
      if (value.ok()) {
        const ByteBuffer encoded = encode_nested_val(value.value());
        auto again = decode_nested_val(encoded);
        if (!again.ok() || encode_nested_val(again.value()) != encoded) __builtin_trap();
      }
    }
  }
  return 0;
}
