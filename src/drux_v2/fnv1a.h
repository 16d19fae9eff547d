// 64-bit FNV-1a hash.
//
// Used for the counter blocks of encrypted columns. Deliberately not here:
// any other hash width.
#pragma once

#include <cstdint>
#include <string_view>

namespace drux {

inline constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

inline std::uint64_t fnv1a64(std::string_view bytes) {
  std::uint64_t h = kFnvOffsetBasis;
  for (unsigned char b : bytes) h = (h ^ b) * kFnvPrime;
  return h;
}

}  // namespace drux
