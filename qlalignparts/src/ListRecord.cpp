// Keeping the record of the complete parts list in step with the list.
#include "Internals.h"

#include <new>

namespace qlalignparts {

void AlignmentInternals::EntryAdded(const Alignment &alignment, const Alignment::PartsMap &list,
                                    const Alignment::PartsMap::value_type &entry,
                                    const void *drawn) {
    ListRecord &record = alignment.machinery->listRecord;
    if (&list != &alignment.completePartsList || !record.current)
        return;
    if (record.slots.empty()) {
        // A first generation: the record is made from the list once it
        // stands, in one walk, rather than from entries sorted one by one.
        ListChanged(alignment);
        return;
    }
    ++record.version;
    try {
        record.added.push_back(
            {reinterpret_cast<std::uintptr_t>(entry.first.get()), {&entry, drawn}});
    } catch (const std::bad_alloc &) {
        // The entry is listed all the same; the record is simply made afresh.
        ListChanged(alignment);
    }
}

std::vector<ListSlot> &AlignmentInternals::ListInOrder(const Alignment &alignment) {
    ListRecord &record = alignment.machinery->listRecord;
    std::vector<ListSlot> &slots = record.slots;
    const Alignment::PartsMap &list = alignment.completePartsList;
    if (!record.current) {
        // Made afresh from the list; the scene's answers are learnt on the way.
        slots.clear();
        GiveBackRoom(slots, list.size());
        slots.reserve(list.size());
        for (const auto &entry : list)
            slots.push_back({&entry, nullptr});
        record.current = true;
        ++record.version;
        std::vector<std::pair<std::uintptr_t, ListSlot>>().swap(record.added);
        return slots;
    }
    if (record.added.empty())
        return slots;
    // Generation only ever adds: the new entries are merged into the slots
    // without a walk over the list's nodes. A first generation is not among
    // them (the record is made from the list then), so these are the few that
    // a later selection brought in.
    MergeIntoSlots(slots, record.added);
    ++record.version;
    return slots;
}

} // namespace qlalignparts
