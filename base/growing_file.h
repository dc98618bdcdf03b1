// A file that one thread writes from its start while another reads it: the
// writer tells how many bytes from the start are final (never written again),
// at last that the file is whole, or that it will never be; the reader sends
// what is final as it comes and never reads beyond it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace n2 {

class GrowingFile {
 public:
  struct Extent {
    uint64_t final_bytes = 0;
    bool whole = false;   // final_bytes is the file's size
    bool failed = false;  // the writer gave up: the file will never be whole
  };

  // The writer's side. Each call tells the watcher, on the writer's thread.
  void Grew(uint64_t final_bytes);
  void Whole(uint64_t size);
  void Fail();

  // The reader's side.
  Extent Now() const;
  // Waits until ready holds, and tells the extent then.
  Extent Wait(const std::function<bool(const Extent&)>& ready) const;
  // Runs open (which opens the file by its path) unless the file is whole or
  // failed already: once whole, the writer may move it away. False when open
  // was not run.
  bool OpenWhileGrowing(const std::function<void()>& open);
  // watcher is called with the new extent after every change until Watch is
  // called again (empty: no more calls); it must not call back into this
  // object.
  void Watch(std::function<void(const Extent&)> watcher);

 private:
  void Change(const std::function<void(Extent&)>& change);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Extent extent_;
  std::function<void(const Extent&)> watcher_;
};

}  // namespace n2
