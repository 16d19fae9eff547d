// Constants of the DRUX v2 container, each declared once with where it sits.
//
//   0    FileHeader (24 bytes): "DRUX", version u16, column count u16,
//        total rows u64, chunk count u32, rows per chunk u32
//   24   creation time, u64 seconds since the Unix epoch
//   32   32 reserved zero bytes
//   64   L_s u32, schema block        then L_d u64, dictionary block
//   ...  column blocks: CRC-32 u32, length u64, compressed block
//   F    footer block, then L_f u64 and F u64 (the trailer)
#pragma once

#include <array>
#include <cstdint>

namespace drux {

inline constexpr std::array<std::uint8_t, 4> kMagic = {'D', 'R', 'U', 'X'};
inline constexpr std::uint16_t kFormatVersion = 2;

inline constexpr std::uint64_t kFileHeaderSize = 24;
inline constexpr std::uint64_t kTotalRowsOffset = 8;     // patched by finish()
inline constexpr std::uint64_t kChunkCountOffset = 16;   // patched by finish()
inline constexpr std::uint64_t kReservedSize = 32;
inline constexpr std::uint64_t kSchemaLengthOffset = 64;  // header + creation time + reserved
inline constexpr std::uint64_t kTrailerSize = 16;         // L_f u64, F u64
inline constexpr std::uint64_t kColumnBlockOverhead = 12; // CRC-32 u32, length u64

inline constexpr std::uint64_t kMaxColumns = 0xFFFF;           // 16-bit header field
inline constexpr std::uint64_t kMaxRowsPerChunk = 0xFFFFFFFF;  // 32-bit header field

// Encoding tags of a column chunk, stored in the footer.
enum class Encoding : std::uint8_t {
  Plain = 0,          // string, bytes and nested columns
  RunLength = 1,      // integer and float columns
  Delta = 2,          // integer and float columns
  Bitmap = 4,         // boolean columns
  ConstantDelta = 6,  // integer and float columns
  FrameOfReference = 7,
};

// Float columns store round(value * 10,000) and open with these two bytes:
// a marker and the number of decimal places.
inline constexpr double kFloatScale = 10000.0;
inline constexpr std::uint8_t kFloatMarker = 0xFE;
inline constexpr std::uint8_t kFloatDecimals = 4;

// The 4096-bit membership filter of a string column chunk.
inline constexpr std::uint32_t kBloomBits = 4096;
inline constexpr std::uint64_t kBloomMultiplier = 0x517cc1b727220a95ULL;
inline constexpr std::array<std::uint64_t, 3> kBloomSeeds = {0x9e3779b97f4a7c15ULL, 0x6c62272e07bb0142ULL,
                                                             0xbf58476d1ce4e5b9ULL};

// Counter-block derivation of encrypted columns.
inline constexpr std::uint32_t kCounterMultiplier = 0x7ed7fb2f;

}  // namespace drux
