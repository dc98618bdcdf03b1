#include "zip/zip_extractor.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "base/crc32.h"
#include "base/exception.h"
#include "base/worker_pool.h"

namespace n2 {
namespace {

// A window of entries is bounded by count and by the bytes its data takes
// once decoded: its temporary files are all there at once before they are
// put in place.
constexpr size_t kWindowEntries = 256;
constexpr uint64_t kWindowBytes = 32u << 20;
// Archives up to this size are read into memory whole; larger ones are read
// where they lie (several threads decode entries at once either way).
constexpr uint64_t kHeldArchiveSize = 16u << 20;
// The attributes an entry gives its file beside the archive bit; the others
// do not count when a local file is compared with an entry.
constexpr uint32_t kEntryAttributes = kAttrReadOnly | kAttrHidden | kAttrSystem;

// One more than the cores, so that the cores stay busy while a thread waits for the disk.
size_t WorkerThreads() { return std::max(2u, std::thread::hardware_concurrency()) + 1; }

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// Whether an entry or a file is too large to be held in memory: it is
// decoded, read or copied in pieces.
bool Streamed(uint64_t size) { return size > kStreamedEntrySize; }

// A read error of the archive's own stream, carried through a card's work.
struct ArchiveReadError {
  std::exception_ptr error;
};

bool Replaces(TCardOutcome outcome) {
  return outcome == TCardOutcome::kWritten || outcome == TCardOutcome::kWrittenSavingLocal;
}
// Planned outcomes that need the entry's data in a temporary file.
bool NeedsData(TCardOutcome outcome) { return Replaces(outcome) || outcome == TCardOutcome::kCopied; }
// Planned outcomes that the journal is told of.
bool Committed(TCardOutcome outcome) { return NeedsData(outcome) || outcome == TCardOutcome::kUnchanged; }

// One entry of a window, from its place below the target to its outcome.
// Each card is worked on by one thread at a time.
struct Card {
  size_t entry = 0;
  std::string name;  // normalised
  std::string path;  // a folder's without a trailing separator
  bool folder = false;
  // Files: the local file as its folder's listing showed it, and its
  // checksum once known, with the stamp it was read under (or vouched for).
  bool exists = false;
  FileStamp listed;
  std::optional<uint32_t> local_crc;
  FileStamp crc_stamp;
  std::exception_ptr crc_error;  // reading ahead failed: the decider meets it
  // The choice, and what the written file gets.
  bool replace_read_only = false;
  std::string copy_path;
  uint32_t attributes = 0;
  bool set_attributes = false;  // kUnchanged whose attributes differ
  // The entry's bytes, flushed to a temporary file, and that file's stamp.
  std::string temporary;
  bool temporary_there = false;
  FileStamp written;
  // Planned, then final.
  TCardOutcome outcome = TCardOutcome::kWritten;
  bool attributes_set = false;
  std::string error_kind, error;
};

void Fail(Card& card, const std::exception& error) {
  card.outcome = TCardOutcome::kFailed;
  card.error_kind = ErrorKindName(error);
  card.error = error.what();
}

// The same for an error met on a temporary file: its message names the card
// the user knows, not the temporary file that stood for it.
void FailFor(Card& card, const std::exception& error, const std::string& temporary) {
  Fail(card, error);
  const std::string named = Quoted(temporary);
  for (size_t at = card.error.find(named); at != std::string::npos; at = card.error.find(named, at))
    card.error.replace(at, named.size(), Quoted(card.path)), at += card.path.size() + 2;
}

EFCreateError ReadOnlyError(const std::string& path) {
  return EFCreateError("Cannot create file " + Quoted(path) + ". The file is read-only");
}

// The first error that ends a batch of parallel work: items not started yet
// are not started, and the error is raised once the batch is done.
class BatchStop {
 public:
  bool Stopped() const { return stopped_.load(); }
  void Stop(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = std::move(error);
    stopped_.store(true);
  }
  void RaiseIfStopped() {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::exception_ptr error_;
};

// Runs work(0) .. work(count - 1) on the pool's threads, or here one after
// another without a pool. work handles the errors of a card itself; whatever
// escapes it ends the batch and is raised here.
void RunBatch(WorkerPool* pool, size_t count, const std::function<void(size_t)>& work) {
  BatchStop stop;
  auto item = [&](size_t i) {
    if (stop.Stopped()) return;
    try {
      work(i);
    } catch (...) {
      stop.Stop(std::current_exception());
    }
  };
  if (pool) {
    pool->Run(count, item);
  } else {
    for (size_t i = 0; i < count; ++i) item(i);
  }
  stop.RaiseIfStopped();
}

class Extractor {
 public:
  explicit Extractor(const ExtractRequest& request);
  ExtractResult Run();

