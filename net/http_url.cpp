#include "net/http_url.h"

#include <cctype>

namespace n2 {

namespace {

bool IsSchemeChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == prefix;
}

void SplitAuthority(std::string_view authority, HttpUrl& url) {
  const size_t at = authority.rfind('@');
  const size_t colon = authority.rfind(':');
  std::string_view host_part = authority;
  if (at != std::string_view::npos) {
    std::string_view credentials = authority.substr(0, at);
    const size_t split = credentials.find(':');
    url.user = std::string(credentials.substr(0, split));
    if (split != std::string_view::npos) url.password = std::string(credentials.substr(split + 1));
    host_part = authority.substr(at + 1);
  }
  if (colon != std::string_view::npos && (at == std::string_view::npos || colon > at)) {
    const size_t start = at == std::string_view::npos ? 0 : at + 1;
    url.port = std::string(authority.substr(colon + 1));
    host_part = authority.substr(start, colon - start);
  }
  url.host = std::string(host_part);
}

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Bytes that are none of the characters RFC 3986 (section 2) lets a URI hold
// raw: not unreserved, not a delimiter, and not the "%" of an escape.
bool NeedsEscape(unsigned char c) {
  if (c <= 0x20 || c >= 0x7F) return true;
  return std::string_view("\"<>\\^`{|}").find(static_cast<char>(c)) != std::string_view::npos;
}

void ApplyDefaults(HttpUrl& url) {
  if (url.protocol.empty()) url.protocol = "http";
  if (url.port.empty()) url.port = "80";
  if (url.path.empty()) url.path = "/";
}

}  // namespace

std::string HttpUrl::Text() const {
  std::string text = protocol + "://" + host;
  if (port != "80") text += ":" + port;
  return text + path;
}

bool operator==(const HttpUrl& a, const HttpUrl& b) {
  return a.protocol == b.protocol && a.user == b.user && a.password == b.password && a.host == b.host &&
         a.port == b.port && a.path == b.path;
}

HttpUrl ParseHttpUrl(std::string_view url) {
  HttpUrl out;
  std::string_view rest = url;
  const size_t scheme_end = url.find("://");
  if (scheme_end != std::string_view::npos) {
    bool valid = scheme_end > 0;
    for (size_t i = 0; i < scheme_end && valid; ++i) valid = IsSchemeChar(url[i]);
    if (valid) {
      out.protocol = Lower(url.substr(0, scheme_end));
      rest = url.substr(scheme_end + 3);
    }
  }
  if (out.protocol.empty() && !rest.empty() && rest.front() == '/') {
    out.path = std::string(rest);
  } else {
    const size_t path_start = rest.find_first_of("/?");
    SplitAuthority(rest.substr(0, path_start), out);
    if (path_start != std::string_view::npos) out.path = std::string(rest.substr(path_start));
  }
  ApplyDefaults(out);
  return out;
}

HttpUrl ResolveHttpLocation(const HttpUrl& current, std::string_view location) {
  if (StartsWithNoCase(location, "http://") || StartsWithNoCase(location, "https://")) return ParseHttpUrl(location);
  HttpUrl next = current;
  if (!location.empty() && location.front() == '/') {
    next.path = std::string(location);
    return next;
  }
  std::string_view folder = current.path;
  folder = folder.substr(0, folder.find('?'));
  const size_t last = folder.find_last_of("/:");
  folder = last == std::string_view::npos ? std::string_view() : folder.substr(0, last + 1);
  next.path = std::string(folder) + std::string(location);
  if (next.path.empty()) next.path = "/";
  return next;
}

std::string EncodeHttpRequestTarget(std::string_view utf8) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    const bool valid_escape = c == '%' && i + 2 < utf8.size() && IsHexDigit(utf8[i + 1]) && IsHexDigit(utf8[i + 2]);
    if (valid_escape || (c != '%' && !NeedsEscape(c))) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace n2
