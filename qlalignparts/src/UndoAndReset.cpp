// Moving instances back to their recorded locations, and resetting parts of
// the alignment to their initial state.
#include <vector>

#include "Internals.h"

namespace qlalignparts {

void Alignment::UndoAlignment(const PartsMap &list, int duration) const {
    if (!scene)
        return;
    AlignmentInternals::RunVectors run(*this, list.size());
    for (const auto &[instance, recorded] : list) {
        du::SmartPtr<qlk::ShapeInstance> shapeInstance;
        scene->GetShapeInstance(du::ConstSmartPtr<qlk::Instance>(instance), shapeInstance);
        // An instance gone from the scene keeps its entry; it just cannot move.
        if (!shapeInstance)
            continue;
        run.shapeInstances.push_back(std::move(shapeInstance));
        run.locations.push_back(recorded);
    }
    // One move of the scene per undo, also an empty one, as for every run.
    scene->SmoothExplode(duration, run.shapeInstances, run.locations, false);
}

void Alignment::UndoAlignment(int duration) const {
    UndoAlignment(completePartsList, duration);
}

void Alignment::Reset(int flags) {
    AlignmentInternals::KeepAlive keep(this);
    // The setters below would each start a run of their own; one run at the
    // end, over the new state, is all a previewed alignment needs.
    const bool wasPreviewed = previewed;
    previewed = false;
    // Should the host or an observer fail on the way, the alignment must not
    // stay switched off: nothing would ever run it again on its own.
    struct PreviewRestorer {
        Alignment &alignment;
        bool wasPreviewed;
        ~PreviewRestorer() {
            if (wasPreviewed)
                alignment.previewed = true;
        }
    } restorer{*this, wasPreviewed};

    if (flags & 1) {
        if (wasPreviewed)
            UndoAlignment(completePartsList, 1000);
        parts.clear();
        assemblies.clear();
        collections.clear();
        selection.clear();
        completePartsList.clear();
        AlignmentInternals::PostPartsChanged(*this);
    }
    if (flags & 2)
        SetOriginCSys(CSYS_NONE, du::SmartPtr<moduleutils::DerivedCSys>());
    if (flags & 4)
        SetTargetCSys(CSYS_NONE, du::SmartPtr<moduleutils::DerivedCSys>());
    if (flags & 8)
        SetOffsets(dg::DVec3::ZERO, dg::DVec3::ZERO);

    // An observer may have switched the preview back on meanwhile; then it
    // has run the alignment already.
    if (wasPreviewed && !previewed) {
        previewed = true;
        DoAlignment(1000);
    }
    restorer.wasPreviewed = false;
}

} // namespace qlalignparts