 private:
  std::vector<Card> NextWindow(size_t& next, ExtractResult& result);
  std::optional<Card> Place(size_t index) const;
  void ExtractWindow(std::vector<Card>& cards);
  void LookAtLocalFiles(std::vector<Card>& cards);
  void Decide(Card& card);
  uint32_t LocalCrc(Card& card);
  void WriteTemporaryFiles(std::vector<Card>& cards);
  void DecodeToTemporary(Card& card);
  void DecodeInPieces(Card& card);
  FileStamp WriteInPieces(const std::string& path, uint32_t attributes,
                          const std::function<void(const TPieceWriter&)>& fill);
  uint32_t FileCrc(const std::string& path, uint64_t listed_size, FileStamp& stamp);
  void Journal(const std::vector<Card>& cards);
  void MakeFolders(std::vector<Card>& cards);
  void Commit(Card& card);
  void Create(Card& card);
  void Replace(Card& card);
  void ReplaceSavingLocal(Card& card);
  bool SaveLocalInPieces(const Card& card, const std::string& saved);
  void PutInPlace(Card& card, const FileStamp& now);
  void SettleAttributes(Card& card);
  void SaveAt(const std::string& temporary, const std::string& path);
  void ChangedMeanwhile(Card& card);
  void DropTemporary(Card& card);
  void DeleteQuietly(const std::string& path);
  void Report(const Card& card, ExtractResult& result);

  bool FolderListed(const std::string& folder);
  std::optional<FileStamp> Listed(const std::string& path);
  void EnsureFolder(const std::string& folder);
  void ClearTemporaryFolder();
  void RemoveTemporaryFolder();

