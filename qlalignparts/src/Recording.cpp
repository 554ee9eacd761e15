// Recording the alignment as undoable steps of a host operation.
#include "Internals.h"

namespace qlalignparts {

void Alignment::Apply(const du::SmartPtr<qlk::Operation> &operation) {
    AlignmentInternals::KeepAlive keep(this);
    // While previewed every change has run already; otherwise the parts still
    // stand where they were and must be put in place before they are recorded.
    if (!previewed)
        DoAlignment(0);
    if (operation)
        AddOperationSteps(operation);
}

void Alignment::AddOperationSteps(const du::SmartPtr<qlk::Operation> &operation) const {
    if (!operation || !scene)
        return;
    const du::SmartPtr<qlk::Observable> observable(scene);

    operation->AddStep(
        du::SmartPtr<qlk::OperationStep>(new qlk::GroupUpdateStartOperationStep(observable)));
    std::size_t cursor = 0; // in the last run's placements
    try {
        AlignmentInternals::ForEachListed(*this, [&](const PartsMap::value_type &entry) {
            du::SmartPtr<qlk::ShapeInstance> shapeInstance;
            scene->GetShapeInstance(du::ConstSmartPtr<qlk::Instance>(entry.first), shapeInstance);
            if (!shapeInstance)
                return static_cast<const void *>(nullptr);
            dg::Location current;
            shapeInstance->GetLocation(current);
            // A move still animating ends where the last run sends the
            // instance, and so does the recorded step: undone and redone, the
            // part never stops half-way.
            const dg::Location &end = AlignmentInternals::EndOfMove(*this, entry, current, cursor);
            operation->AddStep(du::SmartPtr<qlk::OperationStep>(
                new qlk::ComponentMoveOperationStep(shapeInstance, entry.second, end, true, true)));
            return static_cast<const void *>(shapeInstance.get());
        });
    } catch (...) {
        // A group left open would leave the host's history unable to undo it:
        // the steps recorded so far are closed before the failure goes on.
        operation->AddStep(
            du::SmartPtr<qlk::OperationStep>(new qlk::GroupUpdateEndOperationStep(observable)));
        throw;
    }
    operation->AddStep(
        du::SmartPtr<qlk::OperationStep>(new qlk::GroupUpdateEndOperationStep(observable)));
}

} // namespace qlalignparts
