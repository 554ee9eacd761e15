// The alignment run: where the parts go in each mode with the offsets, that
// runs never drift, the durations handed to the scene, the offsets'
// normalisation and refusal, and runs that cannot be carried out.
#include <cmath>
#include <limits>
#include <ostream>

#include "MotionFixture.h"

namespace qltest {
namespace {

using AlignmentMotion = AlignmentFixture;

TEST_F(AlignmentMotion, TranslateOnlyShiftsOriginPointOntoTargetPlusOffset) {
    const dg::Location stored = Placement(0, 0, 0, 30, 0, 0);
    auto bolt = host.AddInstance("bolt", stored);
    Start({bolt});
    alignment->SetAlignmentMode(Alignment::ALIGNMENT_TRANSLATE_ONLY);
    Define(Placement(1, 0, 0), Placement(4, 0, 0));
    alignment->SetOffsets(dg::DVec3(0, 2, 0), dg::DVec3(0, 0, 45));

    dg::Location expected = stored;
    expected.pos = dg::DPoint3D(3, 2, 0);
    EXPECT_TRUE(LocationNear(host.FinalLocation(bolt), expected, 1e-12));
}

TEST_F(AlignmentMotion, RotateOnlyTurnsAQuarterAboutTheSharedPoint) {
    auto away = host.AddInstance("away", Placement(3, 1, 0));
    auto onPoint = host.AddInstance("onPoint", Placement(2, 1, 0, 90, 0, 0));
    Start({away, onPoint});
    alignment->SetAlignmentMode(Alignment::ALIGNMENT_ROTATE_ONLY);
    Define(Placement(2, 1, 0), Placement(2, 1, 0));
    // The translation offset has no say in this mode.
    alignment->SetOffsets(dg::DVec3(5, 5, 5), dg::DVec3(0, 0, 90));

    // (1,0,0) from the point turns to (0,1,0); the axes X,Y,Z go to Y,-X,Z.
    dg::Location awayExpected;
    awayExpected.mat = dg::FMat33(0, 1, 0, -1, 0, 0, 0, 0, 1);
    awayExpected.pos = dg::DPoint3D(2, 2, 0);
    EXPECT_TRUE(LocationNear(host.FinalLocation(away), awayExpected));
    // Turned about X first (rows X, Z, -Y), then the quarter turn about Z.
    dg::Location onPointExpected;
    onPointExpected.mat = dg::FMat33(0, 1, 0, 0, 0, 1, 1, 0, 0);
    onPointExpected.pos = dg::DPoint3D(2, 1, 0);
    EXPECT_TRUE(LocationNear(host.FinalLocation(onPoint), onPointExpected));
}

TEST_F(AlignmentMotion, IdenticalFramesGiveBackTheStoredLocations) {
    const dg::Location a = Placement(3, -2, 7, 15, 40, -75);
    const dg::Location b = Placement(-1, 0.5, 2, -30, 5, 110);
    auto first = host.AddInstance("first", a);
    auto second = host.AddInstance("second", b);
    Start({first, second});
    Define(Placement(1, 2, 3, 30, -20, 50), Placement(1, 2, 3, 30, -20, 50));

    EXPECT_TRUE(MovedTo(first, a));
    EXPECT_TRUE(MovedTo(second, b));
}

// Both frames turned and away from the scene's origin; a marker part sits
// exactly on the origin frame, a second part elsewhere.
struct ModeCase {
    const char *name;
    Alignment::ALIGNMENT_MODE mode;
    dg::DVec3 translation;
    dg::DVec3 rotation;
};
inline void PrintTo(const ModeCase &c, std::ostream *os) {
    *os << c.name;
}

class AlignmentModes : public AlignmentFixture, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(AlignmentModes, OriginFrameEndsOnTargetFrameAndPartsFollowRigidly) {
    const ModeCase &param = GetParam();
    const dg::Location origin = Placement(1, 2, 3, 30, -20, 50);
    const dg::Location target = Placement(-4, 5, 0.5, -60, 10, 120);
    const dg::Location other = Placement(2, -1, 4, 10, 70, -30);
    auto marker = host.AddInstance("marker", origin);
    auto part = host.AddInstance("part", other);
    Start({marker, part});
    alignment->SetAlignmentMode(param.mode);
    Define(origin, target);
    alignment->SetOffsets(param.translation, param.rotation);

