#include "sync/http_transport.h"

#include <memory>

#include "base/exception.h"
#include "net/winsock_api.h"

namespace n2 {
namespace {

// Hands a request's body stream to the client for the request's length. On
// the way out the connection is dropped first, so that the client no longer
// touches the stream, then the client's reference is cleared.
class LentBody {
 public:
  LentBody(THttpClient& http, ByteStream& body, bool request) : http_(http) {
    if (request) {
      http_.SetRequestBody(&body);
      http_.SetRequestBodyPosition(0);
    } else {
      http_.SetResponseBody(&body);
    }
  }
  LentBody(const LentBody&) = delete;
  LentBody& operator=(const LentBody&) = delete;
  ~LentBody() {
    http_.Abort();
    http_.SetRequestBody(nullptr);
    http_.SetRequestBodyPosition(0);
    http_.SetResponseBody(nullptr);
  }

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

}  // namespace

THttpTransport::THttpTransport(THttpClient& http, TSyncFrontEnd& front, TFileSystem& fs, ThreadCache* threads)
    : http_(http), front_(front), fs_(fs), threads_(threads) {}

THttpTransport::~THttpTransport() { Close(); }

void THttpTransport::OpenEarly(const std::shared_ptr<TEarlyUpload>& upload) {
  if (!threads_) return;
  CancelEarly();
  early_cancelled_ = false;
  // On the client's own thread, which packs meanwhile, a request from the
  // task would wait for it: Winsock alone is loaded then.
  const bool fetch = upload && !http_.IsOwnerThread();
  early_upload_ = fetch ? upload : nullptr;
  early_ = threads_->Start([this, upload, fetch] {
    if (!wsock::IsLoaded()) {
      try {
        wsock::Proc(wsock::Entry::WSAStartup);
      } catch (const std::exception&) {
        // The first request meets the failure again, and reports it.
      }
    }
    if (fetch) FetchEarly(*upload);
  });
}

void THttpTransport::FetchEarly(TEarlyUpload& upload) {
  const std::optional<TEarlyUpload::Agreement> agreement = upload.WaitAgreement();
  if (!agreement) return;
  EarlyFetch early;
  early.path = upload.FetchPath();
  early.known = agreement->validator;
  try {
    early.result = FetchNow(early.path, early.known, early.validator, &early_cancelled_);
  } catch (...) {
    early.error = std::current_exception();
  }
  early_fetch_ = std::move(early);
}

void THttpTransport::CancelEarly() noexcept {
  if (!early_.Pending()) return;
  // The flag stops a request not yet started (it is read on the client's
  // thread, where the abort runs too); the abort ends one under way.
  early_cancelled_ = true;
  http_.Abort();
  WaitEarly();
  early_fetch_.reset();
}

void THttpTransport::WaitEarly() noexcept {
  // An agreement not told by now never will be.
  if (early_upload_) early_upload_->Abandon();
  early_upload_.reset();
  try {
    early_.Wait();
  } catch (...) {
  }
}

void THttpTransport::Request(THttpRequest kind, const std::function<void()>& more, const std::atomic<bool>* cancelled) {
  http_.Request(kind, [&] {
    if (cancelled && cancelled->load()) throw Exception("The request is no longer wanted");
    http_.AbortAsync();
    const TServerSettings s = front_.ServerSettings();
    http_.SetUsername(s.user);
    http_.SetPassword(s.password);
    http_.SetURL("http://" + s.server + s.path + "N2AddBook.zip");
    if (more) more();
  });
}

TFetchResult THttpTransport::Fetch(const std::string& local_path, const std::string& known, std::string& validator) {
  if (early_.Pending()) WaitEarly();
  // The fetch made while the book was packed stands for this one, failed or
  // not, unless it showed the agreed archive unchanged and now the whole
  // archive is wanted.
  std::optional<EarlyFetch> early = std::exchange(early_fetch_, std::nullopt);
  if (early && early->path == local_path && (early->result != TFetchResult::kUnchanged || early->known == known)) {
    if (early->error) std::rethrow_exception(early->error);
    validator = std::move(early->validator);
    return early->result;
  }
  return FetchNow(local_path, known, validator, nullptr);
}

// The response goes straight into the file as it arrives, and the request
// body comes from the archive file piece by piece: no body is held in memory
// whole, whatever the book's size.
TFetchResult THttpTransport::FetchNow(const std::string& local_path, const std::string& known, std::string& validator,
                                      const std::atomic<bool>* cancelled) {
  std::unique_ptr<FileStream> body = fs_.CreateStream(local_path);
  {
    // known: the archive's ETag and Last-Modified, a line each.
    const size_t cut = known.find('\n');
    LentBody lent(http_, *body, false);
    try {
      Request(
          httpGET,
          [&] {
            if (cut == std::string::npos) return;
            http_.SetIfNoneMatch(known.substr(0, cut));
            http_.SetIfModifiedSince(known.substr(cut + 1));
          },
          cancelled);
    } catch (const EHttpException&) {
      // Only the server's own 404 says it has no book: the client reports a
      // host it cannot reach with a 404 of its own, with no response.
      if (http_.StatusCode() == 404 && !http_.ResponseVersion().empty()) return TFetchResult::kNone;
      throw;
    }
    if (http_.StatusCode() == 304 && cut != std::string::npos) {
      validator = known;
      return TFetchResult::kUnchanged;
    }
    RaiseIfRefused(http_);
    validator = http_.ETag().empty() && http_.LastModified().empty() ? "" : http_.ETag() + "\n" + http_.LastModified();
  }
  received_ += body->Size();
  body->Sync();
  return TFetchResult::kGot;
}

std::optional<std::string> THttpTransport::Send(const std::string& local_path, const std::string&, const std::string&) {
  CancelEarly();
  uint64_t size = 0;
  {
    std::unique_ptr<FileStream> body = fs_.OpenStream(local_path);
    size = body->Size();
    LentBody lent(http_, *body, true);
    Request(httpPUT);
    RaiseIfRefused(http_);
    sent_ += size;
  }
  // The book is on the server: what it tells of it now is only a help for
  // the next fetch, and a failure to ask costs nothing but that. A length
  // other than this book's shows a colleague's upload that replaced it
  // meanwhile, whose validators must not stand for this book.
  try {
    Request(httpHEAD);
    const bool told = http_.StatusCode() >= 200 && http_.StatusCode() <= 299 &&
                      !(http_.ETag().empty() && http_.LastModified().empty()) &&
                      http_.ContentLength() == static_cast<std::int64_t>(size);
    http_.Abort();
    return told ? http_.ETag() + "\n" + http_.LastModified() : std::string();
  } catch (const std::exception&) {
    http_.Abort();
    return std::string();
  }
}

void THttpTransport::Clear() {
  CancelEarly();
  MemoryStream body;
  LentBody lent(http_, body, true);
  Request(httpPUT);
  RaiseIfRefused(http_);
}

void THttpTransport::Close() noexcept {
  CancelEarly();
  http_.Abort();
}

}  // namespace n2
