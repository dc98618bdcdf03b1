#include "net/http_response_parser.h"

#include <cctype>

namespace n2 {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::optional<std::string> HttpLineReader::NextLine() {
  const size_t lf = buffer_.find('\n', offset_);
  if (lf == std::string::npos) {
    Compact();
    return std::nullopt;
  }
  if (lf - offset_ >= kMaxLine) return std::nullopt;  // too long: Overlong() is true
  size_t end = lf;
  if (end > offset_ && buffer_[end - 1] == '\r') --end;
  std::string line = buffer_.substr(offset_, end - offset_);
  offset_ = lf + 1;
  return line;
}

void HttpLineReader::Consume(size_t count) {
  offset_ += std::min(count, RestSize());
  Compact();
}

// Drops the bytes already taken once they make up most of the buffer.
void HttpLineReader::Compact() {
  if (offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  } else if (offset_ > 4096 && offset_ * 2 > buffer_.size()) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
}

std::optional<HttpStatusLine> ParseHttpStatusLine(std::string_view line) {
  if (line.substr(0, 8) != "HTTP/1.0" && line.substr(0, 8) != "HTTP/1.1") return std::nullopt;
  HttpStatusLine status;
  status.version = std::string(line.substr(5, 3));
  size_t digit = 9;
  while (digit < line.size() && !std::isdigit(static_cast<unsigned char>(line[digit]))) ++digit;
  for (size_t i = digit; i < digit + 3 && i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])); ++i)
    status.code = status.code * 10 + (line[i] - '0');
  if (digit + 4 < line.size()) status.reason = std::string(line.substr(digit + 4));
  return status;
}

bool IsHeaderlessHtml(std::string_view first_line) {
  return Lower(first_line.substr(0, 6)) == "<html>" || Lower(first_line.substr(0, 9)) == "<!doctype";
}

std::optional<HttpHeaderField> ParseHttpHeaderField(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  HttpHeaderField field;
  field.name = Lower(line.substr(0, colon));
  size_t start = colon + 1;
  while (start < line.size() && IsBlank(line[start])) ++start;
  field.value = std::string(line.substr(start));
  return field;
}

std::string HttpTrimLower(std::string_view value) {
  size_t start = 0, end = value.size();
  while (start < end && std::isspace(static_cast<unsigned char>(value[start]))) ++start;
  while (end > start && std::isspace(static_cast<unsigned char>(value[end - 1]))) --end;
  return Lower(value.substr(start, end - start));
}

std::optional<std::string> HttpChallengeParam(std::string_view challenge, std::string_view name) {
  const std::string wanted = Lower(name);
  size_t i = 0;
  auto skip = [&](std::string_view chars) {
    while (i < challenge.size() && chars.find(challenge[i]) != std::string_view::npos) ++i;
  };
  auto token = [&] {
    const size_t start = i;
    while (i < challenge.size() && challenge[i] != '=' && challenge[i] != ',' && !IsBlank(challenge[i])) ++i;
    return challenge.substr(start, i - start);
  };
  token();  // the scheme
  for (;;) {
    skip(" \t,");
    const std::string param = Lower(token());
    skip(" \t");
    if (param.empty() || i >= challenge.size() || challenge[i] != '=') return std::nullopt;
    ++i;
    skip(" \t");
    std::string value;
    if (i < challenge.size() && challenge[i] == '"') {
      for (++i; i < challenge.size() && challenge[i] != '"'; ++i) {
        if (challenge[i] == '\\' && i + 1 < challenge.size()) ++i;
        value += challenge[i];
      }
      if (i < challenge.size()) ++i;  // the closing quote
    } else {
      value = std::string(token());
    }
    if (param == wanted) return value;
  }
}

std::int64_t ParseHttpContentLength(std::string_view value) {
  const std::string text = HttpTrimLower(value);
  if (text.empty() || text.size() > 18) return -1;
  std::int64_t n = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace n2