    const Frame o = FrameOf(origin);
    const Frame t = FrameOf(target);
    const Frame offsetTurn =
        Then(Then(TurnX(param.rotation.x), TurnY(param.rotation.y)), TurnZ(param.rotation.z));
    // The translation offset runs along the target's axes.
    Frame along;
    along.t[0] = param.translation.x;
    along.t[1] = param.translation.y;
    along.t[2] = param.translation.z;
    const Frame shiftAlongTarget = Then(along, t);

    Frame markerExpected;
    switch (param.mode) {
    case Alignment::ALIGNMENT_TRANSLATE_AND_ROTATE:
        markerExpected = Then(offsetTurn, t);
        markerExpected.t[0] = shiftAlongTarget.t[0];
        markerExpected.t[1] = shiftAlongTarget.t[1];
        markerExpected.t[2] = shiftAlongTarget.t[2];
        break;
    case Alignment::ALIGNMENT_TRANSLATE_ONLY:
        markerExpected = o;
        markerExpected.t[0] = shiftAlongTarget.t[0];
        markerExpected.t[1] = shiftAlongTarget.t[1];
        markerExpected.t[2] = shiftAlongTarget.t[2];
        break;
    default:
        markerExpected = Then(offsetTurn, t);
        markerExpected.t[0] = o.t[0];
        markerExpected.t[1] = o.t[1];
        markerExpected.t[2] = o.t[2];
        break;
    }
    const Frame markerFinal = FrameOf(host.FinalLocation(marker));
    EXPECT_TRUE(FrameNear(markerFinal, markerExpected));

    // The other part keeps its place relative to the marker.
    const Frame partFinal = FrameOf(host.FinalLocation(part));
    EXPECT_TRUE(FrameNear(Relative(partFinal, markerFinal), Relative(FrameOf(other), o)));
}

INSTANTIATE_TEST_SUITE_P(
    BothFramesTurned, AlignmentModes,
    ::testing::Values(
        ModeCase{"TranslateAndRotate", Alignment::ALIGNMENT_TRANSLATE_AND_ROTATE, {}, {}},
        ModeCase{"TranslateOnly", Alignment::ALIGNMENT_TRANSLATE_ONLY, {}, {}},
        ModeCase{"RotateOnly", Alignment::ALIGNMENT_ROTATE_ONLY, {}, {}},
        ModeCase{"TranslateAndRotateWithOffsets",
                 Alignment::ALIGNMENT_TRANSLATE_AND_ROTATE,
                 {1, -2, 0.5},
                 {20, -35, 60}},
        ModeCase{"TranslateOnlyWithOffsets",
                 Alignment::ALIGNMENT_TRANSLATE_ONLY,
                 {1, -2, 0.5},
                 {20, -35, 60}},
        ModeCase{"RotateOnlyWithOffsets",
                 Alignment::ALIGNMENT_ROTATE_ONLY,
                 {1, -2, 0.5},
                 {20, -35, 60}}),
    [](const ::testing::TestParamInfo<ModeCase> &info) { return info.param.name; });

TEST_F(AlignmentMotion, AnyOtherModePutsEverythingBack) {
    const dg::Location stored = Placement(2, -1, 4, 10, 70, -30);
    auto part = host.AddInstance("part", stored);
    Start({part});
    Define(Placement(1, 2, 3, 30, -20, 50), Placement(-4, 5, 0.5, -60, 10, 120));
    ASSERT_FALSE(LocationNear(host.FinalLocation(part), stored));

    alignment->SetAlignmentMode(static_cast<Alignment::ALIGNMENT_MODE>(3));
    EXPECT_TRUE(LocationNear(host.FinalLocation(part), stored, 1e-12));
}

TEST_F(AlignmentMotion, RepeatedRunsNeverDrift) {
    auto first = host.AddInstance("first", Placement(3, -2, 7, 15, 40, -75));
    auto second = host.AddInstance("second", Placement(-1, 0.5, 2, -30, 5, 110));
    Start({first, second});
    // An origin from the parts would follow them if it read where they stand.
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, nullptr);
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM,
                       CSys(Placement(-4, 5, 0.5, -60, 10, 120)));
    alignment->SetOffsets(dg::DVec3::ZERO, dg::DVec3::ZERO);
    const dg::Location firstOnce = host.FinalLocation(first);
    const dg::Location secondOnce = host.FinalLocation(second);

