// Splits a fuzzer's input into a few leading parameters and a payload.
//
// The parameters are taken from the front so that a mutation of the payload
// keeps them; nothing here checks what they mean. Deliberately not here: any
// file writing or corpus handling; the targets and scripts/fuzz.sh do that.
#pragma once

#include <cstddef>
#include <cstdint>

#include "drux_v2/bytes.h"

namespace drux::fuzz {

// Output caps keep a hostile length from turning into a huge allocation;
// decoders must refuse anything beyond them.
inline constexpr std::size_t kMaxOutput = std::size_t{1} << 24;

struct FuzzInput {
  ByteView rest;

  FuzzInput(const std::uint8_t* data, std::size_t size) : rest(data, size) {}

  // The next byte, or 0 once the input is used up.
  std::uint8_t take_u8() {
    if (rest.empty()) return 0;
    const std::uint8_t v = rest[0];
    rest = rest.subspan(1);
    return v;
  }

  std::uint16_t take_u16() { return static_cast<std::uint16_t>(take_u8() | (take_u8() << 8)); }
};

}  // namespace drux::fuzz
