#include "state/card_identity.h"

#include <charconv>

#include "state/record_text.h"

namespace n2 {
namespace {

bool ParseHex(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 16) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return error == std::errc() && end == text.data() + text.size();
}

// "a<separator>b" as two numbers.
bool ParsePair(std::string_view text, char separator, uint64_t& a, uint64_t& b) {
  const size_t cut = text.find(separator);
  return cut != std::string_view::npos && ParseHex(text.substr(0, cut), a) && ParseHex(text.substr(cut + 1), b);
}

}  // namespace

std::optional<bool> CardIdentity::Follows(const CardIdentity& earlier) const {
  if (installation == earlier.installation && earlier.stamp <= stamp) return true;
  if (!over) return std::nullopt;
  return over->Covers(earlier);
}

std::string CardIdentity::Text() const {
  std::string text;
  AppendText(text);
  return text;
}

void CardIdentity::AppendText(std::string& out) const {
  AppendRecordNumber(out, installation, 16);
  out += '.';
  AppendRecordNumber(out, stamp, 16);
  if (over) {
    out += '/';
    over->AppendText(out);
  }
}

std::optional<CardIdentity> CardIdentity::Parse(std::string_view text) {
  CardIdentity identity;
  const size_t cut = text.find('/');
  if (!ParsePair(text.substr(0, cut), '.', identity.installation, identity.stamp)) return std::nullopt;
  if (cut != std::string_view::npos && !(identity.over = SeenVersions::Parse(text.substr(cut + 1))))
    return std::nullopt;
  return identity;
}

void SeenVersions::Add(const CardIdentity& identity) {
  for (auto& [installation, stamp] : latest_) {
    if (installation != identity.installation) continue;
    if (identity.stamp > stamp) stamp = identity.stamp;
    return;
  }
  latest_.emplace_back(identity.installation, identity.stamp);
}

void SeenVersions::Add(const SeenVersions& other) {
  for (const auto& [installation, stamp] : other.latest_) Add(CardIdentity{installation, stamp});
}

bool SeenVersions::Covers(const CardIdentity& identity) const {
  for (const auto& [installation, stamp] : latest_)
    if (installation == identity.installation) return identity.stamp <= stamp;
  return false;
}

void SeenVersions::Remove(uint64_t installation) {
  std::erase_if(latest_, [&](const auto& latest) { return latest.first == installation; });
}

std::string SeenVersions::Text() const {
  std::string text;
  AppendText(text);
  return text;
}

void SeenVersions::AppendText(std::string& out) const {
  if (latest_.empty()) {
    out += '-';
    return;
  }
  bool first = true;
  for (const auto& [installation, stamp] : latest_) {
    if (!first) out += ',';
    first = false;
    AppendRecordNumber(out, installation, 16);
    out += ':';
    AppendRecordNumber(out, stamp, 16);
  }
}

std::optional<SeenVersions> SeenVersions::Parse(std::string_view text) {
  SeenVersions seen;
  if (text == "-") return seen;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find(',', start);
    if (end == std::string_view::npos) end = text.size();
    uint64_t installation = 0, stamp = 0;
    if (!ParsePair(text.substr(start, end - start), ':', installation, stamp)) return std::nullopt;
    seen.Add(CardIdentity{installation, stamp});
    start = end + 1;
  }
  return seen;
}

}  // namespace n2
