// Heap accounting for the benchmarks.
//
// The benchmark binary replaces the global operator new and delete, so every
// allocation of the process (the library's and the host's included, since both
// are shared libraries that reach operator new through the executable) is
// counted in bytes as malloc sizes the blocks (malloc_usable_size), without
// malloc's own per-block header. Single-threaded, like everything measured.
#pragma once

#include <cstddef>

namespace bench {

struct HeapCounters {
    std::size_t current = 0; // bytes in blocks now allocated
    std::size_t peak = 0;    // highest `current` since the last ResetPeak
};

HeapCounters &Heap();

// Starts a new peak from the current level and answers that level.
inline std::size_t ResetPeak() {
    Heap().peak = Heap().current;
    return Heap().current;
}

} // namespace bench
