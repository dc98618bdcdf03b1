// The rules that decide, card by card, what a job does with the server's
// version, from three versions: the agreed one (the record), the local file
// and the server's entry. With a complete record:
//
//   local        server          the job
//   as agreed    as agreed       leaves the file alone
//   as agreed    changed, new    takes the server's version
//   changed, new as agreed, none keeps the local file (the next upload sends it)
//   changed, new equal to local  leaves the file alone
//   changed, new other           keeps the local file and saves the server's
//                                version as a conflict copy
//   none         any             takes the server's version
//
// A server's card whose identity this installation has held or superseded
// (and which is not the agreed version) is a stale copy, sent back by an
// upload that lost a race: the local card is kept, and sent again. A local
// card holding a version this installation has held or superseded (one kept
// against a stale copy) is no news of its own: a later version by the same
// installation takes its place as it would the agreed one's. A card without
// an identity (from an installation of the original design, or an archive
// packed by hand) follows the table. A server's card that tells it was made
// without the agreed version, when this installation made that version and
// the local file still holds it, is a colleague's edit of an older version
// whose upload replaced this installation's edit unseen: a conflict, as if
// the local file had changed, and the local version is sent again.
//
// A card the record does not know yet, while the record is missing or partial
// (a first contact), follows the first-contact rule instead: the server's
// version is taken, and a local file of other content is saved as a conflict
// copy first, so that a newcomer adds its own cards and removes none of the
// office's. A card's content is its bytes and its read-only, hidden and system
// attributes. Free of the operating system.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/code_page.h"
#include "state/agreed_record.h"
#include "zip/zip_archive.h"
#include "zip/zip_extractor.h"

namespace n2 {

// The folder of the data folder that is shared, as entry names begin.
inline constexpr std::string_view kBookPrefix = "AddrBook/";

// The content of an archive's entries below kBookPrefix (the book's own
// folder entry included); of names that fold alike, the first counts.
BookContent BookOf(const std::vector<ZipEntry>& entries, const LeadBytes& lead);
// The content of one entry, with its identity when it carries one.
CardContent CardOf(const ZipEntry& entry, const LeadBytes& lead);
// The same for an entry whose normalised name is known.
CardContent CardOf(const ZipEntry& entry, std::string_view normal_name, const LeadBytes& lead);

enum class TCardRule {
  kTakeServer,          // write the server's version (equal bytes: only attributes are set)
  kKeepLocal,           // leave the local file as it is
  kSaveServerCopy,      // keep the local file; save the server's version as a conflict copy
  kTakeServerSaveLocal, // save the local file as a conflict copy, then write the server's version
};

struct TCardDecision {
  TCardRule rule = TCardRule::kTakeServer;
  // The local file is the agreed version or a first contact's loser, so
  // replacing it even when it is read-only undoes nothing.
  bool replace_read_only = false;
  // The server's card is a stale copy.
  bool stale = false;
  // The local card must be sent again: the server's is a stale copy, or an
  // edit made without the local version, which is kept.
  bool send_again = false;
};

// What to do with the server's card name, given the local file (whose
// checksum is read only when the rules need it).
TCardDecision DecideCard(const TAgreedRecord& record, std::string_view name, const CardContent& server,
                         const LocalFile& local);

}  // namespace n2
