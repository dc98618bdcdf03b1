// The three FTP jobs of the worker: FtpUpload stores the packed address book
// on the server, FtpDownload fetches it and unpacks it over the data folder,
// FtpClear deletes it on the server. All three drive the data module's one
// client, NetFtp, through RunFtpOperation, which reloads the connection
// settings from the dialog before every operation.
#include <exception>
#include <string>

#include "base/exception.h"
#include "base/message_box.h"
#include "base/win_file.h"
#include "net/ftp_client.h"
#include "plugin/plugin_state.h"
#include "settings/n2_shared_main.h"
#include "sync/n2_shared_dm.h"
#include "sync/n2_shared_thread.h"

namespace n2 {
namespace {

constexpr char kFtpErrorText[] = "Norvel2 plug-in Velmora Ftp Error!\r\nPlease try again.\r\n";
constexpr char kOpenError[] = "Ftp Server Open Error!";
constexpr char kLoginFailure[] = "Ftp Server Login Failure!";
constexpr char kCwdError[] = "Ftp Server CWD Error! No such file or directory.";
constexpr char kUploadError[] = "Ftp Upload Error!";

// What tells one job from another.
struct FtpJob {
  // Text of the job's message box; without its final CR LF it is also the
  // message of a refused TYPE.
  const char* text;
  // Runs before the connection; false ends the job at once.
  bool (*before)();
  // Runs right before the transfer.
  void (*before_transfer)();
  // The transfer: its result ends the job with a message when it has one.
  bool (TFtpClient::*transfer)();
  const char* transfer_error;
  // Runs after the connection is closed.
  void (*after)();
};

bool PackBeforeUpload() { return TN2Thread::PackAddressBook(DmN2->ZipN2, AddrBookFolder); }
void UnpackAfterDownload() { TN2Thread::UnpackAddressBook(DmN2->ZipN2, DataFolder); }

// The download unpacks whatever the local archive holds afterwards. A Get that
// fails before its transfer (a refused PASV or PORT, say) would leave the
// archive of an earlier job there, and unpacking that old copy would put older
// cards over newer local edits. Emptied first, the archive holds nothing or
// only what this download brought.
void EmptyLocalArchive() { File::CreateAlways(ArchivePath()); }

const FtpJob kUpload{"Norvel2 plug-in Velmora FtpUpload Address Book Upload Error!\r\nPlease try again.\r\n",
                     &PackBeforeUpload, nullptr, &TFtpClient::Put, kUploadError, nullptr};
const FtpJob kDownload{"Norvel2 plug-in Velmora FtpDownload Address Book Download Error!\r\nPlease try again.\r\n",
                       nullptr, &EmptyLocalArchive, &TFtpClient::Get, nullptr, &UnpackAfterDownload};
const FtpJob kClear{"Norvel2 plug-in Velmora FtpClear Address Book Clear Error!\r\nPlease try again.\r\n", nullptr,
                    nullptr, &TFtpClient::Dele, nullptr, nullptr};

void Require(bool done, const std::string& message) {
  if (!done) throw Exception(message);
}

// The job's text without its final CR LF.
std::string TypeSetError(const FtpJob& job) {
  std::string text = job.text;
  return text.substr(0, text.size() - 2);
}

// The common sequence: connect, log in, change folder, binary mode, transfer,
// close; an error ends it and is shown with the job's text. The connection is
// dropped at the end in every case, without a QUIT.
bool RunFtpJob(const FtpJob& job) {
  bool done = false;
  try {
    if (job.before && !job.before()) {
      DmN2->NetFtp.Abort();
      return false;
    }
    TN2Thread::RunFtpOperation(&TFtpClient::Abort);
    Require(TN2Thread::RunFtpOperation(&TFtpClient::Open), kOpenError);
    Require(TN2Thread::RunFtpOperation(&TFtpClient::User), kLoginFailure);
    Require(TN2Thread::RunFtpOperation(&TFtpClient::Pass), kLoginFailure);
    Require(TN2Thread::RunFtpOperation(&TFtpClient::Cwd), kCwdError);
    Require(TN2Thread::RunFtpOperation(&TFtpClient::TypeSet), TypeSetError(job));
    if (job.before_transfer) job.before_transfer();
    const bool moved = TN2Thread::RunFtpOperation(job.transfer);
    if (job.transfer_error) Require(moved, job.transfer_error);
    TN2Thread::RunFtpOperation(&TFtpClient::Abort);
    if (job.after) job.after();
    done = true;
  } catch (const std::exception& error) {
    ShowErrorBox(job.text, error);
  }
  DmN2->NetFtp.Abort();
  return done;
}

}  // namespace

bool TN2Thread::RunFtpOperation(bool (TFtpClient::*operation)()) {
  try {
    TFtpClient& ftp = DmN2->NetFtp;
    const std::string server = FrmN2Shared->EdtServer.Text();
    const size_t colon = server.find(':');
    ftp.SetHostName(server.substr(0, colon));
    ftp.SetPort(colon == std::string::npos ? "ftp" : server.substr(colon + 1));
    ftp.SetUserName(FrmN2Shared->EdtUser.Text());
    ftp.SetPassWord(FrmN2Shared->EdtPasswd.Text());
    ftp.SetHostDirName(FrmN2Shared->EdtPath.Text());
    ftp.SetHostFileName("N2AddBook.zip");
    ftp.SetLocalFileName(ArchivePath());
    ftp.SetPassive(FrmN2Shared->ChkPassive.Checked());
    ftp.SetBinary(true);
    return (ftp.*operation)();
  } catch (const std::exception& error) {
    ShowErrorBox(kFtpErrorText, error);
    return false;
  }
}

bool TN2Thread::FtpUpload() { return RunFtpJob(kUpload); }

bool TN2Thread::FtpDownload() { return RunFtpJob(kDownload); }

bool TN2Thread::FtpClear() { return RunFtpJob(kClear); }

}  // namespace n2
