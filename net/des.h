// DES block encryption (FIPS 46), as NTLM version 1 uses it: single 8-byte
// blocks in electronic-codebook mode, keys made from 7 bytes of key material.
// Portable: no Windows headers.
#pragma once

#include <array>
#include <cstdint>

namespace n2 {

using DesBlock = std::array<std::uint8_t, 8>;

// Encrypts one block with an 8-byte key (the low bit of each key byte, the
// parity bit, is ignored).
DesBlock DesEncrypt(const DesBlock& key, const DesBlock& plain);

// Spreads 56 bits of key material (7 bytes) over the 8 bytes of a DES key,
// 7 bits each, leaving each byte's low (parity) bit clear.
DesBlock DesKeyFrom7(const std::uint8_t material[7]);

}  // namespace n2
