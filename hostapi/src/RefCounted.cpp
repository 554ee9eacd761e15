#include <du/RefCounted.h>

#include <algorithm>
#include <unordered_set>

namespace du {

namespace {

// The audit registry. Enable may run during the static initialisation of a test
// binary and objects may die during static destruction, so the registry is
// created on first use and deliberately never destroyed.
struct AuditRegistry {
    bool enabled = false;
    std::unordered_set<const RefCounted *> tracked;
};

AuditRegistry &Registry() {
    static AuditRegistry *registry = new AuditRegistry;
    return *registry;
}

} // namespace

RefCounted::RefCounted() {
    AuditRegistry &registry = Registry();
    if (registry.enabled) {
        holders_ = new std::vector<void *>;
        registry.tracked.insert(this);
    }
}

RefCounted::RefCounted(const RefCounted & /*other*/) : RefCounted() {}

RefCounted &RefCounted::operator=(const RefCounted & /*other*/) {
    return *this;
}

RefCounted::~RefCounted() {
    if (holders_) {
        Registry().tracked.erase(this);
        delete holders_;
        holders_ = nullptr;
    }
}

bool RefCounted::ZeroReferenceCountHook() const {
    return true;
}

void RefCounted::AddHolder(void *holder) const {
    holders_->push_back(holder);
}

void RefCounted::RemoveHolder(void *holder) const {
    // Holders usually let go in the reverse order of taking hold. A reader
    // dropping a reference that travelled in a notification record uses its
    // own address, which was never registered: the travelling entry goes.
    auto found = std::find(holders_->rbegin(), holders_->rend(), holder);
    if (found == holders_->rend())
        found = std::find(holders_->rbegin(), holders_->rend(), RefAudit::TravellingHolder());
    if (found != holders_->rend())
        holders_->erase(std::next(found).base());
}

void RefAudit::Enable(bool enabled) {
    Registry().enabled = enabled;
}

bool RefAudit::IsEnabled() {
    return Registry().enabled;
}

std::map<const RefCounted *, int> RefAudit::Snapshot() {
    std::map<const RefCounted *, int> snapshot;
    for (const RefCounted *object : Registry().tracked)
        snapshot.emplace(object, object->count_);
    return snapshot;
}

std::vector<void *> RefAudit::Holders(const RefCounted *object) {
    if (!object || !Registry().tracked.count(object) || !object->holders_)
        return {};
    return *object->holders_;
}

std::size_t RefAudit::LiveObjects() {
    return Registry().tracked.size();
}

} // namespace du
