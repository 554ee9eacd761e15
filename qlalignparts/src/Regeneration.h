// What a removal's generation of the list anew knows of the list as it was.
//
// Each former entry is found by its instance's address, with its place in list
// order, the shape instance the scene last answered for it and whether
// generation has reached it again. An instance reached again keeps its entry
// as it is, its stored location with it; only the instances new to the list
// are looked up and recorded, into `into`, aside.
#pragma once

#include <cstddef>
#include <cstdint>

#include "AddressTable.h"

#include <qlalignparts/Alignment.h>

namespace qlalignparts {

struct Regeneration {
    struct Former {
        std::uintptr_t address; // 0 for a free place
        const void *drawn;      // the record's hint, for early requests only
        std::uint32_t index;    // in the list record's slots
        bool reached;
    };
    explicit Regeneration(std::size_t count) : formers(count) {}

    AddressTable<Former> formers;
    const Alignment::PartsMap *into = nullptr;
};

} // namespace qlalignparts
