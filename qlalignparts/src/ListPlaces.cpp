// Where an entry goes in the list being generated, and putting it there.
//
// Generation asks these two for every instance it reaches: whether it is
// listed already (a removal's generation anew asks what the list before
// knew of it; a first generation asks its entries aside), and, once the
// scene has answered its shape instance, to list it.
#include "Internals.h"

#include <iterator>
#include <new>

namespace qlalignparts {

namespace {

std::uintptr_t AddressOf(const void *object) {
    return reinterpret_cast<std::uintptr_t>(object);
}

} // namespace

AlignmentInternals::Place AlignmentInternals::Locate(const Alignment &alignment,
                                                     Alignment::PartsMap &list,
                                                     const du::SmartPtr<qlk::Instance> &instance) {
    const Alignment::Machinery &state = *alignment.machinery;
    const std::size_t version = state.listRecord.version;
    const FirstGeneration *first = state.firstGeneration;
    if (first && first->into == &list) {
        // Beyond the last entry it cannot be listed; below it, it went
        // straight in (among few, in a heap in use for hours) or aside.
        const bool listed = !list.empty() && !(std::prev(list.end())->first < instance) &&
                            (first->ListedAside(AddressOf(instance.get())) || list.count(instance));
        return {list.end(), nullptr, listed, version};
    }
    Regeneration *regeneration = state.regeneration;
    if (regeneration && regeneration->into == &list) {
        if (Regeneration::Former *former = regeneration->formers.Find(AddressOf(instance.get())))
            return {list.end(), former, former->reached, version};
    }
    // Parts are mostly listed in the order they were made, which is mostly the
    // order of their addresses; the place is then at the end, found without a search.
    const auto position = list.empty() || std::prev(list.end())->first < instance
                              ? list.end()
                              : list.lower_bound(instance);
    return {position, nullptr, position != list.end() && position->first == instance, version};
}

void AlignmentInternals::PrefetchAhead(const Alignment &alignment, const Alignment::PartsMap &list,
                                       const qlk::Instance *instance) {
    Prefetch<sizeof(qlk::Instance)>(instance);
    Regeneration *regeneration = alignment.machinery->regeneration;
    if (regeneration && regeneration->into == &list)
        if (const auto *former = regeneration->formers.Find(AddressOf(instance)))
            Prefetch<sizeof(qlk::ShapeInstance)>(former->drawn);
}

int AlignmentInternals::Record(const Alignment &alignment, Alignment::PartsMap &list,
                               const Place &place, const du::SmartPtr<qlk::Instance> &instance,
                               const qlk::ShapeInstance &shape) {
    if (place.former) {
        // Listed before and drawn still: the entry stays, with the location
        // stored before the first move.
        place.former->reached = true;
        return 1;
    }
    // Where the shape instance stands now becomes the instance's stored location.
    dg::Location location;
    shape.GetLocation(location);
    if (PartSetChangedMeanwhile(alignment))
        return 0;
    const Alignment::Machinery &state = *alignment.machinery;
    FirstGeneration *first = state.firstGeneration;
    if (first && first->into == &list) {
        if (!list.empty() && !(std::prev(list.end())->first < instance)) {
            first->Add(instance, location, &shape);
            return 1;
        }
        const auto entry = list.emplace_hint(list.end(), instance, location);
        try {
            first->straight.push_back({&*entry, &shape});
        } catch (const std::bad_alloc &) {
            // The entry is listed all the same; the record is simply made afresh.
            first->recordable = false;
        }
        return 1;
    }
    // The host may have changed the list from inside one of its calls since
    // the place was found: then the place may be gone, and the instance may
    // even be listed by now (its entry stays as it is).
    const auto hint = place.version == state.listRecord.version ? place.position : list.end();
    const std::size_t before = list.size();
    const auto entry = list.emplace_hint(hint, instance, location);
    if (list.size() != before)
        EntryAdded(alignment, list, *entry, &shape);
    return 1;
}

} // namespace qlalignparts
