// The record of the complete parts list: its entries in list order, one slot
// each, kept beside the map.
//
// In a heap that has been in use for hours the list's nodes, their instances
// and shape instances lie anywhere; walking this record front to back, a run
// knows some entries ahead what it will touch and asks the memory for it
// early. Generation only ever adds to the list: the entries it adds are noted
// aside and merged in, in key order, when the record is next read. Any other
// change of the list marks the record stale, and it is made afresh from the
// list. Holds no references.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include <qlalignparts/Alignment.h>

namespace qlalignparts {

struct ListSlot {
    const Alignment::PartsMap::value_type *entry;
    // The shape instance the scene last answered for the entry: a hint for
    // the early request only, never followed, since the scene is asked again
    // on every run.
    const void *drawn;
};

struct ListRecord {
    std::vector<ListSlot> slots;
    // Entries generated since `slots` was put in order, with their keys'
    // addresses, in the order they were made.
    std::vector<std::pair<std::uintptr_t, ListSlot>> added;
    bool current = false;
    std::size_t version = 0; // counts the changes of the list and of `slots`
};

// Merges `added` (any order) into `slots` (in key order), from the back, so
// that `slots` is in key order again without a walk over the list's nodes;
// empties `added` and gives its room back.
inline void MergeIntoSlots(std::vector<ListSlot> &slots,
                           std::vector<std::pair<std::uintptr_t, ListSlot>> &added) {
    std::sort(added.begin(), added.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    std::size_t from = slots.size();
    slots.resize(from + added.size());
    std::size_t next = added.size();
    std::size_t to = slots.size();
    while (next > 0) {
        if (from > 0 && reinterpret_cast<std::uintptr_t>(slots[from - 1].entry->first.get()) >
                            added[next - 1].first)
            slots[--to] = slots[--from];
        else
            slots[--to] = added[--next].second;
    }
    std::vector<std::pair<std::uintptr_t, ListSlot>>().swap(added);
}

} // namespace qlalignparts
