// du::CommonAllocatorImpl / du::CommonAllocated: the host's common heap.
// Objects deriving from CommonAllocated are allocated through it; the counters
// let tests see that nothing allocated there outlives its owner.
#pragma once

#include <cstddef>

namespace du {

class CommonAllocatorImpl {
public:
    // `hint` is reserved by the host and always null here.
    static void *Allocate(std::size_t size, void *hint);
    static void Free(void *block, std::size_t size);
    static std::size_t BlocksInUse();
};

class CommonAllocated {
public:
    static void *operator new(std::size_t size) {
        return CommonAllocatorImpl::Allocate(size, nullptr);
    }
    static void operator delete(void *block, std::size_t size) {
        CommonAllocatorImpl::Free(block, size);
    }
};

} // namespace du
