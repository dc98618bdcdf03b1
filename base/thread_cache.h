// Threads kept between the short tasks a job runs beside its own work: the
// book listed while its previous archive is read, the index saved while the
// job goes on to the server, the record made ready while the book travels.
// Making a thread and joining it costs 2-5 ms under Wine, and a job did it
// several times on the way to the server. A task goes to a thread of the
// cache that waits for one, or to a new thread when every one is busy; the
// threads wait for the next task until the cache goes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace n2 {

class ThreadCache {
  struct Done;

 public:
  // A task started on the cache. Wait returns once it has run, and raises
  // what it raised; a task not waited for is waited for when it goes.
  class Task {
   public:
    Task() = default;
    Task(Task&&) noexcept = default;
    Task& operator=(Task&& other) noexcept;
    ~Task();
    void Wait();
    // Started and not yet waited for.
    bool Pending() const { return done_ != nullptr; }

   private:
    friend class ThreadCache;
    explicit Task(std::shared_ptr<Done> done) : done_(std::move(done)) {}
    std::shared_ptr<Done> done_;
  };

  // ready threads are made at once, to wait for the first tasks.
  explicit ThreadCache(size_t ready = 0);
  ThreadCache(const ThreadCache&) = delete;
  ThreadCache& operator=(const ThreadCache&) = delete;
  // Runs the tasks started before, then joins the threads.
  ~ThreadCache();

  Task Start(std::function<void()> work);
  // Starts work that nobody waits for; it runs before the cache goes.
  void Leave(std::function<void()> work);
  // Threads made so far.
  size_t Threads();
  // given, or else a cache made into own (for callers given none).
  static ThreadCache& GivenOrOwn(ThreadCache* given, std::unique_ptr<ThreadCache>& own) {
    if (given) return *given;
    if (!own) own = std::make_unique<ThreadCache>();
    return *own;
  }

 private:
  struct Done {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::exception_ptr error;
  };
  void Queue(std::function<void()> work, std::shared_ptr<Done> done);
  void MakeThread();
  void Serve();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<std::function<void()>, std::shared_ptr<Done>>> queue_;
  size_t waiting_ = 0;  // threads waiting for a task
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// Hands value to a thread of threads, which frees it while the caller goes
// on: freeing thousands of small blocks takes milliseconds. Without threads
// (or when the hand-over fails) value stays with the caller.
template <class T>
void FreeBeside(ThreadCache* threads, T&& value) noexcept {
  if (!threads) return;
  try {
    auto held = std::make_shared<std::decay_t<T>>(std::move(value));
    threads->Leave([held] {});
  } catch (...) {
  }
}

// Runs side on a thread of threads (of its own when threads is null) while
// here runs on the calling thread, and returns once both are done. An
// exception of here, or else of side, is raised then.
template <class Side, class Here>
void RunBeside(Side side, Here here, ThreadCache* threads = nullptr) {
  std::unique_ptr<ThreadCache> own;
  ThreadCache::Task beside = ThreadCache::GivenOrOwn(threads, own).Start(std::move(side));
  try {
    here();
  } catch (...) {
    try {
      beside.Wait();
    } catch (...) {
    }
    throw;
  }
  beside.Wait();
}

}  // namespace n2
