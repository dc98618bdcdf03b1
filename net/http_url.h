// The parts of an HTTP address as the HTTP client splits it, the address that
// a Location header leads to, and the form a path takes on the request line.
// Splitting decodes and encodes nothing. Portable: no Windows headers.
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

// The request target for a path (and query) given in UTF-8: every byte that
// may not stand raw in a request target is sent as %XX (upper-case hex): the
// bytes 80-FF (so each byte of a UTF-8 character), blanks and controls, the
// characters " < > \ ^ ` { | } and a "%" that is not followed by two hex
// digits. A valid %XX escape and every other ASCII character ("/", "?", "=",
// "&", "#", ...) stay as they are: an ASCII path that needs no encoding comes
// back unchanged, and encoding twice changes nothing more.
//
// Why UTF-8: it is what RFC 3986 (section 2.5) and the WHATWG URL standard
// encode non-ASCII characters in, what lighttpd, nginx and Apache on Linux
// file systems store file names in, and what IIS decodes %-escapes as by
// default. The caller converts text of another code page first.
std::string EncodeHttpRequestTarget(std::string_view utf8);

}  // namespace n2
