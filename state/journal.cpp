#include "state/journal.h"

#include "base/crc32.h"
#include "state/record_text.h"

namespace n2 {
namespace {

constexpr std::string_view kHeader = "n2journal 1";

}  // namespace

std::string JournalHeader(const std::string& server) {
  std::string header(kHeader);
  header += ' ';
  AppendRecordName(header, server);
  header += '\n';
  return header;
}

void AppendJournalLine(std::string& out, const JournalLine& line) {
  // crc-of-the-rest crc size attributes kind name check-path
  std::string rest = RecordHex(line.card.crc) + " " + std::to_string(line.card.size) + " " +
                     RecordHex(line.card.attributes) + (line.card.folder ? " d " : " f ");
  AppendRecordName(rest, line.name);
  rest += ' ';
  AppendRecordName(rest, line.check_path);
  out += RecordHex(Crc32(rest));
  out += ' ';
  out += rest;
  out += '\n';
}

std::optional<Journal> ParseJournal(std::string_view text) {
  const size_t header_end = text.find('\n');
  if (header_end == std::string_view::npos) return std::nullopt;
  const RecordWordList header = RecordWords(text.substr(0, header_end), 3);
  Journal journal;
  std::optional<std::string> server;
  if (header.size() != 3 || std::string(header[0]) + " " + std::string(header[1]) != kHeader ||
      !(server = UnescapeRecordName(header[2])))
    return std::nullopt;
  journal.server = std::move(*server);
  for (size_t start = header_end + 1; start < text.size();) {
    const size_t end = text.find('\n', start);
    if (end == std::string_view::npos) break;  // cut short
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    const size_t blank = line.find(' ');
    uint32_t crc = 0;
    if (blank == std::string_view::npos || !RecordNumber(line.substr(0, blank), crc, 16) ||
        Crc32(line.substr(blank + 1)) != crc)
      break;
    const RecordWordList words = RecordWords(line.substr(blank + 1), 6);
    JournalLine j;
    std::optional<std::string> name, check;
    if (words.size() != 6 || !RecordNumber(words[0], j.card.crc, 16) || !RecordNumber(words[1], j.card.size) ||
        !RecordNumber(words[2], j.card.attributes, 16) || (words[3] != "d" && words[3] != "f") ||
        !(name = UnescapeRecordName(words[4])) || name->empty() || !(check = UnescapeRecordName(words[5])))
      break;
    j.card.folder = words[3] == "d";
    j.name = std::move(*name);
    j.check_path = std::move(*check);
    journal.lines.push_back(std::move(j));
  }
  return journal;
}

}  // namespace n2
