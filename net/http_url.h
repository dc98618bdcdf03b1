// The parts of an HTTP address as the HTTP client splits it, and the address
// that a Location header leads to. Nothing is decoded or encoded: the path
// goes on the request line as it stands. Portable: no Windows headers.
//
//   HttpUrl url = ParseHttpUrl("http://me:pw@host:8080/dir/file.zip");
//   // protocol "http", user "me", password "pw", host "host", port "8080", path "/dir/file.zip"
#pragma once

#include <string>
#include <string_view>

namespace n2 {

struct HttpUrl {
  std::string protocol;  // lower case; "http" when the address names none
  std::string user, password;
  std::string host;
  std::string port;  // "80" when the address names none
  std::string path;  // from the first "/" or "?" after the host on; "/" when empty

  // protocol "://" host [":" port unless "80"] path, without the credentials.
  std::string Text() const;
};

bool operator==(const HttpUrl& a, const HttpUrl& b);

// Splits an address. The scheme is the text before "://" when every character
// of it is a letter, digit, "+", "-" or "."; the authority runs to the first
// "/" or "?"; in it the last "@" ends the credentials (user, and password after
// its first ":") and a last ":" after that "@" starts the port. An address
// without "://" is a path when it begins with "/", else a host and path.
HttpUrl ParseHttpUrl(std::string_view url);

// Where a Location value leads from the address current: a value beginning
// with "/" is a new path on the same host; one beginning with "http://" or
// "https://" (any case) is a whole address; anything else is relative to the
// folder of the current path (up to its last "/" or ":" before any "?").
HttpUrl ResolveHttpLocation(const HttpUrl& current, std::string_view location);

}  // namespace n2
