// How the sync engine reaches the server's copy of the book, whatever the
// protocol: fetch it, send it, clear it. The engine never learns whether the
// bytes came over FTP or HTTP.
//
// A fetch answers one of two things, or raises: the archive came (written to
// the local file), or the server showed that it holds none (an HTTP 404, an
// FTP folder listing without the archive). A refusal that is not shown to
// mean absence (a 550 "Permission denied", a 450 while another program holds
// the file), a connection that fails, a transfer cut short: each raises with
// the server's reason, never reads as "no book".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "sync/early_upload.h"

namespace n2 {

enum class TFetchResult {
  kGot,        // the archive came
  kNone,       // the server showed that it holds none
  kUnchanged,  // the server showed that its archive is still the one known
};

class TTransport {
 public:
  virtual ~TTransport() = default;

  // An upload by hand sends whatever the book holds, so it may open its
  // connection while the book is packed, and send the archive meanwhile or
  // fetch the server's (see TEarlyUpload). Cancelled when the packing fails.
  virtual void OpenEarly(const std::shared_ptr<TEarlyUpload>& /*upload*/) {}
  virtual void CancelEarly() noexcept {}

  // known: what the server told of the archive last taken in (see
  // validator), or empty. validator gets what the server tells of the
  // archive fetched now (before it was fetched: a change meanwhile only
  // makes the next fetch move it again), or empty when it tells nothing.
  virtual TFetchResult Fetch(const std::string& local_path, const std::string& known, std::string& validator) = 0;
  // Sends the archive; temporary is a name of this installation's for the
  // file while it arrives, where the protocol can put it in place whole.
  // Returns what the server tells of the archive now there (as a fetch's
  // validator), or empty when it tells nothing. expected: what the server
  // told of the archive this book was merged with, or empty; where the
  // protocol puts the archive in place after it arrived, one that is no
  // longer that (a colleague's upload came meanwhile) is not replaced, and
  // nothing is returned.
  virtual std::optional<std::string> Send(const std::string& local_path, const std::string& temporary,
                                          const std::string& expected) = 0;
  // Removes the server's book (or leaves it empty, as HTTP does).
  virtual void Clear() = 0;
  // Ends whatever connection is open; sends nothing.
  virtual void Close() noexcept = 0;

  // Bytes of archives moved so far, each way.
  uint64_t BytesSent() const { return sent_; }
  uint64_t BytesReceived() const { return received_; }

 protected:
  uint64_t sent_ = 0, received_ = 0;
};

}  // namespace n2
