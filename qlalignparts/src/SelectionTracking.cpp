// Following the host's selection: the nested SelectionObserver, the evaluation
// behind CanAddSelected / CanRemoveSelected, and taking the selection in or out.
//
// Every query passes the selection context 0 and asks for the items as the user
// selected them. A scene without a selection manager has an empty selection.
#include "Internals.h"

namespace qlalignparts {

namespace {

constexpr unsigned int kSelectionContext = 0;

// The host's expand rule 4: the items as the user selected them, neither
// expanded into children nor widened to parents.
constexpr qlk::ExpandRule kAsSelected = static_cast<qlk::ExpandRule>(4);

bool IsMember(const std::set<du::SmartPtr<qlk::Instance>> &members,
              const du::SmartPtr<qlk::Instance> &instance) {
    return members.count(instance) != 0;
}

} // namespace

Alignment::SelectionObserver::SelectionObserver(Alignment *owner, int depth)
    : alignment(owner), updateDepth(depth) {}

Alignment::SelectionObserver::~SelectionObserver() = default;

du::Symbol Alignment::SelectionObserver::GetObjectClass() {
    static const du::Symbol objectClass("qlalignparts::SelectionObserver");
    return objectClass;
}

void Alignment::SelectionObserver::OnSelectionChange1() {
    if (updateDepth == 0)
        Evaluate();
}

void Alignment::SelectionObserver::OnSelectionChange2() {
    if (updateDepth == 0)
        Evaluate();
}

void Alignment::SelectionObserver::OnSelectionChange3() {
    if (updateDepth == 0)
        Evaluate();
}

void Alignment::SelectionObserver::BeginSelectionUpdate() {
    ++updateDepth;
}

void Alignment::SelectionObserver::EndSelectionUpdate() {
    if (updateDepth > 0)
        --updateDepth;
    // Also reached by an end without a beginning, which evaluates at once; a
    // negative depth is left alone and holds every evaluation back.
    if (updateDepth == 0)
        Evaluate();
}

void Alignment::SelectionObserver::Evaluate() {
    if (!alignment)
        return;
    // The host's answers during the evaluation might let go of the Alignment.
    AlignmentInternals::KeepAlive keep(alignment);
    alignment->SelectionChanged();
}

void Alignment::SelectionChanged() {
    canAddSelected = false;
    canRemoveSelected = false;
    std::vector<du::SmartPtr<qlk::SelectionItem>> items;

    if ((selectionTypes & 1) != 0) {
        SelectionChangedInstance(items);
        for (const auto &item : items) {
            // Anything but an object item for an instance says nothing about
            // the part set.
            auto *objectItem = dynamic_cast<qlk::ObjectSelectionItem *>(item.get());
            if (!objectItem)
                continue;
            du::SmartPtr<qlk::Object> object = objectItem->GetObject();
            du::SmartPtr<qlk::Instance> instance(dynamic_cast<qlk::Instance *>(object.get()));
            if (!instance)
                continue;
            const bool member = IsMember(parts, instance) || IsMember(assemblies, instance);
            if (!instance->IsExcluded()) {
                if (member)
                    canRemoveSelected = true;
                else
                    canAddSelected = true;
            }
            if (canAddSelected && canRemoveSelected)
                return;
        }
    }

    if ((selectionTypes & 2) != 0) {
        // The instance pass's items stay in the vector; they are no collections.
        SelectionChangedCollection(items);
        for (const auto &item : items) {
            auto *collection = dynamic_cast<qlk::CollectionSelectionItem *>(item.get());
            if (!collection)
                continue;
            du::SmartPtr<du::RefCounted> comparison = collection->GetComparisonObj();
            bool present = false;
            for (const auto &member : collections) {
                if (member->GetComparisonObj() == comparison) {
                    present = true;
                    break;
                }
            }
            if (present)
                canRemoveSelected = true;
            du::SmartPtr<qlk::Instance> instance = collection->GetInstance();
            if (instance && IsMember(parts, instance) && !instance->IsExcluded())
                canRemoveSelected = true;
            else if (!present && (!instance || !instance->IsExcluded()))
                canAddSelected = true;
            if (canAddSelected && canRemoveSelected)
                return;
        }
    }
}

void Alignment::SelectionChangedInstance(std::vector<du::SmartPtr<qlk::SelectionItem>> &items) {
    if (!selectionManager)
        return;
    const std::set<du::Symbol> types{qlk::mcad_selection::Instance, qlk::mcad_selection::Assembly};
    selectionManager->GetSelectedItems(kSelectionContext, types, items, kAsSelected);
}

void Alignment::SelectionChangedCollection(std::vector<du::SmartPtr<qlk::SelectionItem>> &items) {
    if (!selectionManager)
        return;
    selectionManager->GetSelectedItems(kSelectionContext, qlk::mcad_selection::Collection, items,
                                       kAsSelected);
}

void Alignment::GetSelectionTypes(std::set<du::Symbol> &types) const {
    if ((selectionTypes & 1) != 0) {
        types.insert(qlk::mcad_selection::Instance);
        types.insert(qlk::mcad_selection::Assembly);
    }
    if ((selectionTypes & 2) != 0)
        types.insert(qlk::mcad_selection::Collection);
}

void Alignment::AddSelected() {
    AlignmentInternals::KeepAlive keep(this);
    std::set<du::Symbol> types;
    GetSelectionTypes(types);
    std::vector<du::SmartPtr<qlk::SelectionItem>> items;
    if (selectionManager)
        selectionManager->GetSelectedItems(kSelectionContext, types, items, kAsSelected);
    for (const auto &item : items) {
        if (!item)
            continue;
        const du::Symbol &contentType = item->GetContentType();
        if (contentType == qlk::mcad_selection::Instance)
            AddPart(item);
        else if (contentType == qlk::mcad_selection::Assembly)
            AddAssembly(item);
        else if (contentType == qlk::mcad_selection::Collection)
            AddCollection(item);
    }
    // Also when nothing was admitted: observers get one event per call, after
    // the flags describe the new part set. A run the host fails still leaves the
    // items taken in, and the flags and observers must say so.
    if (previewed) {
        try {
            DoAlignment(1000);
        } catch (...) {
            SelectionChanged();
            AlignmentInternals::PostPartsChanged(*this);
            throw;
        }
    }
    SelectionChanged();
    AlignmentInternals::PostPartsChanged(*this);
}

void Alignment::RemoveSelected() {
    AlignmentInternals::KeepAlive keep(this);
    std::set<du::Symbol> types;
    GetSelectionTypes(types);
    std::vector<du::SmartPtr<qlk::SelectionItem>> items;
    if (selectionManager)
        selectionManager->GetSelectedItems(kSelectionContext, types, items, kAsSelected);
    Remove(items);
}

int Alignment::AddSmartPtrReference(const SelectionObserver *observer, void *holder) {
    if (!observer)
        return 0;
    const du::RefCounted *counted = observer;
    return counted->AddReference(holder);
}

// The host's release protocol, for a pointer that holds the observer through
// its nested class rather than through a smart pointer of its own.
bool Alignment::AttemptDeleteSmartPtrReference(const SelectionObserver *observer, void *holder) {
    if (!observer)
        return false;
    const du::RefCounted *counted = observer;
    if (counted->RemoveReference(holder) != 0)
        return false;
    counted->AddReference(holder);
    if (!counted->ZeroReferenceCountHook())
        return false;
    if (counted->RemoveReference(holder) != 0)
        return false;
    delete counted;
    return true;
}

} // namespace qlalignparts
