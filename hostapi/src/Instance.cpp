#include <qlk/Kernel.h>

#include <cassert>
#include <utility>
#include <vector>

namespace qlk {

Instance::Instance(std::string name) : name_(std::move(name)) {}

namespace {
// The children that instances released on this thread still hold, while the
// outermost release drains them. A product tree can be a million levels deep
// (a chain read from a file); releasing it one destructor inside the next
// would overflow the stack, so every destructor below the outermost hands its
// children here instead of releasing them itself.
thread_local std::vector<du::SmartPtr<Instance>> *releasing = nullptr;
} // namespace

Instance::~Instance() {
    // Children may outlive their parent (others hold them); they become roots.
    for (auto &child : children_)
        child->parent_ = nullptr;
    if (releasing) {
        releasing->insert(releasing->end(), children_.begin(), children_.end());
        children_.clear();
        return;
    }
    std::vector<du::SmartPtr<Instance>> pending;
    pending.swap(children_);
    releasing = &pending;
    while (!pending.empty()) {
        du::SmartPtr<Instance> child = pending.back();
        pending.pop_back();
        child = nullptr; // may destroy it, which appends its children to `pending`
    }
    releasing = nullptr;
}

void Instance::GetChildren(std::vector<du::SmartPtr<Instance>> &children) const {
    children.insert(children.end(), children_.begin(), children_.end());
}

void Instance::AddChild(const du::SmartPtr<Instance> &child) {
    assert((!child || !child->parent_) && "AddChild of an instance that already has a parent");
    if (!child || child->parent_ || child.get() == this)
        return;
    child->parent_ = this;
    children_.push_back(child);
    childCount_ = children_.size();
}

} // namespace qlk
