// The content of a book as the records of the data folder keep it: every card
// and folder by its entry name ("AddrBook/x.vcf"), with the size, checksum and
// counted attributes of the card. Names are compared without regard to case.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/code_page.h"
#include "base/file_system.h"
#include "state/card_identity.h"

namespace n2 {

// One card, or one folder, of a book. Its identity and the versions seen do
// not count as content.
struct CardContent {
  uint32_t size = 0;
  uint32_t crc = 0;
  // Only the read-only, hidden and system bits count.
  uint32_t attributes = 0;
  bool folder = false;
  // The version's identity, when it carries one.
  std::optional<CardIdentity> identity;
  // In an agreed record: the versions this installation has held or superseded.
  SeenVersions seen;

  static constexpr uint32_t kCountedAttributes = kAttrReadOnly | kAttrHidden | kAttrSystem;
  bool SameBytes(const CardContent& other) const { return size == other.size && crc == other.crc; }
  bool operator==(const CardContent& other) const {
    return SameBytes(other) && folder == other.folder &&
           (attributes & kCountedAttributes) == (other.attributes & kCountedAttributes);
  }
};

class BookContent {
 public:
  explicit BookContent(const LeadBytes& lead) : lead_(&lead), cards_(MakeCaseBlindMap<CardContent>(lead)) {}
  const LeadBytes& Lead() const { return *lead_; }

  // Adds name, or replaces the card of that name (and its spelling).
  void Add(std::string name, const CardContent& card);
  // Adds name unless the book holds it (in any spelling); whether it did.
  bool AddNew(std::string name, const CardContent& card);
  const CardContent* Find(std::string_view name) const;
  size_t Count() const { return cards_.size(); }
  bool operator==(const BookContent& other) const;
  // Calls visit(name, card) for every card and folder.
  template <class Visit>
  void ForEach(Visit visit) const {
    for (const auto& [name, card] : cards_) visit(name, card);
  }
  // The same with cards that visit may change in place.
  template <class Visit>
  void ForEachChanging(Visit visit) {
    for (auto& [name, card] : cards_) visit(name, card);
  }

  // One line a card ("crc size attributes f|d identity seen name", "-" for
  // no identity), appended to out.
  void AppendLines(std::string& out) const;
  // Reads one such line into the book; false when it is not one. Lines of
  // the earlier form, without identity and seen versions, are read too.
  bool AddLine(std::string_view line, bool with_identities = true);

 private:
  const LeadBytes* lead_;
  CaseBlindMap<CardContent> cards_;  // by name, as last added
};

}  // namespace n2
