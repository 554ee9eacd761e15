#include <qlk/Kernel.h>

namespace qlk {

GroupUpdateOperationStep::GroupUpdateOperationStep(const du::SmartPtr<Observable> &observable)
    : observable_(observable) {}

GroupUpdateOperationStep::~GroupUpdateOperationStep() = default;

ComponentMoveOperationStep::ComponentMoveOperationStep(
    const du::SmartPtr<ShapeInstance> &shapeInstance, const dg::Location &from,
    const dg::Location &to, bool recordable, bool notify)
    : shapeInstance_(shapeInstance), from_(from), to_(to), recordable_(recordable),
      notify_(notify) {}

ComponentMoveOperationStep::~ComponentMoveOperationStep() = default;

void ComponentMoveOperationStep::Undo() {
    if (shapeInstance_)
        shapeInstance_->SetLocation(from_);
}

void ComponentMoveOperationStep::Redo() {
    if (shapeInstance_)
        shapeInstance_->SetLocation(to_);
}

Operation::~Operation() = default;

bool Operation::AddStep(const du::SmartPtr<OperationStep> &step) {
    if (!step)
        return false;
    steps_.push_back(step);
    return true;
}

void Operation::Undo() {
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it)
        (*it)->Undo();
}

void Operation::Redo() {
    for (const auto &step : steps_)
        step->Redo();
}

void History::Push(const du::SmartPtr<Operation> &operation) {
    if (!operation)
        return;
    done_.push_back(operation);
    undone_.clear();
}

bool History::Undo() {
    if (done_.empty())
        return false;
    du::SmartPtr<Operation> operation = done_.back();
    done_.pop_back();
    operation->Undo();
    undone_.push_back(operation);
    return true;
}

bool History::Redo() {
    if (undone_.empty())
        return false;
    du::SmartPtr<Operation> operation = undone_.back();
    undone_.pop_back();
    operation->Redo();
    done_.push_back(operation);
    return true;
}

void History::Clear() {
    done_.clear();
    undone_.clear();
}

} // namespace qlk
