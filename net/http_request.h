// The header block of an HTTP request, line by line in the client's fixed
// order; a line whose value is empty is left out. Portable: no Windows headers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace n2 {

struct HttpRequestHead {
  std::string method;   // "GET", "PUT", "POST", "HEAD"
  std::string path;     // as it goes on the request line (already encoded)
  std::string version;  // "1.0" or "1.1"
  std::string from, accept, referer, connection, accept_language, content_type, user_agent;
  std::string host, port;  // the Host line carries ":" port unless port is "80" or empty
  bool no_cache = false;   // "Pragma: no-cache"
  std::optional<std::uint64_t> content_length;
  std::string if_modified_since, if_none_match;  // validators of a conditional request
  std::string authorization;  // the whole value, "Basic ..." or "NTLM ..."
  std::string cookie;
};

// The request line, the header lines each ended by CR LF, and the empty line.
std::string BuildHttpRequestHead(const HttpRequestHead& head);

}  // namespace n2
