#include "net/http_request.h"

namespace n2 {

std::string BuildHttpRequestHead(const HttpRequestHead& head) {
  std::string h = head.method + " " + head.path + " HTTP/" + head.version + "\r\n";
  auto line = [&h](const char* name, const std::string& value) {
    if (!value.empty()) h += std::string(name) + ": " + value + "\r\n";
  };
  line("From", head.from);
  line("Accept", head.accept);
  line("Referer", head.referer);
  line("Connection", head.connection);
  line("Accept-Language", head.accept_language);
  line("Content-Type", head.content_type);
  line("User-Agent", head.user_agent);
  h += "Host: " + head.host;
  if (!head.port.empty() && head.port != "80") h += ":" + head.port;
  h += "\r\n";
  if (head.no_cache) h += "Pragma: no-cache\r\n";
  if (head.content_length) h += "Content-Length: " + std::to_string(*head.content_length) + "\r\n";
  line("If-Modified-Since", head.if_modified_since);
  line("If-None-Match", head.if_none_match);
  line("Authorization", head.authorization);
  line("Cookie", head.cookie);
  return h + "\r\n";
}

}  // namespace n2
