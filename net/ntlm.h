// NTLM version 1 authentication messages, as an HTTP client sends them after
// "Authorization: NTLM " (Base64-encoded by the caller): the negotiate message
// (type 1), the reading of the server's challenge (type 2) and the
// authenticate message (type 3) with the LM and NT responses. Fields are read
// and written one by one, little-endian. Portable: no Windows headers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace n2 {

using NtlmChallenge = std::array<std::uint8_t, 8>;
using NtlmHash = std::array<std::uint8_t, 16>;
using NtlmResponse = std::array<std::uint8_t, 24>;

inline constexpr std::uint32_t kNtlmNegotiateFlags = 0x8207;
inline constexpr std::uint32_t kNtlmAuthenticateFlags = 0x8205;
inline constexpr size_t kNtlmAuthenticateHeaderSize = 64;

// The 8-bit text widened to 16 bits a character (a zero byte after each).
std::string NtlmWiden(std::string_view text);

// LM hash: the password upper-cased, cut or padded to 14 bytes, each half a
// DES key that encrypts "KGS!@#$%".
NtlmHash NtlmLmHash(std::string_view password);
// NT hash: MD4 of the widened password.
NtlmHash NtlmNtHash(std::string_view password);
// A 24-byte response: the hash padded with zeros to 21 bytes, three DES keys
// of 7 bytes each, each encrypting the challenge.
NtlmResponse NtlmResponseFor(const NtlmHash& hash, const NtlmChallenge& challenge);

// Type 1: signature, type 1, flags 0x8207, no domain, no workstation.
std::string NtlmNegotiateMessage();

// The server challenge of a type 2 message; nothing when the bytes are not one.
std::optional<NtlmChallenge> NtlmParseChallengeMessage(std::string_view message);

// Type 3: flags 0x8205, empty domain, user and workstation widened, the LM and
// NT responses for password and challenge, no session key. The payload follows
// the 64-byte header in the order domain, user, workstation, LM, NT.
std::string NtlmAuthenticateMessage(std::string_view user, std::string_view workstation,
                                    std::string_view password, const NtlmChallenge& challenge);

}  // namespace n2
