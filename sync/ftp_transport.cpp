#include "sync/ftp_transport.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "base/message_box.h"
#include "base/scoped_handle.h"
#include "base/system_code_page.h"
#include "base/thread_cache.h"

namespace n2 {
namespace {

constexpr char kFtpErrorText[] = "Norvel2 plug-in Velmora Ftp Error!\r\nPlease try again.\r\n";
constexpr char kOpenError[] = "Ftp Server Open Error!";
constexpr char kLoginFailure[] = "Ftp Server Login Failure!";
constexpr char kCwdError[] = "Ftp Server CWD Error! No such file or directory.";
constexpr char kUploadError[] = "Ftp Upload Error!";
// A transfer from the server that failed or was refused.
constexpr char kFetchError[] = "Ftp Download Error!";
constexpr char kDeleteError[] = "Ftp Delete Error!";
constexpr char kArchiveName[] = "N2AddBook.zip";

void Require(bool done, const std::string& message) {
  if (!done) throw Exception(message);
}

// text, followed by the server's last reply when there is one.
std::string WithReply(const char* text, const std::string& reply) {
  return reply.empty() ? std::string(text) : std::string(text) + " " + reply;
}

// The job's text without its final CR LF.
std::string WithoutLastLineBreak(const std::string& text) {
  return text.size() >= 2 ? text.substr(0, text.size() - 2) : text;
}

// Whether a name listing (NLST, one name a line, perhaps with a folder
// before it) or a long one (LIST, the name last) holds the archive's name.
// Compared without regard to case: on a server whose names ignore case,
// another spelling is the same file, and taking it for absence would be
// worse than a failed job.
bool ListsArchive(const std::string& listing) {
  const std::string wanted = FoldCase(kArchiveName, SystemLeadBytes());
  for (size_t start = 0; start < listing.size();) {
    size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    std::string line = listing.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    const size_t cut = line.find_last_of("/ ");
    const std::string name = cut == std::string::npos ? line : line.substr(cut + 1);
    if (FoldCase(name, SystemLeadBytes()) == wanted) return true;
  }
  return false;
}

}  // namespace

// An upload by hand is sent whatever the book holds, so its session is opened
// while the book is packed, on a thread of its own: the log-in's round trips
// (several, to a distant server) no longer wait for the packing. The boxes
// the opening would show are held back. Once the packing succeeded they are
// shown and its error raised, as if the session had been opened after it; a
// session the server has closed in the meantime is opened again. A failed
// packing ends the opening unseen.
//
// When the server still holds the archive agreed, the session goes on to
// store the archive as it is packed under the temporary name: the STOR
// follows the packing closely and is over soon after it. A STOR that fails
// shows nothing (the upload stores it again), and one whose archive does not
// come whole is cut off, so that the server never takes a part for the file.
class TFtpTransport::EarlySession {
 public:
  EarlySession(TFtpTransport& owner, std::shared_ptr<TEarlyUpload> upload)
      : owner_(owner),
        upload_(std::move(upload)),
        task_(ThreadCache::GivenOrOwn(owner.threads_, own_threads_).Start([this] { Open(); })) {}
  EarlySession(const EarlySession&) = delete;
  EarlySession& operator=(const EarlySession&) = delete;
  ~EarlySession() { Cancel(); }

  struct Result {
    std::optional<AskedValidator> validator;  // the archive's, asked right after the opening, if it was
    std::optional<SentEarly> sent;            // the archive stored whole under its temporary name
  };
  Result Finish() {
    task_.Wait();
    for (const std::string& box : held_boxes_) ShowMessageBox(box);
    if (error_) std::rethrow_exception(error_);
    return Result{std::move(validator_), std::move(sent_)};
  }

  // A STOR of the archive while it is packed is under way.
  bool Storing() const { return storing_; }

  // A step already started when cancelled_ was set (a connection that waits
  // for a silent server, say) is cut short by the client's abort; a wait for
  // the packing (its agreement, its first bytes) ends at once.
  void Cancel() noexcept {
    if (!task_.Pending()) return;
    cancelled_ = true;
    if (upload_) {
      upload_->Abandon();
      upload_->File()->Fail();
    }
    do {
      owner_.ftp_.Abort();
    } while (!ended_.Wait(100));
    task_.Wait();
  }

