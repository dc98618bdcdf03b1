// Extracting a zip archive over a folder that already holds an earlier state
// of it: every entry's file is written below the target unless the local file
// already holds its bytes (then only its attributes are set), or the caller's
// decider keeps the local file or has the entry saved elsewhere.
//
// No card is ever left half-written or replaced under the user's hands:
// - every file goes through a temporary file (in a folder of its own on the
//   same volume), flushed to disk, and is then renamed into place;
// - right before a local file is replaced (or its attributes set), its size
//   and last-write time are compared with what the listing showed; a file
//   that changed meanwhile, or appeared where there was none, is left alone
//   (kChangedMeanwhile), and the caller treats it as a local edit;
// - the entries go in windows; all temporary files of a window are written
//   before the caller is told which cards are about to be put in place
//   (before_commit, where a journal is written), and only then renamed.
//
// A card that cannot be handled (its data damaged, a file that another
// program holds open, a copy that cannot be saved, a full disk) fails alone:
// it is left as it was, reported, and every other card is still extracted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/code_page.h"
#include "base/file_system.h"
#include "state/file_index.h"
#include "zip/zip_archive.h"

namespace n2 {

class ThreadCache;

// A local file as the extraction sees it: from its folder's listing, with a
// checksum that is read from the file (or taken from the index) only when
// asked for. Reading it may raise.
struct LocalFile {
  bool exists = false;
  FileStamp stamp;
  std::function<uint32_t()> crc;
  // The identity of the card version the file holds, when the index knows
  // the file to be unchanged since it was packed or unpacked.
  std::function<std::optional<CardIdentity>()> identity;

  uint32_t Crc() const { return crc(); }
  std::optional<CardIdentity> Identity() const { return identity ? identity() : std::nullopt; }
};

enum class TExtractAction {
  kWrite,              // the entry's version, unless the local file already holds its bytes
  kKeep,               // leave the local file as it is
  kSaveServerCopy,     // leave the local file; write the entry to copy_path instead
  kWriteSavingLocal,   // save the local file's bytes to copy_path, then write the entry's version
};

struct TExtractChoice {
  TExtractAction action = TExtractAction::kWrite;
  // kWrite may replace a read-only local file.
  bool replace_read_only = false;
  // kSaveServerCopy, kWriteSavingLocal: full path of the copy (missing folders are made).
  std::string copy_path;
};

// Decides for one file entry; name is the entry's normalised name.
using TExtractDecider =
    std::function<TExtractChoice(const ZipEntry& entry, std::string_view name, const LocalFile& local)>;

enum class TCardOutcome {
  kWritten,             // the entry's version is in place (created or replaced; a folder made)
  kUnchanged,           // the local file or folder already held it (attributes may have been set)
  kKept,                // the decider kept the local file
  kCopied,              // the local file kept, the entry saved at copy_path
  kWrittenSavingLocal,  // the local file saved at copy_path, the entry's version in place
  kChangedMeanwhile,    // the local file changed after it was looked at: left as it is
  kFailed,              // left as it was; error says why
};

// A card about to be put in place: its planned outcome (kWritten, kUnchanged,
// kCopied or kWrittenSavingLocal), nothing done yet.
struct CardPlan {
  size_t entry = 0;
  std::string name;  // the entry's normalised name
  std::string path;  // the local file
  TCardOutcome outcome = TCardOutcome::kWritten;
  std::string copy_path;
  bool folder = false;
};

struct CardResult {
  size_t entry = 0;
  std::string name;
  std::string path;
  TCardOutcome outcome = TCardOutcome::kWritten;
  std::string copy_path;
  bool folder = false;
  // kFailed: the error's kind and message.
  std::string error_kind, error;
};

struct ExtractRequest {
  TFileSystem* fs = nullptr;
  const LeadBytes* lead = nullptr;
  // Read and whole; its stream stays open during the extraction.
  ZipArchive* archive = nullptr;
  // Where entries go; ends with a separator.
  std::string target;
  // Only entries whose normalised name begins with this (compared without
  // regard to case) are extracted; the others are skipped. Empty: all.
  std::string only_below;
  // Temporary files go here (same volume as the target); it is made when
  // needed, emptied of an earlier run's leftovers first, and removed at the
  // end when empty.
  std::string temporary_folder;
  // Checksums the index vouches for spare reading local files; it is brought
  // up to date with what was seen and written. May be null.
  FileIndex* index = nullptr;
  // Without a decider every entry is kWrite.
  TExtractDecider decide;
  // Per window, with the cards about to be put in place, before any of them
  // is. An error raised here ends the extraction: nothing of the window is put
  // in place, and the error reaches the caller.
  std::function<void(const std::vector<CardPlan>&)> before_commit;
  // Every file and folder entry once its outcome is final, in archive order.
  std::function<void(const CardResult&)> settled;
  // Kept threads for the parallel steps; without, the extraction makes its own.
  ThreadCache* threads = nullptr;
};

struct ExtractResult {
  size_t written = 0, unchanged = 0, kept = 0, copies = 0, changed_meanwhile = 0;
  // Entries not extracted because of their names: outside only_below, or
  // names that would lead outside the target.
  size_t skipped = 0;
  // The cards that failed, in archive order.
  std::vector<CardResult> failures;
  // Files whose content changed (written or saved) or whose attributes were set.
  size_t ChangedFiles() const { return written + changed_attributes; }
  size_t changed_attributes = 0;
};

ExtractResult ExtractArchive(const ExtractRequest& request);

}  // namespace n2
