// Threads that run the parallel steps of one long operation (a pack, an
// unpack) batch after batch. They are taken when first needed, from a given
// thread cache (else made), and given back when the pool goes: making a
// thread and joining it costs milliseconds under Wine, and an operation on a
// large book runs dozens of batches.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <memory>
#include <vector>

#include "base/thread_cache.h"

namespace n2 {

class WorkerPool {
 public:
  // At most threads threads work on a batch, the calling one included.
  explicit WorkerPool(size_t threads, ThreadCache* cache = nullptr);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool();

  // Runs work(0) .. work(count - 1), each once, on the calling thread and the
  // pool's, and returns when all have run. work must not throw on the pool's
  // threads; on the calling thread its exception ends the batch (no item is
  // started after it) and is raised again once the pool's threads are done.
  void Run(size_t count, const std::function<void(size_t)>& work);

 private:
  void Serve(uint64_t seen);
  void RunItems();

  const size_t threads_wanted_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  // The current batch; set under mutex_ before the pool's threads are woken.
  const std::function<void(size_t)>* work_ = nullptr;
  size_t count_ = 0;
  std::atomic<size_t> next_{0};
  uint64_t batch_ = 0;  // number of the latest batch
  size_t busy_ = 0;     // the pool's threads still in it
  bool stopping_ = false;
  std::unique_ptr<ThreadCache> own_cache_;  // when none was given
  ThreadCache& cache_;
  std::vector<ThreadCache::Task> helpers_;
};

}  // namespace n2
