// The content of a book as the records of the data folder keep it: every card
// and folder by its entry name ("AddrBook/x.vcf"), with the size, checksum and
// counted attributes of the card. Names are compared without regard to case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/code_page.h"
#include "base/file_system.h"

namespace n2 {

// One card, or one folder, of a book.
struct CardContent {
  uint32_t size = 0;
  uint32_t crc = 0;
  // Only the read-only, hidden and system bits count.
  uint32_t attributes = 0;
  bool folder = false;

  static constexpr uint32_t kCountedAttributes = kAttrReadOnly | kAttrHidden | kAttrSystem;
  bool SameBytes(const CardContent& other) const { return size == other.size && crc == other.crc; }
  bool operator==(const CardContent& other) const {
    return SameBytes(other) && folder == other.folder &&
           (attributes & kCountedAttributes) == (other.attributes & kCountedAttributes);
  }
};

class BookContent {
 public:
  explicit BookContent(const LeadBytes& lead) : cards_(MakeCaseBlindMap<CardContent>(lead)) {}

  // Adds name, or replaces the card of that name (and its spelling).
  void Add(std::string name, const CardContent& card);
  const CardContent* Find(std::string_view name) const;
  size_t Count() const { return cards_.size(); }
  bool operator==(const BookContent& other) const;
  // Calls visit(name, card) for every card and folder.
  template <class Visit>
  void ForEach(Visit visit) const {
    for (const auto& [name, card] : cards_) visit(name, card);
  }

  // One line a card ("crc size attributes f|d name"), appended to out.
  void AppendLines(std::string& out) const;
  // Reads one such line into the book; false when it is not one.
  bool AddLine(std::string_view line);

 private:
  CaseBlindMap<CardContent> cards_;  // by name, as last added
};

}  // namespace n2
