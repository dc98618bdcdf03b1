#include "state/agreed_record.h"

#include <optional>

#include "state/record_text.h"

namespace n2 {
namespace {

constexpr std::string_view kHeader = "n2agreed 2";
constexpr std::string_view kEarlierHeader = "n2agreed 1";

}  // namespace

void TAgreedRecord::Agree(BookContent book, std::string server) {
  book_ = std::move(book);
  server_ = std::move(server);
  state_ = TAgreement::kComplete;
}

void TAgreedRecord::AgreeOn(std::string name, const CardContent& card, const std::string& server) {
  if (state_ == TAgreement::kMissing) {
    state_ = TAgreement::kPartial;
    server_ = server;
  }
  book_.Add(std::move(name), card);
}

std::string TAgreedRecord::Text() const {
  if (state_ == TAgreement::kMissing) return std::string();
  std::string body(kHeader);
  body += state_ == TAgreement::kComplete ? " complete " : " partial ";
  AppendRecordName(body, server_);
  body += '\n';
  book_.AppendLines(body);
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
  if (first == kEarlierHeader) {
    record.state_ = TAgreement::kComplete;
    record.server_ = server;
  } else {
    const RecordWordList words = RecordWords(first, 4);
    std::optional<std::string> named;
    if (words.size() != 4 || std::string(words[0]) + " " + std::string(words[1]) != kHeader ||
        (words[2] != "complete" && words[2] != "partial") || !(named = UnescapeRecordName(words[3])))
      return missing;
    if (*named != server) return missing;
    record.state_ = words[2] == "complete" ? TAgreement::kComplete : TAgreement::kPartial;
    record.server_ = std::move(*named);
  }
  for (size_t start = first_end + 1; start < body->size();) {
    const size_t end = body->find('\n', start);
    if (!record.book_.AddLine(body->substr(start, end - start))) return missing;
    start = end + 1;
  }
  return record;
}

}  // namespace n2