    for (int i = 1; i <= 10; ++i)
        alignment->SetOffsets(dg::DVec3(i, -2.5 * i, 0.3 * i), dg::DVec3(17 * i, -29 * i, 41 * i));
    alignment->SetOffsets(dg::DVec3::ZERO, dg::DVec3::ZERO);

    EXPECT_EQ(host.FinalLocation(first), firstOnce);
    EXPECT_EQ(host.FinalLocation(second), secondOnce);
}

TEST_F(AlignmentMotion, EachChangeHandsTheSceneOneMoveWithItsDuration) {
    auto part = host.AddInstance("part", Placement(1, 1, 1));
    Start({part});
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_WORLD, nullptr);
    EXPECT_EQ(TakeDurations(), std::vector<int>({1000}));
    alignment->SetOffsets(dg::DVec3(1, 0, 0), dg::DVec3::ZERO);
    EXPECT_EQ(TakeDurations(), std::vector<int>({0}));
    alignment->SetOffsets(dg::DVec3(1, 0, 0), dg::DVec3::ZERO); // the same values run again
    EXPECT_EQ(TakeDurations(), std::vector<int>({0}));
    alignment->SetAlignmentMode(Alignment::ALIGNMENT_TRANSLATE_ONLY);
    EXPECT_EQ(TakeDurations(), std::vector<int>({1000}));
    alignment->SetAlignmentMode(Alignment::ALIGNMENT_TRANSLATE_ONLY);
    EXPECT_EQ(TakeDurations(), std::vector<int>());

    alignment->SetPreviewed(false);
    EXPECT_EQ(TakeDurations(), std::vector<int>({1000}));
    alignment->SetAlignmentMode(Alignment::ALIGNMENT_ROTATE_ONLY);
    alignment->SetOffsets(dg::DVec3(2, 0, 0), dg::DVec3::ZERO);
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);
    EXPECT_EQ(TakeDurations(), std::vector<int>());
    EXPECT_EQ(alignment->GetAlignmentMode(), Alignment::ALIGNMENT_ROTATE_ONLY);
    for (const auto &call : host.scene->GetExplodeCalls())
        EXPECT_FALSE(call.flag);
}

TEST_F(AlignmentMotion, ARunWithNothingListedStillMovesTheSceneOnce) {
    Start({});
    Define(Placement(1, 2, 3), Placement(4, 5, 6));
    ASSERT_EQ(host.scene->GetExplodeCalls().size(), 2u);
    EXPECT_EQ(host.scene->GetExplodeCalls().back().count, 0u);
}

TEST_F(AlignmentMotion, NoRunKeepsAReferenceToTheShapesItMoved) {
    auto kept = host.AddInstance("kept", Placement(1, 2, 3, 10, 0, 0));
    auto dropped = host.AddInstance("dropped", Placement(-2, 0, 1));
    const int keptBefore = host.Shape(kept)->GetReferenceCount();
    const int droppedBefore = host.Shape(dropped)->GetReferenceCount();
    Start({kept, dropped});
    Define(Placement(1, 2, 3), Placement(4, 5, 6, 0, 0, 90));
    alignment->SetOffsets(dg::DVec3(1, 0, 0), dg::DVec3::ZERO);
    EXPECT_EQ(host.Shape(kept)->GetReferenceCount(), keptBefore);

    // A shape the scene lets go of between runs is not held on to by the
    // room kept for the next run.
    ASSERT_EQ(host.Shape(dropped)->GetReferenceCount(), droppedBefore);
    host.scene->RemoveShapeInstance(dropped.get());
    alignment->SetPreviewed(false);
    alignment->SetPreviewed(true);
    EXPECT_EQ(host.Shape(kept)->GetReferenceCount(), keptBefore);
    EXPECT_FALSE(host.Shape(dropped));
    EXPECT_EQ(host.scene->GetExplodeCalls().back().count, 1u);
}

TEST_F(AlignmentMotion, OffsetsAreStoredAndAnnounced) {
    Start({});
    alignment->SetOffsets(dg::DVec3(1.5, -2, 3), dg::DVec3(10, 20, 30));
    dg::DVec3 translation, rotation;
    alignment->GetOffsets(translation, rotation);
    EXPECT_EQ(translation, dg::DVec3(1.5, -2, 3));
    EXPECT_EQ(rotation, dg::DVec3(10, 20, 30));
    EXPECT_EQ(observer->Take(), Events({"offsets"}));
}

