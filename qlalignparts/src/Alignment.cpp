// The Alignment as a whole: its construction on a view, its destruction, the
// plain accessors and the two state queries.
#include "Internals.h"

#include <string>

#include <du/Localizer.h>

namespace qlalignparts {

namespace {

// What the host's localizer does with a key its bundle lacks, value 0 of its
// ActionOnFailure: the label shows the key itself rather than nothing.
constexpr auto kLabelFallback = static_cast<du::Localizer::ActionOnFailure>(0);

// A preview widget of one coordinate system, labelled from the host's bundle. Not
// shown: a widget enters the scene only when its coordinate system is defined.
du::SmartPtr<qlmk::CSysPreviewWidget> CreatePreviewWidget(const du::SmartPtr<qlk::ShapeView> &view,
                                                          const char *labelKey,
                                                          const dg::Color &color) {
    du::SmartPtr<qlk::View> widgetView(view);
    du::Localizer strings("qlbase:qlmodulesStrings");
    std::string label = strings.LocalizeMessage(labelKey, kLabelFallback);
    return du::SmartPtr<qlmk::CSysPreviewWidget>(
        new qlmk::CSysPreviewWidget(widgetView, color, label));
}

} // namespace

Alignment::Alignment(const du::SmartPtr<qlk::ShapeView> &shapeView, int acceptedTypes)
    : du::RefCounted(), dom::Observable(), originCSys{false, CSYS_NONE, nullptr},
      targetCSys{false, CSYS_NONE, nullptr}, alignmentMode(ALIGNMENT_TRANSLATE_AND_ROTATE),
      previewed(true), canAddSelected(false), canRemoveSelected(false), view(shapeView),
      translationOffset(dg::DVec3::ZERO), rotationOffset(dg::DVec3::ZERO),
      selectionTypes(acceptedTypes), machinery(std::make_unique<Machinery>()) {
    // Without a view or a scene the Alignment stays inert: everything below that
    // would reach them is skipped, and the queries answer null, 0 or false.
    if (view)
        view->GetShapeScene(scene);
    if (scene)
        scene->GetSelectionManager(selectionManager);

    if (selectionManager) {
        selectionObserver = new SelectionObserver(this, 0);
        {
            // The kernel's management keeps the observer alive for the host's
            // notifications, also after this Alignment has let go of it.
            du::SmartPtr<qlk::Kernel> kernel = qlk::Kernel::GetKernel();
            kernel->ManageObject(du::SmartPtr<dom::ManagedObject>(selectionObserver));
        }
        selectionManager->RegisterObserver(0u, *selectionObserver);
    }

    try {
        if (view) {
            targetWidget =
                CreatePreviewWidget(view, "ALIGNPARTS_TARGET", dg::Color(0.1f, 0.1f, 0.7f, 1.0f));
            originWidget =
                CreatePreviewWidget(view, "ALIGNPARTS_ORIGIN", dg::Color(0.1f, 0.7f, 0.1f, 1.0f));
        }
        SelectionChanged();
        AddSelected();
    } catch (...) {
        // The destructor will not run: the registered observer must not keep
        // pointing at the storage about to be freed.
        if (selectionObserver) {
            selectionManager->UnregisterObserver(0u, *selectionObserver);
            selectionObserver->alignment = nullptr;
        }
        throw;
    }
}

Alignment::~Alignment() {
    if (selectionObserver && selectionManager) {
        selectionManager->UnregisterObserver(0u, *selectionObserver);
        // The kernel may still hold the observer; detached, it does nothing.
        selectionObserver->alignment = nullptr;
        selectionObserver = nullptr;
        selectionManager = nullptr;
    }
    // Removed whether shown or not: the scene ignores a markup it does not hold.
    if (targetWidget) {
        if (scene)
            scene->RemoveMarkup(du::SmartPtr<qlk::Markup>(targetWidget));
        targetWidget = nullptr;
    }
    if (originWidget) {
        if (scene)
            scene->RemoveMarkup(du::SmartPtr<qlk::Markup>(originWidget));
        originWidget = nullptr;
    }
}

bool Alignment::CanAddSelected() const {
    return canAddSelected;
}

bool Alignment::CanRemoveSelected() const {
    return canRemoveSelected;
}

std::size_t Alignment::GetNumAssemblies() const {
    return assemblies.size();
}

std::size_t Alignment::GetNumCollections() const {
    return collections.size();
}

std::size_t Alignment::GetNumParts() const {
    return parts.size();
}

bool Alignment::GetPreviewed() const {
    return previewed;
}

du::SmartPtr<qlk::ShapeScene> Alignment::GetScene() const {
    return scene;
}

du::SmartPtr<qlk::ShapeView> Alignment::GetView() const {
    return view;
}

du::SmartPtr<qlk::SelectionManager> Alignment::GetSelectionManager() const {
    return selectionManager;
}

bool Alignment::GetStarted() const {
    const bool hasParts = !assemblies.empty() || !parts.empty() || !collections.empty();
    return hasParts || originCSys.valid || targetCSys.valid;
}

bool Alignment::GetValid() const {
    const bool hasParts = !assemblies.empty() || !parts.empty() || !collections.empty();
    return hasParts && originCSys.valid && targetCSys.valid;
}

} // namespace qlalignparts
