#include "sync/early_upload.h"

#include <utility>

namespace n2 {

void TEarlyUpload::Agree(std::optional<Agreement> agreement) {
  {
    std::lock_guard lock(mutex_);
    if (agreement_told_) return;
    agreement_told_ = true;
    agreement_ = std::move(agreement);
  }
  told_.notify_all();
}

void TEarlyUpload::Drop() {
  std::lock_guard lock(mutex_);
  dropped_ = true;
}

std::optional<TEarlyUpload::Agreement> TEarlyUpload::WaitAgreement() {
  std::unique_lock lock(mutex_);
  told_.wait(lock, [this] { return agreement_told_; });
  return agreement_;
}

bool TEarlyUpload::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace n2
