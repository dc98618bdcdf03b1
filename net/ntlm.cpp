#include "net/ntlm.h"

#include <cctype>
#include <cstring>

#include "net/des.h"
#include "net/md4.h"

namespace n2 {

namespace {

constexpr char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};

void PutLe16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}

void PutLe32(std::string& out, std::uint32_t v) {
  PutLe16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  PutLe16(out, static_cast<std::uint16_t>(v >> 16));
}

std::uint32_t GetLe32(std::string_view in, size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(in[at + i]);
  return v;
}

// A security buffer: length, allocated length, offset of the bytes.
void PutSecurityBuffer(std::string& out, size_t length, size_t offset) {
  PutLe16(out, static_cast<std::uint16_t>(length));
  PutLe16(out, static_cast<std::uint16_t>(length));
  PutLe32(out, static_cast<std::uint32_t>(offset));
}

DesBlock Encrypt7(const std::uint8_t* material, const std::uint8_t* plain) {
  DesBlock block;
  std::memcpy(block.data(), plain, 8);
  return DesEncrypt(DesKeyFrom7(material), block);
}

}  // namespace

std::string NtlmWiden(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) {
    out += c;
    out += '\0';
  }
  return out;
}

NtlmHash NtlmLmHash(std::string_view password) {
  std::uint8_t key[14] = {};
  for (size_t i = 0; i < 14 && i < password.size(); ++i)
    key[i] = static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(password[i])));
  static const std::uint8_t kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
  NtlmHash hash;
  DesBlock low = Encrypt7(key, kMagic), high = Encrypt7(key + 7, kMagic);
  std::memcpy(hash.data(), low.data(), 8);
  std::memcpy(hash.data() + 8, high.data(), 8);
  return hash;
}

NtlmHash NtlmNtHash(std::string_view password) { return Md4(NtlmWiden(password)); }

NtlmResponse NtlmResponseFor(const NtlmHash& hash, const NtlmChallenge& challenge) {
  std::uint8_t keys[21] = {};
  std::memcpy(keys, hash.data(), hash.size());
  NtlmResponse response;
  for (int i = 0; i < 3; ++i) {
    DesBlock part = Encrypt7(keys + 7 * i, challenge.data());
    std::memcpy(response.data() + 8 * i, part.data(), 8);
  }
  return response;
}

std::string NtlmNegotiateMessage() {
  std::string out(kSignature, sizeof kSignature);
  PutLe32(out, 1);
  PutLe32(out, kNtlmNegotiateFlags);
  PutSecurityBuffer(out, 0, 0);  // domain
  PutSecurityBuffer(out, 0, 0);  // workstation
  return out;
}

std::optional<NtlmChallenge> NtlmParseChallengeMessage(std::string_view message) {
  if (message.size() < 32 || message.substr(0, 8) != std::string_view(kSignature, 8) || GetLe32(message, 8) != 2)
    return std::nullopt;
  NtlmChallenge challenge;
  std::memcpy(challenge.data(), message.data() + 24, 8);
  return challenge;
}

std::string NtlmAuthenticateMessage(std::string_view user, std::string_view workstation,
                                    std::string_view password, const NtlmChallenge& challenge) {
  const std::string domain_bytes;  // no domain
  const std::string user_bytes = NtlmWiden(user);
  const std::string host_bytes = NtlmWiden(workstation);
  const NtlmResponse lm = NtlmResponseFor(NtlmLmHash(password), challenge);
  const NtlmResponse nt = NtlmResponseFor(NtlmNtHash(password), challenge);

  const size_t domain_at = kNtlmAuthenticateHeaderSize;
  const size_t user_at = domain_at + domain_bytes.size();
  const size_t host_at = user_at + user_bytes.size();
  const size_t lm_at = host_at + host_bytes.size();
  const size_t nt_at = lm_at + lm.size();
  const size_t end = nt_at + nt.size();

  std::string out(kSignature, sizeof kSignature);
  PutLe32(out, 3);
  PutSecurityBuffer(out, lm.size(), lm_at);
  PutSecurityBuffer(out, nt.size(), nt_at);
  PutSecurityBuffer(out, domain_bytes.size(), domain_at);
  PutSecurityBuffer(out, user_bytes.size(), user_at);
  PutSecurityBuffer(out, host_bytes.size(), host_at);
  PutSecurityBuffer(out, 0, end);  // no session key
  PutLe32(out, kNtlmAuthenticateFlags);
  out += domain_bytes;
  out += user_bytes;
  out += host_bytes;
  out.append(reinterpret_cast<const char*>(lm.data()), lm.size());
  out.append(reinterpret_cast<const char*>(nt.data()), nt.size());
  return out;
}

}  // namespace n2
