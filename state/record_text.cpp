#include "state/record_text.h"

#include <algorithm>
#include <charconv>

#include "base/crc32.h"

namespace n2 {
namespace {

template <class T>
bool Parse(std::string_view word, T& value, int base) {
  if (word.empty()) return false;
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
  return error == std::errc() && end == word.data() + word.size();
}

}  // namespace

std::string EscapeRecordName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  AppendRecordName(out, name);
  return out;
}

void AppendRecordName(std::string& out, std::string_view name) {
  static const char kDigits[] = "0123456789ABCDEF";
  // Runs of plain bytes are appended whole.
  size_t plain = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c > 32 && c != '%' && c != 127) continue;
    out.append(name, plain, i - plain);
    out += '%';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
    plain = i + 1;
  }
  out.append(name, plain, name.size() - plain);
}

std::optional<std::string> UnescapeRecordName(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  // Runs of plain bytes are appended whole: thousands of names are read at
  // every job.
  for (size_t i = 0;;) {
    const size_t escape = std::min(text.find('%', i), text.size());
    out.append(text, i, escape - i);
    if (escape == text.size()) return out;
    uint8_t value = 0;
    if (escape + 2 >= text.size() || !Parse(text.substr(escape + 1, 2), value, 16)) return std::nullopt;
    out += static_cast<char>(value);
    i = escape + 3;
  }
}

std::string SealRecord(std::string body, size_t lines) {
  const uint32_t crc = Crc32(body);
  body += "end " + std::to_string(lines) + " " + RecordHex(crc) + "\n";
  return body;
}

std::optional<std::string_view> OpenSealedRecord(std::string_view text) {
  if (text.empty() || text.back() != '\n') return std::nullopt;
  const size_t seal = text.rfind('\n', text.size() - 2);
  const size_t seal_start = seal == std::string_view::npos ? 0 : seal + 1;
  const std::string_view body = text.substr(0, seal_start);
  const RecordWordList words = RecordWords(text.substr(seal_start, text.size() - 1 - seal_start));
  uint64_t lines = 0;
  uint32_t crc = 0;
  if (words.size() != 3 || words[0] != "end" || !RecordNumber(words[1], lines) || !RecordNumber(words[2], crc, 16))
    return std::nullopt;
  size_t counted = 0;
  for (size_t at = body.find('\n'); at != std::string_view::npos; at = body.find('\n', at + 1)) ++counted;
  if (counted != lines || Crc32(body) != crc) return std::nullopt;
  return body;
}

RecordWordList RecordWords(std::string_view line, size_t count) {
  RecordWordList words;
  for (size_t start = 0; start <= line.size();) {
    size_t blank = words.size() + 1 == count ? line.size() : line.find(' ', start);
    if (blank == std::string_view::npos) blank = line.size();
    words.push_back(line.substr(start, blank - start));
    start = blank + 1;
  }
  return words;
}

bool RecordNumber(std::string_view word, uint64_t& value, int base) { return Parse(word, value, base); }
bool RecordNumber(std::string_view word, uint32_t& value, int base) { return Parse(word, value, base); }

void AppendRecordNumber(std::string& out, uint64_t value, int base) {
  char buffer[24];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, base);
  (void)error;
  out.append(buffer, end);
}

std::string RecordHex(uint32_t value) {
  std::string text;
  AppendRecordNumber(text, value, 16);
  return text;
}

}  // namespace n2
