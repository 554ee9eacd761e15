#include "CountingAllocator.h"

#include <cstdlib>
#include <malloc.h>
#include <new>

namespace bench {

HeapCounters &Heap() {
    // Constant-initialised, so usable by allocations during static initialisation.
    static HeapCounters counters;
    return counters;
}

} // namespace bench

namespace {

void Count(void *block) {
    bench::HeapCounters &heap = bench::Heap();
    heap.current += malloc_usable_size(block);
    if (heap.current > heap.peak)
        heap.peak = heap.current;
}

void *Allocate(std::size_t size) {
    void *block = std::malloc(size == 0 ? 1 : size);
    if (!block)
        throw std::bad_alloc();
    Count(block);
    return block;
}

void *AllocateAligned(std::size_t size, std::align_val_t alignment) {
    const auto align = static_cast<std::size_t>(alignment);
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t rounded = (size + align - 1) / align * align;
    void *block = std::aligned_alloc(align, rounded == 0 ? align : rounded);
    if (!block)
        throw std::bad_alloc();
    Count(block);
    return block;
}

void Free(void *block) noexcept {
    if (!block)
        return;
    bench::Heap().current -= malloc_usable_size(block);
    std::free(block);
}

} // namespace

void *operator new(std::size_t size) {
    return Allocate(size);
}
void *operator new[](std::size_t size) {
    return Allocate(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new(std::size_t size, std::align_val_t alignment) {
    return AllocateAligned(size, alignment);
}
void *operator new[](std::size_t size, std::align_val_t alignment) {
    return AllocateAligned(size, alignment);
}

void operator delete(void *block) noexcept {
    Free(block);
}
void operator delete[](void *block) noexcept {
    Free(block);
}
void operator delete(void *block, std::size_t) noexcept {
    Free(block);
}
void operator delete[](void *block, std::size_t) noexcept {
    Free(block);
}
void operator delete(void *block, const std::nothrow_t &) noexcept {
    Free(block);
}
void operator delete[](void *block, const std::nothrow_t &) noexcept {
    Free(block);
}
void operator delete(void *block, std::align_val_t) noexcept {
    Free(block);
}
void operator delete[](void *block, std::align_val_t) noexcept {
    Free(block);
}
void operator delete(void *block, std::size_t, std::align_val_t) noexcept {
    Free(block);
}
void operator delete[](void *block, std::size_t, std::align_val_t) noexcept {
    Free(block);
}
