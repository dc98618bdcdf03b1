#include "net/md4.h"

#include <cstring>
#include <string>

namespace n2 {

namespace {

inline std::uint32_t Rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & y) | (~x & z); }
inline std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & y) | (x & z) | (y & z); }
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; }

void Transform(std::uint32_t state[4], const unsigned char block[64]) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i)
    x[i] = static_cast<std::uint32_t>(block[i * 4]) | (static_cast<std::uint32_t>(block[i * 4 + 1]) << 8) |
           (static_cast<std::uint32_t>(block[i * 4 + 2]) << 16) | (static_cast<std::uint32_t>(block[i * 4 + 3]) << 24);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  static const int kRound1Shift[4] = {3, 7, 11, 19};
  for (int i = 0; i < 16; ++i) {
    std::uint32_t t = a + F(b, c, d) + x[i];
    a = d, d = c, c = b, b = Rotl(t, kRound1Shift[i % 4]);
  }
  static const int kRound2Order[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
  static const int kRound2Shift[4] = {3, 5, 9, 13};
  for (int i = 0; i < 16; ++i) {
    std::uint32_t t = a + G(b, c, d) + x[kRound2Order[i]] + 0x5A827999u;
    a = d, d = c, c = b, b = Rotl(t, kRound2Shift[i % 4]);
  }
  static const int kRound3Order[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  static const int kRound3Shift[4] = {3, 9, 11, 15};
  for (int i = 0; i < 16; ++i) {
    std::uint32_t t = a + H(b, c, d) + x[kRound3Order[i]] + 0x6ED9EBA1u;
    a = d, d = c, c = b, b = Rotl(t, kRound3Shift[i % 4]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

Md4Digest Md4(std::string_view bytes) {
  std::uint32_t state[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
  size_t whole = bytes.size() / 64 * 64;
  for (size_t i = 0; i < whole; i += 64) Transform(state, reinterpret_cast<const unsigned char*>(bytes.data() + i));
  // The tail, a 1 bit, zeros, and the length in bits (64-bit little-endian).
  std::string tail(bytes.substr(whole));
  tail += '\x80';
  while (tail.size() % 64 != 56) tail += '\0';
  std::uint64_t bit_length = static_cast<std::uint64_t>(bytes.size()) * 8;
  for (int i = 0; i < 8; ++i) tail += static_cast<char>((bit_length >> (8 * i)) & 0xFF);
  for (size_t i = 0; i < tail.size(); i += 64) Transform(state, reinterpret_cast<const unsigned char*>(tail.data() + i));
  Md4Digest digest;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) digest[i * 4 + j] = static_cast<std::uint8_t>((state[i] >> (8 * j)) & 0xFF);
  return digest;
}

}  // namespace n2
