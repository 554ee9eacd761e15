// Moving back and resetting: the events in their order, the moves the scene
// is asked for and where they send the parts, and what a reset leaves alone.
#include <cmath>

#include <ostream>

#include "MotionFixture.h"

namespace qltest {
namespace {

// Two parts aligned from an origin at the scene's origin onto a target five
// units along X, with offsets (0, 2, 0) and a quarter turn about Z.
class AlignedPair : public AlignmentFixture {
protected:
    void SetUp() override {
        first = host.AddInstance("first", firstStored);
        second = host.AddInstance("second", secondStored);
        Start({first, second});
        Define(Placement(0, 0, 0), Placement(5, 0, 0));
        alignment->SetAlignmentMode(Alignment::ALIGNMENT_TRANSLATE_AND_ROTATE);
        alignment->SetOffsets(dg::DVec3(0, 2, 0), dg::DVec3(0, 0, 90));
    }

    enum Where { STORED, ALIGNED, WITHOUT_OFFSETS, NOTHING };

    // Where a move sends the two parts, worked out by hand.
    dg::Location Expected(Where where, bool isFirst) const {
        const dg::Location &stored = isFirst ? firstStored : secondStored;
        if (where == STORED)
            return stored;
        if (where == WITHOUT_OFFSETS) {
            dg::Location shifted = stored;
            shifted.pos.x += 5;
            return shifted;
        }
        // A quarter turn about Z through the origin, then shifted by (5, 2, 0):
        // the first turns from 30 to 120 degrees about Z, (1,0,0) -> (0,1,0);
        // the second, turned about X (rows X, Z, -Y), gets rows Y, Z, X.
        const float c = -0.5f, s = static_cast<float>(std::sqrt(3.0) / 2);
        if (isFirst)
            return dg::Location(dg::FMat33(c, s, 0, -s, c, 0, 0, 0, 1), dg::DPoint3D(5, 3, 0));
        return dg::Location(dg::FMat33(0, 1, 0, 0, 0, 1, 1, 0, 0), dg::DPoint3D(5, 2, 3));
    }

    ::testing::AssertionResult Move(std::size_t index, int duration, Where where) const {
        const auto &calls = host.scene->GetExplodeCalls();
        if (index >= calls.size())
            return ::testing::AssertionFailure() << "no move " << index;
        const auto &call = calls[index];
        if (call.duration != duration)
            return ::testing::AssertionFailure() << "move " << index << " lasts " << call.duration;
        if (where == NOTHING)
            return call.count == 0 ? ::testing::AssertionSuccess()
                                   : ::testing::AssertionFailure() << call.count << " moved";
        if (call.count != 2)
            return ::testing::AssertionFailure() << "move " << index << " has " << call.count;
        for (std::size_t i = 0; i < 2; ++i) {
            const bool isFirst = call.instances[i] == host.Shape(first).get();
            auto near = LocationNear(call.locations[i], Expected(where, isFirst));
            if (!near)
                return near << " (move " << index << ", " << (isFirst ? "first" : "second") << ")";
        }
        return ::testing::AssertionSuccess();
    }

    const dg::Location firstStored = Placement(1, 0, 0, 0, 0, 30);
    const dg::Location secondStored = Placement(0, 0, 3, 90, 0, 0);
    SmartPtr<qlk::Instance> first;
    SmartPtr<qlk::Instance> second;
};

TEST_F(AlignedPair, HandWorkedPlacementsHold) {
    EXPECT_TRUE(LocationNear(host.FinalLocation(first), Expected(ALIGNED, true)));
    EXPECT_TRUE(LocationNear(host.FinalLocation(second), Expected(ALIGNED, false)));
}

struct ResetCase {
    const char *name;
    int flags;
    bool previewed;
    std::vector<std::string> events;
    // Each move the scene is asked for: its duration and where it sends the parts.
    std::vector<std::pair<int, int>> moves;
};
inline void PrintTo(const ResetCase &c, std::ostream *os) {
    *os << c.name;
}

class Resets : public AlignedPair, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(Resets, PostAndMoveInOrder) {
    const ResetCase &param = GetParam();
    alignment->SetPreviewed(param.previewed);
    Settle();

