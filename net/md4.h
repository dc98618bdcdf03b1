// MD4 message digest (RFC 1320), used for the NTLM password hash.
// Portable: no Windows headers.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace n2 {

using Md4Digest = std::array<std::uint8_t, 16>;

Md4Digest Md4(std::string_view bytes);

}  // namespace n2