  const ExtractRequest& r_;
  TFileSystem& fs_;
  const LeadBytes& lead_;
  const ZipArchive& archive_;
  std::string base_, full_base_;
  std::string temporary_, full_temporary_;
  bool temporary_made_ = false;
  // The archive's bytes held in memory, when they are; where entries are decoded from.
  MemoryStream held_;
  ByteStream* source_ = nullptr;
  WorkerPool pool_{WorkerThreads(), r_.threads};
  // Destination folders (ending with "\") as listed, whether they exist, and
  // the files and folders their listings showed, by path; brought up to date
  // with what the extraction puts in place.
  CaseBlindMap<bool> folders_;
  CaseBlindMap<FileStamp> files_;
  CaseBlindSet made_;  // folders made sure of for files and copies
};

const LeadBytes& SingleByte() {
  static const LeadBytes lead;
  return lead;
}

Extractor::Extractor(const ExtractRequest& request)
    : r_(request),
      fs_(*request.fs),
      lead_(request.lead ? *request.lead : SingleByte()),
      archive_(*request.archive),
      folders_(MakeCaseBlindMap<bool>(lead_)),
      files_(MakeCaseBlindMap<FileStamp>(lead_)),
      made_(MakeCaseBlindSet(lead_)) {
  base_ = IncludeTrailingBackslash(r_.target, lead_);
  full_base_ = IncludeTrailingBackslash(fs_.FullPath(base_), lead_);
  temporary_ = IncludeTrailingBackslash(r_.temporary_folder, lead_);
  full_temporary_ = IncludeTrailingBackslash(fs_.FullPath(temporary_), lead_);
}

ExtractResult Extractor::Run() {
  ExtractResult result;
  source_ = archive_.Stream();
  if (!source_) return result;
  if (const uint64_t size = source_->Size(); size <= kHeldArchiveSize) {
    held_ = MemoryStream(source_->ReadStringAt(0, static_cast<size_t>(size)));
    source_ = &held_;
  }
  ClearTemporaryFolder();
  try {
    for (size_t next = 0; next < archive_.Entries().size();) {
      std::vector<Card> cards = NextWindow(next, result);
      ExtractWindow(cards);
      for (const Card& card : cards) Report(card, result);
    }
  } catch (const std::exception&) {
    RemoveTemporaryFolder();
    throw;
  }
  RemoveTemporaryFolder();
  if (r_.index) r_.index->SetTakenAt(fs_.FileSystemNow(base_));
  return result;
}

// The entries from next on, up to the window's bounds; next moves past them.
// Two entries that meet in one file never share a window: the later one
// starts the next, so that the last entry of a name is put in place last.
std::vector<Card> Extractor::NextWindow(size_t& next, ExtractResult& result) {
  std::vector<Card> cards;
  CaseBlindSet paths = MakeCaseBlindSet(lead_);
  uint64_t bytes = 0;
  for (const size_t first = next; next < archive_.Entries().size() && next - first < kWindowEntries; ++next) {
    std::optional<Card> card = Place(next);
    if (!card) {
      ++result.skipped;
      continue;
    }
    if (!card->folder) {
      const uint64_t size = archive_.Entries()[next].central.uncompressed_size;
      if (!paths.empty() && (bytes + size > kWindowBytes || paths.count(card->path))) break;
      bytes += size;
      paths.insert(card->path);
    }
    cards.push_back(std::move(*card));
  }
  return cards;
}

// Where entry index goes; nothing when it is not extracted: outside
// only_below, a name that would lead outside the target, or one inside our
// own temporary folder.
std::optional<Card> Extractor::Place(size_t index) const {
  const ZipEntry& entry = archive_.Entries()[index];
  const std::optional<ExtractPath> where = SafeExtractPath(entry.central.name, lead_);
  if (!where) return std::nullopt;
  Card card;
  card.entry = index;
  card.name = NormalizeEntryName(entry.central.name, lead_);
  if (!StartsCaseBlind(card.name, r_.only_below, lead_)) return std::nullopt;
  card.folder = entry.Folder() || where->file.empty();
  card.path = ExcludeTrailingSeparators(base_ + where->folder + where->file, lead_);
  // The file system has the last word on where a name leads.
  const std::string full = IncludeTrailingBackslash(fs_.FullPath(card.path), lead_);
  if (full.empty()) {
    // Too long for the file system, say: nothing could be put there.
    Fail(card, EFCreateError("Cannot create file " + Quoted(card.path) + ". The path is not valid"));
    return card;
  }
  const bool target_itself = where->folder.empty() && where->file.empty();
  if (!target_itself && !(full.size() > full_base_.size() && StartsCaseBlind(full, full_base_, lead_)))
    return std::nullopt;
  if (StartsCaseBlind(full, full_temporary_, lead_)) return std::nullopt;
  return card;
}

// A window goes in steps: the local files are looked at and the decider
// chooses; the entries to write are decoded into flushed temporary files on
// several threads; the journal is told what is about to be put in place;
// then every card is put in place on its own, its file checked right before
// it is replaced. A card that fails leaves its file as it was and the others
// go on.
void Extractor::ExtractWindow(std::vector<Card>& cards) {
  LookAtLocalFiles(cards);
  for (Card& card : cards) {
    if (card.folder || card.outcome == TCardOutcome::kFailed) continue;
    try {
      Decide(card);
    } catch (const std::exception& error) {
      Fail(card, error);
    }
  }
  try {
    WriteTemporaryFiles(cards);
    Journal(cards);
  } catch (const std::exception&) {
    for (Card& card : cards) DropTemporary(card);
    throw;
  }
  MakeFolders(cards);
  // Cards that hold their entry's bytes and attributes already are left alone.
  std::vector<size_t> commits;
  for (size_t k = 0; k < cards.size(); ++k) {
    const Card& card = cards[k];
    if (!card.folder && (NeedsData(card.outcome) || (card.outcome == TCardOutcome::kUnchanged && card.set_attributes)))
      commits.push_back(k);
  }
  // Two cards of a window never meet in one file, so they go in any order.
  RunBatch(&pool_, commits.size(), [&](size_t i) {
    Card& card = cards[commits[i]];
    try {
      Commit(card);
    } catch (const std::exception& error) {
      Fail(card, error);
      DropTemporary(card);
    }
  });
}

// Folders: whether they exist. Files: the listing's stamp, the checksum the
// index vouches for, and for files of their entry's size (which the choice
// will likely compare) the checksum read ahead on several threads.
void Extractor::LookAtLocalFiles(std::vector<Card>& cards) {
  std::vector<size_t> to_read;
  for (size_t k = 0; k < cards.size(); ++k) {
    Card& card = cards[k];
    if (card.outcome == TCardOutcome::kFailed) continue;
    if (card.folder) {
      card.outcome = FolderListed(card.path + "\\") ? TCardOutcome::kUnchanged : TCardOutcome::kWritten;
      continue;
    }
    const std::optional<FileStamp> local = Listed(card.path);
    if (local && local->Folder()) {
      Fail(card, EFCreateError("Cannot create file " + Quoted(card.path) + ". A folder of that name is in the way"));
      continue;
    }
    if (!local) continue;
    card.exists = true;
    card.listed = *local;
    if (r_.index) card.local_crc = r_.index->TrustedCrc(card.name, local->size, local->write_time);
    if (card.local_crc)
      card.crc_stamp = card.listed;
    else if (local->size == archive_.Entries()[card.entry].central.uncompressed_size)
      to_read.push_back(k);
  }
  RunBatch(&pool_, to_read.size(), [&](size_t i) {
    Card& card = cards[to_read[i]];
    try {
      card.local_crc = FileCrc(card.path, card.listed.size, card.crc_stamp);
    } catch (const std::exception&) {
      card.crc_error = std::current_exception();
    }
  });
}

// The decider's choice (kWrite without one) and, for an entry to write,
// whether the local file already holds its bytes.
void Extractor::Decide(Card& card) {
  const ZipEntry& entry = archive_.Entries()[card.entry];
  LocalFile local;
  local.exists = card.exists;
  local.stamp = card.listed;
  local.crc = [this, &card] { return LocalCrc(card); };
  local.identity = [this, &card]() -> std::optional<CardIdentity> {
    const IndexedFile* known = r_.index ? r_.index->Find(card.name) : nullptr;
    if (!known || !known->identity || known->size != card.listed.size ||
        (known->attributes & kEntryAttributes) != (card.listed.attributes & kEntryAttributes) ||
        known->crc != LocalCrc(card))
      return std::nullopt;
    return known->identity;
  };
  TExtractChoice choice;
  if (r_.decide) choice = r_.decide(entry, card.name, local);
  card.replace_read_only = choice.replace_read_only;
  card.attributes = kAttrArchive | (entry.central.external_attributes & kEntryAttributes);
  switch (choice.action) {
    case TExtractAction::kKeep:
      card.outcome = TCardOutcome::kKept;
      return;
    case TExtractAction::kSaveServerCopy:
      card.outcome = TCardOutcome::kCopied;
      card.copy_path = choice.copy_path;
      return;
    case TExtractAction::kWriteSavingLocal:
      // With no local file there is nothing to save: a plain write.
      if (card.exists) {
        card.outcome = TCardOutcome::kWrittenSavingLocal;
        card.copy_path = choice.copy_path;
        break;
      }
      [[fallthrough]];
    case TExtractAction::kWrite:
      if (card.exists && card.listed.size == entry.central.uncompressed_size &&
          LocalCrc(card) == entry.central.crc) {
        card.outcome = TCardOutcome::kUnchanged;
        card.set_attributes = (card.listed.attributes & kEntryAttributes) != (card.attributes & kEntryAttributes);
        return;
      }
      card.outcome = TCardOutcome::kWritten;
      break;
  }
  // Found now, a read-only file costs no temporary file.
  if (card.exists && (card.listed.attributes & kAttrReadOnly) && !card.replace_read_only)
    throw ReadOnlyError(card.path);
}

uint32_t Extractor::LocalCrc(Card& card) {
  if (card.crc_error) std::rethrow_exception(card.crc_error);
  if (!card.local_crc) card.local_crc = FileCrc(card.path, card.listed.size, card.crc_stamp);
  return *card.local_crc;
}

void Extractor::WriteTemporaryFiles(std::vector<Card>& cards) {
  std::vector<size_t> to_write;
  for (size_t k = 0; k < cards.size(); ++k)
    if (!cards[k].folder && NeedsData(cards[k].outcome)) to_write.push_back(k);
  if (to_write.empty()) return;
  if (!temporary_made_) {
    try {
      fs_.MakeFolder(ExcludeTrailingSeparators(temporary_, lead_));
      temporary_made_ = true;
    } catch (const std::exception& error) {
      for (size_t k : to_write) Fail(cards[k], error);
      return;
    }
  }
  // The temporary files of a window are all there at once: each card's
  // declared size is set against what the disk has left, and one that cannot
  // fit fails alone before anything of it is decoded.
  if (std::optional<uint64_t> free = fs_.FreeSpace(ExcludeTrailingSeparators(temporary_, lead_))) {
    std::vector<size_t> fitting;
    for (size_t k : to_write) {
      const uint64_t size = archive_.Entries()[cards[k].entry].central.uncompressed_size;
      if (size > *free) {
        Fail(cards[k], EWriteError("Cannot unpack " + Quoted(cards[k].path) + ". It needs " + GroupedNumber(size) +
                                   " bytes, and the disk has " + GroupedNumber(*free) + " bytes free"));
        continue;
      }
      *free -= size;
      fitting.push_back(k);
    }
    to_write.swap(fitting);
  }
  RunBatch(&pool_, to_write.size(), [&](size_t i) { DecodeToTemporary(cards[to_write[i]]); });
}

void Extractor::DecodeToTemporary(Card& card) {
  if (Streamed(archive_.Entries()[card.entry].central.uncompressed_size)) return DecodeInPieces(card);
  std::optional<std::string> data;
  try {
    data = archive_.ReadEntryData(card.entry, *source_);
  } catch (const EReadError&) {
    throw;  // the archive's own stream: no later entry can be read either
  } catch (const std::exception& error) {
    return Fail(card, error);
  }
  try {
    if (!data) throw EDecompressionError("The data of " + Quoted(card.name) + " is missing or cut short");
    card.temporary = temporary_ + std::to_string(card.entry) + ".tmp";
    fs_.WriteFile(card.temporary, *data, card.attributes, false, true, &card.written);
    card.temporary_there = true;
  } catch (const std::exception& error) {
    FailFor(card, error, card.temporary);
  }
}

// A large entry, decoded piece by piece into its temporary file. A read
// error of the archive's stream ends the extraction as above; anything else
// fails the card alone.
void Extractor::DecodeInPieces(Card& card) {
  card.temporary = temporary_ + std::to_string(card.entry) + ".tmp";
  try {
    card.written = WriteInPieces(card.temporary, card.attributes, [&](const TPieceWriter& write) {
      try {
        if (!archive_.DecodeEntryInPieces(card.entry, *source_, write))
          throw EDecompressionError("The data of " + Quoted(card.name) + " is missing or cut short");
      } catch (const EReadError& error) {
        throw ArchiveReadError{std::current_exception()};
      }
    });
    card.temporary_there = true;
  } catch (const ArchiveReadError& error) {
    std::rethrow_exception(error.error);
  } catch (const std::exception& error) {
    FailFor(card, error, card.temporary);
  }
}

// Writes the file path in pieces that fill gives, flushed to disk, with the
// given attributes; returns its stamp. Nothing stays behind after a failure.
FileStamp Extractor::WriteInPieces(const std::string& path, uint32_t attributes,
                                   const std::function<void(const TPieceWriter&)>& fill) {
  try {
    {
      std::unique_ptr<FileStream> file = fs_.CreateStream(path);
      uint64_t at = 0;
      fill([&](std::string_view piece) {
        file->WriteAt(at, piece.data(), piece.size());
        at += piece.size();
      });
      file->Sync();
    }
    fs_.SetAttributes(path, attributes);
    const std::optional<FileStamp> stamp = fs_.Stat(path);
    if (!stamp) throw EWriteError("Write error on " + Quoted(path));
    return *stamp;
  } catch (...) {
    DeleteQuietly(path);
    throw;
  }
}

// The checksum of a local file, with the stamp it had while it was read; a
// large one (as listed) is read in pieces, and again when it changed meanwhile.
uint32_t Extractor::FileCrc(const std::string& path, uint64_t listed_size, FileStamp& stamp) {
  if (!Streamed(listed_size)) return Crc32(fs_.ReadFile(path, &stamp));
  constexpr int kAttempts = 4;
  for (int attempt = 1;; ++attempt) {
    const std::optional<FileStamp> before = fs_.Stat(path);
    uint32_t crc = 0;
    uint64_t size = 0;
    {
      std::unique_ptr<FileStream> file = fs_.OpenStream(path);
      std::string piece(kStreamPiece, '\0');
      for (size_t got; (got = file->ReadAt(size, piece.data(), piece.size())) > 0; size += got)
        crc = Crc32(std::string_view(piece.data(), got), crc);
    }
    const std::optional<FileStamp> after = fs_.Stat(path);
    if (before && after && before->SameContentStamp(*after) && size == after->size) {
      stamp = *after;
      return crc;
    }
    if (attempt == kAttempts)
      throw EReadError("Read error on " + Quoted(path) + ". The file kept changing while it was read");
  }
}

void Extractor::Journal(const std::vector<Card>& cards) {
  if (!r_.before_commit) return;
  std::vector<CardPlan> plans;
  for (const Card& card : cards)
    if (Committed(card.outcome))
      plans.push_back(CardPlan{card.entry, card.name, card.path, card.outcome, card.copy_path, card.folder});
  if (!plans.empty()) r_.before_commit(plans);
}

// Folder entries, and the folders that files and copies go to, in archive order.
void Extractor::MakeFolders(std::vector<Card>& cards) {
  for (Card& card : cards) {
    try {
      if (card.folder) {
        if (card.outcome == TCardOutcome::kWritten) EnsureFolder(card.path + "\\");
        continue;
      }
      if (Replaces(card.outcome)) EnsureFolder(card.path.substr(0, FindLastOf(card.path, "\\/", lead_) + 1));
      if (!card.copy_path.empty() && card.outcome != TCardOutcome::kFailed)
        EnsureFolder(card.copy_path.substr(0, FindLastOf(card.copy_path, "\\/", lead_) + 1));
    } catch (const std::exception& error) {
      Fail(card, error);
      DropTemporary(card);
    }
  }
}

void Extractor::Commit(Card& card) {
  switch (card.outcome) {
    case TCardOutcome::kUnchanged:
      return SettleAttributes(card);
    case TCardOutcome::kCopied:
      SaveAt(card.temporary, card.copy_path);
      card.temporary_there = false;
      return;
    case TCardOutcome::kWritten:
      return card.exists ? Replace(card) : Create(card);
    case TCardOutcome::kWrittenSavingLocal:
      return ReplaceSavingLocal(card);
    default:
      return;
  }
}

// A new card never replaces a file that appeared meanwhile.
void Extractor::Create(Card& card) {
  if (fs_.Rename(card.temporary, card.path, false) == TRenameResult::kTargetExists) return ChangedMeanwhile(card);
  card.temporary_there = false;
}

void Extractor::Replace(Card& card) {
  const std::optional<FileStamp> now = fs_.Stat(card.path);
  if (!now || now->Folder() || !now->SameContentStamp(card.listed)) return ChangedMeanwhile(card);
  PutInPlace(card, *now);
}

// The local bytes are read now, and saved only when they are still those
// the listing showed; then the entry's version replaces them as any other.
// When it cannot, the copy just saved goes again.
void Extractor::ReplaceSavingLocal(Card& card) {
  const std::string saved = temporary_ + std::to_string(card.entry) + ".local.tmp";
  if (Streamed(card.listed.size)) {
    if (!SaveLocalInPieces(card, saved)) return ChangedMeanwhile(card);
  } else {
    FileStamp stamp;
    std::string bytes;
    try {
      bytes = fs_.ReadFile(card.path, &stamp);
    } catch (const std::exception&) {
      if (!fs_.Stat(card.path)) return ChangedMeanwhile(card);  // deleted meanwhile
      throw;
    }
    if (!stamp.SameContentStamp(card.listed)) return ChangedMeanwhile(card);
    fs_.WriteFile(saved, bytes, kAttrArchive | (stamp.attributes & kEntryAttributes), false, true);
  }
  try {
    SaveAt(saved, card.copy_path);
  } catch (const std::exception&) {
    DeleteQuietly(saved);
    throw;
  }
  try {
    Replace(card);
  } catch (const std::exception&) {
    DeleteQuietly(card.copy_path);
    throw;
  }
  if (card.outcome == TCardOutcome::kChangedMeanwhile) DeleteQuietly(card.copy_path);
}

// ReplaceSavingLocal's copy of a large local file, made piece by piece;
// false when the file is no longer as listed (changed or deleted meanwhile).
bool Extractor::SaveLocalInPieces(const Card& card, const std::string& saved) {
  const std::optional<FileStamp> before = fs_.Stat(card.path);
  if (!before || !before->SameContentStamp(card.listed)) return false;
  try {
    WriteInPieces(saved, kAttrArchive | (before->attributes & kEntryAttributes), [&](const TPieceWriter& write) {
      std::unique_ptr<FileStream> file = fs_.OpenStream(card.path);
      std::string piece(kStreamPiece, '\0');
      for (uint64_t at = 0;;) {
        const size_t got = file->ReadAt(at, piece.data(), piece.size());
        if (got == 0) break;
        write(std::string_view(piece.data(), got));
        at += got;
      }
    });
  } catch (const std::exception&) {
    if (!fs_.Stat(card.path)) return false;  // deleted meanwhile
    throw;
  }
  const std::optional<FileStamp> after = fs_.Stat(card.path);
  if (after && after->SameContentStamp(*before)) return true;
  DeleteQuietly(saved);
  return false;
}

// Renames the temporary file over the local file as it is now; a read-only
// one only when the choice allows it (not every file system refuses it).
void Extractor::PutInPlace(Card& card, const FileStamp& now) {
  const bool read_only = (now.attributes & kAttrReadOnly) != 0;
  if (read_only) {
    if (!card.replace_read_only) throw ReadOnlyError(card.path);
    fs_.SetAttributes(card.path, now.attributes & ~kAttrReadOnly);
  }
  try {
    fs_.Rename(card.temporary, card.path, true);
  } catch (const std::exception&) {
    if (read_only) {
      try {
        fs_.SetAttributes(card.path, now.attributes);
      } catch (const std::exception&) {
      }
    }
    throw;
  }
  card.temporary_there = false;
}

// A file that holds its entry's bytes keeps its content and time; only
// attributes that differ are set.
void Extractor::SettleAttributes(Card& card) {
  const std::optional<FileStamp> now = fs_.Stat(card.path);
  if (!now || now->Folder() || !now->SameContentStamp(card.listed)) return ChangedMeanwhile(card);
  if ((now->attributes & kEntryAttributes) == (card.attributes & kEntryAttributes)) return;
  fs_.SetAttributes(card.path, card.attributes);
  card.attributes_set = true;
}

// A copy never replaces a file.
void Extractor::SaveAt(const std::string& temporary, const std::string& path) {
  if (fs_.Rename(temporary, path, false) == TRenameResult::kTargetExists)
    throw EFCreateError("Cannot create file " + Quoted(path) + ". The file exists");
}

void Extractor::ChangedMeanwhile(Card& card) {
  card.outcome = TCardOutcome::kChangedMeanwhile;
  DropTemporary(card);
}

void Extractor::DropTemporary(Card& card) {
  if (!card.temporary_there) return;
  DeleteQuietly(card.temporary);
  card.temporary_there = false;
}

// Removes a file this extraction made; one that will not go is left to the
// next extraction, which empties the temporary folder first.
void Extractor::DeleteQuietly(const std::string& path) {
  try {
    fs_.Delete(path);
  } catch (const std::exception&) {
  }
}

// Counts the card, notes what is now known of its file, and tells the caller.
void Extractor::Report(const Card& card, ExtractResult& result) {
  const CentralRecord& entry = archive_.Entries()[card.entry].central;
  auto note = [&](const FileStamp& stamp, uint32_t crc, std::optional<CardIdentity> identity) {
    files_.insert_or_assign(card.path, stamp);
    if (r_.index) r_.index->Set(card.name, IndexedFile{stamp.size, stamp.write_time, stamp.attributes, crc, identity});
  };
  // The file holds the entry's version now, with its identity.
  const std::optional<CardIdentity> entry_identity = IdentityInExtraField(entry.extra);
  // A local file left as it was keeps the identity the index knew of it.
  auto kept_identity = [&](uint32_t crc) -> std::optional<CardIdentity> {
    const IndexedFile* known = r_.index ? r_.index->Find(card.name) : nullptr;
    return known && known->crc == crc ? known->identity : std::nullopt;
  };
  switch (card.outcome) {
    case TCardOutcome::kWritten:
    case TCardOutcome::kWrittenSavingLocal:
      if (card.folder) break;
      ++result.written;
      note(card.written, entry.crc, entry_identity);
      break;
    case TCardOutcome::kUnchanged:
      if (card.folder) break;
      ++result.unchanged;
      if (card.attributes_set) {
        ++result.changed_attributes;
        FileStamp stamp = card.crc_stamp;
        stamp.attributes = card.attributes;
        note(stamp, entry.crc, entry_identity);
      } else {
        note(card.crc_stamp, entry.crc, entry_identity);
      }
      break;
    case TCardOutcome::kKept:
    case TCardOutcome::kCopied:
      ++(card.outcome == TCardOutcome::kKept ? result.kept : result.copies);
      if (card.exists && card.local_crc) note(card.crc_stamp, *card.local_crc, kept_identity(*card.local_crc));
      break;
    case TCardOutcome::kChangedMeanwhile:
      ++result.changed_meanwhile;
      break;
    case TCardOutcome::kFailed:
      break;
  }
  const CardResult out{card.entry,     card.name,   card.path,       card.outcome,
                       card.copy_path, card.folder, card.error_kind, card.error};
  if (card.outcome == TCardOutcome::kFailed) result.failures.push_back(out);
  if (r_.settled) r_.settled(out);
}

// Whether folder (ending with "\") exists. Its first look lists it, and that
// listing answers for all its files.
bool Extractor::FolderListed(const std::string& folder) {
  if (auto it = folders_.find(folder); it != folders_.end()) return it->second;
  const bool exists = fs_.List(ExcludeTrailingSeparators(folder, lead_), [&](const ListedItem& item) {
    if (item.name != ".") files_.insert_or_assign(folder + std::string(item.name), item.stamp);
  });
  folders_.emplace(folder, exists);
  return exists;
}

std::optional<FileStamp> Extractor::Listed(const std::string& path) {
  if (!FolderListed(path.substr(0, FindLastOf(path, "\\/", lead_) + 1))) return std::nullopt;
  auto it = files_.find(path);
  if (it == files_.end()) return std::nullopt;
  return it->second;
}

void Extractor::EnsureFolder(const std::string& folder) {
  if (folder.empty() || made_.count(folder)) return;
  auto listed = folders_.find(folder);
  if (listed == folders_.end() || !listed->second) {
    fs_.MakeFolder(ExcludeTrailingSeparators(folder, lead_));
    if (listed != folders_.end()) listed->second = true;  // made now, and empty
  }
  made_.insert(folder);
}

// Files an interrupted extraction left behind.
void Extractor::ClearTemporaryFolder() {
  std::vector<std::string> leftovers;
  fs_.List(ExcludeTrailingSeparators(temporary_, lead_), [&](const ListedItem& item) {
    if (!item.stamp.Folder()) leftovers.push_back(temporary_ + std::string(item.name));
  });
  // One that will not go now is written over when its name comes again.
  for (const std::string& path : leftovers) DeleteQuietly(path);
}

void Extractor::RemoveTemporaryFolder() { fs_.RemoveFolder(ExcludeTrailingSeparators(temporary_, lead_)); }

}  // namespace

ExtractResult ExtractArchive(const ExtractRequest& request) { return Extractor(request).Run(); }

}  // namespace n2
