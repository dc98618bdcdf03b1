// The content an installation last agreed with the server: what its last
// successful upload sent, or what its last download fetched and unpacked
// without error. Jobs compare three versions of every card with it (the
// agreed one, the local file and the server's entry) to tell whose news a
// difference is, so that no job undoes an edit made elsewhere:
//
//   local        server          a download or upload's merge
//   as agreed    as agreed       leaves the file alone
//   as agreed    changed, new    takes the server's version
//   changed, new as agreed, none keeps the local file (the next upload sends it)
//   changed, new equal to local  leaves the file alone
//   changed, new other           keeps the local file and saves the server's
//                                version as a conflict copy
//   none         any             takes the server's version
//
// A card's content is its bytes and its read-only, hidden and system
// attributes. Without an agreed content (none yet, or a damaged record) every
// job works as it always did: downloads write every entry that differs,
// uploads send the local book. Free of the operating system; the jobs keep the
// record in a small file of the data folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/code_page.h"
#include "state/file_index.h"
#include "zip/zip_archive.h"

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

// The cards and folders of a book by entry name ("AddrBook/x.vcf"), compared
// without regard to case.
class BookContent {
 public:
  explicit BookContent(const LeadBytes& lead) : cards_(MakeCaseBlindMap<CardContent>(lead)) {}
  // The content of an archive's entries; of names that fold alike, the first counts.
  static BookContent Of(const std::vector<ZipEntry>& entries, const LeadBytes& lead);

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

  std::string Text() const;
  static std::optional<BookContent> Parse(std::string_view text, const LeadBytes& lead);

 private:
  CaseBlindMap<CardContent> cards_;  // by name, as last added
};

enum class TCardAction {
  kTakeServer,      // write the server's version (a file of equal bytes only gets its attributes)
  kKeepLocal,       // leave the local file as it is
  kSaveServerCopy,  // keep the local file; save the server's version as a conflict copy
};

struct TCardDecision {
  TCardAction action = TCardAction::kTakeServer;
  // The local file is the agreed version, so replacing it (even when it is
  // read-only, as the shared book made it) undoes nothing.
  bool local_as_agreed = false;
};

class TAgreedContent {
 public:
  explicit TAgreedContent(const LeadBytes& lead) : lead_(&lead) {}

  bool Known() const { return book_.has_value(); }
  void Agree(BookContent book) { book_ = std::move(book); }
  // Some cards agree with the server now (a download that failed part-way
  // took them): those of part replace their agreed versions. Nothing when
  // the agreed content is unknown.
  void AgreeOn(const BookContent& part);
  void Forget() { book_.reset(); }

  // Whether book is exactly the agreed content (never when it is unknown).
  bool Matches(const BookContent& book) const { return book_ && *book_ == book; }
  // What to do with the server's card name given the local file.
  TCardDecision Decide(std::string_view name, const CardContent& server, const LocalFile& local) const;

  // The record as text; a missing or damaged text means "unknown".
  std::string Text() const;
  static TAgreedContent Parse(std::string_view text, const LeadBytes& lead);

 private:
  const LeadBytes* lead_;
  std::optional<BookContent> book_;
};

}  // namespace n2
