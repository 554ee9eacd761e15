// The complete parts list: the part set expanded into every instance that
// moves, each with the location it had before the alignment first moved it.
//
// Entries are only ever added here, never overwritten: however often the list
// is generated again after the parts have moved, moving back restores the
// placements from before the first move. What makes the walks fast on large
// scenes (entries listed aside on a first generation, what a removal knows of
// the list before, the list's record) lives in FirstGeneration, Regeneration
// and ListRecord; the walks meet it only in Locate and Record (ListPlaces.cpp).
#include "Internals.h"

#include <optional>

namespace qlalignparts {

int Alignment::GenerateCompletePartsList(PartsMap &list) const {
    Machinery &state = *machinery;
    struct Scope {
        Machinery &state;
        FirstGeneration *outer;
        std::size_t outerFrom;
        ~Scope() {
            state.firstGeneration = outer;
            state.generatedFrom = outerFrom;
            state.subTrees.Trim();
        }
    } scope{state, state.firstGeneration, state.generatedFrom};
    std::optional<FirstGeneration> first;
    const bool chosen = !parts.empty() || !assemblies.empty() || !collections.empty();
    if (chosen && list.empty() && !(state.regeneration && state.regeneration->into == &list)) {
        // The entries listed straight away do not go through the record:
        // it is stale until they are all in place.
        if (&list == &completePartsList)
            AlignmentInternals::ListChanged(*this);
        first.emplace(list, state.listRecord.version);
        state.firstGeneration = &*first;
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
            state.generatedFrom = state.partSetChanges;
            added += walk();
        } while (state.generatedFrom != state.partSetChanges);
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

// Depth first, each node after its children, with the frames on an explicit
// stack: a product tree may be deeper than the host's thread has stack for.
int Alignment::AddAssemblyToCompletePartsList(const du::SmartPtr<qlk::Instance> &root,
                                              PartsMap &list) const {
    if (!scene)
        return 0;
    constexpr std::size_t ahead = AlignmentInternals::kObjectsAhead;
    SubTreeStack::Walk walk(machinery->subTrees);
    int added = 0;
    // Lists a node whose children are all walked (or that has none).
    const auto listNode = [&](const du::SmartPtr<qlk::Instance> &node,
                              const AlignmentInternals::Place &place) {
        du::SmartPtr<qlk::ShapeInstance> shape;
        scene->GetShapeInstance(du::ConstSmartPtr<qlk::Instance>(node), shape);
        if (shape)
            return AlignmentInternals::Record(*this, list, place, node, *shape);
        // Every node of a moving sub-tree must move, drawn or not; the scene
        // gives an undrawn node a shape instance so that it can be placed.
        scene->CreateShapeInstance(node, 0, du::Symbol::EMPTY);
        return AddPartToCompletePartsList(node, list);
    };
    // Reaches a node: a leaf is listed at once, an assembly's children are
    // fetched and it waits on the stack for them. Answers whether the part
    // set still stands.
    const auto reach = [&](const du::SmartPtr<qlk::Instance> &node) {
        if (!node)
            return true;
        const auto place = AlignmentInternals::Locate(*this, list, node);
        // Listed already: its sub-tree was walked when it was listed.
        if (place.listed)
            return true;
        if (!node->HasChildren()) {
            added += listNode(node, place);
            return !AlignmentInternals::PartSetChangedMeanwhile(*this);
        }
        auto &children = walk.Push(node).children;
        node->GetChildren(children);
        // The children are needed soon wherever the heap put them: the first
        // ones at once, each later one some places ahead.
        for (std::size_t i = 0; i < children.size() && i < ahead; ++i)
            AlignmentInternals::PrefetchAhead(*this, list, children[i].get());
        return true;
    };
    if (!reach(root))
        return added;
    while (!walk.Empty()) {
        SubTreeStack::Frame &top = walk.Top();
        if (top.next < top.children.size()) {
            const std::size_t i = top.next++;
            if (i + ahead < top.children.size())
                AlignmentInternals::PrefetchAhead(*this, list, top.children[i + ahead].get());
            if (!reach(top.children[i]))
                return added;
            continue;
        }
        // The children have taken their places; this node's may have moved on.
        const du::SmartPtr<qlk::Instance> &node = *top.node;
        added += listNode(node, AlignmentInternals::Locate(*this, list, node));
        walk.Pop();
        if (AlignmentInternals::PartSetChangedMeanwhile(*this))
            return added;
    }
    return added;
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

} // namespace qlalignparts
