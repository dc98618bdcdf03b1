// The local side of the jobs that share the address book: what the book last
// agreed with the server, the merge that applies the rules of the agreed
// content whenever a server's copy is unpacked, and what an upload sends.
//
// An upload packs the book; started by a trigger, it ends there when the book
// holds nothing new since the agreed content. Otherwise, once the agreed
// content is known, it fetches the server's copy first and merges it into the
// book (the server's news written, local news kept, true conflicts saved
// aside), packs again when that changed the book, and sends. A download
// unpacks the server's copy with the same merge. After a successful upload the
// agreed content is what was sent, after a download that fetched and unpacked
// the whole archive what was fetched, after a clear an empty book.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "sync/agreed_content.h"
#include "zip/vex_zip.h"

namespace n2 {

class TSharedBook {
 public:
  // Reads the agreed content kept in the data folder.
  explicit TSharedBook(TVexZip& zip);
  TSharedBook(const TSharedBook&) = delete;
  TSharedBook& operator=(const TSharedBook&) = delete;
  // Removes the fetched copy, if any.
  ~TSharedBook();

  // Upload. Packs the book into the local archive; false after the packing
  // step showed its box.
  bool Pack();
  // Whether the packed book differs from the agreed content (always, when
  // that is not known).
  bool HasNews() const { return !agreed_.Matches(*packed_); }
  // Whether the server's copy is fetched and merged before sending: only
  // when the agreed content is known (else the book is sent as it is).
  bool MergesFirst() const { return agreed_.Known(); }
  // Where the server's copy is fetched to.
  static std::string FetchPath();
  // Merges the fetched copy into the book (a missing or empty copy merges
  // nothing) and packs again when that changed the book. Raises what the
  // merge meets; false after the packing step showed its box.
  bool MergeServerCopy();
  // The packed archive is on the server now. Ends the upload: what was
  // packed becomes the agreed content.
  void Sent() {
    Agree(std::move(*packed_));
    packed_.reset();
  }

  // Download: unpacks the local archive, just fetched whole, with the merge
  // rules. An empty file is the book of a server that has none.
  void Unpack();

  // Clear: the server holds no book now.
  void Cleared() { Agree(BookContent(lead_)); }

 private:
  bool ServerCopyChangesNothing();
  void Agree(BookContent book);
  void AgreeOn(const BookContent& settled);
  void SaveAgreed();
  TExtractChoice Decide(const ZipEntry& entry, const LocalFile& local);
  std::string ConflictFolder();

  const LeadBytes& lead_;
  TVexZip& zip_;
  TAgreedContent agreed_;
  std::optional<BookContent> packed_;
  std::string conflict_folder_;  // made on the first conflict of the job
};

}  // namespace n2
