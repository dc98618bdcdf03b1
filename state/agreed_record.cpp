#include "state/agreed_record.h"

#include <optional>

#include "state/record_text.h"

namespace n2 {
namespace {

constexpr std::string_view kHeader = "n2agreed 2";
constexpr std::string_view kEarlierHeader = "n2agreed 1";

}  // namespace

namespace {

// card as it agrees now, with every version seen of it before: those of the
// earlier agreed version too, and those the version was made over.
CardContent WithHistory(CardContent card, const CardContent* before) {
  if (before) {
    card.seen.Add(before->seen);
    if (before->identity) card.seen.Add(*before->identity);
  }
  if (card.identity) {
    card.seen.Add(*card.identity);
    if (card.identity->over) card.seen.Add(*card.identity->over);
  }
  return card;
}

}  // namespace

void TAgreedRecord::Agree(BookContent book, std::string server) { *this = Agreed(std::move(book), std::move(server)); }

TAgreedRecord TAgreedRecord::Agreed(BookContent book, std::string server) const {
  // The cards take their history in place: a book of 60,000 cards is not
  // built a third time.
  const bool same_server = server == server_;
  book.ForEachChanging([&](const std::string& name, CardContent& card) {
    card = WithHistory(std::move(card), same_server ? book_.Find(name) : nullptr);
  });
  TAgreedRecord next(book.Lead());
  next.state_ = TAgreement::kComplete;
  next.server_ = std::move(server);
  next.book_ = std::move(book);
  next.installation_ = installation_;
  next.last_stamp_ = last_stamp_;
  next.validator_ = validator_;
  return next;
}

void TAgreedRecord::AgreeOn(std::string name, const CardContent& card, const std::string& server) {
  if (state_ == TAgreement::kMissing) {
    state_ = TAgreement::kPartial;
    server_ = server;
  }
  CardContent agreed = WithHistory(card, book_.Find(name));
  book_.Add(std::move(name), agreed);
}

bool TAgreedRecord::Seen(std::string_view name, const CardIdentity& identity) const {
  const CardContent* agreed = book_.Find(name);
  return agreed && (agreed->identity == identity || agreed->seen.Covers(identity));
}

bool TAgreedRecord::Stale(std::string_view name, const CardIdentity& identity) const {
  const CardContent* agreed = book_.Find(name);
  return agreed && agreed->identity != identity && agreed->seen.Covers(identity);
}

CardIdentity TAgreedRecord::NewIdentity(std::string_view name, uint64_t now) {
  last_stamp_ = now > last_stamp_ ? now : last_stamp_ + 1;
  CardIdentity identity{installation_, last_stamp_, SeenVersions()};
  if (const CardContent* agreed = book_.Find(name)) {
    identity.over->Add(agreed->seen);
    if (agreed->identity) identity.over->Add(*agreed->identity);
    // This installation's own versions go without saying.
    identity.over->Remove(installation_);
  }
  return identity;
}

std::string TAgreedRecord::CardLines() const {
  std::string lines;
  book_.AppendLines(lines);
  return lines;
}

std::string TAgreedRecord::Text(std::string_view card_lines) const {
  if (state_ == TAgreement::kMissing) return std::string();
  // n2agreed 2 state server installation last-stamp validator
  std::string body;
  // Room for the whole text and its seal: the card lines are copied once.
  body.reserve(card_lines.size() + 3 * (server_.size() + validator_.size()) + 160);
  body += kHeader;
  body += state_ == TAgreement::kComplete ? " complete " : " partial ";
  AppendRecordName(body, server_);
  body += ' ' + CardIdentity{installation_, last_stamp_}.Text() + ' ';
  AppendRecordName(body, validator_);
  body += '\n';
  body += card_lines;
  return SealRecord(std::move(body), book_.Count() + 1);
}

TAgreedRecord TAgreedRecord::Parse(std::string_view text, const LeadBytes& lead, const std::string& server) {
  TAgreedRecord missing(lead);
  const std::optional<std::string_view> body = OpenSealedRecord(text);
  if (!body) return missing;
  const size_t first_end = body->find('\n');
  if (first_end == std::string_view::npos) return missing;
  const std::string_view first = body->substr(0, first_end);
  TAgreedRecord record(lead);
  const bool earlier = first == kEarlierHeader;
  if (earlier) {
    record.state_ = TAgreement::kComplete;
    record.server_ = server;
  } else {
    const RecordWordList words = RecordWords(first, 6);
    std::optional<std::string> named, validator;
    std::optional<CardIdentity> own;
    if (words.size() != 6 || std::string(words[0]) + " " + std::string(words[1]) != kHeader ||
        (words[2] != "complete" && words[2] != "partial") || !(named = UnescapeRecordName(words[3])) ||
        !(own = CardIdentity::Parse(words[4])) || !(validator = UnescapeRecordName(words[5])))
      return missing;
    if (*named != server) return missing;
    record.state_ = words[2] == "complete" ? TAgreement::kComplete : TAgreement::kPartial;
    record.server_ = std::move(*named);
    record.installation_ = own->installation;
    record.last_stamp_ = own->stamp;
    record.validator_ = std::move(*validator);
  }
  for (size_t start = first_end + 1; start < body->size();) {
    const size_t end = body->find('\n', start);
    if (!record.book_.AddLine(body->substr(start, end - start), !earlier)) return missing;
    start = end + 1;
  }
  return record;
}

}  // namespace n2
