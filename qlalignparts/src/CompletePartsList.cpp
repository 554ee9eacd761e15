// The complete parts list: the part set expanded into every instance that
// moves, each with the location it had before the alignment first moved it.
//
// Entries are only ever added here, never overwritten: however often the list
// is generated again after the parts have moved, moving back restores the
// placements from before the first move.
#include "CompletePartsList.h"
#include "Internals.h"

#include <iterator>

namespace qlalignparts {

int Alignment::GenerateCompletePartsList(PartsMap &list) const {
    int added = 0;
    for (const auto &part : parts) {
        // An assembly chosen as a part still moves with its whole sub-tree.
        if (part->IsTreatedAsPart())
            added += AddAssemblyToCompletePartsList(part, list);
        else
            added += AddPartToCompletePartsList(part, list);
    }
    for (const auto &assembly : assemblies)
        added += AddAssemblyToCompletePartsList(assembly, list);
    for (const auto &collection : collections)
        added += AddCollectionToCompletePartsList(collection, list);
    return added;
}

namespace {

// Where `instance` stands in the list: its entry, or the place it would take.
// Parts are mostly listed in the order they were made, which is mostly the
// order of their addresses; the place is then at the end, found without a search.
Alignment::PartsMap::iterator Locate(Alignment::PartsMap &list,
                                     const du::SmartPtr<qlk::Instance> &instance) {
    if (list.empty() || std::prev(list.end())->first < instance)
        return list.end();
    return list.lower_bound(instance);
}

bool IsListedAt(const Alignment::PartsMap &list, Alignment::PartsMap::iterator position,
                const du::SmartPtr<qlk::Instance> &instance) {
    return position != list.end() && position->first == instance;
}

// Records where the shape instance stands now as the instance's stored location.
int Record(Alignment::PartsMap &list, Alignment::PartsMap::iterator position,
           const du::SmartPtr<qlk::Instance> &instance, const qlk::ShapeInstance &shape) {
    dg::Location location;
    shape.GetLocation(location);
    list.emplace_hint(position, instance, location);
    return 1;
}

} // namespace

int Alignment::AddPartToCompletePartsList(const du::SmartPtr<qlk::Instance> &instance,
                                          PartsMap &list) const {
    if (!instance || !scene)
        return 0;
    const auto position = Locate(list, instance);
    if (IsListedAt(list, position, instance))
        return 0;
    du::SmartPtr<qlk::ShapeInstance> shape;
    scene->GetShapeInstance(du::ConstSmartPtr<qlk::Instance>(instance), shape);
    // Nothing drawn, nothing to move.
    if (!shape)
        return 0;
    return Record(list, position, instance, *shape);
}

int Alignment::AddAssemblyToCompletePartsList(const du::SmartPtr<qlk::Instance> &instance,
                                              PartsMap &list) const {
    if (!instance || !scene)
        return 0;
    auto position = Locate(list, instance);
    // Listed already: its sub-tree was walked when it was listed.
    if (IsListedAt(list, position, instance))
        return 0;
    int added = 0;
    if (instance->HasChildren()) {
        std::vector<du::SmartPtr<qlk::Instance>> children;
        instance->GetChildren(children);
        for (const auto &child : children)
            added += AddAssemblyToCompletePartsList(child, list);
        // The children have taken their places; this node's may have moved on.
        position = Locate(list, instance);
    }
    du::SmartPtr<qlk::ShapeInstance> shape;
    scene->GetShapeInstance(du::ConstSmartPtr<qlk::Instance>(instance), shape);
    if (shape)
        return added + Record(list, position, instance, *shape);
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

void KeepStoredLocations(Alignment::PartsMap &fresh, Alignment::PartsMap &old) {
    auto freshEntry = fresh.begin();
    auto oldEntry = old.begin();
    while (freshEntry != fresh.end() && oldEntry != old.end()) {
        if (freshEntry->first < oldEntry->first) {
            ++freshEntry;
        } else if (oldEntry->first < freshEntry->first) {
            ++oldEntry;
        } else {
            freshEntry->second = oldEntry->second;
            oldEntry = old.erase(oldEntry);
            ++freshEntry;
        }
    }
}

} // namespace qlalignparts
