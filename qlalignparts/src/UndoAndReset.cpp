// Moving instances back to their recorded locations, and resetting parts of
// the alignment to their initial state.
#include <vector>

#include "Internals.h"

namespace qlalignparts {

void Alignment::UndoAlignment(const PartsMap &list, int duration) const {
    if (!scene)
        return;
    // Every listed instance sent home is a run of its own for Apply to go by;
    // the few a removal dropped leave the last run's placements as they are.
    const bool whole = &list == &completePartsList;
    if (whole)
        AlignmentInternals::RememberRunHome(*this);
    AlignmentInternals::RunVectors run(*this, list.size(), whole);
    auto moveBack = [&](const PartsMap::value_type &entry) -> const void * {
        run.shapeInstances.emplace_back();
        du::SmartPtr<qlk::ShapeInstance> &shapeInstance = run.shapeInstances.back();
        scene->GetShapeInstance(du::ConstSmartPtr<qlk::Instance>(entry.first), shapeInstance);
        // An instance gone from the scene keeps its entry; it just cannot move.
        if (!shapeInstance) {
            run.shapeInstances.pop_back();
            return nullptr;
        }
        run.locations.push_back(entry.second);
        return shapeInstance.get();
    };
    // The list of a run has its record; a removal's list of dropped
    // instances is walked as it stands.
    if (whole)
        AlignmentInternals::ForEachListed(*this, moveBack);
    else
        for (const auto &entry : list)
            moveBack(entry);
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
        AlignmentInternals::PartSetChanged(*this);
        selection.clear();
        completePartsList.clear();
        AlignmentInternals::ListChanged(*this);
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