// Angles come into (-180, 180] as whole turns of 360 taken off one at a time
// would bring them, also for sizes where single steps would never get there.
// A NaN expectation asks only for the interval.
struct AngleCase {
    double given;
    double stored;
};
inline void PrintTo(const AngleCase &c, std::ostream *os) {
    *os << c.given;
}

class AngleNormalisation : public AlignmentFixture,
                           public ::testing::WithParamInterface<AngleCase> {};

TEST_P(AngleNormalisation, EachComponentLandsInOneTurn) {
    Start({});
    const AngleCase &param = GetParam();
    alignment->SetOffsets(dg::DVec3::ZERO, dg::DVec3(param.given, -param.given, param.given));
    dg::DVec3 translation, rotation;
    alignment->GetOffsets(translation, rotation);
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_GT(rotation[axis], -180.0);
        EXPECT_LE(rotation[axis], 180.0);
    }
    if (!std::isnan(param.stored)) {
        EXPECT_EQ(rotation.x, param.stored);
        EXPECT_EQ(rotation.z, param.stored);
    }
    EXPECT_EQ(translation, dg::DVec3::ZERO);
}

constexpr double kOnlyInterval = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Table, AngleNormalisation,
    ::testing::Values(AngleCase{190, -170}, AngleCase{-180, 180}, AngleCase{180, 180},
                      AngleCase{540, 180}, AngleCase{360, 0}, AngleCase{-190.25, 169.75},
                      AngleCase{3600.5, 0.5}, AngleCase{-1e-300, -1e-300},
                      AngleCase{360.0 * 1e12 + 90, 90}, AngleCase{-(360.0 * 1e12) - 180, 180},
                      AngleCase{1e300, kOnlyInterval},
                      AngleCase{std::numeric_limits<double>::max(), kOnlyInterval}));

// A component that is not a number or not finite: the whole change is refused.
class NonFiniteOffsets : public AlignmentFixture, public ::testing::WithParamInterface<int> {};

TEST_P(NonFiniteOffsets, AreRefusedAsAWhole) {
    auto part = host.AddInstance("part", Placement(1, 1, 1));
    Start({part});
    Define(Placement(0, 0, 0), Placement(2, 0, 0));
    alignment->SetOffsets(dg::DVec3(1, 2, 3), dg::DVec3(4, 5, 6));
    Settle();

    const int component = GetParam();
    dg::DVec3 translation(7, 8, 9), rotation(10, 11, 12);
    const double bad = component % 2 == 0 ? std::numeric_limits<double>::quiet_NaN()
                                          : -std::numeric_limits<double>::infinity();
    (component < 3 ? translation : rotation)[component % 3] = bad;
    alignment->SetOffsets(translation, rotation);

    dg::DVec3 storedTranslation, storedRotation;
    alignment->GetOffsets(storedTranslation, storedRotation);
    EXPECT_EQ(storedTranslation, dg::DVec3(1, 2, 3));
    EXPECT_EQ(storedRotation, dg::DVec3(4, 5, 6));
    EXPECT_EQ(observer->Take(), Events());
    EXPECT_EQ(TakeDurations(), std::vector<int>());
}

INSTANTIATE_TEST_SUITE_P(EachComponent, NonFiniteOffsets, ::testing::Range(0, 6));

TEST_F(AlignmentMotion, DegenerateOriginAxesPutThePartsBack) {
    const dg::Location stored = Placement(2, -1, 4, 10, 70, -30);
    auto part = host.AddInstance("part", stored);
    Start({part});
    dg::Location flat = Placement(1, 2, 3);
    flat.mat = dg::FMat33(1, 0, 0, 1, 0, 0, 0, 0, 1); // two axes alike: no inverse
    Define(flat, Placement(-4, 5, 0.5, -60, 10, 120));

    ASSERT_FALSE(host.scene->GetExplodeCalls().empty());
    EXPECT_TRUE(MovedTo(part, stored, 0));
    EXPECT_EQ(host.scene->GetRefusedPlacements(), 0u);
}

