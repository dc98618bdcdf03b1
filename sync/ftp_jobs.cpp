// The three FTP jobs of the worker: FtpUpload stores the packed address book
// on the server, FtpDownload fetches it and unpacks it over the data folder,
// FtpClear deletes it on the server. All three drive the data module's one
// client, NetFtp, through RunFtpOperation, which reloads the connection
// settings from the dialog before every operation.
#include <atomic>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "base/message_box.h"
#include "base/scoped_handle.h"
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
// interrupted job is dropped first. Once cancelled is set, no step is started.
void OpenSession(const char* text, const std::atomic<bool>* cancelled = nullptr) {
  TN2Thread::RunFtpOperation(&TFtpClient::Abort);
  const std::pair<bool (TFtpClient::*)(), std::string> steps[] = {
      {&TFtpClient::Open, kOpenError}, {&TFtpClient::User, kLoginFailure}, {&TFtpClient::Pass, kLoginFailure},
      {&TFtpClient::Cwd, kCwdError},   {&TFtpClient::TypeSet, TypeSetError(text)}};
  for (const auto& [operation, error] : steps) {
    if (cancelled && cancelled->load()) return;
    Require(TN2Thread::RunFtpOperation(operation), error);
  }
}

// Whether the session is still logged in and idle (the server may have
// closed it meanwhile, after it was idle too long).
bool SessionStillOpen() {
  TFtpClient& ftp = DmN2->NetFtp;
  bool open = false;
  ftp.RunOnOwnerThread([&] { open = ftp.Connected() && ftp.State() == TFtpState::Ready; });
  return open;
}

// An upload by hand is sent whatever the book holds, so its session is opened
// while the book is packed, on a thread of its own: the log-in's round trips
// (several, to a distant server) no longer wait for the packing. The boxes
// the opening would show are held back. After a packing that succeeded they
// are shown and its error raised, as if the session had been opened after
// it; a session the server has closed in the meantime is opened again. A
// failed packing ends the opening unseen.
class SessionOpenedWhilePacking {
 public:
  explicit SessionOpenedWhilePacking(const char* text) : thread_([this, text] { Open(text); }) {}
  SessionOpenedWhilePacking(const SessionOpenedWhilePacking&) = delete;
  SessionOpenedWhilePacking& operator=(const SessionOpenedWhilePacking&) = delete;
  ~SessionOpenedWhilePacking() { Cancel(); }

  void Finish(const char* text) {
    thread_.join();
    for (const std::string& box : held_boxes_) ShowMessageBox(box);
    if (error_) std::rethrow_exception(error_);
    if (!SessionStillOpen()) OpenSession(text);
  }

 private:
  void Open(const char* text) noexcept {
    HeldMessageBoxes hold(held_boxes_);
    try {
      OpenSession(text, &cancelled_);
    } catch (...) {
      error_ = std::current_exception();
    }
    ended_.Set();
  }

  // A step already started when cancelled_ was set (a connection that waits
  // for a silent server, say) is cut short by the client's abort.
  void Cancel() noexcept {
    if (!thread_.joinable()) return;
    cancelled_ = true;
    do {
      DmN2->NetFtp.Abort();
    } while (!ended_.Wait(100));
    thread_.join();
  }

  std::vector<std::string> held_boxes_;
  std::exception_ptr error_;
  std::atomic<bool> cancelled_{false};
  Event ended_ = Event::ManualReset();
  std::thread thread_;  // last: starts once everything above is in place
};

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
    // (Never on the client's own thread: the opening needs it free.)
    std::optional<SessionOpenedWhilePacking> session;
    if (by_hand && !DmN2->NetFtp.IsOwnerThread()) session.emplace(kUploadText);
    if (!book.Pack()) return false;
    if (session) {
      session->Finish(kUploadText);
    } else {
      if (!book.HasNews()) return true;
      OpenSession(kUploadText);
    }
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
