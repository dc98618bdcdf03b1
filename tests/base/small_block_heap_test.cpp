#include "base/small_block_heap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace n2 {
namespace {

struct Block {
  unsigned char* bytes;
  size_t size;
  unsigned char mark;
};

bool Marked(const Block& b) {
  for (size_t i = 0; i < b.size; ++i)
    if (b.bytes[i] != b.mark) return false;
  return true;
}

// Four threads allocate blocks of every size up to past the largest small
// one, mark them, and free them at random, half of them on another thread
// (a map node made on the listing thread, freed by the job's). No block ever
// overlaps another (its marks survive), every small block is aligned to 16,
// and once all are free only the kept empty slabs remain.
TEST(SmallBlockHeap, BlocksNeverOverlapAndSlabsGoBackWhenFree) {
  auto heap = std::make_unique<SmallBlockHeap>();
  constexpr int kThreads = 4, kRounds = 40000;
  std::mutex handed_lock;
  std::vector<Block> handed;  // blocks another thread frees
  std::atomic<int> overlaps{0}, misaligned{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      std::vector<Block> mine;
      for (int round = 0; round < kRounds; ++round) {
        const size_t size = random() % (SmallBlockHeap::kLargest + 40);
        Block b{static_cast<unsigned char*>(heap->Allocate(size)), size, static_cast<unsigned char>(random())};
        ASSERT_NE(b.bytes, nullptr);
        if (size <= SmallBlockHeap::kLargest && reinterpret_cast<uintptr_t>(b.bytes) % 16 != 0) ++misaligned;
        std::memset(b.bytes, b.mark, b.size);
        if (random() % 2) {
          std::lock_guard lock(handed_lock);
          handed.push_back(b);
        } else {
          mine.push_back(b);
        }
        // Free about as many as are made, some of them another thread's.
        while (mine.size() > 300 || (!mine.empty() && random() % 3 == 0)) {
          const size_t k = random() % mine.size();
          if (!Marked(mine[k])) ++overlaps;
          heap->Free(mine[k].bytes);
          mine[k] = mine.back();
          mine.pop_back();
        }
        std::lock_guard lock(handed_lock);
        while (handed.size() > 300) {
          if (!Marked(handed.back())) ++overlaps;
          heap->Free(handed.back().bytes);
          handed.pop_back();
        }
      }
      for (const Block& b : mine) {
        if (!Marked(b)) ++overlaps;
        heap->Free(b.bytes);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_GT(heap->Slabs(), 0u);
  for (const Block& b : handed) {
    EXPECT_TRUE(Marked(b));
    heap->Free(b.bytes);
  }
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(misaligned, 0);
  // One empty slab kept for each size, no more.
  EXPECT_LE(heap->Slabs(), SmallBlockHeap::kLargest / 16);
  heap->Free(nullptr);
}

// A size's slabs fill one after another and empty again: 100,000 blocks of
// one size take many slabs, which all go back but the one kept.
TEST(SmallBlockHeap, ManyBlocksOfOneSizeComeAndGo) {
  auto heap = std::make_unique<SmallBlockHeap>();
  std::vector<void*> blocks;
  for (int i = 0; i < 100000; ++i) blocks.push_back(heap->Allocate(40));
  EXPECT_GE(heap->Slabs(), 100000u * 48 / 65536);
  for (void* b : blocks) heap->Free(b);
  EXPECT_EQ(heap->Slabs(), 1u);
  // The kept slab serves again.
  void* again = heap->Allocate(33);
  EXPECT_EQ(heap->Slabs(), 1u);
  heap->Free(again);
}

}  // namespace
}  // namespace n2
