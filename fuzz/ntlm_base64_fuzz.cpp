// The NTLM challenge as the HTTP client answers it: the value of a
// WWW-Authenticate header beginning "NTLM", its text from the sixth character
// on (at most 1000) Base64-decoded, the server challenge read from it, and
// the authenticate message built and encoded for the next request. Base64
// must give back what it encoded, and the message must hold together. The
// value's charset parameter (a Basic challenge's) is read from it as well.
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "net/base64.h"
#include "net/http_response_parser.h"
#include "net/ntlm.h"

namespace {

uint32_t Le16(const std::string& m, size_t at) {
  return static_cast<unsigned char>(m[at]) | static_cast<unsigned char>(m[at + 1]) << 8;
}
uint32_t Le32(const std::string& m, size_t at) { return Le16(m, at) | Le16(m, at + 2) << 16; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // Base64 of any bytes reads back as those bytes.
  const std::string encoded = n2::Base64Encode(input);
  FUZZ_CHECK(encoded.size() == (input.size() + 2) / 3 * 4);
  FUZZ_CHECK(n2::Base64Decode(encoded) == input);

  const auto charset = n2::HttpChallengeParam(input, "charset");
  FUZZ_CHECK(!charset || charset->size() < input.size());

  const std::string value(input);
  std::string message;
  if (value.size() > 5) message = n2::Base64Decode(value.substr(5, 1000));
  FUZZ_CHECK(message.size() <= 750);
  const auto challenge = n2::NtlmParseChallengeMessage(message);
  if (!challenge) return 0;
  FUZZ_CHECK(std::memcmp(challenge->data(), message.data() + 24, 8) == 0);

  // The answer, with names and a password taken from the input.
  const std::string_view user = input.substr(0, std::min<size_t>(input.size(), 20));
  const std::string_view password = input.substr(input.size() / 2, 15);
  const std::string reply = n2::NtlmAuthenticateMessage(user, "WORKSTATION", password, *challenge);
  FUZZ_CHECK(reply.size() == n2::kNtlmAuthenticateHeaderSize + 2 * (user.size() + 11) + 48);
  FUZZ_CHECK(Le32(reply, 8) == 3);
  // Every field's offset and length stay inside the message, in payload order.
  size_t expected_offset = n2::kNtlmAuthenticateHeaderSize;
  for (size_t field : {28u, 36u, 44u, 12u, 20u}) {  // domain, user, workstation, LM, NT
    const uint32_t length = Le16(reply, field), offset = Le32(reply, field + 4);
    FUZZ_CHECK(offset == expected_offset && offset + length <= reply.size());
    expected_offset += length;
  }
  FUZZ_CHECK(expected_offset == reply.size());
  FUZZ_CHECK(n2::Base64Decode(n2::Base64Encode(reply)) == reply);
  return 0;
}