    alignment->Reset(param.flags);

    EXPECT_EQ(observer->Take(), param.events);
    ASSERT_EQ(host.scene->GetExplodeCalls().size(), param.moves.size());
    for (std::size_t i = 0; i < param.moves.size(); ++i)
        EXPECT_TRUE(Move(i, param.moves[i].first, static_cast<Where>(param.moves[i].second)));

    EXPECT_EQ(alignment->GetPreviewed(), param.previewed);
    EXPECT_EQ(alignment->GetNumParts(), param.flags & 1 ? 0u : 2u);
    SmartPtr<moduleutils::DerivedCSys> csys;
    EXPECT_EQ(alignment->GetCSys(Alignment::CSYS_ORIGIN, csys),
              param.flags & 2 ? Alignment::CSYS_NONE : Alignment::CSYS_CUSTOM);
    EXPECT_EQ(Shown(Alignment::CSYS_ORIGIN), !(param.flags & 2));
    EXPECT_EQ(alignment->GetCSys(Alignment::CSYS_TARGET, csys),
              param.flags & 4 ? Alignment::CSYS_NONE : Alignment::CSYS_CUSTOM);
    EXPECT_EQ(Shown(Alignment::CSYS_TARGET), !(param.flags & 4));
    dg::DVec3 translation, rotation;
    alignment->GetOffsets(translation, rotation);
    EXPECT_EQ(translation, param.flags & 8 ? dg::DVec3::ZERO : dg::DVec3(0, 2, 0));
}

using P = std::pair<int, int>;
INSTANTIATE_TEST_SUITE_P(
    Flags, Resets,
    ::testing::Values(ResetCase{"PartsPreviewed", 1, true, {"parts"}, {P{1000, 0}, P{1000, 3}}},
                      ResetCase{"OriginPreviewed", 2, true, {"csys 0 0 null"}, {P{1000, 0}}},
                      ResetCase{"TargetPreviewed", 4, true, {"csys 1 0 null"}, {P{1000, 0}}},
                      ResetCase{"OffsetsPreviewed", 8, true, {"offsets"}, {P{1000, 2}}},
                      ResetCase{"NothingPreviewed", 0, true, {}, {P{1000, 1}}},
                      ResetCase{"NothingNotPreviewed", 0, false, {}, {}},
                      ResetCase{"OtherBitsOnly", 16 | 32, true, {}, {P{1000, 1}}},
                      ResetCase{"EverythingPreviewed",
                                15,
                                true,
                                {"parts", "csys 0 0 null", "csys 1 0 null", "offsets"},
                                {P{1000, 0}, P{1000, 3}}},
                      ResetCase{"EverythingNotPreviewed",
                                15,
                                false,
                                {"parts", "csys 0 0 null", "csys 1 0 null", "offsets"},
                                {}}),
    [](const ::testing::TestParamInfo<ResetCase> &info) { return info.param.name; });

TEST_F(AlignedPair, MovingBackKeepsTheStoredLocations) {
    for (int round = 0; round < 3; ++round) {
        alignment->SetPreviewed(false);
        alignment->SetPreviewed(true);
    }
    alignment->Reset(2);
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_CUSTOM, CSys(Placement(0, 0, 0)));
    EXPECT_TRUE(Move(host.scene->GetExplodeCalls().size() - 1, 1000, ALIGNED));
}

TEST_F(AlignedPair, ResetLeavesTheModeAlone) {
    alignment->SetAlignmentMode(Alignment::ALIGNMENT_ROTATE_ONLY);
    alignment->Reset(15);
    EXPECT_EQ(alignment->GetAlignmentMode(), Alignment::ALIGNMENT_ROTATE_ONLY);
}

TEST_F(AlignedPair, APartGoneFromTheSceneIsLeftOutOfTheMoveBack) {
    host.scene->RemoveShapeInstance(second.get());
    Settle();
    alignment->SetPreviewed(false);
    ASSERT_EQ(host.scene->GetExplodeCalls().size(), 1u);
    EXPECT_EQ(host.scene->GetExplodeCalls()[0].count, 1u);
    EXPECT_TRUE(MovedTo(first, firstStored, 0));
}

} // namespace
} // namespace qltest
