// The complete parts list: the part set expanded into every instance that
// moves, each with the location it had before the alignment first moved it.
//
// Entries are only ever added here, never overwritten: however often the list
// is generated again after the parts have moved, moving back restores the
// placements from before the first move.
#include "Internals.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <optional>

namespace qlalignparts {

int Alignment::GenerateCompletePartsList(PartsMap &list) const {
    struct Scope {
        const Alignment &alignment;
        FirstGeneration *outer;
        std::size_t outerFrom;
        ~Scope() {
            alignment.firstGeneration = outer;
            alignment.generatedFrom = outerFrom;
            AlignmentInternals::TrimChildBuffers(alignment);
        }
    } scope{*this, firstGeneration, generatedFrom};
    std::optional<FirstGeneration> first;
    const bool chosen = !parts.empty() || !assemblies.empty() || !collections.empty();
    if (chosen && list.empty() && !(regeneration && regeneration->into == &list)) {
        // The entries listed straight away do not go through the record:
        // it is stale until they are all in place.
        if (&list == &completePartsList)
            AlignmentInternals::ListChanged(*this);
        first.emplace(list, listRecord.version);
        firstGeneration = &*first;
    }
    // Each chosen item is held for its walk: the host may change the part set
    // from inside one of its calls, and the walk then starts over the part
    // set as it stands (what is listed already is found listed).
    const auto walk = [&] {
        int added = 0;
        // Answers whether the part set still stands as the walk found it.
        const auto each = [&](const auto &members, const auto &add) {
            for (const auto &member : members) {
                const auto held = member;
                added += add(held);
                if (AlignmentInternals::PartSetChangedMeanwhile(*this))
                    return false;
            }
            return true;
        };
        // An assembly chosen as a part still moves with its whole sub-tree.
        const bool stands = each(parts,
                                 [&](const du::SmartPtr<qlk::Instance> &part) {
                                     return part->IsTreatedAsPart()
                                                ? AddAssemblyToCompletePartsList(part, list)
                                                : AddPartToCompletePartsList(part, list);
                                 }) &&
                            each(assemblies, [&](const du::SmartPtr<qlk::Instance> &assembly) {
                                return AddAssemblyToCompletePartsList(assembly, list);
                            });
        if (stands)
            each(collections, [&](const du::SmartPtr<qlk::CollectionSelectionItem> &collection) {
                return AddCollectionToCompletePartsList(collection, list);
            });
        return added;
    };
    int added = 0;
    try {
        do {
            generatedFrom = partSetChanges;
            added += walk();
        } while (generatedFrom != partSetChanges);
    } catch (...) {
        // What was listed before the failure stays listed, as it would
        // entry by entry.
        if (first)
            AlignmentInternals::PutInPlace(*this, *first);
        throw;
    }
    if (first)
        AlignmentInternals::PutInPlace(*this, *first);
    return added;
}

namespace {

std::uintptr_t AddressOf(const void *object) {
    return reinterpret_cast<std::uintptr_t>(object);
}

// The place of `address` in an open-addressing table of 2^(64 - shift)
// places, or the free place where it would go: it goes first where its
// address hashes to, else to one of the next. `addressOf` reads a place's
// address, 0 for a free place.
template <class Place, class AddressOf>
std::size_t PlaceOf(const std::vector<Place> &places, unsigned shift, std::uintptr_t address,
                    AddressOf addressOf) {
    constexpr std::uint64_t kSpread = 0x9E3779B97F4A7C15u; // 2^64 over the golden ratio
    const std::size_t last = places.size() - 1;
    auto at = static_cast<std::size_t>((static_cast<std::uint64_t>(address) * kSpread) >> shift);
    while (addressOf(places[at]) != address && addressOf(places[at]) != 0)
        at = (at + 1) & last;
    return at;
}

std::size_t PlaceOf(const std::vector<std::uintptr_t> &places, unsigned shift,
                    std::uintptr_t address) {
    return PlaceOf(places, shift, address, [](std::uintptr_t taken) { return taken; });
}

} // namespace

bool Alignment::FirstGeneration::Listed(std::uintptr_t address) const {
    return !keys.empty() && places[PlaceOf(places, shift, address)] == address;
}

void Alignment::FirstGeneration::Add(const du::SmartPtr<qlk::Instance> &instance,
                                     const dg::Location &location, const void *drawn) {
    if (3 * (keys.size() + 1) > 2 * places.size()) {
        std::vector<std::uintptr_t> grown(2 * places.size());
        grown.swap(places);
        --shift;
        for (const std::uintptr_t taken : grown)
            if (taken != 0)
                places[PlaceOf(places, shift, taken)] = taken;
    }
    const std::uintptr_t address = AddressOf(instance.get());
    keys.push_back({address, static_cast<std::uint32_t>(aside.size())});
    try {
        aside.push_back({instance, location, drawn});
    } catch (...) {
        keys.pop_back();
        throw;
    }
    places[PlaceOf(places, shift, address)] = address;
}

void AlignmentInternals::PutInPlace(const Alignment &alignment, Alignment::FirstGeneration &first) {
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
    const bool recorded = list == &alignment.completePartsList && first.recordable &&
                          alignment.listRecord.version == first.version;
    std::vector<Alignment::ListSlot> slots;
    if (recorded)
        slots.reserve(straight.size() + count);
    first.into = nullptr;
    std::size_t next = 0; // in `straight`
    auto hint = list->begin();
    for (std::size_t i = 0; i < count; ++i) {
        // The entries aside, and then their instances, some places ahead.
        if (i + kNodesAhead < count)
            Prefetch<sizeof(Alignment::FirstGeneration::Aside)>(
                &first.aside[keys[i + kNodesAhead].index]);
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
        for (; next < straight.size() &&
               AddressOf(straight[next].entry->first.get()) < keys[i].address;
             ++next)
            slots.push_back(straight[next]);
        slots.push_back({&*listed, entry.drawn});
    }
    std::deque<Alignment::FirstGeneration::Aside>().swap(first.aside);
    if (!recorded)
        return;
    slots.insert(slots.end(), straight.begin() + static_cast<std::ptrdiff_t>(next), straight.end());
    Alignment::ListRecord &record = alignment.listRecord;
    record.slots.swap(slots);
    record.current = true;
    ++record.version;
    std::vector<std::pair<std::uintptr_t, Alignment::ListSlot>>().swap(record.added);
}

Alignment::Regeneration::Regeneration(std::size_t count) : places(2), shift(63) {
    while (2 * places.size() < 3 * count) {
        places.resize(2 * places.size());
        --shift;
    }
}

void Alignment::Regeneration::Add(std::uintptr_t address, const void *drawn, std::uint32_t index) {
    Former *place = Find(address);
    *place = {address, drawn, index, false};
}

// The place of `address`, or the free place where it would go.
Alignment::Regeneration::Former *Alignment::Regeneration::Find(std::uintptr_t address) {
    return &places[PlaceOf(places, shift, address,
                           [](const Former &former) { return former.address; })];
}

AlignmentInternals::Place AlignmentInternals::Locate(const Alignment &alignment,
                                                     Alignment::PartsMap &list,
                                                     const du::SmartPtr<qlk::Instance> &instance) {
    const std::size_t version = alignment.listRecord.version;
    const Alignment::FirstGeneration *first = alignment.firstGeneration;
    if (first && first->into == &list) {
        // Beyond the last entry it cannot be listed; below it, it went
        // straight in (among few, in a heap in use for hours) or aside.
        const bool listed = !list.empty() && !(std::prev(list.end())->first < instance) &&
                            (first->Listed(AddressOf(instance.get())) || list.count(instance));
        return {list.end(), nullptr, listed, version};
    }
    Alignment::Regeneration *regeneration = alignment.regeneration;
    if (regeneration && regeneration->into == &list) {
        Alignment::Regeneration::Former *former = regeneration->Find(AddressOf(instance.get()));
        if (former->address != 0)
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
    Alignment::Regeneration *regeneration = alignment.regeneration;
    if (regeneration && regeneration->into == &list)
        Prefetch<sizeof(qlk::ShapeInstance)>(regeneration->Find(AddressOf(instance))->drawn);
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
    Alignment::FirstGeneration *first = alignment.firstGeneration;
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
    const auto hint = place.version == alignment.listRecord.version ? place.position : list.end();
    const std::size_t before = list.size();
    const auto entry = list.emplace_hint(hint, instance, location);
    if (list.size() != before)
        EntryAdded(alignment, list, *entry, &shape);
    return 1;
}

int Alignment::AddPartToCompletePartsList(const du::SmartPtr<qlk::Instance> &instance,
                                          PartsMap &list) const {
    if (!instance || !scene)
        return 0;
    const auto place = AlignmentInternals::Locate(*this, list, instance);
    if (place.listed)
        return 0;
    du::SmartPtr<qlk::ShapeInstance> shape;
    scene->GetShapeInstance(du::ConstSmartPtr<qlk::Instance>(instance), shape);
    // Nothing drawn, nothing to move.
    if (!shape)
        return 0;
    return AlignmentInternals::Record(*this, list, place, instance, *shape);
}

int Alignment::AddAssemblyToCompletePartsList(const du::SmartPtr<qlk::Instance> &instance,
                                              PartsMap &list) const {
    if (!instance || !scene)
        return 0;
    auto place = AlignmentInternals::Locate(*this, list, instance);
    // Listed already: its sub-tree was walked when it was listed.
    if (place.listed)
        return 0;
    int added = 0;
    if (instance->HasChildren()) {
        AlignmentInternals::ChildrenLease lease(*this);
        instance->GetChildren(lease.children);
        const std::size_t count = lease.children.size();
        constexpr std::size_t ahead = AlignmentInternals::kObjectsAhead;
        // The children are needed soon wherever the heap put them: the first
        // ones at once, each later one some places ahead.
        for (std::size_t i = 0; i < count && i < ahead; ++i)
            AlignmentInternals::PrefetchAhead(*this, list, lease.children[i].get());
        for (std::size_t i = 0; i < count; ++i) {
            if (i + ahead < count)
                AlignmentInternals::PrefetchAhead(*this, list, lease.children[i + ahead].get());
            added += AddAssemblyToCompletePartsList(lease.children[i], list);
            if (AlignmentInternals::PartSetChangedMeanwhile(*this))
                return added;
        }
        // The children have taken their places; this node's may have moved on.
        place = AlignmentInternals::Locate(*this, list, instance);
    }
    du::SmartPtr<qlk::ShapeInstance> shape;
    scene->GetShapeInstance(du::ConstSmartPtr<qlk::Instance>(instance), shape);
    if (shape)
        return added + AlignmentInternals::Record(*this, list, place, instance, *shape);
    // Every node of a moving sub-tree must move, drawn or not; the scene gives
    // an undrawn node a shape instance so that it can be placed.
    scene->CreateShapeInstance(instance, 0, du::Symbol::EMPTY);
    return added + AddPartToCompletePartsList(instance, list);
}

int Alignment::AddCollectionToCompletePartsList(
    const du::SmartPtr<qlk::CollectionSelectionItem> &item, PartsMap &list) const {
    if (!item)
        return 0;
    int added = 0;
    auto addItems = [&](const std::vector<du::SmartPtr<qlk::SelectionItem>> &items) {
        for (const auto &member : items) {
            auto *objectItem = dynamic_cast<qlk::ObjectSelectionItem *>(member.get());
            if (!objectItem)
                continue;
            du::SmartPtr<qlk::Object> object = objectItem->GetObject();
            du::SmartPtr<qlk::Instance> instance(dynamic_cast<qlk::Instance *>(object.get()));
            const du::Symbol &contentType = objectItem->GetContentType();
            if (contentType == qlk::mcad_selection::Instance)
                added += AddPartToCompletePartsList(instance, list);
            else if (contentType == qlk::mcad_selection::Assembly)
                added += AddAssemblyToCompletePartsList(instance, list);
        }
    };
    addItems(item->GetFirstItemList());
    addItems(item->GetSecondItemList());
    return added;
}

void AlignmentInternals::EntryAdded(const Alignment &alignment, const Alignment::PartsMap &list,
                                    const Alignment::PartsMap::value_type &entry,
                                    const void *drawn) {
    Alignment::ListRecord &record = alignment.listRecord;
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

namespace {

// Orders entries of the record by their keys' addresses.
constexpr auto kByAddress = [](const auto &a, const auto &b) { return a.first < b.first; };

} // namespace

std::vector<Alignment::ListSlot> &AlignmentInternals::ListInOrder(const Alignment &alignment) {
    Alignment::ListRecord &record = alignment.listRecord;
    std::vector<Alignment::ListSlot> &slots = record.slots;
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
        std::vector<std::pair<std::uintptr_t, Alignment::ListSlot>>().swap(record.added);
        return slots;
    }
    if (record.added.empty())
        return slots;
    // Generation only ever adds: the new entries, put in key order, are merged
    // into the slots from the back, without a walk over the list's nodes. A
    // first generation is not among them (the record is made from the list
    // then), so these are the few that a later selection brought in.
    auto &added = record.added;
    std::sort(added.begin(), added.end(), kByAddress);
    const std::size_t kept = slots.size();
    slots.resize(kept + added.size());
    std::size_t from = kept;
    std::size_t next = added.size();
    std::size_t to = slots.size();
    while (next > 0) {
        if (from > 0 && reinterpret_cast<std::uintptr_t>(slots[from - 1].entry->first.get()) >
                            added[next - 1].first)
            slots[--to] = slots[--from];
        else
            slots[--to] = added[--next].second;
    }
    // Only generation needs this room; the list keeps what it holds.
    std::vector<std::pair<std::uintptr_t, Alignment::ListSlot>>().swap(added);
    ++record.version;
    return slots;
}

void AlignmentInternals::ReleaseAll(std::vector<du::SmartPtr<qlk::ShapeInstance>> &shapeInstances) {
    const std::size_t count = shapeInstances.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kObjectsAhead < count)
            Prefetch<sizeof(qlk::ShapeInstance)>(shapeInstances[i + kObjectsAhead].get());
        shapeInstances[i] = nullptr;
    }
    shapeInstances.clear();
}

