// The codecs behind HTTP authentication: Base64, MD4, DES and the NTLM
// version 1 messages, checked against published test vectors.
#include <gtest/gtest.h>

#include <string>

#include "net/base64.h"
#include "net/des.h"
#include "net/md4.h"
#include "net/ntlm.h"

namespace n2 {
namespace {

template <class Bytes>
std::string Hex(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out += digits[static_cast<unsigned char>(b) >> 4];
    out += digits[static_cast<unsigned char>(b) & 15];
  }
  return out;
}

DesBlock BlockFromHex(const char* hex) {
  DesBlock block{};
  for (int i = 0; i < 8; ++i) block[i] = static_cast<std::uint8_t>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
  return block;
}

uint32_t Le32(const std::string& m, size_t at) {
  return static_cast<unsigned char>(m[at]) | (static_cast<unsigned char>(m[at + 1]) << 8) |
         (static_cast<unsigned char>(m[at + 2]) << 16) | (static_cast<uint32_t>(static_cast<unsigned char>(m[at + 3])) << 24);
}
uint16_t Le16(const std::string& m, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(m[at]) | (static_cast<unsigned char>(m[at + 1]) << 8));
}
// The bytes a security buffer of a message (at its offset in the header) points to.
std::string SecurityBuffer(const std::string& m, size_t at) { return m.substr(Le32(m, at + 4), Le16(m, at)); }

TEST(Base64, EncodesTheStandardAlphabetWithPadding) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(Base64Encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
}

TEST(Base64, DecodesWhatItEncodesAndSkipsForeignCharacters) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t n = 0; n < 8; ++n) EXPECT_EQ(Base64Decode(Base64Encode(all.substr(0, n))), all.substr(0, n));
  EXPECT_EQ(Base64Decode(Base64Encode(all)), all);
  EXPECT_EQ(Base64Decode(" Zm9v\r\nYmFy "), "foobar");
  EXPECT_EQ(Base64Decode("Zg==trailing"), "f");
  EXPECT_EQ(Base64Decode("Z"), "");  // six bits make no byte
}

TEST(Md4, MatchesTheRfc1320TestSuite) {
  EXPECT_EQ(Hex(Md4("")), "31d6cfe0d16ae931b73c59d7e0c089c0");
  EXPECT_EQ(Hex(Md4("a")), "bde52cb31de33e46245e05fbdbd6fb24");
  EXPECT_EQ(Hex(Md4("abc")), "a448017aaf21d8525fc10ae87aa6729d");
  EXPECT_EQ(Hex(Md4("message digest")), "d9130a8164549fe818874806e1c7014b");
  EXPECT_EQ(Hex(Md4("abcdefghijklmnopqrstuvwxyz")), "d79e1c308aa5bbcdeea8ed63df412da9");
  EXPECT_EQ(Hex(Md4("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")),
            "043f8582f241db351ce627e153e7f0e4");
  EXPECT_EQ(Hex(Md4("12345678901234567890123456789012345678901234567890123456789012345678901234567890")),
            "e33b4ddc9c38f2199c3e7b164fcc0536");
}

TEST(Md4, HandlesLengthsAroundTheBlockBoundary) {
  // 55, 56 and 64 bytes put the length field in the same or the next block;
  // each must differ from its neighbours and be stable.
  std::string a55(55, 'a'), a56(56, 'a'), a64(64, 'a');
  EXPECT_NE(Md4(a55), Md4(a56));
  EXPECT_NE(Md4(a56), Md4(a64));
  EXPECT_EQ(Md4(a64), Md4(std::string(64, 'a')));
}

TEST(Des, MatchesTheClassicVectors) {
  EXPECT_EQ(Hex(DesEncrypt(BlockFromHex("133457799BBCDFF1"), BlockFromHex("0123456789ABCDEF"))), "85e813540f0ab405");
  EXPECT_EQ(Hex(DesEncrypt(BlockFromHex("0E329232EA6D0D73"), BlockFromHex("8787878787878787"))), "0000000000000000");
  // The parity bits of the key play no part.
  EXPECT_EQ(DesEncrypt(BlockFromHex("123457799BBCDFF0"), BlockFromHex("0123456789ABCDEF")),
            DesEncrypt(BlockFromHex("133457799BBCDFF1"), BlockFromHex("0123456789ABCDEF")));
}

TEST(Des, SpreadsSevenBytesOfKeyMaterialOverEight) {
  const std::uint8_t all_ones[7] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Hex(DesKeyFrom7(all_ones)), "fefefefefefefefe");
  const std::uint8_t material[7] = {0x53, 0x45, 0x43, 0x52, 0x45, 0x54, 0x30};  // "SECRET0"
  EXPECT_EQ(Hex(DesKeyFrom7(material)), "52a2506a242a5060");
}

