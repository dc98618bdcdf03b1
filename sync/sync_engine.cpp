#include "sync/sync_engine.h"

#include <cstdio>
#include <string_view>
#include <memory>
#include <optional>
#include <utility>

#include "base/exception.h"
#include "base/thread_cache.h"
#include "state/saved_state.h"
#include "sync/merge_rules.h"
#include "zip/zip_packer.h"

namespace n2 {
namespace {

// An archive file opened and read.
struct OpenedArchive {
  std::unique_ptr<ByteStream> stream;
  ZipArchive archive;
  bool empty = false;  // a file of no bytes: a server without a book

  explicit OpenedArchive(const LeadBytes& lead) : archive(lead) {}
};

// The extraction holds an archive of a reasonable size in memory itself.
std::unique_ptr<OpenedArchive> OpenArchive(TFileSystem& fs, const LeadBytes& lead, const std::string& path) {
  auto opened = std::make_unique<OpenedArchive>(lead);
  opened->stream = fs.OpenStream(path);
  opened->empty = opened->stream->Size() == 0;
  opened->archive.Read(*opened->stream);
  return opened;
}

// The largest copy of the server's archive a download proves beside the
// extraction (some tens of milliseconds), and the most its entries may
// declare in all (a hostile copy of a few megabytes may declare gigabytes).
constexpr uint64_t kProvenWhole = 16u << 20;
constexpr uint64_t kProvenDecoded = 256u << 20;

// A local archive's size and last-write time, as the index records it; nothing without the file.
std::optional<FileIndex::ArchiveStamp> ArchiveStampOf(TFileSystem& fs, const std::string& path) {
  const std::optional<FileStamp> stamp = fs.Stat(path);
  if (!stamp) return std::nullopt;
  return FileIndex::ArchiveStamp{stamp->size, stamp->write_time};
}

// The message of the unpacking's box when cards failed: the first failure in
// full, and how many more there were.
std::string FailureMessage(const std::vector<CardResult>& failures) {
  std::string message = failures.front().error;
  if (failures.size() > 1) {
    message += "\r\n" + std::to_string(failures.size() - 1) + " more card" + (failures.size() > 2 ? "s" : "") +
               " could not be unpacked:";
    for (size_t i = 1; i < failures.size() && i <= 5; ++i) message += " " + failures[i].name;
    if (failures.size() > 6) message += " ...";
  }
  return message;
}

// An error whose kind name is given: the first failing card's.
class NamedError : public Exception {
 public:
  NamedError(std::string kind, std::string message) : Exception(std::move(message)), kind_(std::move(kind)) {}
  const char* KindName() const noexcept override { return kind_.c_str(); }

 private:
  std::string kind_;
};

}  // namespace

// One job's state: the saved state of the data folder, the record and the
// index as they stand, the report.
class TSyncEngine::Job {
 public:
  explicit Job(const TSyncRequest& r)
      : r_(r), fs_(*r.fs), lead_(*r.lead), state_(fs_, lead_, r.data_folder), record_(lead_) {}
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;
  ~Job();

  TJobReport Upload(bool by_hand);
  TJobReport Download(bool conditional);
  TJobReport Clear();

 private:
  struct Failed {
    TJobResult result;
  };

