// The small text records a data folder keeps (what the last pack or unpack
// saw, what was last agreed with the server): one entry a line, words
// separated by single blanks, names escaped so that each is one word, and a
// last line "end <lines> <crc>" that counts and checks the lines before it,
// so that a record cut short or damaged reads as no record at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace n2 {

// Names: bytes below 33, "%" and DEL written as %XX.
std::string EscapeRecordName(std::string_view name);
std::optional<std::string> UnescapeRecordName(std::string_view text);

// Adds the seal line to body, which holds lines lines.
std::string SealRecord(std::string body, size_t lines);
// The lines of a sealed text without the seal, or nothing when it is damaged.
std::optional<std::string_view> OpenSealedRecord(std::string_view text);

// The words of a line; the last of at most count words takes the rest of it.
std::vector<std::string_view> RecordWords(std::string_view line, size_t count = SIZE_MAX);

// A whole word as a number (base 10 or 16).
bool RecordNumber(std::string_view word, uint64_t& value, int base = 10);
bool RecordNumber(std::string_view word, uint32_t& value, int base = 10);
std::string RecordHex(uint32_t value);

}  // namespace n2
