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
#include "zip/vex_zip.h"

namespace n2 {

int32_t JobKind = 0;
bool Ready = false;
bool DelayedStart = false;

namespace {

// The texts of the two message boxes; the error's kind and message follow them.
constexpr char kCompressErrorText[] = "Norvel2 plug-in Velmora Address Book Compress Error!\r\nPlease try again.\r\n";
constexpr char kExtractErrorText[] = "Norvel2 plug-in Velmora Address Book Extract Error!\r\nPlease try again.\r\n";

// Written by tests before they start a worker, read by that worker.
std::atomic<DWORD> delayed_start_milliseconds{kDelayedStartMilliseconds};

}  // namespace

bool StartJob(int32_t ftp_kind, int32_t http_kind, bool delayed) {
  if (!Ready || !FrmN2Shared) return false;
  if (FrmN2Shared->RdoFtp.Checked()) JobKind = ftp_kind;
  if (FrmN2Shared->RdoHttp.Checked()) JobKind = http_kind;
  if (delayed) DelayedStart = true;
  Ready = false;
  try {
    // The worker replaced here has run its JobFinished (Ready was true), so
    // waiting for its end in its destructor takes no time to speak of.
    FrmN2Shared->Worker = std::make_unique<TN2Thread>();
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
    if (FrmN2Shared->RdoFtp.Checked()) TN2Thread::FtpUpload();
    if (FrmN2Shared->RdoHttp.Checked()) TN2Thread::HttpUpload();
  } catch (...) {
    JobFinished();
    throw;
  }
  JobFinished();
}

TN2Thread::TN2Thread() {
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
    RunJob(JobKind);
  } catch (...) {
    // The jobs report their own errors; whatever still gets here must not
    // keep the dialog busy for ever.
  }
  try {
    RunOnMainThread(&JobFinished);
  } catch (...) {
  }
}

void TN2Thread::RunJob(int32_t kind) {
  switch (kind) {
    case jkFtpUpload: FtpUpload(); break;
    case jkFtpDownload: FtpDownload(); break;
    case jkFtpClear: FtpClear(); break;
    case jkHttpUpload: HttpUpload(); break;
    case jkHttpDownload: HttpDownload(); break;
    case jkHttpClear: HttpClear(); break;
    default: break;
  }
}

void TN2Thread::SetDelayedStartMillisecondsForTesting(DWORD milliseconds) {
  delayed_start_milliseconds.store(milliseconds);
}

bool TN2Thread::PackAddressBook(TVexZip& zip, const std::string& folder) {
  try {
    const std::vector<std::string> paths{ExcludeTrailingSeparators(folder, SystemLeadBytes())};
    zip.CloseArchive();
    {
      File archive = File::CreateAlways(ArchivePath());
      TVexZip::WriteEmptyArchive(archive);
    }
    zip.OpenArchive(ArchivePath());
    zip.AddPathList(paths, DataFolder, true);
    zip.CloseArchive();
    return true;
  } catch (const std::exception& error) {
    ShowErrorBox(kCompressErrorText, error);
    return false;
  }
}

void TN2Thread::UnpackAddressBook(TVexZip& zip, const std::string& folder) {
  try {
    zip.OpenArchive(folder + "N2AddBook.zip");
    if (zip.IsZipFile()) zip.ExtractArchiveTo(folder);
  } catch (const std::exception& error) {
    ShowErrorBox(kExtractErrorText, error);
  }
  zip.SetActive(false);
  zip.CloseArchive();
}

}  // namespace n2