AlignmentInternals::ChildrenLease::ChildrenLease(const Alignment &alignment)
    : children([&]() -> std::vector<du::SmartPtr<qlk::Instance>> & {
          if (!alignment.childBuffers)
              alignment.childBuffers = std::make_unique<Alignment::ChildBuffers>();
          Alignment::ChildBuffers &buffers = *alignment.childBuffers;
          if (buffers.depth == buffers.byDepth.size())
              buffers.byDepth.emplace_back();
          return buffers.byDepth[buffers.depth];
      }()),
      buffers_(*alignment.childBuffers) {
    ++buffers_.depth;
}

AlignmentInternals::ChildrenLease::~ChildrenLease() {
    children.clear();
    --buffers_.depth;
}

void AlignmentInternals::TrimChildBuffers(const Alignment &alignment) {
    if (!alignment.childBuffers || alignment.childBuffers->depth != 0)
        return;
    for (auto &buffer : alignment.childBuffers->byDepth)
        GiveBackRoom(buffer, 0, kKeptChildren);
}

Alignment::PartsMap AlignmentInternals::Regenerate(Alignment &alignment) {
    Alignment::PartsMap &list = alignment.completePartsList;
    // The instances, read in list order through the record, the nodes asked
    // for ahead.
    const std::vector<Alignment::ListSlot> &slots = ListInOrder(alignment);
    const std::size_t count = slots.size();
    const std::size_t version = alignment.listRecord.version;
    Alignment::Regeneration regeneration(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kNodesAhead < count)
            Prefetch<sizeof(Alignment::PartsMap::value_type)>(slots[i + kNodesAhead].entry);
        regeneration.Add(AddressOf(slots[i].entry->first.get()), slots[i].drawn,
                         static_cast<std::uint32_t>(i));
    }

    Alignment::PartsMap added;
    regeneration.into = &added;
    struct Scope {
        Alignment &alignment;
        Alignment::Regeneration *outer;
        ~Scope() { alignment.regeneration = outer; }
    } scope{alignment, alignment.regeneration};
    alignment.regeneration = &regeneration;
    alignment.GenerateCompletePartsList(added);

    Alignment::PartsMap dropped;
    if (alignment.listRecord.version == version) {
        // As it was (any change of the list counts in the version): the
        // record still names its entries.
        for (const auto &former : regeneration.places)
            if (former.address != 0 && !former.reached)
                dropped.insert(list.extract(slots[former.index].entry->first));
    } else {
        // The host changed the list from inside the generation: whatever it
        // listed meanwhile stays, as an entry listed by a run does.
        for (auto entry = list.begin(); entry != list.end();) {
            const auto *former = regeneration.Find(AddressOf(entry->first.get()));
            if (former->address != 0 && !former->reached)
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
