#include "base/growing_file.h"

#include <algorithm>
#include <utility>

namespace n2 {

void GrowingFile::Change(const std::function<void(Extent&)>& change) {
  std::lock_guard lock(mutex_);
  if (extent_.whole || extent_.failed) return;
  change(extent_);
  changed_.notify_all();
  if (watcher_) watcher_(extent_);
}

void GrowingFile::Grew(uint64_t final_bytes) {
  Change([&](Extent& e) { e.final_bytes = std::max(e.final_bytes, final_bytes); });
}

void GrowingFile::Whole(uint64_t size) {
  Change([&](Extent& e) {
    e.final_bytes = size;
    e.whole = true;
  });
}

void GrowingFile::Fail() { Change([](Extent& e) { e.failed = true; }); }

GrowingFile::Extent GrowingFile::Now() const {
  std::lock_guard lock(mutex_);
  return extent_;
}

GrowingFile::Extent GrowingFile::Wait(const std::function<bool(const Extent&)>& ready) const {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return ready(extent_); });
  return extent_;
}

bool GrowingFile::OpenWhileGrowing(const std::function<void()>& open) {
  std::lock_guard lock(mutex_);
  if (extent_.whole || extent_.failed) return false;
  open();
  return true;
}

void GrowingFile::Watch(std::function<void(const Extent&)> watcher) {
  std::lock_guard lock(mutex_);
  watcher_ = std::move(watcher);
}

}  // namespace n2
