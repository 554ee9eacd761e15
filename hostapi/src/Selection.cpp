#include <qlk/Kernel.h>

#include <algorithm>
#include <typeinfo>

namespace qlk {

namespace mcad_selection {
const du::Symbol Instance("mcad_instance");
const du::Symbol Assembly("mcad_assembly");
const du::Symbol Collection("mcad_collection");
} // namespace mcad_selection

// ---------------------------------------------------------------------------
// Selection items

const du::Symbol &SelectionItem::GetCollectionType() const {
    return du::Symbol::EMPTY;
}

ObjectSelectionItem::ObjectSelectionItem(const du::SmartPtr<Object> &object,
                                         const du::Symbol &contentType, bool partItem)
    : object_(object), contentType_(contentType), partItem_(partItem) {}

ObjectSelectionItem::~ObjectSelectionItem() = default;

bool ObjectSelectionItem::IsSameSelection(const SelectionItem &other) const {
    if (typeid(*this) != typeid(other))
        return false;
    const auto &item = static_cast<const ObjectSelectionItem &>(other);
    return item.object_ == object_ && item.contentType_ == contentType_;
}

CollectionSelectionItem::CollectionSelectionItem(
    const du::SmartPtr<du::RefCounted> &comparisonObj, const du::Symbol &collectionType,
    const du::SmartPtr<Instance> &instance, std::vector<du::SmartPtr<SelectionItem>> firstItems,
    std::vector<du::SmartPtr<SelectionItem>> secondItems)
    : comparisonObj_(comparisonObj), collectionType_(collectionType), instance_(instance),
      firstItems_(std::move(firstItems)), secondItems_(std::move(secondItems)) {}

CollectionSelectionItem::~CollectionSelectionItem() = default;

const du::Symbol &CollectionSelectionItem::GetContentType() const {
    return mcad_selection::Collection;
}

bool CollectionSelectionItem::IsSameSelection(const SelectionItem &other) const {
    const auto *item = dynamic_cast<const CollectionSelectionItem *>(&other);
    if (!item)
        return false;
    // Collections are the same selection when they compare by the same object;
    // without one, only the item itself is.
    if (!comparisonObj_ && !item->comparisonObj_)
        return item == this;
    return item->comparisonObj_ == comparisonObj_;
}

// ---------------------------------------------------------------------------
// SelectionObserver: the defaults ignore every notification.

void SelectionObserver::OnSelectionChanged(
    unsigned int /*context*/, bool /*interactive*/,
    const std::vector<du::SmartPtr<SelectionItem>> & /*added*/,
    const std::vector<du::SmartPtr<SelectionItem>> & /*removed*/) {}

void SelectionObserver::OnSelectionChange1() {}

void SelectionObserver::OnSelectionChange2() {}

void SelectionObserver::OnSelectionChange3() {}

void SelectionObserver::BeginSelectionUpdate() {}

void SelectionObserver::EndSelectionUpdate() {}

// ---------------------------------------------------------------------------
// SelectionManager

namespace {
constexpr std::size_t kKeptQueries = 64;
} // namespace

SelectionManager::~SelectionManager() = default;

bool SelectionManager::RegisterObserver(unsigned int context, const SelectionObserver &observer) {
    registrationContexts_.push_back(context);
    for (const auto &registered : observers_)
        if (registered.get() == &observer)
            return false;
    // The manager keeps its observers alive while they are registered.
    observers_.emplace_back(const_cast<SelectionObserver *>(&observer));
    return true;
}

bool SelectionManager::UnregisterObserver(unsigned int context, const SelectionObserver &observer) {
    registrationContexts_.push_back(context);
    auto found = std::find_if(observers_.begin(), observers_.end(),
                              [&observer](const du::SmartPtr<SelectionObserver> &registered) {
                                  return registered.get() == &observer;
                              });
    if (found == observers_.end())
        return false;
    du::SmartPtr<SelectionObserver> released = *found;
    observers_.erase(found);
    return true;
}

bool SelectionManager::GetSelectedItems(unsigned int context, const std::set<du::Symbol> &types,
                                        std::vector<du::SmartPtr<SelectionItem>> &items,
                                        ExpandRule rule) const {
    if (queries_.size() >= kKeptQueries)
        queries_.erase(queries_.begin());
    queries_.push_back({context, rule, types.size()});
    for (const auto &item : selected_)
        if (types.count(item->GetContentType()))
            items.push_back(item);
    return true;
}

bool SelectionManager::GetSelectedItems(unsigned int context, const du::Symbol &type,
                                        std::vector<du::SmartPtr<SelectionItem>> &items,
                                        ExpandRule rule) const {
    if (queries_.size() >= kKeptQueries)
        queries_.erase(queries_.begin());
    queries_.push_back({context, rule, 1});
    for (const auto &item : selected_)
        if (item->GetContentType() == type)
            items.push_back(item);
    return true;
}

template <class Call> void SelectionManager::Notify(Call call) {
    // Observers may register, unregister or release observers (themselves
    // included) while being notified: walk a counted copy and skip those that
    // have been unregistered meanwhile.
    std::vector<du::SmartPtr<SelectionObserver>> observers = observers_;
    for (const auto &observer : observers) {
        if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
            continue;
        call(*observer);
    }
}

void SelectionManager::Select(const du::SmartPtr<SelectionItem> &item) {
    if (!item)
        return;
    for (const auto &selected : selected_)
        if (*selected == *item)
            return; // already selected: nothing changes
    selected_.push_back(item);
    const std::vector<du::SmartPtr<SelectionItem>> added{item};
    Notify([&added](SelectionObserver &observer) {
        observer.OnSelectionChanged(0, true, added, {});
        observer.OnSelectionChange1();
    });
}

void SelectionManager::Deselect(const du::SmartPtr<SelectionItem> &item) {
    if (!item)
        return;
    std::vector<du::SmartPtr<SelectionItem>> removed;
    std::vector<du::SmartPtr<SelectionItem>> kept;
    for (const auto &selected : selected_)
        (*selected == *item ? removed : kept).push_back(selected);
    if (removed.empty())
        return;
    selected_.swap(kept);
    Notify([&removed](SelectionObserver &observer) {
        observer.OnSelectionChanged(0, true, {}, removed);
        observer.OnSelectionChange2();
    });
}

void SelectionManager::Clear() {
    if (selected_.empty())
        return;
    std::vector<du::SmartPtr<SelectionItem>> removed;
    removed.swap(selected_);
    Notify([&removed](SelectionObserver &observer) {
        observer.OnSelectionChanged(0, true, {}, removed);
        observer.OnSelectionChange3();
    });
}

void SelectionManager::SetSelection(const std::vector<du::SmartPtr<SelectionItem>> &items) {
    BeginSelectionUpdate();
    Clear();
    for (const auto &item : items)
        Select(item);
    EndSelectionUpdate();
}

void SelectionManager::BeginSelectionUpdate() {
    Notify([](SelectionObserver &observer) { observer.BeginSelectionUpdate(); });
}

void SelectionManager::EndSelectionUpdate() {
    Notify([](SelectionObserver &observer) { observer.EndSelectionUpdate(); });
}

// ---------------------------------------------------------------------------
// Kernel

namespace {

// The kernel lives as long as the process, so that objects destroyed during
// static destruction may still reach it. At exit the reaper releases what the
// kernel manages and nobody else holds, whichever statics go before or after it;
// objects still held elsewhere stay reachable from the kernel.
struct KernelReaper {
    Kernel *kernel;
    ~KernelReaper() { kernel->CollectGarbage(); }
};

} // namespace

du::SmartPtr<Kernel> Kernel::GetKernel() {
    static Kernel *kernel = [] {
        auto *created = new Kernel;
        created->AddReference(&kernel);
        return created;
    }();
    static KernelReaper reaper{kernel};
    return du::SmartPtr<Kernel>(kernel);
}

Kernel::~Kernel() = default;

} // namespace qlk
