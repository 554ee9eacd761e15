// The exported interface keeps its exact shape: a host built against it takes
// member pointers and relies on the enumerations' widths and values.
#include <cstddef>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include <qlalignparts/Alignment.h>
#include <qlalignparts/AlignmentObserver.h>

namespace {

using qlalignparts::Alignment;
using qlalignparts::AlignmentObserver;
template <class T> using SP = du::SmartPtr<T>;
using Items = std::vector<SP<qlk::SelectionItem>>;

template <class Expected, class Actual> constexpr bool Same(Actual) {
    return std::is_same<Expected, Actual>::value;
}

// Public members of Alignment.
static_assert(std::is_constructible<Alignment, const SP<qlk::ShapeView> &, int>::value, "");
static_assert(std::has_virtual_destructor<Alignment>::value, "");
static_assert(std::is_base_of<du::RefCounted, Alignment>::value, "");
static_assert(Same<void (Alignment::*)()>(&Alignment::AddSelected), "");
static_assert(Same<void (Alignment::*)(const SP<qlk::Operation> &)>(&Alignment::Apply), "");
static_assert(Same<bool (Alignment::*)() const>(&Alignment::CanAddSelected), "");
static_assert(Same<bool (Alignment::*)() const>(&Alignment::CanRemoveSelected), "");
static_assert(Same<Alignment::ALIGNMENT_MODE (Alignment::*)() const>(&Alignment::GetAlignmentMode),
              "");
static_assert(Same<Alignment::CSYS_TYPE (Alignment::*)(
                  Alignment::CSYS_ID, SP<moduleutils::DerivedCSys> &) const>(&Alignment::GetCSys),
              "");
static_assert(Same<std::size_t (Alignment::*)() const>(&Alignment::GetNumAssemblies), "");
static_assert(Same<std::size_t (Alignment::*)() const>(&Alignment::GetNumCollections), "");
static_assert(Same<std::size_t (Alignment::*)() const>(&Alignment::GetNumParts), "");
static_assert(Same<void (Alignment::*)(dg::DVec3 &, dg::DVec3 &) const>(&Alignment::GetOffsets),
              "");
static_assert(Same<bool (Alignment::*)() const>(&Alignment::GetPreviewed), "");
static_assert(Same<SP<qlk::ShapeScene> (Alignment::*)() const>(&Alignment::GetScene), "");
static_assert(Same<std::size_t (Alignment::*)(Items &) const>(&Alignment::GetSelection), "");
static_assert(Same<bool (Alignment::*)() const>(&Alignment::GetStarted), "");
static_assert(Same<bool (Alignment::*)() const>(&Alignment::GetValid), "");
static_assert(Same<SP<qlk::ShapeView> (Alignment::*)() const>(&Alignment::GetView), "");
static_assert(Same<bool (Alignment::*)(Alignment::CSYS_ID, const SP<moduleutils::DerivedCSys> &)>(
                  &Alignment::PreviewCustomCSys),
              "");
static_assert(Same<bool (Alignment::*)(const AlignmentObserver &)>(&Alignment::RegisterObserver),
              "");
static_assert(Same<void (Alignment::*)(const Items &)>(&Alignment::Remove), "");
static_assert(Same<void (Alignment::*)()>(&Alignment::RemoveSelected), "");
static_assert(Same<void (Alignment::*)(int)>(&Alignment::Reset), "");
static_assert(Same<void (Alignment::*)(Alignment::ALIGNMENT_MODE)>(&Alignment::SetAlignmentMode),
              "");
static_assert(Same<bool (Alignment::*)(Alignment::CSYS_ID, Alignment::CSYS_TYPE,
                                       const SP<moduleutils::DerivedCSys> &)>(&Alignment::SetCSys),
              "");
static_assert(Same<void (Alignment::*)(dg::DVec3, dg::DVec3)>(&Alignment::SetOffsets), "");
static_assert(Same<void (Alignment::*)(bool)>(&Alignment::SetPreviewed), "");
static_assert(Same<bool (Alignment::*)(const AlignmentObserver &)>(&Alignment::UnregisterObserver),
              "");

// Protected members, reached from a derived class as a host extension would.
struct DerivedAlignment : Alignment {
    using Alignment::Alignment;
    static_assert(Same<SP<qlk::SelectionManager> (Alignment::*)() const>(
                      &DerivedAlignment::GetSelectionManager),
                  "");
    static_assert(Same<void (Alignment::*)()>(&DerivedAlignment::SelectionChanged), "");
    static_assert(Same<void (Alignment::*)(Items &)>(&DerivedAlignment::SelectionChangedInstance),
                  "");
    static_assert(Same<void (Alignment::*)(Items &)>(&DerivedAlignment::SelectionChangedCollection),
                  "");
};

// Enumerations: plain, nested, 32 bits wide.
static_assert(sizeof(Alignment::ALIGNMENT_MODE) == 4 && sizeof(Alignment::CSYS_ID) == 4 &&
                  sizeof(Alignment::CSYS_TYPE) == 4,
              "");
static_assert(std::is_convertible<Alignment::CSYS_TYPE, int>::value, "unscoped");
static_assert(Alignment::ALIGNMENT_TRANSLATE_AND_ROTATE == 0 &&
                  Alignment::ALIGNMENT_TRANSLATE_ONLY == 1 && Alignment::ALIGNMENT_ROTATE_ONLY == 2,
              "");
static_assert(Alignment::CSYS_ORIGIN == 0 && Alignment::CSYS_TARGET == 1, "");
static_assert(Alignment::CSYS_NONE == 0 && Alignment::CSYS_FROM_PARTS == 1 &&
                  Alignment::CSYS_WORLD == 2 && Alignment::CSYS_CUSTOM == 3,
              "");

// AlignmentObserver.
static_assert(std::is_base_of<dom::Observer, AlignmentObserver>::value, "");
static_assert(std::is_base_of<du::RefCounted, AlignmentObserver>::value, "");
static_assert(std::is_default_constructible<AlignmentObserver>::value, "");
static_assert(Same<void (AlignmentObserver::*)()>(&AlignmentObserver::OnPartsChanged), "");
static_assert(Same<void (AlignmentObserver::*)()>(&AlignmentObserver::OnOffsetsChanged), "");
static_assert(Same<void (AlignmentObserver::*)(int, int, const SP<moduleutils::DerivedCSys> &)>(
                  &AlignmentObserver::OnCSysChanged),
              "");
static_assert(Same<const unsigned char *>(&AlignmentObserver::ALIGNMENT_PARTS_CHANGED_EVENT), "");
static_assert(
    std::is_base_of<dom::ObservableEvent, AlignmentObserver::AlignmentPartsChangedEvent>::value &&
        std::is_base_of<dom::ObservableEvent,
                        AlignmentObserver::AlignmentOffsetsChangedEvent>::value &&
        std::is_base_of<dom::ObservableEvent, AlignmentObserver::AlignmentCSysChangedEvent>::value,
    "");
static_assert(std::is_constructible<AlignmentObserver::AlignmentCSysChangedEvent, int, int,
                                    const SP<moduleutils::DerivedCSys> &>::value,
              "");

struct DerivedObserver : AlignmentObserver {
    static_assert(
        Same<void (AlignmentObserver::*)(const SP<dom::Message> &)>(&DerivedObserver::EventHandler),
        "");
};

TEST(AlignmentInterface, EventTagsHaveTheirWireValues) {
    EXPECT_EQ(AlignmentObserver::ALIGNMENT_PARTS_CHANGED_EVENT, 1);
    EXPECT_EQ(AlignmentObserver::ALIGNMENT_OFFSETS_CHANGED_EVENT, 2);
    EXPECT_EQ(AlignmentObserver::ALIGNMENT_CSYS_CHANGED_EVENT, 3);
}

} // namespace
