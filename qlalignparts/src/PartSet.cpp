// The part set: which part instances, assemblies and collections take part,
// and the selection items through which each was chosen.
//
// Each kind is matched differently on removal: a part by the host's equality of
// selection items, an assembly by the selected object, a collection by its
// comparison object. So a fresh item for the same selection removes a member.
#include "Internals.h"

#include <algorithm>

namespace qlalignparts {

namespace {

bool IsSbomInstanceCollection(const qlk::SelectionItem &item) {
    return item.GetContentType() == qlk::mcad_selection::Collection &&
           item.GetCollectionType() == du::Symbol("SbomInstance");
}

du::SmartPtr<qlk::Instance> AsInstance(const du::SmartPtr<qlk::Object> &object) {
    return du::SmartPtr<qlk::Instance>(dynamic_cast<qlk::Instance *>(object.get()));
}

// An SBOM-instance collection whose instance the host treats as a part is a
// member of `parts`, admitted and removed as a part.
bool IsCollectionHandledAsPart(const qlk::CollectionSelectionItem &collection) {
    if (!IsSbomInstanceCollection(collection))
        return false;
    du::SmartPtr<qlk::Instance> instance = collection.GetInstance();
    return instance && instance->IsTreatedAsPart();
}

} // namespace

du::SmartPtr<qlk::Instance>
Alignment::GetItemInstance(const du::SmartPtr<qlk::SelectionItem> &item) {
    if (!item)
        return nullptr;
    if (IsSbomInstanceCollection(*item)) {
        // An item that only claims to be a collection falls through to the
        // object test instead of being taken for one.
        if (auto *collection = dynamic_cast<qlk::CollectionSelectionItem *>(item.get()))
            return collection->GetInstance();
    }
    if (auto *objectItem = dynamic_cast<qlk::ObjectSelectionItem *>(item.get()))
        return AsInstance(objectItem->GetObject());
    return nullptr;
}

bool Alignment::AddPart(const du::SmartPtr<qlk::SelectionItem> &item) {
    du::SmartPtr<qlk::Instance> instance = GetItemInstance(item);
    if (!instance || instance->IsExcluded() || parts.count(instance) != 0)
        return false;
    selection.push_back(item);
    parts.insert(instance);
    AlignmentInternals::PartSetChanged(*this);
    return true;
}

bool Alignment::AddAssembly(const du::SmartPtr<qlk::SelectionItem> &item) {
    auto *objectItem = dynamic_cast<qlk::ObjectSelectionItem *>(item.get());
    if (!objectItem)
        return false;
    du::SmartPtr<qlk::Instance> instance = AsInstance(objectItem->GetObject());
    if (!instance)
        return false;
    if (instance->IsTreatedAsPart())
        return AddPart(item);
    // Exclusion is not asked here: an excluded node may still be chosen as an assembly.
    if (assemblies.count(instance) != 0)
        return false;
    selection.push_back(item);
    assemblies.insert(instance);
    AlignmentInternals::PartSetChanged(*this);
    return true;
}

bool Alignment::AddCollection(const du::SmartPtr<qlk::SelectionItem> &item) {
    du::SmartPtr<qlk::CollectionSelectionItem> collection(
        dynamic_cast<qlk::CollectionSelectionItem *>(item.get()));
    if (!collection)
        return false;
    if (IsCollectionHandledAsPart(*collection))
        return AddPart(item);
    du::SmartPtr<du::RefCounted> comparison = collection->GetComparisonObj();
    for (const auto &member : collections)
        if (member->GetComparisonObj() == comparison)
            return false;
    selection.push_back(item);
    collections.push_back(collection);
    AlignmentInternals::PartSetChanged(*this);
    return true;
}

bool Alignment::RemovePart(const du::SmartPtr<qlk::SelectionItem> &item) {
    if (!item)
        return false;
    auto entry = std::find_if(selection.begin(), selection.end(),
                              [&](const du::SmartPtr<qlk::SelectionItem> &candidate) {
                                  return candidate && *candidate == *item;
                              });
    if (entry == selection.end())
        return false;
    selection.erase(entry);
    du::SmartPtr<qlk::Instance> instance = GetItemInstance(item);
    if (instance)
        parts.erase(instance);
    AlignmentInternals::PartSetChanged(*this);
    return true;
}

bool Alignment::RemoveAssembly(const du::SmartPtr<qlk::SelectionItem> &item) {
    auto *objectItem = dynamic_cast<qlk::ObjectSelectionItem *>(item.get());
    if (!objectItem)
        return false;
    if (objectItem->IsPartItem())
        return RemovePart(item);
    du::SmartPtr<qlk::Object> object = objectItem->GetObject();
    // The same object may also have been taken in as a part, by an item of
    // part content; that entry belongs to the part and is left for RemovePart,
    // or the part would stay in the set with no selection entry to remove it by.
    auto entry = std::find_if(
        selection.begin(), selection.end(), [&](const du::SmartPtr<qlk::SelectionItem> &candidate) {
            auto *other = dynamic_cast<qlk::ObjectSelectionItem *>(candidate.get());
            return other && other->GetObject() == object &&
                   !(other->GetContentType() == qlk::mcad_selection::Instance);
        });
    if (entry == selection.end())
        return false;
    selection.erase(entry);
    du::SmartPtr<qlk::Instance> instance = AsInstance(object);
    if (instance)
        assemblies.erase(instance);
    AlignmentInternals::PartSetChanged(*this);
    return true;
}

bool Alignment::RemoveCollection(const du::SmartPtr<qlk::SelectionItem> &item) {
    auto *collection = dynamic_cast<qlk::CollectionSelectionItem *>(item.get());
    if (!collection)
        return false;
    if (IsCollectionHandledAsPart(*collection))
        return RemovePart(item);
    du::SmartPtr<du::RefCounted> comparison = collection->GetComparisonObj();
    auto entry = std::find_if(
        selection.begin(), selection.end(), [&](const du::SmartPtr<qlk::SelectionItem> &candidate) {
            auto *other = dynamic_cast<qlk::CollectionSelectionItem *>(candidate.get());
            return other && other->GetComparisonObj() == comparison;
        });
    if (entry == selection.end())
        return false;
    selection.erase(entry);
    auto member = std::find_if(collections.begin(), collections.end(),
                               [&](const du::SmartPtr<qlk::CollectionSelectionItem> &candidate) {
                                   return candidate->GetComparisonObj() == comparison;
                               });
    if (member != collections.end())
        collections.erase(member);
    AlignmentInternals::PartSetChanged(*this);
    return true;
}

void Alignment::Remove(const std::vector<du::SmartPtr<qlk::SelectionItem>> &items) {
    AlignmentInternals::KeepAlive keep(this);
    for (const auto &item : items) {
        if (!item)
            continue;
        const du::Symbol &contentType = item->GetContentType();
        if (contentType == qlk::mcad_selection::Instance)
            RemovePart(item);
        else if (contentType == qlk::mcad_selection::Assembly)
            RemoveAssembly(item);
        else if (contentType == qlk::mcad_selection::Collection)
            RemoveCollection(item);
    }

    try {
        // Instances still taking part keep their stored locations; those new
        // to the list are recorded where they stand now. Should the host fail
        // on the way, the recorded locations are all still there.
        PartsMap dropped = AlignmentInternals::Regenerate(*this);
        AlignmentInternals::ListChanged(*this);

        if (previewed) {
            try {
                UndoAlignment(dropped, 1000);
            } catch (...) {
                // What could not be moved home stays listed, so that a later
                // removal still knows where home is.
                completePartsList.insert(dropped.begin(), dropped.end());
                AlignmentInternals::ListChanged(*this);
                throw;
            }
            // An origin derived from the parts has moved with the removal.
            if (originCSys.type == CSYS_FROM_PARTS)
                DoAlignment(1000);
        }
    } catch (...) {
        // The part set has changed all the same: the flags and the observers
        // must not go on describing the old one.
        SelectionChanged();
        AlignmentInternals::PostPartsChanged(*this);
        throw;
    }
    SelectionChanged();
    AlignmentInternals::PostPartsChanged(*this);
}

std::size_t Alignment::GetSelection(std::vector<du::SmartPtr<qlk::SelectionItem>> &items) const {
    if (&items != &selection)
        items = selection;
    return selection.size();
}

} // namespace qlalignparts
