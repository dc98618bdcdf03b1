// The sync engine's transport over FTP, on the data module's one client. Every
// client operation first loads the connection settings from the dialog
// (RunFtpOperation), so that a change there takes effect at the job's next
// operation. A session is opened when first needed (a connection left over
// from an interrupted job dropped first: Abort, Open, User, Pass, Cwd, binary
// type) and closed by a local abort: no QUIT is ever sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "net/ftp_client.h"
#include "sync/sync_front_end.h"
#include "sync/transport.h"

namespace n2 {

class ThreadCache;

class TFtpTransport : public TTransport {
 public:
  // job_text: the job's box text, whose first lines also name a refused
  // binary type; archive: the local archive, the client's local file by default.
  // threads: where an early session opens (null: a thread of its own).
  TFtpTransport(TFtpClient& ftp, TSyncFrontEnd& front, std::string job_text, std::string archive,
                ThreadCache* threads = nullptr);
  ~TFtpTransport() override;

  // The early session also sends the archive while it is packed, under the
  // temporary name, when the server still holds the archive agreed; the
  // send then renames it without storing it again.
  void OpenEarly(const std::shared_ptr<TEarlyUpload>& upload) override;
  void CancelEarly() noexcept override;
  // Asks SIZE and MDTM first (or takes the answer an early session had right
  // after its log-in, when it is under a second old): while the server
  // answers what it answered for the archive known, that archive is not
  // moved again.
  TFetchResult Fetch(const std::string& local_path, const std::string& known, std::string& validator) override;
  // Stores the archive under temporary, then renames it over N2AddBook.zip,
  // so that nobody ever fetches it half-written; a server that refuses the
  // temporary name or the rename gets a direct STOR of N2AddBook.zip. Right
  // before the rename, the archive's size and time are compared with
  // expected.
  std::optional<std::string> Send(const std::string& local_path, const std::string& temporary,
                                  const std::string& expected) override;
  void Clear() override;
  void Close() noexcept override;

  // A request of the client, as its start.
  using Start = void (TCustomFtpClient::*)();
  // Loads the client's settings from the dialog, then runs the request on
  // local_file (the archive when empty; sent as it grows when growing is
  // given) and the server's file remote (the archive when empty). An error
  // on the way is shown in the "Ftp Error!" box and gives false.
  bool RunFtpOperation(Start start, const std::string& local_file = {}, const std::string& remote = {},
                       std::shared_ptr<GrowingFile> growing = nullptr);
  // Loads the settings as above, and closes the client's connections at
  // once (no QUIT), in one call on the client's thread; false when an error
  // on the way was shown.
  bool AbortSession();

 private:
  class EarlySession;
  // The connection settings from the dialog, on the client's thread.
  void LoadSettings(const std::string& local_file, const std::string& remote, std::shared_ptr<GrowingFile> growing);
  void OpenSession();
  // Abort, Open, User, Pass, Cwd, binary type; once cancelled is set, no
  // step is started.
  void OpenSteps(const std::atomic<bool>* cancelled);
  // After the log-in: UTF-8 folder names when the folder needs them and the
  // server takes them.
  void NegotiateUtf8();
  // What the server tells of remote (the archive when empty): "ftp <size>
  // <time>"; empty when it tells not both, or a size other than sent (when
  // given), which shows another upload's file.
  std::string AskValidator(const std::string& remote = {}, int64_t sent = -1);
  // The archive's validator, asked by the early session once it was open,
  // taken by the first Fetch while it is fresh.
  std::string EarlyValidator();
  // Whether a listing of the current folder shows the archive; nothing when
  // the server lists nothing.
  std::optional<bool> ListingShowsArchive();

  TFtpClient& ftp_;
  TSyncFrontEnd& front_;
  const std::string job_text_;
  const std::string archive_;
  bool session_ = false;
  // The server takes folder names in UTF-8 (it announced UTF8 and took
  // OPTS UTF8 ON for a folder with other than ASCII characters).
  bool utf8_ = false;
  ThreadCache* threads_;
  std::unique_ptr<EarlySession> early_;
  struct AskedValidator {
    std::string text;
    uint32_t tick;  // when it was asked
  };
  std::optional<AskedValidator> early_validator_;
  // The archive the early session stored under a temporary name, whole.
  struct SentEarly {
    std::string temporary;
    int64_t bytes;
  };
  std::shared_ptr<TEarlyUpload> early_upload_;
  std::optional<SentEarly> sent_early_;
};

}  // namespace n2