 private:
  void Open() noexcept {
    HeldMessageBoxes hold(held_boxes_);
    try {
      owner_.OpenSteps(&cancelled_);
      // The upload asks it first, mostly while the book is still packed. A
      // failure (a session the server has closed, say) shows nothing: the
      // upload asks again.
      if (!cancelled_) {
        const size_t boxes = held_boxes_.size();
        std::string validator = owner_.AskValidator();
        if (held_boxes_.size() == boxes)
          validator_ = AskedValidator{std::move(validator), ::GetTickCount()};
        else
          held_boxes_.resize(boxes);
      }
      if (upload_ && validator_) SendWhilePacked(validator_->text);
    } catch (...) {
      error_ = std::current_exception();
    }
    ended_.Set();
  }

  void SendWhilePacked(const std::string& told) {
    const std::optional<TEarlyUpload::Agreement> agreed = upload_->WaitAgreement();
    if (cancelled_ || !agreed || told.empty() || told != agreed->validator) return;
    // Once the archive is whole the send stores it after the packing, as
    // fast; the file is opened only while it is still being written.
    const GrowingFile::Extent begun =
        upload_->File()->Wait([](const GrowingFile::Extent& e) { return e.final_bytes > 0 || e.whole || e.failed; });
    if (cancelled_ || begun.whole || begun.failed) return;
    const size_t boxes = held_boxes_.size();
    storing_ = true;
    const bool stored =
        owner_.RunFtpOperation(&TFtpClient::PutAsync, upload_->Path(), agreed->temporary, upload_->File());
    storing_ = false;
    held_boxes_.resize(boxes);
    // Counted as sent once the server has it, as every STOR (the bytes of
    // one cut off are those the client let go, not those that arrived).
    if (!stored) return;
    const int64_t bytes = owner_.ftp_.ByteCount();
    owner_.sent_ += static_cast<uint64_t>(bytes);
    const GrowingFile::Extent end = upload_->File()->Now();
    if (end.whole && end.final_bytes == static_cast<uint64_t>(bytes)) sent_ = SentEarly{agreed->temporary, bytes};
  }

