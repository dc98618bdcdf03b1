// The three FTP jobs of the worker: FtpUpload stores the packed address book
// on the server, FtpDownload fetches it and unpacks it over the data folder,
// FtpClear deletes it on the server. All three drive the data module's one
// client, NetFtp, through RunFtpOperation, which reloads the connection
// settings from the dialog before every operation.
#include <exception>
#include <functional>
#include <string>

#include "base/exception.h"
#include "base/message_box.h"
#include "base/win_file.h"
#include "net/ftp_client.h"
#include "plugin/plugin_state.h"
#include "settings/n2_shared_main.h"
#include "sync/n2_shared_dm.h"
#include "sync/n2_shared_thread.h"
#include "sync/shared_book.h"

namespace n2 {
namespace {

constexpr char kFtpErrorText[] = "Norvel2 plug-in Velmora Ftp Error!\r\nPlease try again.\r\n";
constexpr char kOpenError[] = "Ftp Server Open Error!";
constexpr char kLoginFailure[] = "Ftp Server Login Failure!";
constexpr char kCwdError[] = "Ftp Server CWD Error! No such file or directory.";
constexpr char kUploadError[] = "Ftp Upload Error!";

constexpr char kUploadText[] = "Norvel2 plug-in Velmora FtpUpload Address Book Upload Error!\r\nPlease try again.\r\n";
constexpr char kDownloadText[] =
    "Norvel2 plug-in Velmora FtpDownload Address Book Download Error!\r\nPlease try again.\r\n";
constexpr char kClearText[] = "Norvel2 plug-in Velmora FtpClear Address Book Clear Error!\r\nPlease try again.\r\n";
// A transfer from the server that failed on the way: a download never
// unpacks part of an archive, and an upload does not send blind.
constexpr char kFetchError[] = "Ftp Download Error!";

void Require(bool done, const std::string& message) {
  if (!done) throw Exception(message);
}

// The job's text without its final CR LF.
std::string TypeSetError(const char* text) {
  std::string message = text;
  return message.substr(0, message.size() - 2);
}

// The frame of every job: its steps, whose errors end them and are shown with
// the job's text, and a local abort afterwards in every case (no QUIT is sent).
bool RunFtpJob(const char* text, const std::function<bool()>& steps) {
  bool done = false;
  try {
    done = steps();
  } catch (const std::exception& error) {
    ShowErrorBox(text, error);
  }
  DmN2->NetFtp.Abort();
  return done;
}

// Fetches the server's archive into local_file (by default the local
// archive). A server without one refuses to send it: that leaves an empty
// file and is no error. Any other failure raises with the client's reason.
void FetchArchive(const std::string& local_file = {}) {
  if (TN2Thread::RunFtpOperation(&TFtpClient::Get, local_file)) return;
  const TFtpClient& ftp = DmN2->NetFtp;
  if (ftp.TransferRefused()) {
    File::CreateAlways(local_file.empty() ? ArchivePath() : local_file);
    return;
  }
  throw Exception(std::string(kFetchError) + " " + ftp.LastResponse());
}

// Connect, log in, change folder, binary mode: a connection left over from an
// interrupted job is dropped first.
void OpenSession(const char* text) {
  TN2Thread::RunFtpOperation(&TFtpClient::Abort);
  Require(TN2Thread::RunFtpOperation(&TFtpClient::Open), kOpenError);
  Require(TN2Thread::RunFtpOperation(&TFtpClient::User), kLoginFailure);
  Require(TN2Thread::RunFtpOperation(&TFtpClient::Pass), kLoginFailure);
  Require(TN2Thread::RunFtpOperation(&TFtpClient::Cwd), kCwdError);
  Require(TN2Thread::RunFtpOperation(&TFtpClient::TypeSet), TypeSetError(text));
}

// The download unpacks whatever the local archive holds afterwards. A Get that
// fails before its transfer (a refused PASV or PORT, say) would leave the
// archive of an earlier job there, and unpacking that old copy would put older
// cards over newer local edits. Emptied first, the archive holds nothing or
// only what this download brought.
void EmptyLocalArchive() { File::CreateAlways(ArchivePath()); }

}  // namespace

bool TN2Thread::RunFtpOperation(bool (TFtpClient::*operation)(), const std::string& local_file) {
  try {
    TFtpClient& ftp = DmN2->NetFtp;
    // The dialog's controls belong to the client's thread: read there in one
    // call, where from the worker every control would cost a message to it.
    ftp.RunOnOwnerThread([&] {
      const std::string server = FrmN2Shared->EdtServer.Text();
      const size_t colon = server.find(':');
      ftp.SetHostName(server.substr(0, colon));
      ftp.SetPort(colon == std::string::npos ? "ftp" : server.substr(colon + 1));
      ftp.SetUserName(FrmN2Shared->EdtUser.Text());
      ftp.SetPassWord(FrmN2Shared->EdtPasswd.Text());
      ftp.SetHostDirName(FrmN2Shared->EdtPath.Text());
      ftp.SetHostFileName("N2AddBook.zip");
      ftp.SetLocalFileName(local_file.empty() ? ArchivePath() : local_file);
      ftp.SetPassive(FrmN2Shared->ChkPassive.Checked());
      ftp.SetBinary(true);
    });
    return (ftp.*operation)();
  } catch (const std::exception& error) {
    ShowErrorBox(kFtpErrorText, error);
    return false;
  }
}

bool TN2Thread::FtpUpload(bool by_hand) {
  TSharedBook book(DmN2->ZipN2);
  return RunFtpJob(kUploadText, [&] {
    if (!book.Pack()) return false;
    if (!by_hand && !book.HasNews()) return true;
    OpenSession(kUploadText);
    if (book.MergesFirst()) {
      FetchArchive(TSharedBook::FetchPath());
      if (!book.MergeServerCopy()) return false;
    }
    Require(RunFtpOperation(&TFtpClient::Put), kUploadError);
    RunFtpOperation(&TFtpClient::Abort);
    book.Sent();
    return true;
  });
}

bool TN2Thread::FtpDownload() {
  TSharedBook book(DmN2->ZipN2);
  return RunFtpJob(kDownloadText, [&] {
    OpenSession(kDownloadText);
    EmptyLocalArchive();
    FetchArchive();
    RunFtpOperation(&TFtpClient::Abort);
    book.Unpack();
    return true;
  });
}

bool TN2Thread::FtpClear() {
  TSharedBook book(DmN2->ZipN2);
  return RunFtpJob(kClearText, [&] {
    OpenSession(kClearText);
    RunFtpOperation(&TFtpClient::Dele);  // an archive that is not there counts as deleted
    RunFtpOperation(&TFtpClient::Abort);
    book.Cleared();
    return true;
  });
}

}  // namespace n2
