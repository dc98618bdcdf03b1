// The sync engine's transport over HTTP, on the data module's one client: a
// GET fetches the archive, a PUT sends it, a PUT of an empty body clears it.
// The address is "http://" + server + path + "N2AddBook.zip", the texts
// joined as they stand; every request offers the dialog's user name and
// password when the server asks for them. Only a 2xx answer means the server
// did what was asked, and only a 404 that it holds no book.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/file_system.h"
#include "base/thread_cache.h"
#include "net/http_client.h"
#include "sync/sync_front_end.h"
#include "sync/transport.h"

namespace n2 {

class THttpTransport : public TTransport {
 public:
  // fs: where the archives are read and written; threads: where Winsock is
  // loaded early (null: at the first request).
  THttpTransport(THttpClient& http, TSyncFrontEnd& front, TFileSystem& fs, ThreadCache* threads = nullptr);
  ~THttpTransport() override;

  // A conditional GET: with the ETag and Last-Modified of the archive known,
  // a 304 answer means it is still that one.
  TFetchResult Fetch(const std::string& local_path, const std::string& known, std::string& validator) override;
  // A PUT replaces the file whole on the server: no temporary name. A HEAD
  // afterwards asks the archive's ETag and Last-Modified.
  std::optional<std::string> Send(const std::string& local_path, const std::string& temporary,
                                  const std::string& expected) override;
  void Clear() override;
  void Close() noexcept override;
  // Loads Winsock while the book is packed (its first call in the process
  // takes some milliseconds under Wine), then makes the upload's fetch
  // meanwhile, conditional on the agreed archive, once the engine has told
  // it. The fetch that follows the packing takes its outcome, unless it was
  // a 304 and the whole archive is wanted. A PUT cannot go before the
  // archive is whole: its length leads the request.
  void OpenEarly(const std::shared_ptr<TEarlyUpload>& upload) override;
  void CancelEarly() noexcept override;

 private:
  // Makes a request of kind. On the client's thread, in the same call that
  // starts it: nothing is made once cancelled (if given) is set; else the
  // client is made idle, the address and credentials are read from the
  // dialog, and more is run.
  void Request(THttpRequest kind, const std::function<void()>& more = {},
               const std::atomic<bool>* cancelled = nullptr);
  TFetchResult FetchNow(const std::string& local_path, const std::string& known, std::string& validator,
                        const std::atomic<bool>* cancelled);
  void FetchEarly(TEarlyUpload& upload);
  void WaitEarly() noexcept;

  THttpClient& http_;
  TSyncFrontEnd& front_;
  TFileSystem& fs_;
  ThreadCache* threads_;
  // The early fetch: its task, the upload whose agreement it waits for,
  // whether it is still wanted, and its outcome (read once the task has been
  // waited for).
  ThreadCache::Task early_;
  std::shared_ptr<TEarlyUpload> early_upload_;
  std::atomic<bool> early_cancelled_{false};
  struct EarlyFetch {
    std::string path, known;
    TFetchResult result = TFetchResult::kNone;
    std::string validator;
    std::exception_ptr error;
  };
  std::optional<EarlyFetch> early_fetch_;
};

}  // namespace n2
