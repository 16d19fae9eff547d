// AES-256 (FIPS-197) and its counter mode as the column encryption uses it:
// a 12-byte prefix, then a 32-bit big-endian block counter from 0.
//
// The fast path (AES-NI) is chosen once at run time beside a portable table
// version. Deliberately not here: decryption (counter mode is its own
// inverse) and any authentication.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "drux_v2/kval.h"

namespace drux {

using AesBlock = std::array<std::uint8_t, 16>;
using CtrPrefix = std::array<std::uint8_t, 12>;

// Auto takes the AES instructions when the CPU has them; Portable forces the
// table implementation, so tests can hold each path to the other.
enum class AesImpl { Auto, Portable };

AesBlock aes256_encrypt_block(const AesKey& key, const AesBlock& plain, AesImpl impl = AesImpl::Auto);

// XORs `data` in place with the keystream of the counter blocks
// prefix || be32(0), prefix || be32(1), ...; the last block may be partial.
// The counter is 32 bits wide, so the keystream repeats after 2^32 blocks
// (64 GiB); one column payload of one chunk stays far below that.
void aes256_ctr_xor(const AesKey& key, const CtrPrefix& prefix, std::span<std::uint8_t> data,
                    AesImpl impl = AesImpl::Auto);

// Whether this CPU has the AES instructions the fast path uses.
bool aes_hardware_available();

}  // namespace drux