  TFtpTransport& owner_;
  std::vector<std::string> held_boxes_;
  std::exception_ptr error_;
  const std::shared_ptr<TEarlyUpload> upload_;
  std::optional<AskedValidator> validator_;
  std::optional<SentEarly> sent_;
  std::atomic<bool> cancelled_{false}, storing_{false};
  Event ended_ = Event::ManualReset();
  std::unique_ptr<ThreadCache> own_threads_;  // when the transport was given none
  ThreadCache::Task task_;  // last: starts once everything above is in place
};

TFtpTransport::TFtpTransport(TFtpClient& ftp, TSyncFrontEnd& front, std::string job_text, std::string archive,
                             ThreadCache* threads)
    : ftp_(ftp), front_(front), job_text_(std::move(job_text)), archive_(std::move(archive)), threads_(threads) {}

TFtpTransport::~TFtpTransport() { early_.reset(); }

void TFtpTransport::LoadSettings(const std::string& local_file, const std::string& remote,
                                 std::shared_ptr<GrowingFile> growing) {
  const TServerSettings s = front_.ServerSettings();
  const size_t colon = s.server.find(':');
  ftp_.SetHostName(s.server.substr(0, colon));
  ftp_.SetPort(colon == std::string::npos ? "ftp" : s.server.substr(colon + 1));
  ftp_.SetUserName(s.user);
  ftp_.SetPassWord(s.password);
  ftp_.SetHostDirName(utf8_ ? SystemToUtf8(s.path) : s.path);
  ftp_.SetHostFileName(remote.empty() ? kArchiveName : remote);
  ftp_.SetRenameToName(kArchiveName);
  ftp_.SetLocalFileName(local_file.empty() ? archive_ : local_file);
  ftp_.SetGrowingLocalFile(std::move(growing));
  ftp_.SetPassive(s.passive);
  ftp_.SetBinary(true);
}

bool TFtpTransport::RunFtpOperation(Start start, const std::string& local_file, const std::string& remote,
                                    std::shared_ptr<GrowingFile> growing) {
  try {
    // The dialog's controls belong to the client's thread: read there, in
    // the same call that starts the request, where from the worker every
    // control would cost a message to it.
    return ftp_.Run(start, [&] { LoadSettings(local_file, remote, std::move(growing)); });
  } catch (const std::exception& error) {
    ShowErrorBox(kFtpErrorText, error);
    return false;
  }
}

bool TFtpTransport::AbortSession() {
  try {
    // An abort waits for nothing: on the client's thread it runs at once.
    ftp_.RunOnOwnerThread([&] {
      LoadSettings({}, {}, nullptr);
      ftp_.Abort();
    });
    return true;
  } catch (const std::exception& error) {
    ShowErrorBox(kFtpErrorText, error);
    return false;
  }
}

void TFtpTransport::OpenEarly(const std::shared_ptr<TEarlyUpload>& upload) {
  // Never on the client's own thread: the opening needs it free.
  if (ftp_.IsOwnerThread()) return;
  early_upload_ = upload;
  early_ = std::make_unique<EarlySession>(*this, upload);
}

void TFtpTransport::CancelEarly() noexcept { early_.reset(); }

void TFtpTransport::OpenSession() {
  if (early_) {
    std::unique_ptr<EarlySession> early = std::move(early_);
    if (early_upload_ && early_upload_->Dropped() && early->Storing()) {
      // The archive it stores is not the one the upload sends: the STOR is
      // cut off (a slow line would otherwise carry it whole in vain), and a
      // session is opened anew below.
      early.reset();
    } else {
      EarlySession::Result result = early->Finish();
      early_validator_ = std::move(result.validator);
      sent_early_ = std::move(result.sent);
      session_ = true;
    }
  }
  if (session_) {
    // The server may have closed a session left idle while the book was
    // packed or merged.
    if (ftp_.ReadyForRequest()) return;
    session_ = false;
    // What it told may have been cut short with it: asked again.
    early_validator_.reset();
  }
  OpenSteps(nullptr);
  session_ = true;
}

void TFtpTransport::OpenSteps(const std::atomic<bool>* cancelled) {
  AbortSession();
  utf8_ = false;
  const auto stop = [cancelled] { return cancelled && cancelled->load(); };
  const std::pair<Start, std::string> log_in[] = {{&TFtpClient::OpenAsync, kOpenError},
                                                  {&TFtpClient::UserAsync, kLoginFailure},
                                                  {&TFtpClient::PassAsync, kLoginFailure}};
  for (const auto& [operation, error] : log_in) {
    if (stop()) return;
    Require(RunFtpOperation(operation), error);
  }
  if (stop()) return;
  NegotiateUtf8();
  const std::pair<Start, std::string> folder[] = {
      {&TFtpClient::CwdAsync, kCwdError}, {&TFtpClient::TypeSetAsync, WithoutLastLineBreak(job_text_)}};
  for (const auto& [operation, error] : folder) {
    if (stop()) return;
    Require(RunFtpOperation(operation), error);
  }
}

std::optional<bool> TFtpTransport::ListingShowsArchive() {
  // A name listing first; a server that refuses one for an empty folder
  // ("450 No files found") lists it the long way.
  for (Start listing : {&TFtpClient::NlstAsync, &TFtpClient::ListAsync})
    if (RunFtpOperation(listing)) return ListsArchive(ftp_.ListingText());
  return std::nullopt;
}

void TFtpTransport::NegotiateUtf8() {
  // Only a folder with other than ASCII characters needs it; for the others
  // nothing more is sent.
  std::string path;
  ftp_.RunOnOwnerThread([&] { path = front_.ServerSettings().path; });
  const bool ascii = std::all_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || !RunFtpOperation(&TFtpClient::FeatAsync)) return;
  const std::vector<std::string>& features = ftp_.Features();
  if (std::find(features.begin(), features.end(), "UTF8") == features.end()) return;
  ftp_.SetOptsText("UTF8 ON");
  utf8_ = RunFtpOperation(&TFtpClient::OptsAsync);
}

std::string TFtpTransport::AskValidator(const std::string& remote, int64_t sent) {
  // Both in one request: one call to the client's thread, the same commands.
  if (RunFtpOperation(&TFtpClient::SizeMdtmAsync, {}, remote) && (sent < 0 || ftp_.FileSizeResult() == sent))
    return "ftp " + std::to_string(ftp_.FileSizeResult()) + " " + ftp_.ModifiedTimeResult();
  return std::string();
}