  void Begin();
  // Reads the record (recovering a journal a crash left) and the index.
  void Load();
  // Packs the book into the local archive; the packed content. The index
  // is saved on a thread of its own meanwhile; IndexSaved waits for it.
  BookContent Pack();
  void IndexSaved();
  // Fetches the server's copy; nothing when the server has no book. A copy
  // cut short is fetched again a few times, some seconds apart. With known
  // (what the server told of the archive agreed), unchanged is set instead
  // when the server's archive is still that one.
  std::unique_ptr<OpenedArchive> Fetch(const std::string& known, bool& unchanged);
  // Merges the fetched archive into the book and records what agrees.
  // server_book is the archive's content, or nothing: it is then taken from
  // the archive once the cards are in place. When every card settled the
  // record takes it over and server_book is left empty (a large book is
  // not held twice). kept: the fetched archive becomes the local copy (a
  // download); a copy of up to kProvenWhole bytes is decoded beside the
  // extraction, and when all of it holds what its checksums name the index
  // records it as proven.
  ExtractResult Merge(OpenedArchive& fetched, std::optional<BookContent>& server_book, bool kept);
  // Whether a merge of server_book into packed would leave every file alone.
  bool MergeChangesNothing(const BookContent& server_book, const BookContent& packed) const;
  std::string ConflictFolder();
  // The name of this installation's archive while it arrives on the server.
  std::string UploadName() const;
  // The identity of a card version being packed.
  std::optional<CardIdentity> Identify(std::string_view name, const IndexedFile& file);
  // Puts book on the server (send does, and returns what the server tells
  // of the archive now there), and saves the record that agrees on it. The
  // record is made ready while the book travels, and saved once the server
  // has it; one that cannot be saved fails the job, and the next job reads
  // the record saved last. A send that fails ends the job, which then saves
  // no record; one that returns nothing (the server's archive changed
  // meanwhile, and was not replaced) leaves the record as it was, and false
  // is returned.
  bool SendAndAgree(BookContent book, const std::function<std::optional<std::string>()>& send);
  // One try of an upload: the server's copy fetched (unless it shows itself
  // the one agreed) and merged, then the book sent. False when a colleague's
  // upload came while the book travelled: nothing was replaced, and the book
  // is to be packed again. The last try replaces whatever is there.
  bool MergeAndSend(bool by_hand, BookContent& packed, bool last_try);
  [[noreturn]] void Fail(TJobResult result, std::exception_ptr error) {
    report_.result = result;
    report_.error = std::move(error);
    throw Failed{result};
  }
  // Runs steps after Begin; they load the record and the index (an upload
  // while its pack lists the book).
  template <class Steps>
  TJobReport Run(Steps steps);

