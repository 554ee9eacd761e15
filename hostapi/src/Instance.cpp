#include <qlk/Kernel.h>

#include <cassert>
#include <utility>

namespace qlk {

Instance::Instance(std::string name) : name_(std::move(name)) {}

Instance::~Instance() {
    // Children may outlive their parent (others hold them); they become roots.
    for (auto &child : children_)
        child->parent_ = nullptr;
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