std::string TFtpTransport::EarlyValidator() {
  // An answer older than this is asked again: an archive that changed since
  // would only be found before the rename, after a whole send in vain.
  constexpr uint32_t kFreshMs = 1000;
  const std::optional<AskedValidator> early = std::exchange(early_validator_, std::nullopt);
  return early && ::GetTickCount() - early->tick < kFreshMs ? early->text : AskValidator();
}

TFetchResult TFtpTransport::Fetch(const std::string& local_path, const std::string& known, std::string& validator) {
  OpenSession();
  validator = EarlyValidator();
  if (!validator.empty() && validator == known) return TFetchResult::kUnchanged;
  if (RunFtpOperation(&TFtpClient::GetAsync, local_path)) {
    received_ += static_cast<uint64_t>(ftp_.ByteCount());
    return TFetchResult::kGot;
  }
  const std::string refusal = ftp_.LastResponse();
  // A refused RETR means "no book" only when the folder's listing shows none:
  // servers answer 550 for a missing file and for one they may not read alike.
  if (ftp_.TransferRefused() && ListingShowsArchive() == false) return TFetchResult::kNone;
  throw Exception(WithReply(kFetchError, refusal));
}

std::optional<std::string> TFtpTransport::Send(const std::string& local_path, const std::string& temporary,
                                                const std::string& expected) {
  OpenSession();
  // The bytes the last STOR moved, counted as sent.
  const auto stored = [this] {
    const int64_t bytes = ftp_.ByteCount();
    sent_ += static_cast<uint64_t>(bytes);
    return bytes;
  };
  // The archive the early session stored is this one unless it was packed again since.
  const std::optional<SentEarly> early = std::exchange(sent_early_, std::nullopt);
  const bool sent_early = early && early->temporary == temporary && early_upload_ && !early_upload_->Dropped();
  if (!temporary.empty() && (sent_early || RunFtpOperation(&TFtpClient::PutAsync, local_path, temporary))) {
    const int64_t sent = sent_early ? early->bytes : stored();
    // Asked of the temporary file, which no other installation writes, the
    // size and time are surely this book's, and a rename keeps both. Asked
    // of the archive after the rename, they could be those of a colleague's
    // upload renamed over this one meanwhile.
    const std::string validator = AskValidator(temporary, sent);
    // A colleague's upload that came while this book travelled is not
    // replaced unseen: the caller merges it first, and may then find nothing
    // to send, so the temporary file goes.
    if (!expected.empty() && AskValidator() != expected) {
      RunFtpOperation(&TFtpClient::DeleAsync, {}, temporary);
      return std::nullopt;
    }
    if (RunFtpOperation(&TFtpClient::RenameAsync, {}, temporary)) return validator;
    // A server that does not rename over an existing file: the archive is
    // stored in place instead, never deleted first (that would leave a
    // moment with no book), and the temporary file goes afterwards.
    if (!RunFtpOperation(&TFtpClient::PutAsync, local_path))
      throw Exception(WithReply(kUploadError, ftp_.LastResponse()));
    const int64_t in_place = stored();
    RunFtpOperation(&TFtpClient::DeleAsync, {}, temporary);
    return AskValidator({}, in_place);
  }
  if (!RunFtpOperation(&TFtpClient::PutAsync, local_path))
    throw Exception(WithReply(kUploadError, ftp_.LastResponse()));
  return AskValidator({}, stored());
}

void TFtpTransport::Clear() {
  OpenSession();
  if (RunFtpOperation(&TFtpClient::DeleAsync)) return;
  const std::string refusal = ftp_.LastResponse();
  // An archive that is not there counts as deleted; one that is, is not.
  if (ListingShowsArchive() == false) return;
  throw Exception(WithReply(kDeleteError, refusal));
}

void TFtpTransport::Close() noexcept {
  early_.reset();
  early_validator_.reset();
  early_upload_.reset();
  sent_early_.reset();
  // Without a session, or when its settings could not be loaded, the
  // client is closed all the same.
  if (!session_ || !AbortSession()) ftp_.Abort();
  session_ = false;
}

}  // namespace n2
