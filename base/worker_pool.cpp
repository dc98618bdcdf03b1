#include "base/worker_pool.h"

#include <algorithm>
#include <exception>

namespace n2 {

WorkerPool::WorkerPool(size_t threads, ThreadCache* cache)
    : threads_wanted_(std::max<size_t>(threads, 1)), cache_(ThreadCache::GivenOrOwn(cache, own_cache_)) {}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  helpers_.clear();  // waits for each to leave Serve
}

void WorkerPool::Run(size_t count, const std::function<void(size_t)>& work) {
  if (count == 0) return;
  // Threads beyond one per item would find nothing to do.
  const size_t helpers = std::min(count, threads_wanted_) - 1;
  // A thread made now starts from the batch before this one, so it joins this one.
  while (helpers_.size() < helpers) helpers_.push_back(cache_.Start([this, seen = batch_] { Serve(seen); }));
  {
    std::lock_guard lock(mutex_);
    work_ = &work;
    count_ = count;
    next_.store(0);
    busy_ = helpers_.size();
    ++batch_;
  }
  wake_.notify_all();
  std::exception_ptr error;
  try {
    RunItems();
  } catch (...) {
    error = std::current_exception();
    next_.store(count);  // no item is started after it
  }
  {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
    work_ = nullptr;
  }
  if (error) std::rethrow_exception(error);
}

void WorkerPool::Serve(uint64_t seen) {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || batch_ != seen; });
      if (stopping_) return;
      seen = batch_;
    }
    RunItems();
    std::lock_guard lock(mutex_);
    if (--busy_ == 0) done_.notify_one();
  }
}

void WorkerPool::RunItems() {
  for (size_t i; (i = next_.fetch_add(1)) < count_;) (*work_)(i);
}

}  // namespace n2
