#include "base/small_block_heap.h"

#include <cstdlib>
#include <new>
#include <utility>

namespace n2 {

// The head of a slab; its blocks follow from kFirstBlock on.
struct SmallBlockHeap::Slab {
  static constexpr size_t kFirstBlock = 64;
  struct FreeBlock {
    FreeBlock* next;
  };
  Slab* previous = nullptr;  // in its size's list of open slabs
  Slab* next = nullptr;
  bool open = false;          // in that list
  FreeBlock* free = nullptr;  // blocks given back
  char* untouched = nullptr;  // blocks never handed out begin here
  size_t live = 0;            // blocks handed out
  size_t block_size = 0;

  char* End() { return reinterpret_cast<char*>(this) + kSlabBytes; }
  bool Full() { return !free && untouched + block_size > End(); }
};
namespace {

// With a size's lock held: the open slabs form a list.
template <class Slab>
void Open(Slab*& list, Slab* slab) {
  slab->open = true;
  slab->previous = nullptr;
  slab->next = list;
  if (list) list->previous = slab;
  list = slab;
}

template <class Slab>
void Close(Slab*& list, Slab* slab) {
  slab->open = false;
  if (slab->previous) slab->previous->next = slab->next;
  if (slab->next) slab->next->previous = slab->previous;
  if (list == slab) list = slab->next;
}

template <class Lock>
class Locked {
 public:
  explicit Locked(Lock& lock) : lock_(lock) { lock_.Acquire(); }
  ~Locked() { lock_.Release(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Lock& lock_;
};

}  // namespace

void SmallBlockHeap::Lock::Acquire() noexcept {
  for (int tries = 0; held_.exchange(true, std::memory_order_acquire); ++tries) {
    // The holder may be a thread the system has just put aside.
    while (held_.load(std::memory_order_relaxed)) {
      if (++tries < 64)
        YieldProcessor();
      else
        ::SwitchToThread();
    }
  }
}

SmallBlockHeap::~SmallBlockHeap() {
  for (Size& size : sizes_) {
    Locked locked(size.lock);
    if (size.spare) ReleaseSlab(std::exchange(size.spare, nullptr));
  }
}

SmallBlockHeap::Slab* SmallBlockHeap::NewSlab(size_t size_index) noexcept {
  static_assert(sizeof(Slab) <= Slab::kFirstBlock && Slab::kFirstBlock % 16 == 0);
  void* memory = ::VirtualAlloc(nullptr, kSlabBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!memory) return nullptr;
  const uintptr_t address = reinterpret_cast<uintptr_t>(memory);
  if (address & (kSlabBytes - 1)) {
    // Not at a boundary of 64 KB: no slab of this heap.
    ::VirtualFree(memory, 0, MEM_RELEASE);
    return nullptr;
  }
  Slab* slab = new (memory) Slab;
  slab->block_size = size_index * 16;
  slab->untouched = static_cast<char*>(memory) + Slab::kFirstBlock;
  slab_sizes_[address >> kSlabShift].store(static_cast<uint8_t>(size_index), std::memory_order_relaxed);
  slabs_.fetch_add(1, std::memory_order_relaxed);
  return slab;
}

void SmallBlockHeap::ReleaseSlab(Slab* slab) noexcept {
  slab_sizes_[reinterpret_cast<uintptr_t>(slab) >> kSlabShift].store(0, std::memory_order_relaxed);
  slabs_.fetch_sub(1, std::memory_order_relaxed);
  ::VirtualFree(slab, 0, MEM_RELEASE);
}

void* SmallBlockHeap::Allocate(size_t bytes) noexcept {
  if (bytes > kLargest) return std::malloc(bytes);
  const size_t index = bytes == 0 ? 1 : (bytes + 15) / 16;
  Size& size = sizes_[index];
  Locked locked(size.lock);
  Slab* slab = size.open;
  if (!slab) {
    slab = std::exchange(size.spare, nullptr);
    if (!slab) slab = NewSlab(index);
    if (!slab) return std::malloc(bytes);
    Open(size.open, slab);
  }
  void* block;
  if (slab->free) {
    block = slab->free;
    slab->free = slab->free->next;
  } else {
    block = slab->untouched;
    slab->untouched += slab->block_size;
  }
  ++slab->live;
  if (slab->Full()) Close(size.open, slab);
  return block;
}

void SmallBlockHeap::Free(void* block) noexcept {
  if (!block) return;
  const uintptr_t address = reinterpret_cast<uintptr_t>(block);
  const size_t index = slab_sizes_[address >> kSlabShift].load(std::memory_order_relaxed);
  if (index == 0) return std::free(block);
  Slab* slab = reinterpret_cast<Slab*>(address & ~(kSlabBytes - 1));
  Size& size = sizes_[index];
  Locked locked(size.lock);
  auto* given_back = static_cast<Slab::FreeBlock*>(block);
  given_back->next = slab->free;
  slab->free = given_back;
  --slab->live;
  if (slab->live > 0) {
    if (!slab->open) Open(size.open, slab);
    return;
  }
  // Empty: kept for the next block of this size, or given back.
  if (slab->open) Close(size.open, slab);
  slab->free = nullptr;
  slab->untouched = reinterpret_cast<char*>(slab) + Slab::kFirstBlock;
  if (!size.spare) {
    size.spare = slab;
    return;
  }
  ReleaseSlab(slab);
}

}  // namespace n2