// The worked example of the published NTLM documentation: password "SecREt01",
// server challenge 0x0123456789abcdef.
constexpr NtlmChallenge kChallenge = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};

TEST(Ntlm, HashesAndResponsesMatchThePublishedExample) {
  EXPECT_EQ(Hex(NtlmLmHash("SecREt01")), "ff3750bcc2b22412c2265b23734e0dac");
  EXPECT_EQ(Hex(NtlmNtHash("SecREt01")), "cd06ca7c7e10c99b1d33b7485a2ed808");
  EXPECT_EQ(Hex(NtlmResponseFor(NtlmLmHash("SecREt01"), kChallenge)), "c337cd5cbd44fc9782a667af6d427c6de67c20c2d3e77c56");
  EXPECT_EQ(Hex(NtlmResponseFor(NtlmNtHash("SecREt01"), kChallenge)), "25a98c1c31e81847466b29b2df4680f39958fb8c213a9cc6");
  // The LM hash ignores case and everything past 14 characters.
  EXPECT_EQ(NtlmLmHash("secret01"), NtlmLmHash("SECRET01"));
  EXPECT_EQ(NtlmLmHash("abcdefghijklmnXYZ"), NtlmLmHash("ABCDEFGHIJKLMN"));
}

TEST(Ntlm, NegotiateMessageCarriesTypeOneAndItsFlags) {
  std::string m = NtlmNegotiateMessage();
  ASSERT_EQ(m.size(), 32u);
  EXPECT_EQ(m.substr(0, 8), std::string("NTLMSSP\0", 8));
  EXPECT_EQ(Le32(m, 8), 1u);
  EXPECT_EQ(Le32(m, 12), 0x8207u);
  EXPECT_EQ(Le16(m, 16), 0u);  // no domain
  EXPECT_EQ(Le16(m, 24), 0u);  // no workstation
}

TEST(Ntlm, ChallengeIsTakenFromATypeTwoMessageOnly) {
  std::string m("NTLMSSP\0", 8);
  m += std::string("\x02\0\0\0", 4) + std::string(12, '\0');
  m.append(reinterpret_cast<const char*>(kChallenge.data()), 8);
  m += std::string(8, '\0');
  auto challenge = NtlmParseChallengeMessage(m);
  ASSERT_TRUE(challenge);
  EXPECT_EQ(*challenge, kChallenge);
  EXPECT_FALSE(NtlmParseChallengeMessage(m.substr(0, 31)));  // cut short
  std::string type3 = m;
  type3[8] = 3;
  EXPECT_FALSE(NtlmParseChallengeMessage(type3));
  std::string bad = m;
  bad[0] = 'X';
  EXPECT_FALSE(NtlmParseChallengeMessage(bad));
}

TEST(Ntlm, AuthenticateMessageLaysOutItsFieldsInOrder) {
  std::string m = NtlmAuthenticateMessage("user", "WS1", "SecREt01", kChallenge);
  EXPECT_EQ(m.substr(0, 8), std::string("NTLMSSP\0", 8));
  EXPECT_EQ(Le32(m, 8), 3u);
  EXPECT_EQ(Le32(m, 60), 0x8205u);
  // Security buffers: LM 12, NT 20, domain 28, user 36, workstation 44, session key 52.
  EXPECT_EQ(Le16(m, 28), 0u);
  EXPECT_EQ(Le32(m, 28 + 4), 64u);  // the payload starts right after the header
  EXPECT_EQ(SecurityBuffer(m, 36), std::string("u\0s\0e\0r\0", 8));
  EXPECT_EQ(SecurityBuffer(m, 44), std::string("W\0S\0" "1\0", 6));
  EXPECT_EQ(Hex(SecurityBuffer(m, 12)), "c337cd5cbd44fc9782a667af6d427c6de67c20c2d3e77c56");
  EXPECT_EQ(Hex(SecurityBuffer(m, 20)), "25a98c1c31e81847466b29b2df4680f39958fb8c213a9cc6");
  EXPECT_EQ(Le16(m, 52), 0u);
  // Domain, user, workstation, LM, NT follow each other without gaps.
  EXPECT_EQ(Le32(m, 36 + 4), 64u);
  EXPECT_EQ(Le32(m, 44 + 4), 72u);
  EXPECT_EQ(Le32(m, 12 + 4), 78u);
  EXPECT_EQ(Le32(m, 20 + 4), 102u);
  EXPECT_EQ(m.size(), 126u);
}

}  // namespace
}  // namespace n2
