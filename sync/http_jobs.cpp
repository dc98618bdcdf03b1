// The three HTTP jobs of the worker: HttpUpload sends the packed address book
// with a PUT, HttpDownload fetches it with a GET and unpacks it over the data
// folder, HttpClear replaces it on the server with an empty body. All three
// drive the data module's one client, NetHttp, through its blocking Get, Put
// and Abort; the bodies are memory streams that the job owns and hands to the
// client only for the length of the job.
#include <exception>
#include <string>

#include "base/exception.h"
#include "base/message_box.h"
#include "base/win_file.h"
#include "net/http_client.h"
#include "plugin/plugin_state.h"
#include "settings/n2_shared_main.h"
#include "sync/n2_shared_dm.h"
#include "sync/n2_shared_thread.h"
#include "sync/shared_book.h"
#include "zip/zip_records.h"

namespace n2 {
namespace {

constexpr char kUploadText[] = "Norvel2 plug-in Velmora HttpUpload Address Book Upload Error!\r\nPlease try again.\r\n";
constexpr char kDownloadText[] =
    "Norvel2 plug-in Velmora HttpDownload Address Book Download Error!\r\nPlease try again.\r\n";
constexpr char kClearText[] = "Norvel2 plug-in Velmora HttpClear Address Book Clear Error!\r\nPlease try again.\r\n";

// The address of the shared archive: the texts are joined as they stand, so
// the path is expected to begin and end with "/"; a port may follow the
// server name after ":".
std::string ArchiveUrl() {
  return "http://" + FrmN2Shared->EdtServer.Text() + FrmN2Shared->EdtPath.Text() + "N2AddBook.zip";
}

// Hands a job's body stream to the client for the job's length. On the way
// out the connection is dropped first, so that the client no longer touches
// the stream, then the client's reference is cleared.
class LentBodies {
 public:
  explicit LentBodies(THttpClient& http) : http_(http) {}
  LentBodies(const LentBodies&) = delete;
  LentBodies& operator=(const LentBodies&) = delete;
  ~LentBodies() {
    http_.Abort();
    http_.SetRequestBody(nullptr);
    http_.SetRequestBodyPosition(0);
    http_.SetResponseBody(nullptr);
  }

  void LendRequestBody(MemoryStream& body) {
    http_.SetRequestBody(&body);
    http_.SetRequestBodyPosition(0);
  }
  void LendResponseBody(MemoryStream& body) { http_.SetResponseBody(&body); }

 private:
  THttpClient& http_;
};

// Only a 2xx answer means the server did what the job asked. Any other final
// answer that the client returns without an error is a failed job, so that the
// user hears of it instead of believing the address book was shared: a refusal
// for want of valid credentials (401, 407), a page without any HTTP header (a
// log-in page of a hotel or proxy; status 0), a relocation that was not
// followed (a 3xx without a Location, or one more than the client follows)
// and any other 1xx or 3xx.
void RaiseIfRefused(const THttpClient& http) {
  const int status = http.StatusCode();
  if (status >= 200 && status <= 299) return;
  std::string message = http.ReasonPhrase();
  if (status == 0) {
    message = "The server answered with a page without an HTTP header";
  } else if (status != 401 && status != 407) {
    const std::string answer = std::to_string(status) + (message.empty() ? "" : " " + message);
    message = http.LocationChangeCurCount() > http.LocationChangeMaxCount()
                  ? "Too many relocations; the last answer was " + answer
                  : "Unexpected answer from the server: " + answer;
  }
  throw EHttpException(message, static_cast<std::uint16_t>(status));
}

// Fetches the server's copy of the book into the file TSharedBook merges
// from, with the dialog's credentials as a download does. A server without
// a book (404) leaves that file empty.
void FetchServerCopy(THttpClient& http) {
  MemoryStream body;
  LentBodies lent(http);
  http.Abort();
  http.SetUsername(FrmN2Shared->EdtUser.Text());
  http.SetPassword(FrmN2Shared->EdtPasswd.Text());
  http.SetURL(ArchiveUrl());
  lent.LendResponseBody(body);
  File copy = File::CreateAlways(TSharedBook::FetchPath());
  try {
    http.Get();
  } catch (const EHttpException&) {
    if (http.StatusCode() != 404) throw;
    http.Abort();
    return;
  }
  RaiseIfRefused(http);
  copy.Write(body.Bytes());
  http.Abort();
}

}  // namespace

bool TN2Thread::HttpUpload(bool by_hand) {
  TSharedBook book(DmN2->ZipN2);
  if (!book.Pack()) {
    DmN2->NetHttp.Abort();
    return false;
  }
  if (!by_hand && !book.HasNews()) return true;
  THttpClient& http = DmN2->NetHttp;
  MemoryStream body;
  LentBodies lent(http);
  try {
    if (book.MergesFirst()) {
      FetchServerCopy(http);
      if (!book.MergeServerCopy()) return false;
    }
    File archive = File::OpenForReadShared(ArchivePath());
    http.Abort();
    std::string bytes(static_cast<size_t>(archive.Size()), '\0');
    if (!bytes.empty()) archive.ReadExact(bytes.data(), bytes.size());
    body = MemoryStream(std::move(bytes));
    lent.LendRequestBody(body);
    http.SetURL(ArchiveUrl());
    http.Put();
    RaiseIfRefused(http);
    http.Abort();
    book.Sent();
    return true;
  } catch (const std::exception& error) {
    ShowErrorBox(kUploadText, error);
    return false;
  }
}

bool TN2Thread::HttpDownload() {
  TSharedBook book(DmN2->ZipN2);
  THttpClient& http = DmN2->NetHttp;
  MemoryStream body;
  LentBodies lent(http);
  bool done = false;
  try {
    File archive = File::CreateAlways(ArchivePath());
    http.Abort();
    http.SetUsername(FrmN2Shared->EdtUser.Text());
    http.SetPassword(FrmN2Shared->EdtPasswd.Text());
    http.SetURL(ArchiveUrl());
    lent.LendResponseBody(body);
    http.Get();
    RaiseIfRefused(http);
    archive.Write(body.Bytes());
    http.Abort();
    archive.Close();
    book.Unpack();
    done = true;
  } catch (const std::exception& error) {
    ShowErrorBox(kDownloadText, error);
  }
  return done;
}

bool TN2Thread::HttpClear() {
  TSharedBook book(DmN2->ZipN2);
  THttpClient& http = DmN2->NetHttp;
  MemoryStream body;
  LentBodies lent(http);
  try {
    http.Abort();
    lent.LendRequestBody(body);
    http.SetURL(ArchiveUrl());
    http.Put();
    RaiseIfRefused(http);
    book.Cleared();
    return true;
  } catch (const std::exception& error) {
    ShowErrorBox(kClearText, error);
    return false;
  }
}

}  // namespace n2