  const TSyncRequest& r_;
  TFileSystem& fs_;
  const LeadBytes& lead_;
  TSavedState state_;
  TAgreedRecord record_;
  std::optional<FileIndex> index_;
  ThreadCache::Task index_saving_;
  bool loaded_ = false;  // the record and the index
  std::string conflict_folder_;
  // What the server told of the archive fetched last.
  std::string validator_;
  // An upload by hand's archive, which the transport may send while the
  // first pack writes it.
  std::shared_ptr<TEarlyUpload> early_;
  bool early_packed_ = false;
  TJobReport report_;
};

template <class Steps>
TJobReport TSyncEngine::Job::Run(Steps steps) {
  try {
    Begin();
    steps();
    IndexSaved();
  } catch (const Failed&) {
  } catch (const std::exception&) {
    report_.result = TJobResult::kFailed;
    report_.error = std::current_exception();
  }
  // A job that failed meanwhile still waits for its index.
  index_saving_ = {};
  r_.transport->Close();
  state_.RemoveLeftovers();
  report_.bytes_sent = r_.transport->BytesSent();
  report_.bytes_received = r_.transport->BytesReceived();
  return std::move(report_);
}

TSyncEngine::Job::~Job() {
  // Freed while the job's end is told.
  FreeBeside(r_.threads, std::move(record_));
  FreeBeside(r_.threads, std::move(index_));
}

void TSyncEngine::Job::Begin() { state_.RemoveLeftovers(); }

void TSyncEngine::Job::Load() {
  record_ = state_.LoadRecord(r_.server);
  index_ = state_.LoadIndex();
  loaded_ = true;
}

BookContent TSyncEngine::Job::Pack() {
  IndexSaved();
  PackRequest pack;
  pack.fs = &fs_;
  pack.lead = &lead_;
  pack.root = r_.data_folder;
  pack.folder = r_.data_folder + "AddrBook";
  pack.archive = state_.PackPath();
  pack.level = r_.level;
  // Only the first pack of an upload by hand may travel while it is packed.
  TEarlyUpload* const early = early_ && !std::exchange(early_packed_, true) ? early_.get() : nullptr;
  if (early) {
    pack.growing = early->File().get();
  } else if (early_) {
    early_->Drop();
  }
  // The record and the index are read while the book is listed, unless a
  // crash left a journal: its record is then recovered first, as by any job.
  if (!loaded_ && state_.JournalLeft()) Load();
  pack.previous_archive = state_.ArchivePath();
  pack.previous = [this, early] {
    if (!loaded_) Load();
    // Sent early only to a server that still holds the archive agreed, under
    // this installation's own temporary name.
    if (early) {
      if (record_.Complete() && record_.Installation() != 0 && !record_.Validator().empty())
        early->Agree(TEarlyUpload::Agreement{record_.Validator(), UploadName()});
      else
        early->Abandon();
    }
    PackPrevious previous;
    if (index_ && index_->Count() > 0) {
      previous.index = &*index_;
      const std::optional<FileIndex::ArchiveStamp> stamp = ArchiveStampOf(fs_, state_.ArchivePath());
      previous.archive_is_proven = stamp && previous.index->ProvenArchive() == stamp;
    }
    return previous;
  };
  pack.identify = [this](std::string_view name, const IndexedFile& file) { return Identify(name, file); };
  pack.threads = r_.threads;
  try {
    PackResult packed = PackFolder(pack);
    // The archive takes its place and the index is saved while the book's
    // content is taken from the entries.
    BookContent book(lead_);
    RunBeside(
        [&] {
          fs_.Rename(state_.PackPath(), state_.ArchivePath(), true);
          packed.index.SetProvenArchive(ArchiveStampOf(fs_, state_.ArchivePath()));
        },
        [&] { book = BookOf(packed.entries, lead_); }, r_.threads);
    index_ = std::move(packed.index);
    // The index is saved while the job goes on to the server.
    if (r_.threads)
      index_saving_ = r_.threads->Start([this] { state_.SaveIndex(*index_); });
    else
      state_.SaveIndex(*index_);
    return book;
  } catch (const std::exception&) {
    if (early) early->Abandon();
    Fail(TJobResult::kPackFailed, std::current_exception());
  }
}

void TSyncEngine::Job::IndexSaved() {
  // Saving never raises: an index that cannot be written is removed, and the
  // next pack reads every card.
  if (index_saving_.Pending()) index_saving_.Wait();
}

std::optional<CardIdentity> TSyncEngine::Job::Identify(std::string_view name, const IndexedFile& file) {
  const auto same = [&](uint32_t size, uint32_t crc, uint32_t attributes) {
    return size == file.size && crc == file.crc &&
           (attributes & CardContent::kCountedAttributes) == (file.attributes & CardContent::kCountedAttributes);
  };
  const CardContent* agreed = record_.Find(name);
  // The version the file held when it was last packed or unpacked, unchanged
  // since; unless it was made without the agreed version (the local one kept
  // in a conflict with it), which it now has to follow.
  if (const IndexedFile* known = index_ ? index_->Find(name) : nullptr)
    if (known->identity && same(static_cast<uint32_t>(known->size), known->crc, known->attributes) &&
        !(agreed && agreed->identity && known->identity->Follows(*agreed->identity) == false))
      return known->identity;
  // The agreed version, as it arrived.
  if (agreed && agreed->identity && !agreed->folder && same(agreed->size, agreed->crc, agreed->attributes))
    return agreed->identity;
  // A version made here: an identity of its own, even for bytes the card once held.
  if (record_.Installation() == 0) record_.SetInstallation(r_.random ? r_.random() : fs_.Now());
  return record_.NewIdentity(name, fs_.Now());
}

std::string TSyncEngine::Job::UploadName() const {
  char name[48];
  std::snprintf(name, sizeof name, "N2AddBook.%08x.tmp", static_cast<unsigned>(record_.Installation()));
  return name;
}

bool TSyncEngine::Job::SendAndAgree(BookContent book, const std::function<std::optional<std::string>()>& send) {
  std::optional<TAgreedRecord> agreed;
  std::optional<std::string> validator;
  std::string card_lines;
  // The record is made ready on a thread of its own while the book travels
  // (the transport stays on the job's thread, which may be its client's own).
  RunBeside(
      [&] {
        agreed = record_.Agreed(std::move(book), r_.server);
        card_lines = agreed->CardLines();
      },
      [&] { validator = send(); }, r_.threads);
  if (!validator) {
    FreeBeside(r_.threads, std::move(agreed));
    return false;
  }
  FreeBeside(r_.threads, std::exchange(record_, std::move(*agreed)));
  record_.SetValidator(std::move(*validator));
  state_.SaveRecord(record_, card_lines);
  return true;
}

std::unique_ptr<OpenedArchive> TSyncEngine::Job::Fetch(const std::string& known, bool& unchanged) {
  // Waits between the tries: about half a minute in all.
  constexpr int kRetryWaits[] = {2000, 4000, 8000, 16000};
  unchanged = false;
  for (size_t attempt = 0;; ++attempt) {
    const TFetchResult result = r_.transport->Fetch(state_.FetchPath(), known, validator_);
    if (result == TFetchResult::kNone) return nullptr;
    if (result == TFetchResult::kUnchanged) {
      unchanged = true;
      return nullptr;
    }
    std::unique_ptr<OpenedArchive> fetched = OpenArchive(fs_, lead_, state_.FetchPath());
    // A colleague's upload still on its way: its archive is cut short for a
    // moment, which is no error yet.
    const bool cut = fetched->archive.IsZip() && !fetched->archive.Whole();
    if (!cut || attempt == std::size(kRetryWaits) || !r_.wait) return fetched;
    fetched.reset();
    r_.wait(kRetryWaits[attempt]);
  }
}

bool TSyncEngine::Job::MergeChangesNothing(const BookContent& server_book, const BookContent& packed) const {
  // The copy holds exactly the agreed content, and every card and folder of
  // it is in the book just packed: each card is either as agreed here too or
  // local news, so the merge would leave every file as it is.
  if (!record_.Complete() || !(record_.Book() == server_book)) return false;
  bool all_here = true;
  server_book.ForEach([&](const std::string& name, const CardContent& card) {
    const CardContent* local = packed.Find(name);
    all_here = all_here && local && local->folder == card.folder;
  });
  return all_here;
}

std::string TSyncEngine::Job::ConflictFolder() {
  if (conflict_folder_.empty()) {
    // DataFolder\N2Conflicts\<date>-<time>\, one of its own for every job
    // that meets a conflict; outside AddrBook, so the mail client shows no
    // duplicates.
    const LocalTime now = LocalNow(fs_);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", now.year, now.month, now.day, now.hour,
                  now.minute, now.second);
    const std::string base = r_.data_folder + "N2Conflicts\\" + stamp;
    std::string folder = base;
    for (int n = 2; fs_.Stat(folder); ++n) folder = base + "-" + std::to_string(n);
    conflict_folder_ = folder + "\\";
  }
  return conflict_folder_;
}

