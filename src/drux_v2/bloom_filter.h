// The membership filter of a string column chunk: three seeded
// multiplicative hashes of a text, each setting one of the filter's 4096 bits.
//
// Each hash is a chain of one multiply per byte, so a text alone is hashed
// at the pace of the multiplier's latency while most of its throughput goes
// unused. Texts hashed together fill that gap: where the CPU has 64-bit
// vector multiplies, eight texts run through the lanes of one register per
// seed, and a filter gets the same bits whatever the grouping.
//
// Deliberately not here: the filter's use in scans (arrow_scan.cpp) and any
// other hash; the seeds and multiplier are the format's.
#pragma once

#include <span>
#include <string_view>

#include "drux_v2/kval.h"

namespace drux {

void add_to_bloom(BloomFilter& bloom, std::string_view text);

// The same bits as add_to_bloom of each text in turn.
void add_texts_to_bloom(BloomFilter& bloom, std::span<const std::string_view> texts);

}  // namespace drux
