#include <du/Allocator.h>
#include <qlk/Kernel.h>

#include <new>

// Both heaps are the global heap with a count of the blocks in use, so that
// tests can see everything allocated there returned. The counters are constant
// initialised and therefore usable during static initialisation and destruction.
namespace {
std::size_t commonBlocks = 0;
std::size_t poolBlocks = 0;
} // namespace

namespace du {

void *CommonAllocatorImpl::Allocate(std::size_t size, void * /*hint*/) {
    void *block = ::operator new(size);
    ++commonBlocks;
    return block;
}

void CommonAllocatorImpl::Free(void *block, std::size_t /*size*/) {
    if (!block)
        return;
    --commonBlocks;
    ::operator delete(block);
}

std::size_t CommonAllocatorImpl::BlocksInUse() {
    return commonBlocks;
}

} // namespace du

namespace qlk {

void *MemoryPoolAllocated::operator new(std::size_t size) {
    void *block = ::operator new(size);
    ++poolBlocks;
    return block;
}

void MemoryPoolAllocated::operator delete(void *block, std::size_t /*size*/) {
    if (!block)
        return;
    --poolBlocks;
    ::operator delete(block);
}

std::size_t MemoryPoolAllocated::BlocksInUse() {
    return poolBlocks;
}

} // namespace qlk
