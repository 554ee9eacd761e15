// Defining the origin and the target: what each type makes of them, the
// events in their order, the origin derived from the parts, and the mended
// degenerate cases.
#include <limits>

#include <ostream>

#include "MotionFixture.h"

namespace qltest {
namespace {

using CoordinateSystems = AlignmentFixture;

TEST_F(CoordinateSystems, OriginFromThePartsWhilePreviewedPostsTwoEventsInOrder) {
    auto part = host.AddInstance("part", Placement(1, 2, 3));
    Start({part});
    auto x = CSys(Placement(9, 9, 9));
    EXPECT_TRUE(alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, x));
    EXPECT_EQ(observer->Take(), Events({"csys 0 1 set", "csys 0 1 null"}));
    EXPECT_TRUE(Shown(Alignment::CSYS_ORIGIN));

    // Every later run refreshes it, whatever started the run.
    alignment->SetOffsets(dg::DVec3(1, 0, 0), dg::DVec3::ZERO);
    EXPECT_EQ(observer->Take(), Events({"offsets", "csys 0 1 null"}));
    alignment->SetAlignmentMode(Alignment::ALIGNMENT_ROTATE_ONLY);
    EXPECT_EQ(observer->Take(), Events({"csys 0 1 null"}));
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);
    EXPECT_EQ(observer->Take(), Events({"csys 1 2 null", "csys 0 1 null"}));
}

TEST_F(CoordinateSystems, OriginFromThePartsWithoutPreviewWaitsForARun) {
    auto part = host.AddInstance("part", Placement(1, 2, 3));
    Start({part});
    // Taken in again without a run over it: the parts list stays empty.
    alignment->SetPreviewed(false);
    alignment->Reset(1);
    alignment->AddSelected();
    Settle();

    EXPECT_FALSE(alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, nullptr));
    EXPECT_EQ(observer->Take(), Events({"csys 0 1 null"}));
    EXPECT_FALSE(Shown(Alignment::CSYS_ORIGIN));

    alignment->Apply(nullptr); // its run lists the part and derives the origin
    EXPECT_EQ(observer->Take(), Events({"csys 0 1 null"}));
    EXPECT_TRUE(Shown(Alignment::CSYS_ORIGIN));
    EXPECT_TRUE(LocationNear(WidgetLocation(Alignment::CSYS_ORIGIN), Placement(1, 2, 3)));
}

TEST_F(CoordinateSystems, TargetCannotComeFromTheParts) {
    const dg::Location stored = Placement(1, 2, 3, 0, 0, 40);
    auto part = host.AddInstance("part", stored);
    Start({part});
    Define(Placement(0, 0, 0), Placement(5, 0, 0));
    Settle();

    EXPECT_FALSE(alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_FROM_PARTS, nullptr));
    EXPECT_EQ(observer->Take(), Events({"csys 1 1 null"}));
    EXPECT_FALSE(Shown(Alignment::CSYS_TARGET));
    EXPECT_TRUE(MovedTo(part, stored, 0));
    EXPECT_EQ(TakeDurations(), std::vector<int>({1000}));
}

TEST_F(CoordinateSystems, AnUnknownIdChangesNothing) {
    Start({});
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);
    Settle();
    const auto unknown = static_cast<Alignment::CSYS_ID>(2);
    EXPECT_FALSE(alignment->SetCSys(unknown, Alignment::CSYS_WORLD, nullptr));
    EXPECT_EQ(observer->Take(), Events());
    EXPECT_TRUE(host.scene->GetExplodeCalls().empty());

    SmartPtr<moduleutils::DerivedCSys> csys;
    EXPECT_EQ(alignment->GetCSys(unknown, csys), Alignment::CSYS_WORLD); // read as the target
}

