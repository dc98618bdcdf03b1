#include "net/ftp_reply_values.h"

#include <limits>

namespace n2 {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// What a final reply line says after its code, without blanks around it.
std::string_view ReplyText(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && IsDigit(line[i])) ++i;
  // The code must be followed by a blank: "2131234" is no code and value.
  if (i == 0 || i == line.size() || !IsBlank(line[i])) return {};
  return Trim(line.substr(i));
}

size_t CountDigits(std::string_view text, size_t from) {
  size_t i = from;
  while (i < text.size() && IsDigit(text[i])) ++i;
  return i - from;
}

}  // namespace

std::optional<int64_t> ParseSizeReply(std::string_view line) {
  const std::string_view text = ReplyText(line);
  if (text.empty() || CountDigits(text, 0) != text.size()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    const int digit = c - '0';
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::string> ParseMdtmReply(std::string_view line) {
  const std::string_view text = ReplyText(line);
  if (CountDigits(text, 0) != 14) return std::nullopt;
  if (text.size() > 14 && (text[14] != '.' || CountDigits(text, 15) == 0 || 15 + CountDigits(text, 15) != text.size()))
    return std::nullopt;
  return std::string(text);
}

std::vector<std::string> ParseFeatReply(std::string_view lines) {
  std::vector<std::string> features;
  while (!lines.empty()) {
    const size_t end = lines.find('\n');
    std::string_view line = lines.substr(0, end);
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // The reply's first and last lines carry the code; the features are indented between them.
    if (line.empty() || IsDigit(line.front())) continue;
    line = Trim(line);
    if (line.empty()) continue;
    std::string feature(line);
    for (char& c : feature) {
      if (IsBlank(c)) break;
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    features.push_back(std::move(feature));
  }
  return features;
}

}  // namespace n2
