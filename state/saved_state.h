// The files a data folder keeps for the shared book, beside the address book
// itself: the local archive (N2AddBook.zip), the agreed record
// (N2AddBook.agreed), the index of what the last pack or unpack saw
// (N2AddBook.index), the journal of a job putting cards in place
// (N2AddBook.journal), and the temporary files of a job, which the next job
// removes should one be left over. Every write of a record goes through a
// temporary file, flushed, and a rename.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/code_page.h"
#include "base/file_system.h"
#include "state/agreed_record.h"
#include "state/file_index.h"
#include "state/journal.h"

namespace n2 {

class TSavedState {
 public:
  // data_folder ends with a separator.
  TSavedState(TFileSystem& fs, const LeadBytes& lead, std::string data_folder);
  TSavedState(const TSavedState&) = delete;
  TSavedState& operator=(const TSavedState&) = delete;
  ~TSavedState();

  const std::string& DataFolder() const { return data_folder_; }
  std::string ArchivePath() const { return data_folder_ + "N2AddBook.zip"; }
  // Where a fetched copy of the server's archive and a new pack are written
  // before they are used or put in place.
  std::string FetchPath() const { return data_folder_ + "~N2Fetch.zip"; }
  std::string PackPath() const { return data_folder_ + "~N2Pack.zip"; }
  // Where unpacking writes its temporary files.
  std::string UnpackFolder() const { return data_folder_ + "~N2Unpack.tmp\\"; }

  // Removes what an interrupted job left: a fetched copy, a new pack.
  void RemoveLeftovers() noexcept;

  // The record agreed with server. A journal left by an interrupted job is
  // taken into the record first: each card it names that is in place now
  // agrees. Raises when the record so brought up to date cannot be written.
  TAgreedRecord LoadRecord(const std::string& server);
  // Raises when the record cannot be written.
  void SaveRecord(const TAgreedRecord& record);
  // The same with the record's card lines made ready (TAgreedRecord::CardLines).
  void SaveRecord(const TAgreedRecord& record, std::string_view card_lines);

  // The index, or nothing when there is none or it is damaged.
  std::optional<FileIndex> LoadIndex();
  // Best effort: a file that cannot be written is removed, and the next job
  // reads every file once more.
  void SaveIndex(const FileIndex& index) noexcept;

  // The journal of this job: created empty, then lines appended and flushed
  // before their cards move; ended (removed) once the record says as much.
  // Begin and Append raise when the disk does not take them.
  void BeginJournal(const std::string& server);
  void AppendJournal(const std::vector<JournalLine>& lines);
  void EndJournal() noexcept;
  // Whether a job that ended in a crash left its journal.
  bool JournalLeft() { return fs_.Stat(JournalPath()).has_value(); }

 private:
  std::string RecordPath() const { return data_folder_ + "N2AddBook.agreed"; }
  std::string IndexPath() const { return data_folder_ + "N2AddBook.index"; }
  std::string JournalPath() const { return data_folder_ + "N2AddBook.journal"; }
  // Replaces path's content through a flushed temporary file and a rename.
  void Replace(const std::string& path, std::string_view text);
  // Whether the card or folder of line is in place.
  bool InPlace(const JournalLine& line);
  TAgreedRecord ReadRecord(const std::string& server);

  TFileSystem& fs_;
  const LeadBytes& lead_;
  const std::string data_folder_;
  std::unique_ptr<FileStream> journal_;
  uint64_t journal_size_ = 0;
};

}  // namespace n2
