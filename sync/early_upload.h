// An upload by hand's archive while it is packed. A transport that puts an
// archive in place whole may send it meanwhile under the temporary name, as
// far as it is final, when the server shows it still holds the archive agreed
// last: that archive is then most likely the one the upload sends, and the
// transfer is over about when the packing is. The engine tells, once it has
// read the agreed record, that archive's validator and the temporary name,
// and tells when the archive is not the one the upload sends (it is packed
// again, or about to be after a merge): what was sent early is then not used,
// and a transfer still under way is cut off. A transport that cannot send the
// archive before it is whole may fetch the server's meanwhile instead, on the
// condition that it is no longer the agreed one, for the fetch that follows
// the packing.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/growing_file.h"

namespace n2 {

class TEarlyUpload {
 public:
  // path: where the archive is packed; fetch_path: where the server's is
  // fetched, which nothing else touches until the job's fetch.
  TEarlyUpload(std::string path, std::string fetch_path)
      : path_(std::move(path)), fetch_path_(std::move(fetch_path)), file_(std::make_shared<GrowingFile>()) {}

  const std::string& Path() const { return path_; }
  const std::string& FetchPath() const { return fetch_path_; }
  const std::shared_ptr<GrowingFile>& File() const { return file_; }

  struct Agreement {
    std::string validator;  // what the server told of the archive agreed last
    std::string temporary;  // the upload's temporary name
  };
  // The engine's side: the agreement (none: nothing is sent early), told
  // once; and that this archive is not the one sent.
  void Agree(std::optional<Agreement> agreement);
  void Drop();

  // The transport's side: waits until the agreement is told (or nothing
  // will be: the packing failed, or Abandon was called).
  std::optional<Agreement> WaitAgreement();
  void Abandon() { Agree(std::nullopt); }
  bool Dropped() const;

 private:
  const std::string path_, fetch_path_;
  const std::shared_ptr<GrowingFile> file_;
  mutable std::mutex mutex_;
  std::condition_variable told_;
  bool agreement_told_ = false, dropped_ = false;
  std::optional<Agreement> agreement_;
};

}  // namespace n2
