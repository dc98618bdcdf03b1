#include "state/saved_state.h"

#include "base/crc32.h"
#include "base/exception.h"

namespace n2 {

TSavedState::TSavedState(TFileSystem& fs, const LeadBytes& lead, std::string data_folder)
    : fs_(fs), lead_(lead), data_folder_(std::move(data_folder)) {}

TSavedState::~TSavedState() {
  // A journal still open here belongs to a job that failed after writing it:
  // its file stays for the next job.
  journal_.reset();
}

void TSavedState::RemoveLeftovers() noexcept {
  for (const std::string& path : {FetchPath(), PackPath(), RecordPath() + ".tmp", IndexPath() + ".tmp"}) {
    try {
      fs_.Delete(path);
    } catch (const std::exception&) {
    }
  }
}

void TSavedState::Replace(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".tmp";
  fs_.WriteFile(temporary, text, kAttrNormal, false, true);
  try {
    fs_.Rename(temporary, path, true);
  } catch (...) {
    try {
      fs_.Delete(temporary);
    } catch (const std::exception&) {
    }
    throw;
  }
}

TAgreedRecord TSavedState::ReadRecord(const std::string& server) {
  try {
    if (fs_.Stat(RecordPath())) return TAgreedRecord::Parse(fs_.ReadFile(RecordPath()), lead_, server);
  } catch (const std::exception&) {
    // A record that cannot be read agrees on nothing.
  }
  return TAgreedRecord(lead_);
}

bool TSavedState::InPlace(const JournalLine& line) {
  const std::optional<FileStamp> stamp = fs_.Stat(line.check_path);
  if (!stamp) return false;
  if (line.card.folder) return stamp->Folder();
  if (stamp->Folder() || stamp->size != line.card.size ||
      (stamp->attributes & CardContent::kCountedAttributes) != (line.card.attributes & CardContent::kCountedAttributes))
    return false;
  try {
    return Crc32(fs_.ReadFile(line.check_path)) == line.card.crc;
  } catch (const std::exception&) {
    return false;
  }
}

TAgreedRecord TSavedState::LoadRecord(const std::string& server) {
  if (fs_.Stat(JournalPath())) {
    std::optional<Journal> journal;
    try {
      journal = ParseJournal(fs_.ReadFile(JournalPath()));
    } catch (const std::exception&) {
    }
    if (journal && !journal->lines.empty()) {
      TAgreedRecord record = ReadRecord(journal->server);
      for (const JournalLine& line : journal->lines)
        if (InPlace(line)) record.AgreeOn(line.name, line.card, journal->server);
      SaveRecord(record);
    }
    fs_.Delete(JournalPath());
  }
  return ReadRecord(server);
}

void TSavedState::SaveRecord(const TAgreedRecord& record) { SaveRecord(record, record.CardLines()); }

void TSavedState::SaveRecord(const TAgreedRecord& record, std::string_view card_lines) {
  if (record.Missing()) {
    fs_.Delete(RecordPath());
    return;
  }
  Replace(RecordPath(), record.Text(card_lines));
}

std::optional<FileIndex> TSavedState::LoadIndex() {
  try {
    if (fs_.Stat(IndexPath())) return FileIndex::Parse(fs_.ReadFile(IndexPath()), lead_);
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

void TSavedState::SaveIndex(const FileIndex& index) noexcept {
  try {
    Replace(IndexPath(), index.Text());
  } catch (const std::exception&) {
    try {
      fs_.Delete(IndexPath());
    } catch (const std::exception&) {
    }
  }
}

void TSavedState::BeginJournal(const std::string& server) {
  journal_.reset();
  journal_ = fs_.CreateStream(JournalPath());
  const std::string header = JournalHeader(server);
  journal_->WriteAt(0, header.data(), header.size());
  journal_size_ = header.size();
}

void TSavedState::AppendJournal(const std::vector<JournalLine>& lines) {
  if (!journal_) throw Exception("No journal is open");
  std::string text;
  for (const JournalLine& line : lines) AppendJournalLine(text, line);
  journal_->WriteAt(journal_size_, text.data(), text.size());
  journal_size_ += text.size();
  journal_->Sync();
}

void TSavedState::EndJournal() noexcept {
  journal_.reset();
  try {
    fs_.Delete(JournalPath());
  } catch (const std::exception&) {
  }
}

}  // namespace n2