ExtractResult TSyncEngine::Job::Merge(OpenedArchive& fetched, std::optional<BookContent>& server_book, bool kept) {
  IndexSaved();
  // The cards that settle are noted and agreed on in the record once the
  // extraction is over (its choices go by the record as it was); the record
  // is written whatever happens after the first card moved. A card is noted
  // by its entry in the archive, which tells its name and content again.
  std::vector<size_t> settled;
  const auto agree_on_settled = [&] {
    for (const size_t i : settled) {
      const ZipEntry& entry = fetched.archive.Entries()[i];
      record_.AgreeOn(NormalizeEntryName(entry.central.name, lead_), CardOf(entry, lead_), r_.server);
    }
    settled = {};
  };
  bool journal_begun = false;
  ExtractRequest x;
  x.fs = &fs_;
  x.lead = &lead_;
  x.archive = &fetched.archive;
  x.target = r_.data_folder;
  x.only_below = std::string(kBookPrefix);
  x.temporary_folder = state_.UnpackFolder();
  x.threads = r_.threads;
  if (!index_) index_.emplace(lead_);
  x.index = &*index_;
  x.decide = [&](const ZipEntry& entry, std::string_view name, const LocalFile& local) {
    const TCardDecision d = DecideCard(record_, name, CardOf(entry, lead_), local);
    if (d.stale) ++report_.stale;
    if (d.send_again) report_.upload_needed = true;
    TExtractChoice choice;
    choice.replace_read_only = d.replace_read_only;
    switch (d.rule) {
      case TCardRule::kTakeServer: choice.action = TExtractAction::kWrite; break;
      case TCardRule::kKeepLocal: choice.action = TExtractAction::kKeep; break;
      case TCardRule::kSaveServerCopy:
      case TCardRule::kTakeServerSaveLocal: {
        // The copy keeps the card's path below the job's conflict folder.
        const std::optional<ExtractPath> where = SafeExtractPath(entry.central.name, lead_);
        if (!where) {
          choice.action = TExtractAction::kKeep;
          break;
        }
        choice.action = d.rule == TCardRule::kSaveServerCopy ? TExtractAction::kSaveServerCopy
                                                             : TExtractAction::kWriteSavingLocal;
        choice.copy_path = ConflictFolder() + where->folder + where->file;
        break;
      }
    }
    return choice;
  };
  x.before_commit = [&](const std::vector<CardPlan>& plans) {
    if (!journal_begun) {
      state_.BeginJournal(r_.server);
      journal_begun = true;
    }
    std::vector<JournalLine> lines;
    lines.reserve(plans.size());
    for (const CardPlan& p : plans) {
      const CardContent card = CardOf(fetched.archive.Entries()[p.entry], lead_);
      lines.push_back(JournalLine{p.name, card, p.outcome == TCardOutcome::kCopied ? p.copy_path : p.path});
    }
    state_.AppendJournal(lines);
  };
  x.settled = [&](const CardResult& c) {
    switch (c.outcome) {
      case TCardOutcome::kCopied:
      case TCardOutcome::kWrittenSavingLocal:
        ++report_.conflicts;
        report_.conflict_names.push_back(c.name);
        report_.conflict_folder = conflict_folder_;
        if (c.outcome == TCardOutcome::kWrittenSavingLocal) ++report_.written, ++report_.conflicts_first_contact;
        break;
      case TCardOutcome::kWritten: if (!c.folder) ++report_.written; break;
      case TCardOutcome::kUnchanged:
        if (!c.folder) ++report_.unchanged, ++report_.kept;
        break;
      case TCardOutcome::kKept: ++report_.kept; break;
      case TCardOutcome::kChangedMeanwhile:
        ++report_.changed_meanwhile;
        ++report_.kept;
        report_.upload_wanted = true;
        return;
      case TCardOutcome::kFailed:
        report_.failures.push_back(c);
        return;
    }
    settled.push_back(c.entry);
  };
  ExtractResult result;
  bool proven = false;
  try {
    // The next pack takes over the data of every unchanged card from the
    // copy kept; proving it now, while the extraction waits on the file
    // system, spares that pack decoding it all. The proof reads the copy
    // through a file of its own: the two never move each other's read-ahead.
    // A copy above kProvenWhole is left to the pack, which proves what it
    // takes on several threads: proving it here would hold up the download.
    if (kept && fetched.stream->Size() <= kProvenWhole)
      RunBeside(
          [&] {
            try {
              const std::unique_ptr<FileStream> copy = fs_.OpenStream(state_.FetchPath());
              proven = fetched.archive.DecodesWhole(*copy, kProvenDecoded);
            } catch (const std::exception&) {
              // Not proven: the next pack decodes what it takes over.
            }
          },
          [&] { result = ExtractArchive(x); }, r_.threads);
    else
      result = ExtractArchive(x);
  } catch (const std::exception&) {
    // What did settle agrees; the journal stays should the record not be written.
    if (journal_begun) {
      agree_on_settled();
      state_.SaveRecord(record_);
      state_.EndJournal();
    }
    state_.SaveIndex(*index_);
    throw;
  }
  // The copy keeps its size and last-write time when it is put in place.
  index_->SetProvenArchive(proven ? ArchiveStampOf(fs_, state_.FetchPath()) : std::nullopt);
  // Every card of the server's book settled: the whole of it agrees, and
  // while the server tells the same of its archive it is this book. (Agreeing
  // on each settled card first would give the same record.)
  if (report_.failures.empty() && report_.changed_meanwhile == 0) {
    settled = {};
    if (server_book) {
      record_.Agree(std::move(*server_book), r_.server);
      server_book.reset();
    } else {
      record_.Agree(BookOf(fetched.archive.Entries(), lead_), r_.server);
    }
    record_.SetValidator(validator_);
  } else {
    agree_on_settled();
    record_.SetValidator({});
  }
  state_.SaveRecord(record_);
  if (journal_begun) state_.EndJournal();
  state_.SaveIndex(*index_);
  return result;
}

