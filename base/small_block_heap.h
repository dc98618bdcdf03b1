// A heap for the small blocks C++ code allocates by the thousand (names,
// map nodes, entries): blocks of up to 256 bytes in sizes of 16, cut from
// 64 KB slabs of one size each, one lock a size. The process heap takes a lock
// and some hundred nanoseconds for every block under Wine, and the threads
// of a pack (listing, reading the record and the index, adding) wait for
// each other there; here a block costs a few dozen.
//
// A slab whose blocks are all free again goes back to the system, but for
// one kept for each size; larger blocks come from malloc as before. Slabs
// lie at 64 KB boundaries (the system's allocation granularity), so a block
// tells its slab, and a table of the 32-bit address space tells a slab from
// memory that is not one.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace n2 {

class SmallBlockHeap {
 public:
  static constexpr size_t kLargest = 256;  // larger blocks come from malloc

  constexpr SmallBlockHeap() = default;
  SmallBlockHeap(const SmallBlockHeap&) = delete;
  SmallBlockHeap& operator=(const SmallBlockHeap&) = delete;
  // Gives the kept empty slabs back; blocks still in use stay where they are.
  ~SmallBlockHeap();

  // At least size bytes aligned to 16, or nothing when the system has no
  // memory left.
  void* Allocate(size_t size) noexcept;
  // A block of Allocate (or nothing).
  void Free(void* block) noexcept;

  // Slabs held from the system, the kept empty ones included.
  size_t Slabs() const noexcept { return slabs_.load(std::memory_order_relaxed); }

 private:
  static constexpr size_t kSizes = kLargest / 16;
  static constexpr unsigned kSlabShift = 16;
  static constexpr size_t kSlabBytes = size_t{1} << kSlabShift;
  static_assert(sizeof(void*) == 4, "the table of slabs covers a 32-bit address space");

  struct Slab;
  // Held for a few instructions at a time: a thread that finds it taken
  // spins a little, then gives way.
  class Lock {
   public:
    void Acquire() noexcept;
    void Release() noexcept { held_.store(false, std::memory_order_release); }

   private:
    std::atomic<bool> held_{false};
  };
  struct Size {
    Lock lock;
    Slab* open = nullptr;   // slabs with a free block, in a list
    Slab* spare = nullptr;  // an empty slab kept
  };

  Slab* NewSlab(size_t size_index) noexcept;
  void ReleaseSlab(Slab* slab) noexcept;

  Size sizes_[kSizes + 1] = {};
  // For each 64 KB of the address space: the size index (1 and up) of the
  // slab there, 0 where there is none.
  std::atomic<uint8_t> slab_sizes_[size_t{1} << (32 - kSlabShift)] = {};
  std::atomic<size_t> slabs_{0};
};

}  // namespace n2