TEST_F(CoordinateSystems, TheStoredCustomSystemOutlivesLaterTypes) {
    Start({});
    auto a = CSys(Placement(1, 2, 3, 10, 20, 30));
    EXPECT_TRUE(alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_CUSTOM, a));
    EXPECT_TRUE(alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_WORLD, nullptr));
    EXPECT_EQ(observer->Take(), Events({"csys 0 3 set", "csys 0 2 null"}));
    SmartPtr<moduleutils::DerivedCSys> csys;
    EXPECT_EQ(alignment->GetCSys(Alignment::CSYS_ORIGIN, csys), Alignment::CSYS_WORLD);
    EXPECT_EQ(csys.get(), a.get());
    EXPECT_EQ(alignment->GetCSys(Alignment::CSYS_TARGET, csys), Alignment::CSYS_NONE);
    EXPECT_EQ(csys.get(), nullptr);
}

TEST_F(CoordinateSystems, AnUnknownTypeIsStoredAndLeavesTheSystemUndefined) {
    Start({});
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_WORLD, nullptr);
    ASSERT_TRUE(Shown(Alignment::CSYS_ORIGIN));
    const auto seven = static_cast<Alignment::CSYS_TYPE>(7);
    EXPECT_FALSE(alignment->SetCSys(Alignment::CSYS_ORIGIN, seven, nullptr));
    SmartPtr<moduleutils::DerivedCSys> csys;
    EXPECT_EQ(alignment->GetCSys(Alignment::CSYS_ORIGIN, csys), seven);
    EXPECT_FALSE(Shown(Alignment::CSYS_ORIGIN));
}

// Custom systems that give no placement: not valid, null, or not finite.
// Each leaves the system undefined with its type stored, hides the widget
// without moving it, tells the observers and puts the parts back.
struct UnusableCase {
    const char *name;
    bool null;
    bool valid;
    double x;
};
inline void PrintTo(const UnusableCase &c, std::ostream *os) {
    *os << c.name;
}

class UnusableCustomSystems : public AlignmentFixture,
                              public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(UnusableCustomSystems, LeaveTheSystemUndefined) {
    const UnusableCase &param = GetParam();
    const dg::Location stored = Placement(1, 2, 3, 0, 0, 40);
    auto part = host.AddInstance("part", stored);
    Start({part});
    Define(Placement(0, 0, 0), Placement(5, 0, 0, 0, 90, 0));
    Settle();

    auto unusable = param.null ? SmartPtr<moduleutils::DerivedCSys>()
                               : CSys(Placement(param.x, 0, 0), param.valid);
    EXPECT_FALSE(alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM, unusable));
    EXPECT_EQ(observer->Take(), Events({std::string("csys 1 3 ") + (param.null ? "null" : "set")}));
    SmartPtr<moduleutils::DerivedCSys> csys;
    EXPECT_EQ(alignment->GetCSys(Alignment::CSYS_TARGET, csys), Alignment::CSYS_CUSTOM);
    EXPECT_EQ(csys.get(), unusable.get());
    EXPECT_FALSE(Shown(Alignment::CSYS_TARGET));
    EXPECT_TRUE(
        LocationNear(WidgetLocation(Alignment::CSYS_TARGET), Placement(5, 0, 0, 0, 90, 0), 0));
    EXPECT_TRUE(MovedTo(part, stored, 0));
    EXPECT_FALSE(alignment->GetValid());
}

INSTANTIATE_TEST_SUITE_P(Cases, UnusableCustomSystems,
                         ::testing::Values(UnusableCase{"NotValid", false, false, 7},
                                           UnusableCase{"Null", true, false, 0},
                                           UnusableCase{"NotFinite", false, true,
                                                        std::numeric_limits<double>::infinity()}),
                         [](const ::testing::TestParamInfo<UnusableCase> &info) {
                             return info.param.name;
                         });

// The origin derived from the parts, read from its widget.
class OriginFromParts : public AlignmentFixture {
protected:
    dg::Location Derive(const Instances &parts, const Instances &assemblies = {}) {
        Start(parts, assemblies);
        EXPECT_TRUE(
            alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, nullptr));
        return WidgetLocation(Alignment::CSYS_ORIGIN);
    }

    static dg::Location At(const dg::FMat33 &mat, double x, double y, double z) {
        return dg::Location(mat, dg::DPoint3D(x, y, z));
    }
};