bool TSyncEngine::Job::MergeAndSend(bool by_hand, BookContent& packed, bool last_try) {
  if (!by_hand && record_.Complete() && record_.Book() == packed) {
    report_.result = TJobResult::kNothingNew;
    return true;
  }
  // The server's archive need not move when it is still the agreed one and
  // a merge of it would change nothing here.
  const bool agreed_all_here = MergeChangesNothing(record_.Book(), packed);
  // A merge is to change the book, which is then packed again: an archive
  // stored while it was packed is not waited for.
  if (early_ && !agreed_all_here) early_->Drop();
  bool unchanged = false;
  std::unique_ptr<OpenedArchive> fetched = Fetch(agreed_all_here ? record_.Validator() : std::string(), unchanged);
  // The server's book: the agreed one when the server showed it unchanged,
  // else the fetched archive's.
  std::optional<BookContent> fetched_book;
  const BookContent* server_book = unchanged ? &record_.Book() : nullptr;
  // A file that is not a zip archive at all holds no card to lose: the
  // book is sent over it, as over a server without a book.
  if (fetched && !fetched->empty && fetched->archive.IsZip()) {
    if (!fetched->archive.Whole())
      throw Exception("The server's copy of the address book is incomplete; nothing was sent.");
    fetched_book = BookOf(fetched->archive.Entries(), lead_);
    if (!MergeChangesNothing(*fetched_book, packed)) {
      ExtractResult merged;
      const size_t conflicts_before = report_.conflicts;
      try {
        merged = Merge(*fetched, fetched_book, false);
      } catch (const std::exception&) {
        Fail(TJobResult::kExtractFailed, std::current_exception());
      }
      // A card the server changed that could not be taken would be undone
      // by sending: nothing is sent.
      if (!report_.failures.empty())
        Fail(TJobResult::kExtractFailed,
             std::make_exception_ptr(NamedError(report_.failures.front().error_kind, FailureMessage(report_.failures))));
      // A conflict kept the local card, which now follows the server's:
      // packed again, it is a new version that tells so.
      if (merged.ChangedFiles() > 0 || report_.conflicts > conflicts_before) {
        // Neither the copy nor the book packed before is held while the
        // book is packed again.
        fetched.reset();
        packed = BookContent(lead_);
        packed = Pack();
      }
    }
    // A merge that settled every card left the server's book in the record.
    server_book = fetched_book ? &*fetched_book : &record_.Book();
  }
  fetched.reset();
  if (!by_hand && server_book && *server_book == packed) {
    // The server holds this very book already: nothing to send.
    if (!record_.Complete() || !(record_.Book() == packed)) {
      // The record takes the server's book, with the identities its cards
      // carry there; as after a send, the job ends here.
      BookContent book = fetched_book ? std::move(*fetched_book) : *server_book;
      record_.Agree(std::move(book), r_.server);
      state_.SaveRecord(record_);
    }
    report_.result = TJobResult::kNothingNew;
    return true;
  }
  fetched_book.reset();
  server_book = nullptr;
  // A colleague's upload that lands while this book travels is merged in
  // before this book replaces it; the last try replaces it as it stands, as
  // on a server that cannot tell.
  const std::string expected = last_try ? std::string() : validator_;
  const std::string upload_name = UploadName();
  return SendAndAgree(std::move(packed), [&] {
    std::optional<std::string> validator = r_.transport->Send(state_.ArchivePath(), upload_name, expected);
    report_.sent = validator.has_value();
    return validator;
  });
}

