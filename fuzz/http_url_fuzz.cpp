// Addresses and relocation targets as the HTTP client reads them: the first
// line of the input is the address a job builds, the second a Location value
// of a response to it (as the header reader gives it: no LF, no trailing CR).
// Checks what requests are built from: a protocol, a port, a path that is
// never empty, a host without separators, an address that reads back the
// same from its text, and a request target of the path that holds only what
// a request line may hold raw and that a second encoding leaves alone.
#include <string>

#include "fuzz/fuzz_support.h"
#include "net/http_url.h"

namespace {

using n2::HttpUrl;

bool HasAny(const std::string& text, const char* chars) { return text.find_first_of(chars) != std::string::npos; }

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

void CheckTarget(const std::string& path) {
  const std::string target = n2::EncodeHttpRequestTarget(path);
  for (size_t i = 0; i < target.size(); ++i) {
    FUZZ_CHECK(target[i] > ' ' && target[i] < 0x7F);
    if (target[i] == '%') FUZZ_CHECK(i + 2 < target.size() && IsHex(target[i + 1]) && IsHex(target[i + 2]));
  }
  FUZZ_CHECK(!HasAny(target, "\"<>\\^`{|}"));
  FUZZ_CHECK(n2::EncodeHttpRequestTarget(target) == target);
  // A path of characters a request target holds raw goes as it is.
  bool plain = !HasAny(path, "\"<>\\^`{|}%");
  for (char c : path) plain = plain && c > ' ' && c < 0x7F;
  if (plain) FUZZ_CHECK(target == path);
}

void CheckUrl(const HttpUrl& url) {
  FUZZ_CHECK(!url.protocol.empty());
  FUZZ_CHECK(!url.port.empty());
  FUZZ_CHECK(!url.path.empty());
  for (char c : url.protocol) FUZZ_CHECK(!(c >= 'A' && c <= 'Z'));
  FUZZ_CHECK(!HasAny(url.host, "/?"));
  // The text of an address names the same place again (credentials are left out).
  if (!HasAny(url.host, ":@") && !HasAny(url.port, ":@/?") && (url.path[0] == '/' || url.path[0] == '?')) {
    const HttpUrl again = n2::ParseHttpUrl(url.Text());
    FUZZ_CHECK(again.protocol == url.protocol && again.host == url.host && again.port == url.port &&
               again.path == url.path);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t lf = input.find('\n');
  const std::string_view address = input.substr(0, lf);
  const HttpUrl url = n2::ParseHttpUrl(address);
  CheckUrl(url);
  CheckTarget(url.path);
  if (url.path != "/") FUZZ_CHECK(address.find(url.path) != std::string_view::npos);
  if (lf == std::string_view::npos) return 0;
  std::string_view location = input.substr(lf + 1);
  location = location.substr(0, location.find('\n'));
  if (!location.empty() && location.back() == '\r') location.remove_suffix(1);
  size_t start = 0;
  while (start < location.size() && (location[start] == ' ' || location[start] == '\t')) ++start;
  location.remove_prefix(start);
  const HttpUrl next = n2::ResolveHttpLocation(url, location);
  CheckUrl(next);
  CheckTarget(next.path);
  FUZZ_CHECK(next.path.find('\n') == std::string::npos);
  return 0;
}
