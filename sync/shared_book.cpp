#include "sync/shared_book.h"

#include <windows.h>

#include <cstdio>

#include "base/system_code_page.h"
#include "base/win_file.h"
#include "plugin/plugin_state.h"
#include "sync/n2_shared_thread.h"

namespace n2 {
namespace {

std::string AgreedPath() { return DataFolder + "N2AddBook.agreed"; }

// Missing or damaged: unknown, and every job works as it always did.
TAgreedContent LoadAgreedContent(const LeadBytes& lead) {
  try {
    return TAgreedContent::Parse(ReadWholeFile(AgreedPath()), lead);
  } catch (const std::exception&) {
    return TAgreedContent(lead);
  }
}

// The merge rules lent to the zip component for one unpack.
class LentDecider {
 public:
  LentDecider(TVexZip& zip, TExtractDecider decider) : zip_(zip) { zip_.OnDecideEntry = std::move(decider); }
  LentDecider(const LentDecider&) = delete;
  LentDecider& operator=(const LentDecider&) = delete;
  ~LentDecider() { zip_.OnDecideEntry = nullptr; }

 private:
  TVexZip& zip_;
};

}  // namespace

TSharedBook::TSharedBook(TVexZip& zip)
    : lead_(SystemLeadBytes()), zip_(zip), agreed_(LoadAgreedContent(SystemLeadBytes())) {}

TSharedBook::~TSharedBook() { ::DeleteFileA(FetchPath().c_str()); }

bool TSharedBook::Pack() {
  BookContent packed(lead_);
  if (!TN2Thread::PackAddressBook(zip_, AddrBookFolder, &packed)) return false;
  packed_ = std::move(packed);
  return true;
}

std::string TSharedBook::FetchPath() { return DataFolder + "~N2Fetch.zip"; }

bool TSharedBook::MergeServerCopy() {
  if (FileSize(FetchPath()) == 0) return true;  // the server has no book, or an empty one
  if (ServerCopyChangesNothing()) return true;
  {
    LentDecider lent(zip_, [this](const ZipEntry& entry, const LocalFile& local) { return Decide(entry, local); });
    BookContent settled(lead_);
    try {
      TN2Thread::UnpackArchive(zip_, FetchPath(), DataFolder, nullptr, &settled);
    } catch (...) {
      AgreeOn(settled);
      throw;
    }
  }
  return zip_.Extracted.Written == 0 || Pack();
}

// Whether the fetched copy is whole, holds exactly the agreed content, and
// every card and folder of it is in the book just packed. Then the merge
// would leave every file as it is (the server's cards are the agreed ones,
// and none is missing locally), so it needs only the copy's directory.
bool TSharedBook::ServerCopyChangesNothing() {
  if (!agreed_.Known() || !packed_) return false;
  struct CloseWhenDone {
    TVexZip& zip;
    ~CloseWhenDone() { zip.CloseArchive(); }
  } close_when_done{zip_};
  try {
    zip_.OpenArchive(FetchPath());
  } catch (const std::exception&) {
    return false;  // the merge reports it
  }
  if (!zip_.IsZipFile() || !zip_.IsWholeArchive()) return false;
  const BookContent server = BookContent::Of(zip_.Entries(), lead_);
  if (!agreed_.Matches(server)) return false;
  bool all_here = true;
  server.ForEach([&](const std::string& name, const CardContent& card) {
    const CardContent* local = packed_->Find(name);
    all_here = all_here && local && local->folder == card.folder;
  });
  return all_here;
}

void TSharedBook::Unpack() {
  std::optional<BookContent> fetched;
  BookContent settled(lead_);
  bool unpacked;
  {
    LentDecider lent(zip_, [this](const ZipEntry& entry, const LocalFile& local) { return Decide(entry, local); });
    unpacked = TN2Thread::UnpackAddressBook(zip_, DataFolder, &fetched, &settled);
  }
  if (unpacked && fetched) Agree(std::move(*fetched));
  if (!unpacked) AgreeOn(settled);
}

void TSharedBook::Agree(BookContent book) {
  agreed_.Agree(std::move(book));
  SaveAgreed();
}

// A download or merge that failed part-way put some of the server's cards in
// place (an earlier window of a large book, say): those cards agree with the
// server now. Left as they were agreed, a later change of one of them on the
// server would look like a conflict with a local edit, and the older card
// would be kept and sent back.
void TSharedBook::AgreeOn(const BookContent& settled) {
  if (settled.Count() == 0 || !agreed_.Known()) return;
  agreed_.AgreeOn(settled);
  SaveAgreed();
}

void TSharedBook::SaveAgreed() {
  // Best effort: an older record only makes later jobs keep more local files
  // and save more conflict copies, never lose one.
  try {
    ReplaceFileContent(AgreedPath(), agreed_.Text());
  } catch (const std::exception&) {
  }
}

TExtractChoice TSharedBook::Decide(const ZipEntry& entry, const LocalFile& local) {
  CardContent server;
  server.size = entry.central.uncompressed_size;
  server.crc = entry.central.crc;
  server.attributes = entry.central.external_attributes & CardContent::kCountedAttributes;
  const TCardDecision decision = agreed_.Decide(NormalizeEntryName(entry.central.name, lead_), server, local);
  TExtractChoice choice;
  switch (decision.action) {
    case TCardAction::kTakeServer:
      choice.Action = TExtractAction::eaWrite;
      choice.ReplaceReadOnly = decision.local_as_agreed;
      break;
    case TCardAction::kKeepLocal:
      choice.Action = TExtractAction::eaKeep;
      break;
    case TCardAction::kSaveServerCopy: {
      // The card keeps its path below the job's conflict folder; the
      // extraction only asks for entries whose name it found safe.
      const std::optional<ExtractPath> where = SafeExtractPath(entry.central.name, lead_);
      choice.Action = where ? TExtractAction::eaSaveCopy : TExtractAction::eaKeep;
      if (where) choice.CopyPath = ConflictFolder() + where->folder + where->file;
      break;
    }
  }
  return choice;
}

// DataFolder\N2Conflicts\<date>-<time>\, one of its own for every job that
// meets a conflict; outside AddrBook, so the mail client shows no duplicates.
std::string TSharedBook::ConflictFolder() {
  if (conflict_folder_.empty()) {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    const std::string base = DataFolder + "N2Conflicts\\" + stamp;
    std::string folder = base;
    for (int n = 2; ::GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES; ++n)
      folder = base + "-" + std::to_string(n);
    conflict_folder_ = folder + "\\";
  }
  return conflict_folder_;
}

}  // namespace n2