TJobReport TSyncEngine::Job::Upload(bool by_hand) {
  return Run([&] {
    if (by_hand) {
      early_ = std::make_shared<TEarlyUpload>(state_.PackPath(), state_.FetchPath());
      r_.transport->OpenEarly(early_);
    }
    BookContent packed(lead_);
    try {
      packed = Pack();
    } catch (...) {
      r_.transport->CancelEarly();
      throw;
    }
    constexpr int kTries = 3;
    for (int attempt = 1; !MergeAndSend(by_hand, packed, attempt == kTries); ++attempt) {
      ++report_.sent_again;
      packed = BookContent(lead_);
      packed = Pack();
    }
  });
}

TJobReport TSyncEngine::Job::Download(bool conditional) {
  return Run([&] {
    Load();
    bool unchanged = false;
    std::unique_ptr<OpenedArchive> fetched =
        Fetch(conditional && record_.Complete() ? record_.Validator() : std::string(), unchanged);
    r_.transport->Close();  // no connection stays open while the book is unpacked
    if (unchanged) {
      report_.result = TJobResult::kUnchanged;
      return;
    }
    if (!fetched || fetched->empty) {
      report_.result = TJobResult::kNoBook;
      return;
    }
    if (!fetched->archive.IsZip()) {
      report_.result = TJobResult::kNotAnArchive;
      return;
    }
    // A copy of the shared book that is cut short (fetched while an upload
    // was still writing it, say) holds some cards and not others: taking it
    // in part would mix two states of the book, so nothing is taken.
    if (!fetched->archive.Whole())
      Fail(TJobResult::kExtractFailed,
           std::make_exception_ptr(
               Exception("The archive " + state_.ArchivePath() + " is incomplete; nothing was unpacked.")));
    try {
      std::optional<BookContent> from_archive;
      Merge(*fetched, from_archive, true);
    } catch (const std::exception&) {
      Fail(TJobResult::kExtractFailed, std::current_exception());
    }
    // The archive fetched is the local copy now: the next pack takes the
    // compressed data of unchanged cards from it.
    fetched.reset();
    try {
      fs_.Rename(state_.FetchPath(), state_.ArchivePath(), true);
    } catch (const std::exception&) {
      // The earlier archive stays; a pack compresses what it cannot take.
    }
    if (!report_.failures.empty())
      Fail(TJobResult::kExtractFailed,
           std::make_exception_ptr(NamedError(report_.failures.front().error_kind, FailureMessage(report_.failures))));
  });
}

TJobReport TSyncEngine::Job::Clear() {
  return Run([&] {
    Load();
    SendAndAgree(BookContent(lead_), [&] {
      r_.transport->Clear();
      return std::optional<std::string>(std::string());
    });
  });
}

TSyncEngine::TSyncEngine(const TSyncRequest& request) : request_(request) {}

TJobReport TSyncEngine::Upload(bool by_hand) { return Job(request_).Upload(by_hand); }
TJobReport TSyncEngine::Download(bool conditional) { return Job(request_).Download(conditional); }
TJobReport TSyncEngine::Clear() { return Job(request_).Clear(); }

}  // namespace n2
