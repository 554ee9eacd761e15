// A removal's generation of the complete parts list anew.
#include "Internals.h"

namespace qlalignparts {

Alignment::PartsMap AlignmentInternals::Regenerate(Alignment &alignment) {
    Alignment::PartsMap &list = alignment.completePartsList;
    Alignment::Machinery &machinery = *alignment.machinery;
    // The instances, read in list order through the record, the nodes asked
    // for ahead.
    const std::vector<ListSlot> &slots = ListInOrder(alignment);
    const std::size_t count = slots.size();
    const std::size_t version = machinery.listRecord.version;
    Regeneration regeneration(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kNodesAhead < count)
            Prefetch<sizeof(Alignment::PartsMap::value_type)>(slots[i + kNodesAhead].entry);
        regeneration.formers.Insert({reinterpret_cast<std::uintptr_t>(slots[i].entry->first.get()),
                                     slots[i].drawn, static_cast<std::uint32_t>(i), false});
    }

    Alignment::PartsMap added;
    regeneration.into = &added;
    struct Scope {
        Alignment::Machinery &machinery;
        Regeneration *outer;
        ~Scope() { machinery.regeneration = outer; }
    } scope{machinery, machinery.regeneration};
    machinery.regeneration = &regeneration;
    alignment.GenerateCompletePartsList(added);

    Alignment::PartsMap dropped;
    if (machinery.listRecord.version == version) {
        // As it was (any change of the list counts in the version): the
        // record still names its entries.
        for (const auto &former : regeneration.formers.Places())
            if (former.address != 0 && !former.reached)
                dropped.insert(list.extract(slots[former.index].entry->first));
    } else {
        // The host changed the list from inside the generation: whatever it
        // listed meanwhile stays, as an entry listed by a run does.
        for (auto entry = list.begin(); entry != list.end();) {
            const auto *former =
                regeneration.formers.Find(reinterpret_cast<std::uintptr_t>(entry->first.get()));
            if (former && !former->reached)
                dropped.insert(list.extract(entry++));
            else
                ++entry;
        }
    }
    // Node handles move: nothing is allocated, nothing can fail from here on.
    list.merge(added);
    return dropped;
}

} // namespace qlalignparts
