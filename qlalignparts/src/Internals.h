// Helpers shared by the source files of Alignment: posting events on the
// private observable base, showing a widget, keeping the object alive for the
// length of an operation.
#pragma once

#include <qlalignparts/Alignment.h>

namespace qlalignparts {

struct AlignmentInternals {
    // Posting. Each builds the event on the stack and posts it on the Alignment's
    // observable base; the event is gone when the call returns.
    static void PostPartsChanged(Alignment &alignment);
    static void PostOffsetsChanged(Alignment &alignment);
    static void PostCSysChanged(Alignment &alignment, int id, int type,
                                const du::SmartPtr<moduleutils::DerivedCSys> &csys);

    // The show/hide step of a coordinate system's widget: AddMarkup on the
    // scene when `shown`, RemoveMarkup otherwise. Nothing without a scene or widget.
    static void ShowWidget(const Alignment &alignment,
                           const du::SmartPtr<qlmk::CSysPreviewWidget> &widget, bool shown);

    // An observer may drop the host's last reference to the Alignment from inside
    // a notification; a public operation holds one of its own until it returns.
    // Inside the constructor (no reference yet) it holds nothing.
    class KeepAlive {
    public:
        explicit KeepAlive(Alignment *alignment)
            : held_(HeldElsewhere(alignment) ? alignment : nullptr) {}
        KeepAlive(const KeepAlive &) = delete;
        KeepAlive &operator=(const KeepAlive &) = delete;

    private:
        // Whether anyone holds the Alignment yet, asked through the two counting
        // calls every host offers: a reference taken and given straight back
        // (never released through the protocol, so nothing is destroyed).
        static bool HeldElsewhere(const Alignment *alignment) {
            int probe = 0;
            alignment->AddReference(&probe);
            return alignment->RemoveReference(&probe) > 0;
        }

        du::SmartPtr<Alignment> held_;
    };

    // Lends a run the Alignment's kept vectors, emptied and sized for `count`
    // entries; a run that starts while another still holds them (the scene
    // calling back) gets vectors of its own. On return the references are
    // released at once; the capacity stays unless it is far more than the
    // list now needs.
    class RunVectors {
        Alignment::RunBuffers own_;
        Alignment::RunBuffers &buffers_;

    public:
        RunVectors(const Alignment &alignment, std::size_t count);
        ~RunVectors();
        RunVectors(const RunVectors &) = delete;
        RunVectors &operator=(const RunVectors &) = delete;

        std::vector<du::SmartPtr<qlk::ShapeInstance>> &shapeInstances;
        std::vector<dg::Location> &locations;
    };
};

} // namespace qlalignparts
