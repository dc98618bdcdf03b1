// The sync engine: the three jobs (upload, download, clear) written once, over
// a transport of any protocol and the file system of the data folder. Free of
// the operating system and of the user interface: it shows no message box and
// reads no dialog; it reports what it did, and the job's edge shows the boxes.
//
// Upload: pack the book; an automatic upload whose book holds nothing new
// since the agreed record ends here. Fetch the server's copy (never sent
// blind: only a server that shows it holds no book is skipped), merge it into
// the book card by card (the merge rules), pack again when that changed the
// book, and send, unless an automatic upload finds the server holds exactly
// this book already. Download: fetch, and unpack with the same merge. Clear:
// the server's book goes; the record agrees on an empty book.
//
// What agrees is recorded as it happens: the cards a merge put in place (or
// found in place) agree even when the job fails later, a journal written
// before any card moves lets the next job finish the record after a crash,
// and a record that cannot be written fails the job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "base/code_page.h"
#include "base/file_system.h"
#include "base/thread_cache.h"
#include "sync/transport.h"
#include "zip/zip_extractor.h"

namespace n2 {

struct TSyncRequest {
  TFileSystem* fs = nullptr;
  const LeadBytes* lead = nullptr;
  // The data folder, ending with a separator; the book is its AddrBook folder.
  std::string data_folder;
  // Which server the book is shared through (type, host, folder): the agreed
  // record speaks for one server only.
  std::string server;
  TTransport* transport = nullptr;
  // Deflate level of the packed entries.
  int level = 9;
  // A random number: this installation's part of the identities of the card
  // versions it makes, chosen once.
  std::function<uint64_t()> random;
  // Waits the given milliseconds, between fetches of a copy that came cut
  // short (a colleague's upload still on its way). Empty: no wait.
  std::function<void(int)> wait;
  // Where the job's work beside its own thread runs; null: threads of the
  // job's own.
  ThreadCache* threads = nullptr;
};

enum class TJobResult {
  kDone,           // ran to its end
  kNothingNew,     // an automatic upload had nothing to send
  kNoBook,         // a download found no book on the server (or an empty one): nothing changed
  kUnchanged,      // a download found the server's book still the one agreed: nothing moved
  kNotAnArchive,   // a download fetched something that is not a zip archive: nothing changed
  kPackFailed,     // the packing failed: its own box
  kExtractFailed,  // some cards could not be unpacked, or the archive came cut short: the unpacking's box
  kFailed,         // any other failure: the job's box
};

struct TJobReport {
  TJobResult result = TJobResult::kDone;
  // What made the job fail (kPackFailed, kExtractFailed, kFailed).
  std::exception_ptr error;
  // The server's cards written here; local files left as they were (already
  // holding the server's card, holding news of this installation, or changed
  // during the job), of which those already holding it and those changed
  // during the job; the server's versions saved as conflict copies.
  size_t written = 0, kept = 0, unchanged = 0, changed_meanwhile = 0, conflicts = 0;
  // Stale copies of cards met on the server (an upload that lost a race sent
  // them back): the local cards were kept.
  size_t stale = 0;
  // Cards that could not be unpacked.
  std::vector<CardResult> failures;
  // Of the conflicts, those where this installation met the server's book for
  // the first time: the server's version is in the book, the local one saved.
  size_t conflicts_first_contact = 0;
  // The cards saved as conflict copies, and the folder holding them.
  std::vector<std::string> conflict_names;
  std::string conflict_folder;
  // The book was sent.
  bool sent = false;
  // Times the book was sent again because a colleague's upload came while
  // it travelled (and was merged in first).
  size_t sent_again = 0;
  uint64_t bytes_sent = 0, bytes_received = 0;
  // A card changed while the job ran: an upload should follow, as after any
  // change of the book.
  bool upload_wanted = false;
  // The server holds a stale copy of a card whose newer version is here: an
  // upload must follow, to send it again.
  bool upload_needed = false;
};

class TSyncEngine {
 public:
  explicit TSyncEngine(const TSyncRequest& request);
  TSyncEngine(const TSyncEngine&) = delete;
  TSyncEngine& operator=(const TSyncEngine&) = delete;

  // by_hand: sent whatever the book holds; otherwise (a change of the book,
  // the shutdown) only when there is news.
  TJobReport Upload(bool by_hand);
  // conditional: the server's archive does not move when it shows that it is
  // still the one agreed (the download every 10 minutes); otherwise it is
  // fetched whole and every card missing here comes back.
  TJobReport Download(bool conditional);
  TJobReport Clear();

 private:
  class Job;
  const TSyncRequest request_;
};

}  // namespace n2