// What a mode leaves out of the move cannot make the run undefined: a
// shift-only run needs no inverse of the origin's axes, and a turn-only run
// ignores a translation offset even one too large to carry.
TEST_F(AlignmentMotion, WhatAModeLeavesOutCannotUndefineTheRun) {
    auto part = host.AddInstance("part", Placement(2, -1, 4, 0, 0, 30));
    Start({part});
    dg::Location flat = Placement(1, 2, 3);
    flat.mat = dg::FMat33(1, 0, 0, 1, 0, 0, 0, 0, 1);
    alignment->SetAlignmentMode(Alignment::ALIGNMENT_TRANSLATE_ONLY);
    Define(flat, Placement(-4, 5, 0.5));
    // (2,-1,4) - (1,2,3) + (-4,5,0.5), the orientation kept.
    dg::Location shifted = Placement(-3, 2, 1.5, 0, 0, 30);
    EXPECT_TRUE(LocationNear(host.FinalLocation(part), shifted));

    alignment->SetAlignmentMode(Alignment::ALIGNMENT_ROTATE_ONLY);
    // The target's point plus the offset along its turned Y lies beyond a double.
    Define(Placement(2, -1, 4), Placement(1.7e308, 0, 0, 0, 0, 90));
    alignment->SetOffsets(dg::DVec3(0, -1.7e308, 0), dg::DVec3::ZERO);
    // Turned a quarter about Z in place: the shared point is the part's own.
    EXPECT_TRUE(LocationNear(host.FinalLocation(part), Placement(2, -1, 4, 0, 0, 120)));
    EXPECT_EQ(host.scene->GetRefusedPlacements(), 0u);
}

// Results beyond what a double holds put the parts back instead of reaching the scene.
struct OverflowCase {
    const char *name;
    dg::Location stored;
    dg::Location origin;
    dg::Location target;
    dg::DVec3 translation;
};
inline void PrintTo(const OverflowCase &c, std::ostream *os) {
    *os << c.name;
}

class OverflowingRuns : public AlignmentFixture,
                        public ::testing::WithParamInterface<OverflowCase> {};

TEST_P(OverflowingRuns, PutThePartsBack) {
    const OverflowCase &param = GetParam();
    auto near = host.AddInstance("near", Placement(1, 2, 3, 10, 20, 30));
    auto far = host.AddInstance("far", param.stored);
    Start({near, far});
    Define(param.origin, param.target);
    alignment->SetOffsets(param.translation, dg::DVec3::ZERO);

    const auto &calls = host.scene->GetExplodeCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().count, 2u);
    EXPECT_TRUE(MovedTo(near, Placement(1, 2, 3, 10, 20, 30), 0));
    EXPECT_TRUE(MovedTo(far, param.stored, 0));
    EXPECT_EQ(host.scene->GetRefusedPlacements(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OverflowingRuns,
    ::testing::Values(OverflowCase{"ShiftOverflows", Placement(0, 0, 0), Placement(0, 0, 0),
                                   Placement(1.5e308, 0, 0), dg::DVec3(1.5e308, 0, 0)},
                      OverflowCase{"OnePartOverflows", Placement(1.7e308, 0, 0),
                                   Placement(-1e308, 0, 0), Placement(0, 0, 0), dg::DVec3::ZERO}),
    [](const ::testing::TestParamInfo<OverflowCase> &info) { return info.param.name; });

TEST(AlignmentWithoutScene, EveryOperationIsHarmless) {
    SmartPtr<Alignment> alignment(new Alignment(nullptr, 3));
    SmartPtr<moduleutils::DerivedCSys> valid(
        new moduleutils::DerivedCSys(Placement(1, 2, 3), true));
    for (int type = 0; type <= 4; ++type) {
        alignment->SetCSys(Alignment::CSYS_ORIGIN, static_cast<Alignment::CSYS_TYPE>(type), valid);
        alignment->SetCSys(Alignment::CSYS_TARGET, static_cast<Alignment::CSYS_TYPE>(type), valid);
    }
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM, nullptr);
    EXPECT_TRUE(alignment->PreviewCustomCSys(Alignment::CSYS_ORIGIN, valid));
    EXPECT_FALSE(alignment->PreviewCustomCSys(Alignment::CSYS_TARGET, nullptr));
    alignment->SetOffsets(dg::DVec3(1, 2, 3), dg::DVec3(4, 5, 6));
    alignment->SetAlignmentMode(Alignment::ALIGNMENT_ROTATE_ONLY);
    alignment->SetPreviewed(false);
    SmartPtr<qlk::Operation> operation(new qlk::Operation);
    alignment->Apply(operation);
    alignment->SetPreviewed(true);
    alignment->Apply(operation);
    alignment->Reset(15);
    EXPECT_TRUE(operation->GetSteps().empty());
    EXPECT_FALSE(alignment->GetValid());
}

} // namespace
} // namespace qltest
