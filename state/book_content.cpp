#include "state/book_content.h"

#include <optional>

#include "state/record_text.h"

namespace n2 {

void BookContent::Add(std::string name, const CardContent& card) { SetCaseBlind(cards_, std::move(name), card); }

const CardContent* BookContent::Find(std::string_view name) const { return FindCaseBlind(cards_, name); }

bool BookContent::AddNew(std::string name, const CardContent& card) {
  return cards_.try_emplace(std::move(name), card).second;
}

bool BookContent::operator==(const BookContent& other) const {
  if (this == &other) return true;
  if (cards_.size() != other.cards_.size()) return false;
  for (const auto& [name, card] : cards_) {
    const CardContent* same = other.Find(name);
    if (!same || !(*same == card)) return false;
  }
  return true;
}

void BookContent::AppendLines(std::string& out) const {
  // Numbers, identities and a name that needs no escaping: most lines fit.
  size_t names = 0;
  for (const auto& [name, c] : cards_) names += name.size();
  out.reserve(out.size() + cards_.size() * 96 + names);
  // Appended piece by piece: the record is written after every job.
  for (const auto& [name, c] : cards_) {
    AppendRecordNumber(out, c.crc, 16);
    out += ' ';
    AppendRecordNumber(out, c.size);
    out += ' ';
    AppendRecordNumber(out, c.attributes, 16);
    out += c.folder ? " d " : " f ";
    if (c.identity)
      c.identity->AppendText(out);
    else
      out += '-';
    out += ' ';
    c.seen.AppendText(out);
    out += ' ';
    AppendRecordName(out, name);
    out += '\n';
  }
}

bool BookContent::AddLine(std::string_view line, bool with_identities) {
  // crc size attributes kind [identity seen] name
  const size_t count = with_identities ? 7 : 5;
  const RecordWordList words = RecordWords(line, count);
  CardContent c;
  std::optional<std::string> name;
  if (words.size() != count || !RecordNumber(words[0], c.crc, 16) || !RecordNumber(words[1], c.size) ||
      !RecordNumber(words[2], c.attributes, 16) || (words[3] != "d" && words[3] != "f") ||
      !(name = UnescapeRecordName(words[count - 1])) || name->empty())
    return false;
  c.folder = words[3] == "d";
  if (with_identities) {
    std::optional<SeenVersions> seen;
    if (words[4] != "-" && !(c.identity = CardIdentity::Parse(words[4]))) return false;
    if (!(seen = SeenVersions::Parse(words[5]))) return false;
    c.seen = std::move(*seen);
  }
  Add(std::move(*name), c);
  return true;
}

}  // namespace n2
