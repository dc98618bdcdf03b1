// The zip component: opens an archive file, adds files and folder trees to it
// in place, and extracts it into a folder.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/system_code_page.h"
#include "base/worker_pool.h"
#include "base/win_file.h"
#include "state/file_index.h"
#include "zip/zip_archive.h"

namespace n2 {

enum class TZipSaveMethod { FastSave, RebuildAll };
enum class TZipCompressionType { ctNormal, ctMaximum, ctFast, ctSuperFast, ctNone, ctUnknown };
enum class TOverwriteAction { oaSkip, oaSkipAll, oaOverwrite, oaOverwriteAll };

// An open file seen as a byte stream. Writes that follow one another are
// gathered and written in blocks of up to kWriteBehind bytes: when a block is
// full, before any read, at Truncate (which every writer of an archive ends
// with, and which reports a failed write) and at the end. The block's room is
// taken once and kept: growing a buffer of megabytes step by step costs a
// page fault for every page of each new copy.
class FileByteStream : public ByteStream {
 public:
  explicit FileByteStream(File file) : file_(std::move(file)) {}
  FileByteStream(const FileByteStream&) = delete;
  FileByteStream& operator=(const FileByteStream&) = delete;
  ~FileByteStream() override;
  // Keeps a copy of the whole file in memory and serves reads from it until
  // the next write: reading an archive takes many small records.
  void CacheWholeFile();
  uint64_t Size() override;
  size_t ReadAt(uint64_t position, void* buffer, size_t size) override;
  void WriteAt(uint64_t position, const void* data, size_t size) override;
  void Truncate(uint64_t size) override;
  File& GetFile() { return file_; }

 private:
  static constexpr size_t kWriteBehind = 1u << 20;
  void Flush();

  File file_;
  bool cached_ = false;
  MemoryStream cache_;
  std::string pending_;  // bytes to write at pending_at_
  uint64_t pending_at_ = 0;
};

// What extraction does with a file entry (see TVexZip::OnDecideEntry).
enum class TExtractAction {
  eaWrite,     // write the entry, unless the local file already holds its bytes
  eaKeep,      // leave the local file as it is
  eaSaveCopy,  // leave the local file as it is and write the entry to CopyPath instead
};
struct TExtractChoice {
  TExtractAction Action = TExtractAction::eaWrite;
  // eaWrite may replace a read-only local file.
  bool ReplaceReadOnly = false;
  // eaSaveCopy: full path of the copy (missing folders are created).
  std::string CopyPath;
};
// Decides for one file entry, given the local file it would be written to
// (that file's checksum is read only if the decider asks for it).
using TExtractDecider = std::function<TExtractChoice(const ZipEntry& entry, const LocalFile& local)>;

// What the last ExtractArchiveTo did with the file entries.
struct TExtractCounts {
  size_t Written = 0;    // files created or replaced
  size_t Unchanged = 0;  // files that already held the entry's bytes (their attributes may have been set)
  size_t Kept = 0;       // local files kept by the decider
  size_t Copies = 0;     // entries saved as copies beside the target
  // The file entries whose outcome is in place (written, unchanged, kept or
  // copied), by index: after a failure, those the extraction did settle.
  std::vector<size_t> Settled;
};

class TVexZip {
 public:
  TVexZip() = default;
  TVexZip(const TVexZip&) = delete;
  TVexZip& operator=(const TVexZip&) = delete;

  // Settings, fixed by the owner before use.
  TZipSaveMethod SaveMethod = TZipSaveMethod::FastSave;
  bool StoreRelativePath = true;
  bool StoreFolders = true;
  bool UseTempFiles = false;
  TOverwriteAction OverwriteAction = TOverwriteAction::oaOverwriteAll;
  bool ApplyAtributes = true;

  // Incremental work, when the owner gives an index of the files below the
  // root (names relative to it, as in entries): AddPathList takes the
  // compressed data of each file unchanged since the index was taken from
  // PreviousArchive (checked before use) instead of reading and compressing
  // it again, and ExtractArchiveTo compares unchanged local files with their
  // entries without reading them. AddPathList replaces the index with what
  // it packed; ExtractArchiveTo brings it up to date with what it saw and
  // wrote. Both are owned by the caller; null means no incremental work.
  FileIndex* Index = nullptr;
  ByteStream* PreviousArchive = nullptr;
  // PreviousArchive is the one the last pack wrote, unchanged since
  // (FileIndex::PackedArchive): its data is taken without a second check.
  bool PreviousArchiveIsPacked = false;
  // Called by AddPathList on its own thread while another lists the tree,
  // before the three above are used: the owner may set them up there, out of
  // the listing's way.
  std::function<void()> OnListingTree;
  // Asked for every file entry before it is written; without it every entry
  // is written (eaWrite), and a read-only file in the way is an error.
  TExtractDecider OnDecideEntry;
  TExtractCounts Extracted;

