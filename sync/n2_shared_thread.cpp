#include "sync/n2_shared_thread.h"

#include <atomic>
#include <exception>
#include <memory>
#include <vector>

#include "base/exception.h"
#include "base/message_box.h"
#include "base/system_code_page.h"
#include "base/win_file.h"
#include "plugin/plugin_state.h"
#include "plugin/sync_helper.h"
#include "settings/n2_shared_main.h"
#include "sync/agreed_content.h"
#include "state/file_index.h"
#include "zip/vex_zip.h"

namespace n2 {

int32_t JobKind = 0;
bool Ready = false;
bool DelayedStart = false;

namespace {

// The texts of the two message boxes; the error's kind and message follow them.
constexpr char kCompressErrorText[] = "Norvel2 plug-in Velmora Address Book Compress Error!\r\nPlease try again.\r\n";
constexpr char kExtractErrorText[] = "Norvel2 plug-in Velmora Address Book Extract Error!\r\nPlease try again.\r\n";

// An archive file by its size and last-write time; nothing when it is not there.
std::optional<FileIndex::ArchiveStamp> ArchiveStampOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return FileIndex::ArchiveStamp{(uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
                                 (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                     data.ftLastWriteTime.dwLowDateTime};
}

// The index of what the last pack or unpack saw of each file of the book,
// kept beside the archive, lent to the zip component for one pack or unpack;
// read by Load (a pack has it read while the tree is listed).
class TIndexedWork {
 public:
  explicit TIndexedWork(TVexZip& zip) : zip_(zip) { zip_.Index = &index; }
  TIndexedWork(const TIndexedWork&) = delete;
  TIndexedWork& operator=(const TIndexedWork&) = delete;
  ~TIndexedWork() {
    zip_.Index = nullptr;
    zip_.PreviousArchive = nullptr;
    zip_.PreviousArchiveIsPacked = false;
    zip_.OnListingTree = nullptr;
  }

  static bool Exists() { return FileExists(Path()); }
  void Load() { index = Read(); }

  // Best effort: without the file the next job reads every file once more.
  void Save() noexcept {
    try {
      ReplaceFileContent(Path(), index.Text());
    } catch (const std::exception&) {
      ::DeleteFileA(Path().c_str());
    }
  }

  FileIndex index{SystemLeadBytes()};

 private:
  static std::string Path() { return DataFolder + "N2AddBook.index"; }
  static FileIndex Read() {
    try {
      if (std::optional<FileIndex> index = FileIndex::Parse(ReadWholeFile(Path()), SystemLeadBytes()))
        return std::move(*index);
    } catch (const std::exception&) {
    }
    return FileIndex(SystemLeadBytes());
  }

  TVexZip& zip_;
};

// Written by tests before they start a worker, read by that worker.
std::atomic<DWORD> delayed_start_milliseconds{kDelayedStartMilliseconds};

}  // namespace

bool StartJob(int32_t ftp_kind, int32_t http_kind, TJobStart start) {
  if (!Ready || !FrmN2Shared) return false;
  if (FrmN2Shared->RdoFtp.Checked()) JobKind = ftp_kind;
  if (FrmN2Shared->RdoHttp.Checked()) JobKind = http_kind;
  if (start == TJobStart::jsDelayed) DelayedStart = true;
  Ready = false;
  try {
    // The worker replaced here has run its JobFinished (Ready was true), so
    // waiting for its end in its destructor takes no time to speak of.
    FrmN2Shared->Worker = std::make_unique<TN2Thread>(start == TJobStart::jsByHand);
  } catch (...) {
    // No worker will ever run JobFinished: the dialog goes back to idle here.
    DelayedStart = false;
    JobFinished();
    throw;
  }
  return true;
}

void JobFinished() {
  Ready = true;
  if (!FrmN2Shared) return;
  FrmN2Shared->SetDialogEnabled(true);
  FrmN2Shared->PnlSyori1.Hide();
  FrmN2Shared->PnlSyori2.Hide();
}

void RunShutdownUpload() {
  if (!FrmN2Shared || !Ready || !FrmN2Shared->ChkClose.Checked()) return;
  Ready = false;
  try {
    if (FrmN2Shared->RdoFtp.Checked()) TN2Thread::FtpUpload(false);
    if (FrmN2Shared->RdoHttp.Checked()) TN2Thread::HttpUpload(false);
  } catch (...) {
    JobFinished();
    throw;
  }
  JobFinished();
}

TN2Thread::TN2Thread(bool by_hand) : by_hand_(by_hand) {
  DWORD id = 0;
  handle_.Attach(::CreateThread(nullptr, 0, &TN2Thread::ThreadProc, this, 0, &id));
  if (!handle_) throw Exception("Cannot start the worker thread, error " + std::to_string(::GetLastError()));
}

TN2Thread::~TN2Thread() {
  if (handle_) ::WaitForSingleObject(handle_.Get(), INFINITE);
}

DWORD WINAPI TN2Thread::ThreadProc(LPVOID self) {
  static_cast<TN2Thread*>(self)->Execute();
  return 0;
}

void TN2Thread::Execute() {
  try {
    if (DelayedStart) {
      ::Sleep(delayed_start_milliseconds.load());
      DelayedStart = false;
    }
    RunJob(JobKind, by_hand_);
  } catch (...) {
    // The jobs report their own errors; whatever still gets here must not
    // keep the dialog busy for ever.
  }
  try {
    RunOnMainThread(&JobFinished);
  } catch (...) {
  }
}

void TN2Thread::RunJob(int32_t kind, bool by_hand) {
  switch (kind) {
    case jkFtpUpload: FtpUpload(by_hand); break;
    case jkFtpDownload: FtpDownload(); break;
    case jkFtpClear: FtpClear(); break;
    case jkHttpUpload: HttpUpload(by_hand); break;
    case jkHttpDownload: HttpDownload(); break;
    case jkHttpClear: HttpClear(); break;
    default: break;
  }
}

void TN2Thread::SetDelayedStartMillisecondsForTesting(DWORD milliseconds) {
  delayed_start_milliseconds.store(milliseconds);
}

bool TN2Thread::PackAddressBook(TVexZip& zip, const std::string& folder, BookContent* packed) {
  TIndexedWork work(zip);
  try {
    const std::vector<std::string> paths{ExcludeTrailingSeparators(folder, SystemLeadBytes())};
    zip.CloseArchive();
    // The archive packed or unpacked last holds the compressed data of every
    // file that has not changed since: read before it is emptied, when there
    // is an index to tell which files those are. The index itself is read
    // while the tree is listed.
    MemoryStream previous;
    std::optional<FileIndex::ArchiveStamp> stamp;
    bool previous_read = false;
    if (TIndexedWork::Exists()) {
      stamp = ArchiveStampOf(ArchivePath());
      try {
        previous = MemoryStream(ReadWholeFile(ArchivePath()));
        previous_read = true;
      } catch (const std::exception&) {
      }
    }
    zip.OnListingTree = [&] {
      work.Load();
      if (work.index.Count() == 0) return;
      zip.PreviousArchiveIsPacked = previous_read && stamp && work.index.PackedArchive() == stamp;
      zip.PreviousArchive = &previous;
    };
    {
      File archive = File::CreateAlways(ArchivePath());
      TVexZip::WriteEmptyArchive(archive);
    }
    zip.OpenArchive(ArchivePath());
    zip.AddPathList(paths, DataFolder, true);
    if (packed) *packed = BookContent::Of(zip.Entries(), SystemLeadBytes());
    zip.CloseArchive();
    work.index.SetPackedArchive(ArchiveStampOf(ArchivePath()));
    work.Save();
    return true;
  } catch (const std::exception& error) {
    ShowErrorBox(kCompressErrorText, error);
    return false;
  }
}

void TN2Thread::UnpackArchive(TVexZip& zip, const std::string& archive, const std::string& folder,
                              std::optional<BookContent>* fetched, BookContent* settled) {
  TIndexedWork work(zip);
  work.Load();
  struct CloseWhenDone {
    TVexZip& zip;
    ~CloseWhenDone() {
      zip.SetActive(false);
      zip.CloseArchive();
    }
  } close_when_done{zip};
  if (fetched) fetched->reset();
  zip.OpenArchive(archive);
  // A copy of the shared book that is cut short (fetched while an upload was
  // still writing it, say) holds some cards and not others: taking it in
  // part would mix two states of the book, so nothing is taken.
  if (zip.IsZipFile() && !zip.IsWholeArchive())
    throw Exception("The archive " + archive + " is incomplete; nothing was unpacked.");
  if (zip.IsZipFile()) {
    try {
      zip.ExtractArchiveTo(folder);
    } catch (...) {
      work.Save();  // what the extraction did before its error
      if (settled) {
        std::vector<ZipEntry> entries;
        for (size_t index : zip.Extracted.Settled) entries.push_back(zip.Entries()[index]);
        *settled = BookContent::Of(entries, SystemLeadBytes());
      }
      throw;
    }
    if (fetched) *fetched = BookContent::Of(zip.Entries(), SystemLeadBytes());
  } else if (fetched && FileSize(archive) == 0) {
    *fetched = BookContent(SystemLeadBytes());
  }
  work.Save();
}

bool TN2Thread::UnpackAddressBook(TVexZip& zip, const std::string& folder, std::optional<BookContent>* fetched,
                                  BookContent* settled) {
  try {
    UnpackArchive(zip, folder + "N2AddBook.zip", folder, fetched, settled);
    return true;
  } catch (const std::exception& error) {
    ShowErrorBox(kExtractErrorText, error);
    return false;
  }
}

}  // namespace n2
