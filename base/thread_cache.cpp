#include "base/thread_cache.h"

namespace n2 {

ThreadCache::Task& ThreadCache::Task::operator=(Task&& other) noexcept {
  if (this != &other) {
    try {
      Wait();
    } catch (...) {
    }
    done_ = std::move(other.done_);
  }
  return *this;
}

ThreadCache::Task::~Task() {
  try {
    Wait();
  } catch (...) {
  }
}

void ThreadCache::Task::Wait() {
  if (!done_) return;
  const std::shared_ptr<Done> done = std::move(done_);
  std::unique_lock lock(done->mutex);
  done->ended.wait(lock, [&] { return done->done; });
  if (done->error) std::rethrow_exception(done->error);
}

ThreadCache::ThreadCache(size_t ready) {
  std::lock_guard lock(mutex_);
  try {
    while (threads_.size() < ready) MakeThread();
  } catch (const std::exception&) {
    // Threads the system would not make now are tried again for a task.
  }
}

ThreadCache::~ThreadCache() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

ThreadCache::Task ThreadCache::Start(std::function<void()> work) {
  auto done = std::make_shared<Done>();
  Queue(std::move(work), done);
  return Task(std::move(done));
}

void ThreadCache::Leave(std::function<void()> work) { Queue(std::move(work), nullptr); }

void ThreadCache::Queue(std::function<void()> work, std::shared_ptr<Done> done) {
  std::lock_guard lock(mutex_);
  queue_.emplace_back(std::move(work), std::move(done));
  // A waiting thread takes the task unless the tasks queued before it take
  // every waiting thread.
  if (waiting_ >= queue_.size()) {
    wake_.notify_one();
    return;
  }
  try {
    MakeThread();
  } catch (...) {
    queue_.pop_back();  // nothing would run it
    throw;
  }
}

size_t ThreadCache::Threads() {
  std::lock_guard lock(mutex_);
  return threads_.size();
}

// Under mutex_. A thread counts as waiting from when it is made, and again
// from when its task is done, before its caller can see that.
void ThreadCache::MakeThread() {
  threads_.reserve(threads_.size() + 1);
  threads_.emplace_back([this] { Serve(); });
  ++waiting_;
}

void ThreadCache::Serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    --waiting_;
    if (queue_.empty()) return;  // stopping, with nothing left to run
    auto [work, done] = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    std::exception_ptr error;
    try {
      work();
    } catch (...) {
      error = std::current_exception();
    }
    work = nullptr;  // what the task holds goes before it is seen as done
    lock.lock();
    ++waiting_;
    if (!done) continue;  // left: nobody waits for it
    {
      std::lock_guard done_lock(done->mutex);
      done->error = error;
      done->done = true;
    }
    done->ended.notify_all();
    done.reset();
  }
}

}  // namespace n2
