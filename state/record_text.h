// The small text records a data folder keeps (what the last pack or unpack
// saw, what was last agreed with the server): one entry a line, words
// separated by single blanks, names escaped so that each is one word, and a
// last line "end <lines> <crc>" that counts and checks the lines before it,
// so that a record cut short or damaged reads as no record at all.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace n2 {

// Names: bytes below 33, "%" and DEL written as %XX.
std::string EscapeRecordName(std::string_view name);
void AppendRecordName(std::string& out, std::string_view name);
std::optional<std::string> UnescapeRecordName(std::string_view text);

// Adds the seal line to body, which holds lines lines.
std::string SealRecord(std::string body, size_t lines);
// The lines of a sealed text without the seal, or nothing when it is damaged.
std::optional<std::string_view> OpenSealedRecord(std::string_view text);

// The words of a line: size() counts them all, the first kKept are kept.
// Record lines have fewer; a line read from a file is parsed without a
// container of its own.
class RecordWordList {
 public:
  static constexpr size_t kKept = 8;
  size_t size() const { return count_; }
  std::string_view operator[](size_t i) const { return words_.at(i); }
  void push_back(std::string_view word) {
    if (count_ < kKept) words_[count_] = word;
    ++count_;
  }

 private:
  std::array<std::string_view, kKept> words_{};
  size_t count_ = 0;
};

// The words of a line; the last of at most count words takes the rest of it.
RecordWordList RecordWords(std::string_view line, size_t count = SIZE_MAX);

// A whole word as a number (base 10 or 16).
bool RecordNumber(std::string_view word, uint64_t& value, int base = 10);
bool RecordNumber(std::string_view word, uint32_t& value, int base = 10);
std::string RecordHex(uint32_t value);
// A number appended in base 10 or 16, as RecordNumber reads it.
void AppendRecordNumber(std::string& out, uint64_t value, int base = 10);

}  // namespace n2
