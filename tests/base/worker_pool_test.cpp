// The pool runs every item of every batch exactly once, batch after batch,
// whatever the batch's size beside the number of threads, and an error on
// the calling thread ends its batch without leaving a thread in it.
#include "base/worker_pool.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace n2 {
namespace {

TEST(WorkerPool, EveryItemOnceInEveryBatch) {
  WorkerPool pool(3);
  for (size_t round = 0; round < 300; ++round) {
    const size_t count = round % 7 == 0 ? 0 : (round * 37) % 200 + 1;
    std::vector<std::atomic<int>> runs(count);
    pool.Run(count, [&](size_t i) { runs[i].fetch_add(1); });
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(runs[i].load(), 1) << "round " << round << " item " << i;
  }
}

TEST(WorkerPool, AnErrorOnTheCallingThreadEndsItsBatch) {
  WorkerPool pool(4);
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<int> after{0};
  std::atomic<bool> thrown{false};
  EXPECT_THROW(pool.Run(1000,
                        [&](size_t) {
                          if (thrown.load()) after.fetch_add(1);
                          if (std::this_thread::get_id() == caller && !thrown.exchange(true))
                            throw std::runtime_error("disk full");
                        }),
               std::runtime_error);
  EXPECT_TRUE(thrown.load());
  EXPECT_LT(after.load(), 1000);
  // The pool works on afterwards.
  std::atomic<int> runs{0};
  pool.Run(50, [&](size_t) { runs.fetch_add(1); });
  EXPECT_EQ(runs.load(), 50);
}

}  // namespace
}  // namespace n2
