// The plug-in's C++ allocations of small blocks go to a heap of their own
// (see base/small_block_heap.h): the one heap of the process, as operator
// new is. It is never destroyed before the plug-in's last object: blocks
// freed while the DLL unloads still find it.
#include <new>

#include "base/small_block_heap.h"

namespace {

constinit n2::SmallBlockHeap heap;

void* Allocate(std::size_t size) {
  for (;;) {
    if (void* block = heap.Allocate(size)) return block;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

void* AllocateOrNothing(std::size_t size) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNothing(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNothing(size); }
void operator delete(void* block) noexcept { heap.Free(block); }
void operator delete[](void* block) noexcept { heap.Free(block); }
void operator delete(void* block, std::size_t) noexcept { heap.Free(block); }
void operator delete[](void* block, std::size_t) noexcept { heap.Free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { heap.Free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { heap.Free(block); }
