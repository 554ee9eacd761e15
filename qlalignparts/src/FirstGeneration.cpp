// A first generation's entries listed aside, and how they go into the list.
#include "Internals.h"

#include <algorithm>
#include <iterator>

namespace qlalignparts {

void FirstGeneration::Add(const du::SmartPtr<qlk::Instance> &instance, const dg::Location &location,
                          const void *drawn) {
    const auto address = reinterpret_cast<std::uintptr_t>(instance.get());
    keys.push_back({address, static_cast<std::uint32_t>(aside.size())});
    try {
        aside.push_back({instance, location, drawn});
        listed.Insert({address});
    } catch (...) {
        if (aside.size() > keys.back().index)
            aside.pop_back();
        keys.pop_back();
        throw;
    }
}

void AlignmentInternals::PutInPlace(const Alignment &alignment, FirstGeneration &first) {
    Alignment::PartsMap *list = first.into;
    if (!list)
        return;
    auto &keys = first.keys;
    auto &straight = first.straight;
    const std::size_t count = keys.size();
    // Into a list no one else has changed since generation began, the
    // record comes out in list order on the way. The room is taken before
    // anything moves: should it fail, the entries are all still aside.
    std::sort(keys.begin(), keys.end());
    ListRecord &record = alignment.machinery->listRecord;
    const bool recorded =
        list == &alignment.completePartsList && first.recordable && record.version == first.version;
    std::vector<ListSlot> slots;
    if (recorded)
        slots.reserve(straight.size() + count);
    first.into = nullptr;
    std::size_t next = 0; // in `straight`
    auto hint = list->begin();
    for (std::size_t i = 0; i < count; ++i) {
        // The entries aside, and then their instances, some places ahead.
        if (i + kNodesAhead < count)
            Prefetch<sizeof(FirstGeneration::Aside)>(&first.aside[keys[i + kNodesAhead].index]);
        if (i + kObjectsAhead < count)
            Prefetch<sizeof(qlk::Instance)>(
                first.aside[keys[i + kObjectsAhead].index].instance.get());
        auto &entry = first.aside[keys[i].index];
        // Each goes in after the one before unless one listed straight away
        // lies between them; only then is its place searched for.
        const auto listed = list->emplace_hint(hint, entry.instance, entry.location);
        hint = std::next(listed);
        entry.instance = nullptr; // while the instance is at hand
        if (!recorded)
            continue;
        for (; next < straight.size() && reinterpret_cast<std::uintptr_t>(
                                             straight[next].entry->first.get()) < keys[i].address;
             ++next)
            slots.push_back(straight[next]);
        slots.push_back({&*listed, entry.drawn});
    }
    std::deque<FirstGeneration::Aside>().swap(first.aside);
    if (!recorded)
        return;
    slots.insert(slots.end(), straight.begin() + static_cast<std::ptrdiff_t>(next), straight.end());
    record.slots.swap(slots);
    record.current = true;
    ++record.version;
    std::vector<std::pair<std::uintptr_t, ListSlot>>().swap(record.added);
}

} // namespace qlalignparts
