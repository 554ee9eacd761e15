// A generation into an empty list, as when parts are first taken in.
//
// In a young heap parts are made in the order they are listed, so their
// addresses, the list's keys, mostly rise, and each new entry goes at the
// list's end. In a heap in use for hours they come in no order, and putting
// each in its place would mean a search down a tree whose nodes lie anywhere.
// So an instance whose address is beyond the list's last goes straight in at
// the end; the others are listed aside, with an address table to tell which
// are listed already, and go in, in key order, once generation is over.
// Anything that reads the list meanwhile (an operation the host starts from
// inside one of its calls) has them put in place first; generation then lists
// straight into the list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "AddressTable.h"
#include "ListRecord.h"

namespace qlalignparts {

struct FirstGeneration {
    struct Aside {
        du::SmartPtr<qlk::Instance> instance;
        dg::Location location;
        const void *drawn;
    };
    struct Key {
        std::uintptr_t address;
        std::uint32_t index; // in `aside`
        bool operator<(const Key &other) const { return address < other.address; }
    };
    struct Listed {
        std::uintptr_t address;
    };
    FirstGeneration(Alignment::PartsMap &list, std::size_t version)
        : into(&list), version(version) {}
    bool ListedAside(std::uintptr_t address) const { return listed.Find(address) != nullptr; }
    void Add(const du::SmartPtr<qlk::Instance> &instance, const dg::Location &location,
             const void *drawn);

    Alignment::PartsMap *into; // null once the entries are in place
    std::size_t version;       // the list record's when generation began
    // The entries that went straight in, in list order, for the record.
    std::vector<ListSlot> straight;
    bool recordable = true; // `straight` names every one of them
    // A deque: growing it copies no entry, and so takes no reference again.
    std::deque<Aside> aside;
    std::vector<Key> keys;
    AddressTable<Listed> listed;
};

} // namespace qlalignparts
