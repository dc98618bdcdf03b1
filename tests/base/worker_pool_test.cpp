// The pool runs every item of every batch exactly once, batch after batch,
// whatever the batch's size beside the number of threads, and an error on
// the calling thread is raised again only once no item is running; a pool
// on a thread cache gives its threads back when it goes. The
// thread cache runs tasks truly beside their callers and beside each other
// on threads it keeps, and hands back what a task raised.
#include "base/thread_cache.h"
#include "base/worker_pool.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace n2 {
namespace {

TEST(WorkerPool, EveryItemOnceInEveryBatch) {
  // Threads of its own, then two pools one after the other on a cache's.
  ThreadCache cache;
  for (ThreadCache* given : {static_cast<ThreadCache*>(nullptr), &cache, &cache}) {
    WorkerPool pool(3, given);
    for (size_t round = 0; round < 300; ++round) {
      const size_t count = round % 7 == 0 ? 0 : (round * 37) % 200 + 1;
      std::vector<std::atomic<int>> runs(count);
      pool.Run(count, [&](size_t i) { runs[i].fetch_add(1); });
      for (size_t i = 0; i < count; ++i) ASSERT_EQ(runs[i].load(), 1) << "round " << round << " item " << i;
    }
  }
  // The second pool had the threads the first gave back.
  EXPECT_EQ(cache.Threads(), 2u);
}

TEST(WorkerPool, AnErrorOnTheCallingThreadEndsItsBatch) {
  WorkerPool pool(4);
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> thrown{false};
  std::atomic<int> running{0};
  EXPECT_THROW(pool.Run(1000,
                        [&](size_t) {
                          ++running;
                          if (std::this_thread::get_id() == caller) {
                            if (!thrown.exchange(true)) {
                              --running;
                              throw std::runtime_error("disk full");
                            }
                          } else {
                            // The pool's threads hold their first items until the
                            // calling thread has taken one and failed.
                            while (!thrown.load()) std::this_thread::yield();
                          }
                          --running;
                        }),
               std::runtime_error);
  EXPECT_EQ(running.load(), 0);  // no item still running once Run is back
  // The pool works on afterwards.
  std::atomic<int> runs{0};
  pool.Run(50, [&](size_t) { runs.fetch_add(1); });
  EXPECT_EQ(runs.load(), 50);
}

TEST(ThreadCache, TasksRunBesideEachOtherOnThreadsKept) {
  ThreadCache threads(1);
  for (int round = 0; round < 50; ++round) {
    // Each side waits for the other and for the caller: run one after the
    // other on one thread, they would never end.
    std::atomic<int> arrived{0};
    const auto meet = [&] {
      ++arrived;
      while (arrived.load() < 3) std::this_thread::yield();
    };
    ThreadCache::Task first = threads.Start(meet);
    RunBeside(meet, meet, &threads);
    first.Wait();
    EXPECT_FALSE(first.Pending());
  }
  EXPECT_EQ(threads.Threads(), 2u);  // made once, for the two that met
  // What a task raised comes back to whoever waits for it, here too.
  EXPECT_THROW(RunBeside([] { throw std::runtime_error("disk full"); }, [] {}, &threads), std::runtime_error);
  EXPECT_THROW(RunBeside([] {}, [] { throw std::runtime_error("disk full"); }), std::runtime_error);
  // Work nobody waits for still runs, before its cache goes.
  std::atomic<int> left{0};
  {
    ThreadCache own;
    for (int i = 0; i < 20; ++i) own.Leave([&] { left.fetch_add(1); });
  }
  EXPECT_EQ(left.load(), 20);
}

}  // namespace
}  // namespace n2
