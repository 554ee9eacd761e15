// The two preview widgets: showing and hiding them, previewing a candidate
// coordinate system, and switching the live preview of the alignment.
#include "Internals.h"
#include "Placements.h"

namespace qlalignparts {

void AlignmentInternals::ShowWidget(const Alignment &alignment,
                                    const du::SmartPtr<qlmk::CSysPreviewWidget> &widget,
                                    bool shown) {
    if (!alignment.scene || !widget)
        return;
    // Called on every change, shown or not: the scene keeps a markup once
    // however often it is added, and ignores removing one it does not hold.
    du::SmartPtr<qlk::Markup> markup(widget);
    if (shown)
        alignment.scene->AddMarkup(markup);
    else
        alignment.scene->RemoveMarkup(markup);
}

bool Alignment::PreviewCustomCSys(CSYS_ID id, const du::SmartPtr<moduleutils::DerivedCSys> &csys) {
    AlignmentInternals::KeepAlive keep(this);
    du::SmartPtr<qlmk::CSysPreviewWidget> widget;
    switch (id) {
    case CSYS_ORIGIN:
        widget = originWidget;
        break;
    case CSYS_TARGET:
        widget = targetWidget;
        break;
    default:
        return false;
    }

    // Only the widget changes; the record stays as the last set operation left
    // it, so the candidate is used by a run only while that system is defined.
    const bool valid = csys && csys->IsValid();
    dg::Location location;
    if (valid)
        location = csys->GetLocation();
    const bool shown = valid && placements::IsFinite(location);
    if (shown && widget)
        widget->SetLocation(location);
    AlignmentInternals::ShowWidget(*this, widget, shown);
    // The answer is the system's own, asked again now that the widget shows
    // it, except for a system that says it is valid but gives a placement the
    // scene cannot show: that one is not valid here either.
    if (!csys || valid != shown)
        return false;
    return csys->IsValid();
}

void Alignment::SetPreviewed(bool newPreviewed) {
    AlignmentInternals::KeepAlive keep(this);
    if (newPreviewed == previewed)
        return;
    previewed = newPreviewed;
    try {
        if (previewed)
            DoAlignment(1000);
        else
            UndoAlignment(completePartsList, 1000);
    } catch (...) {
        // The parts did not move: keep the old setting, so that asking again
        // is not taken for a change already made.
        previewed = !newPreviewed;
        throw;
    }
}

} // namespace qlalignparts
