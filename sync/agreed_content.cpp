#include "sync/agreed_content.h"

#include <algorithm>
#include <charconv>

#include "zip/file_index.h"
#include "zip/zip_records.h"

namespace n2 {
namespace {

constexpr std::string_view kHeader = "n2agreed 1";

template <class T>
bool Number(std::string_view word, T& value, int base = 10) {
  if (word.empty()) return false;
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
  return error == std::errc() && end == word.data() + word.size();
}

std::string Hex(uint32_t value) {
  char buffer[9];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
  (void)error;
  return std::string(buffer, end);
}

}  // namespace

BookContent BookContent::Of(const std::vector<ZipEntry>& entries, const LeadBytes& lead) {
  BookContent book(lead);
  for (const ZipEntry& e : entries) {
    const std::string name = NormalizeEntryName(e.central.name, lead);
    CardContent card;
    card.folder = e.Folder() || EndsWithChar(name, '/', lead);
    if (!card.folder) {
      card.size = e.central.uncompressed_size;
      card.crc = e.central.crc;
      card.attributes = e.central.external_attributes & CardContent::kCountedAttributes;
    }
    if (!book.Find(name)) book.Add(name, card);
  }
  return book;
}

std::string BookContent::Key(std::string_view name) const { return FoldCase(name, *lead_); }

void BookContent::Add(std::string_view name, const CardContent& card) {
  cards_[Key(name)] = {std::string(name), card};
}

const CardContent* BookContent::Find(std::string_view name) const {
  auto it = cards_.find(Key(name));
  return it == cards_.end() ? nullptr : &it->second.second;
}

bool BookContent::operator==(const BookContent& other) const {
  if (cards_.size() != other.cards_.size()) return false;
  for (auto a = cards_.begin(), b = other.cards_.begin(); a != cards_.end(); ++a, ++b)
    if (a->first != b->first || !(a->second.second == b->second.second)) return false;
  return true;
}

std::string BookContent::Text() const {
  std::string body = std::string(kHeader) + "\n";
  for (const auto& [key, named] : cards_) {
    const CardContent& c = named.second;
    body += Hex(c.crc) + " " + std::to_string(c.size) + " " + Hex(c.attributes) + " " + (c.folder ? "d " : "f ") +
            EscapeRecordName(named.first) + "\n";
  }
  return SealRecord(std::move(body), cards_.size() + 1);
}

std::optional<BookContent> BookContent::Parse(std::string_view text, const LeadBytes& lead) {
  std::optional<std::string_view> body = OpenSealedRecord(text);
  if (!body || body->substr(0, kHeader.size() + 1) != std::string(kHeader) + "\n") return std::nullopt;
  BookContent book(lead);
  for (size_t start = kHeader.size() + 1; start < body->size();) {
    const size_t end = body->find('\n', start);
    const std::string_view line = body->substr(start, end - start);
    start = end + 1;
    // crc size attributes kind name
    std::string_view words[5];
    size_t count = 0, from = 0;
    for (; count < 5 && from <= line.size(); ++count) {
      const size_t blank = count == 4 ? line.size() : std::min(line.find(' ', from), line.size());
      words[count] = line.substr(from, blank - from);
      from = blank + 1;
    }
    CardContent c;
    std::optional<std::string> name;
    if (count != 5 || !Number(words[0], c.crc, 16) || !Number(words[1], c.size) ||
        !Number(words[2], c.attributes, 16) || (words[3] != "d" && words[3] != "f") ||
        !(name = UnescapeRecordName(words[4])) || name->empty())
      return std::nullopt;
    c.folder = words[3] == "d";
    book.Add(*name, c);
  }
  return book;
}

namespace {

// Whether the local file holds card (its bytes, and its attributes when asked).
bool Holds(const LocalFile& local, const CardContent& card, bool with_attributes) {
  if (!local.exists || card.folder || local.size != card.size) return false;
  if (with_attributes &&
      (local.attributes & CardContent::kCountedAttributes) != (card.attributes & CardContent::kCountedAttributes))
    return false;
  return local.Crc() == card.crc;
}

}  // namespace

TCardDecision TAgreedContent::Decide(std::string_view name, const CardContent& server, const LocalFile& local) const {
  if (!book_ || !local.exists) return {TCardAction::kTakeServer, false};
  const CardContent* agreed = book_->Find(name);
  // The server's card is the agreed one: whatever the local file holds is
  // either that too or news of this installation.
  if (agreed && *agreed == server) return {TCardAction::kKeepLocal, false};
  if (Holds(local, server, true)) return {TCardAction::kKeepLocal, false};
  if (agreed && Holds(local, *agreed, true)) return {TCardAction::kTakeServer, true};
  // Both sides changed the card. Equal bytes under other attributes need no copy.
  if (Holds(local, server, false)) return {TCardAction::kKeepLocal, false};
  return {TCardAction::kSaveServerCopy, false};
}

std::string TAgreedContent::Text() const { return book_ ? book_->Text() : std::string(); }

TAgreedContent TAgreedContent::Parse(std::string_view text, const LeadBytes& lead) {
  TAgreedContent agreed(lead);
  if (std::optional<BookContent> book = BookContent::Parse(text, lead)) agreed.Agree(std::move(*book));
  return agreed;
}

}  // namespace n2