TEST_F(OriginFromParts, OnePartGivesItsPlacementWithoutScale) {
    dg::Location scaled = Placement(4, -1, 2, 0, 0, 30);
    scaled.mat = dg::FMat33::Scale(2, 2, 2) * scaled.mat;
    auto part = host.AddInstance("part", scaled);
    EXPECT_TRUE(LocationNear(Derive({part}), Placement(4, -1, 2, 0, 0, 30), 1e-6));
}

TEST_F(OriginFromParts, SharedOrientationIsKeptAtTheMeanPosition) {
    const dg::FMat33 turned = Placement(0, 0, 0, 20, -40, 70).mat;
    auto a = host.AddInstance("a", At(turned, 0, 0, 0));
    auto b = host.AddInstance("b", At(turned, 2, 4, 6));
    EXPECT_TRUE(LocationNear(Derive({a, b}), At(turned, 1, 2, 3), 1e-6));
}

TEST_F(OriginFromParts, DifferingOrientationsGiveTheScenesAxes) {
    auto a = host.AddInstance("a", Placement(0, 0, 0, 0, 0, 10));
    auto b = host.AddInstance("b", Placement(2, 4, 6, 0, 0, 20));
    EXPECT_TRUE(LocationNear(Derive({a, b}), Placement(1, 2, 3), 1e-12));
}

TEST_F(OriginFromParts, EveryNodeOfAnAssemblyCountsOnce) {
    auto assembly = host.AddInstance("assembly", Placement(3, 0, 0));
    host.AddInstance("left", Placement(0, 3, 0), assembly);
    host.AddInstance("right", Placement(0, 0, 3), assembly);
    EXPECT_TRUE(LocationNear(Derive({}, {assembly}), Placement(1, 1, 1), 1e-12));
}

TEST_F(OriginFromParts, ASymbolCountsWithItsAnnotationPoint) {
    const dg::FMat33 turned = Placement(0, 0, 0, 0, 0, 45).mat;
    auto symbol = host.AddInstance("symbol", At(turned, 100, 100, 100));
    symbol->Set3dSymbol(true);
    SmartPtr<qlk::AnnoSet> annotations;
    host.scene->GetAnnoSet(annotations);
    annotations->AddAnnotation(host.Shape(symbol), new qlk::Annotation(dg::DPoint3D(4, 0, 2)));
    auto part = host.AddInstance("part", At(turned, 0, 2, 0));
    // The symbol's recorded rotation still takes part: both share it.
    EXPECT_TRUE(LocationNear(Derive({symbol, part}), At(turned, 2, 1, 1), 1e-6));
}

// Axes scaled unequally: each axis is divided by its own length, so the origin
// keeps the parts' orientation as a pure rotation.
TEST_F(OriginFromParts, UnequalScaleIsTakenOffEachAxis) {
    auto part = host.AddInstance("part", At(dg::FMat33(0, 2, 0, -3, 0, 0, 0, 0, 0.5f), 1, 1, 1));
    EXPECT_TRUE(
        LocationNear(Derive({part}), At(dg::FMat33(0, 1, 0, -1, 0, 0, 0, 0, 1), 1, 1, 1), 1e-6));
}

// An axis of no usable length gives no orientation: the scene's axes instead.
class DegenerateAxes : public OriginFromParts, public ::testing::WithParamInterface<float> {};

TEST_P(DegenerateAxes, GiveTheScenesAxes) {
    const float length = GetParam();
    auto part = host.AddInstance("part", At(dg::FMat33(0, 1, 0, -1, 0, 0, 0, 0, length), 5, 6, 7));
    const dg::Location origin = Derive({part});
    EXPECT_TRUE(dg::IsFinite(origin));
    EXPECT_TRUE(LocationNear(origin, Placement(5, 6, 7), 0));
}

INSTANTIATE_TEST_SUITE_P(Lengths, DegenerateAxes,
                         ::testing::Values(0.0f, std::numeric_limits<float>::denorm_min()));

} // namespace
} // namespace qltest