  TZipCompressionType CompressionType() const { return compression_; }
  void SetCompressionType(TZipCompressionType type);
  // The deflate level that CompressionType stands for (on zlib's scale).
  int CompressionLevel() const;
  const std::string& ComponentVersion() const;

  const std::string& FileName() const { return file_name_; }
  void SetFileName(const std::string& path) { file_name_ = path; }
  bool IsZipFile() const { return archive_.IsZip(); }
  // A zip archive that ends with its directory, not one cut short.
  bool IsWholeArchive() const { return archive_.Whole(); }
  bool ReadOnly() const { return read_only_; }
  bool Active() const { return stream_ != nullptr; }
  // true opens FileName, false closes the archive; nothing happens while FileName is empty.
  void SetActive(bool active);

  const std::vector<ZipEntry>& Entries() const { return archive_.Entries(); }

  // Closes what is open, then opens and reads path. A missing file raises
  // "File "path" not found!"; a file that is not a zip archive is closed again
  // and leaves IsZipFile false.
  void OpenArchive(const std::string& path);
  // Drops every entry and releases the file.
  void CloseArchive();
  // Writes the 22-byte archive without entries at the file's position.
  static void WriteEmptyArchive(File& file);
  // Adds each listed file, and each listed folder as a tree, under names
  // relative to root. A file that is gone by the time it is read is left out.
  void AddPathList(const std::vector<std::string>& paths, const std::string& root, bool with_subfolders);
  // Writes every entry below target. Entries whose names lead outside target
  // are skipped; a file that already holds an entry's bytes is left alone
  // (only its attributes are set); a file is only replaced once its entry
  // decoded and checked, and never left half-written. Entries are applied in
  // windows of up to 256: a window in which an entry fails before anything
  // is put in place is not applied at all.
  void ExtractArchiveTo(const std::string& target);

 private:
  void RequireWritable();
  void EnsureFolderEntries(std::string_view entry, uint32_t attributes, DosStamp stamp);
  struct Step;
  class StepFeed;
  void ListFile(std::string_view path, std::string_view name, const WIN32_FIND_DATAA& found, StepFeed& steps);
  void ListFolderTree(const std::string& folder, const std::string& root, bool with_subfolders,
                      const std::string& mask, StepFeed& steps);
  std::optional<ZipArchive> ReadPreviousArchive() const;
  void ApplySteps(StepFeed& feed, ZipArchive* previous, WorkerPool& pool);
  std::optional<ZipArchive::Prepared> Reusable(const Step& step, ZipArchive* previous);
  struct Planned;
  // pool: nullptr when everything runs on the calling thread.
  void ExtractWindow(std::vector<Planned>& plan, const std::string& base, const std::string& temporary_folder,
                     WorkerPool* pool);
  void Decide(Planned& p);
  void Commit(Planned& p);
  void EnsureFolder(const std::string& folder);
  // A file as its folder's listing shows it (one listing serves the folder).
  LocalFile Listed(const std::string& path);

  // Names are texts in the system's code page.
  const LeadBytes& lead_ = SystemLeadBytes();
  TZipCompressionType compression_ = TZipCompressionType::ctNormal;
  std::string file_name_;
  bool read_only_ = false;
  std::unique_ptr<FileByteStream> stream_;
  ZipArchive archive_{lead_};
  // During one AddPathList: local time's distance from UTC, and the folder
  // whose entries were made sure of last.
  int64_t local_bias_ = 0;
  std::string last_folder_ensured_;
  // During one extraction: folders known to exist, and the listings of
  // destination folders (paths compared without regard to case).
  CaseBlindSet made_folders_ = MakeCaseBlindSet(lead_);
  CaseBlindSet listed_folders_ = MakeCaseBlindSet(lead_);
  CaseBlindMap<LocalFile> listed_ = MakeCaseBlindMap<LocalFile>(lead_);
  std::string last_listed_folder_;
};

}  // namespace n2
