#include "sync/agreed_content.h"

#include "state/record_text.h"
#include "zip/zip_records.h"

namespace n2 {
namespace {

constexpr std::string_view kHeader = "n2agreed 1";

}  // namespace

BookContent BookContent::Of(const std::vector<ZipEntry>& entries, const LeadBytes& lead) {
  BookContent book(lead);
  book.cards_.reserve(entries.size());
  for (const ZipEntry& e : entries) {
    std::string name = NormalizeEntryName(e.central.name, lead);
    CardContent card;
    card.folder = e.Folder() || EndsWithChar(name, '/', lead);
    if (!card.folder) {
      card.size = e.central.uncompressed_size;
      card.crc = e.central.crc;
      card.attributes = e.central.external_attributes & CardContent::kCountedAttributes;
    }
    book.cards_.try_emplace(std::move(name), card);
  }
  return book;
}

void BookContent::Add(std::string name, const CardContent& card) { SetCaseBlind(cards_, std::move(name), card); }

const CardContent* BookContent::Find(std::string_view name) const { return FindCaseBlind(cards_, name); }

bool BookContent::operator==(const BookContent& other) const {
  if (cards_.size() != other.cards_.size()) return false;
  for (const auto& [name, card] : cards_) {
    const CardContent* same = other.Find(name);
    if (!same || !(*same == card)) return false;
  }
  return true;
}

std::string BookContent::Text() const {
  std::string body = std::string(kHeader) + "\n";
  body.reserve(body.size() + cards_.size() * 64);
  // Appended piece by piece: the record is written after every job.
  for (const auto& [name, c] : cards_) {
    body += RecordHex(c.crc);
    body += ' ';
    body += std::to_string(c.size);
    body += ' ';
    body += RecordHex(c.attributes);
    body += c.folder ? " d " : " f ";
    AppendRecordName(body, name);
    body += '\n';
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
    const RecordWordList words = RecordWords(line, 5);
    CardContent c;
    std::optional<std::string> name;
    if (words.size() != 5 || !RecordNumber(words[0], c.crc, 16) || !RecordNumber(words[1], c.size) ||
        !RecordNumber(words[2], c.attributes, 16) || (words[3] != "d" && words[3] != "f") ||
        !(name = UnescapeRecordName(words[4])) || name->empty())
      return std::nullopt;
    c.folder = words[3] == "d";
    book.Add(std::move(*name), c);
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

void TAgreedContent::AgreeOn(const BookContent& part) {
  if (!book_) return;
  part.ForEach([this](const std::string& name, const CardContent& card) { book_->Add(name, card); });
}

std::string TAgreedContent::Text() const { return book_ ? book_->Text() : std::string(); }

TAgreedContent TAgreedContent::Parse(std::string_view text, const LeadBytes& lead) {
  TAgreedContent agreed(lead);
  if (std::optional<BookContent> book = BookContent::Parse(text, lead)) agreed.Agree(std::move(*book));
  return agreed;
}

}  // namespace n2
