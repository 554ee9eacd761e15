// Injected faults: the host throwing from a move or a location query in the
// middle of an operation, parts leaving the scene during their animation,
// derived coordinate systems turning invalid, and observers that disrupt the
// Alignment from inside a notification (unregistering, calling back in,
// throwing, dropping the host's last reference, dying while registered).
// After each, the Alignment must still be usable, put parts where the
// alignment says, and leave no reference behind (the fixture's audit).
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "MotionFixture.h"

namespace qltest {
namespace {

using Fault = qlk::ShapeScene::Fault;

// Two parts aligned from the scene's axes onto a target at (5, 0, 0) turned a
// quarter about Z, so that every aligned placement differs from the stored one.
class HostFaults : public AlignmentFixture {
protected:
    void SetUp() override {
        dom::MessageLoop::SetImmediate(false);
        first = host.AddInstance("first", firstStored);
        second = host.AddInstance("second", secondStored);
        third = host.AddInstance("third", Placement(0, 0, 9)); // not selected at first
        Start({first, second});
        Define(Placement(0, 0, 0), Placement(5, 0, 0, 0, 0, 90));
        Settle();
    }
    void TearDown() override {
        host.scene->InjectFault(Fault::SMOOTH_EXPLODE, 0);
        host.scene->InjectFault(Fault::GET_LOCATION, 0);
        dom::MessageLoop::SetImmediate(false);
        AlignmentFixture::TearDown();
    }

    // The aligned placement of a stored one: a quarter turn about Z, then (5, 0, 0).
    static dg::Location Aligned(const dg::Location &stored) {
        return LocationOf(Then(FrameOf(stored), Then(TurnZ(90), Shift(5, 0, 0))));
    }

    ::testing::AssertionResult StandAt(const dg::Location &forFirst,
                                       const dg::Location &forSecond) const {
        auto near = LocationNear(host.FinalLocation(first), forFirst);
        if (!near)
            return near << " (first)";
        near = LocationNear(host.FinalLocation(second), forSecond);
        return near ? near : near << " (second)";
    }

    ::testing::AssertionResult Home() const { return StandAt(firstStored, secondStored); }
    ::testing::AssertionResult AlignedNow() const {
        return StandAt(Aligned(firstStored), Aligned(secondStored));
    }

    const dg::Location firstStored = Placement(1, 2, 0, 0, 0, 30);
    const dg::Location secondStored = Placement(-2, 0, 3, 90, 0, 0);
    SmartPtr<qlk::Instance> first;
    SmartPtr<qlk::Instance> second;
    SmartPtr<qlk::Instance> third;
};

// ---- The host throws in the middle of an operation -----------------------

struct FailingCall {
    const char *name;
    Fault fault;
    int nthCall;
    std::function<void(Alignment &, const SmartPtr<qlk::Instance> &)> call;
};
void PrintTo(const FailingCall &value, std::ostream *os) {
    *os << value.name;
}

class FailingHostCalls : public HostFaults, public ::testing::WithParamInterface<FailingCall> {};

// Whatever failed, the failure reaches the caller, and afterwards the same
// Alignment still takes the parts home and brings them back exactly.
TEST_P(FailingHostCalls, LeaveTheAlignmentUsableAndTheStoredLocationsIntact) {
    const FailingCall &failing = GetParam();
    host.scene->InjectFault(failing.fault, failing.nthCall);
    EXPECT_THROW(failing.call(*alignment, first), std::runtime_error);
    EXPECT_EQ(host.scene->GetFiredFaults(), 1u);
    host.scene->InjectFault(failing.fault, 0);
    host.scene->FinishAnimations();

    // Whatever the call left, a previewed alignment can be switched off and on.
    alignment->SetPreviewed(true);
    alignment->SetPreviewed(false);
    EXPECT_TRUE(Home());
    alignment->Reset(0);
    alignment->SetPreviewed(true);
    if (alignment->GetNumParts() == 2 && alignment->GetAlignmentMode() == 0) {
        alignment->SetOffsets(dg::DVec3::ZERO, dg::DVec3::ZERO);
        EXPECT_TRUE(AlignedNow());
    }
    EXPECT_EQ(host.scene->GetRefusedPlacements(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FailingHostCalls,
    ::testing::Values(
        FailingCall{"SetCSysMove", Fault::SMOOTH_EXPLODE, 1,
                    [](Alignment &a, const auto &) {
                        a.SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM,
                                  SmartPtr<moduleutils::DerivedCSys>(new moduleutils::DerivedCSys(
                                      Placement(5, 0, 0, 0, 0, 90), true)));
                    }},
        FailingCall{
            "SetOffsetsMove", Fault::SMOOTH_EXPLODE, 1,
            [](Alignment &a, const auto &) { a.SetOffsets(dg::DVec3(1, 0, 0), dg::DVec3::ZERO); }},
        FailingCall{"SetPreviewedMove", Fault::SMOOTH_EXPLODE, 1,
                    [](Alignment &a, const auto &) { a.SetPreviewed(false); }},
        FailingCall{"SetAlignmentModeMove", Fault::SMOOTH_EXPLODE, 1,
                    [](Alignment &a, const auto &) {
                        a.SetAlignmentMode(Alignment::ALIGNMENT_TRANSLATE_ONLY);
                    }},
        FailingCall{"ResetMoveBack", Fault::SMOOTH_EXPLODE, 1,
                    [](Alignment &a, const auto &) { a.Reset(1); }},
        FailingCall{"ResetFinalRun", Fault::SMOOTH_EXPLODE, 1,
                    [](Alignment &a, const auto &) { a.Reset(8); }},
        FailingCall{"RemoveMoveBack", Fault::SMOOTH_EXPLODE, 1,
                    [](Alignment &a, const auto &part) { a.Remove({TestScene::PartItem(part)}); }},
        FailingCall{"RemoveRebuild", Fault::GET_LOCATION, 1,
                    [](Alignment &a, const auto &part) { a.Remove({TestScene::PartItem(part)}); }},
        FailingCall{"AddSelectedRun", Fault::SMOOTH_EXPLODE, 1,
                    [](Alignment &a, const auto &) { a.AddSelected(); }},
        FailingCall{"ApplyRecording", Fault::GET_LOCATION, 2,
                    [](Alignment &a, const auto &) {
                        a.Apply(SmartPtr<qlk::Operation>(new qlk::Operation));
                    }},
        FailingCall{"ApplyRun", Fault::SMOOTH_EXPLODE, 2,
                    [](Alignment &a, const auto &) {
                        a.SetPreviewed(false);
                        a.Apply(SmartPtr<qlk::Operation>(new qlk::Operation));
                    }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(HostFaults, AResetThatFailsToMoveBackStaysPreviewed) {
    host.scene->InjectFault(Fault::SMOOTH_EXPLODE, 1);
    EXPECT_THROW(alignment->Reset(15), std::runtime_error);
    EXPECT_TRUE(alignment->GetPreviewed());
    alignment->Reset(15);
    EXPECT_TRUE(alignment->GetPreviewed());
    EXPECT_EQ(alignment->GetNumParts(), 0u);
    EXPECT_TRUE(Home());
}

TEST_F(HostFaults, AFailedSwitchKeepsTheOldSettingSoThatARetryMoves) {
    host.scene->InjectFault(Fault::SMOOTH_EXPLODE, 1);
    EXPECT_THROW(alignment->SetPreviewed(false), std::runtime_error);
    EXPECT_TRUE(alignment->GetPreviewed());
    alignment->SetPreviewed(false);
    EXPECT_TRUE(Home());

    alignment->SetPreviewed(true);
    host.scene->InjectFault(Fault::SMOOTH_EXPLODE, 1);
    EXPECT_THROW(alignment->SetAlignmentMode(Alignment::ALIGNMENT_TRANSLATE_ONLY),
                 std::runtime_error);
    EXPECT_EQ(alignment->GetAlignmentMode(), Alignment::ALIGNMENT_TRANSLATE_AND_ROTATE);
    alignment->SetAlignmentMode(Alignment::ALIGNMENT_TRANSLATE_ONLY);
    dg::Location shifted = firstStored;
    shifted.pos.x += 5;
    EXPECT_TRUE(LocationNear(host.FinalLocation(first), shifted));
}

// The rebuild after a removal reads locations from the host; failing halfway,
// it must not leave the list with the aligned placements taken for stored ones.
TEST_F(HostFaults, ARebuildThatFailsLosesNoStoredLocation) {
    host.Select({TestScene::PartItem(first)});
    host.scene->InjectFault(Fault::GET_LOCATION, 1);
    EXPECT_THROW(alignment->Remove({TestScene::PartItem(first)}), std::runtime_error);
    EXPECT_EQ(alignment->GetNumParts(), 1u);
    EXPECT_EQ(observer->Take(), Events({"parts"})); // the part set did change
    EXPECT_TRUE(alignment->CanAddSelected() && !alignment->CanRemoveSelected());
    host.selectionManager->Clear();
    alignment->SetPreviewed(false);
    EXPECT_TRUE(Home());
    alignment->SetPreviewed(true);
    // The next removal that succeeds sends the part home from where it stands.
    alignment->Remove({TestScene::PartItem(first)});
    EXPECT_TRUE(StandAt(firstStored, Aligned(secondStored)));
}

TEST_F(HostFaults, AFailedRunAfterAddingStillTellsTheObservers) {
    host.Select({TestScene::PartItem(third)});
    EXPECT_TRUE(alignment->CanAddSelected());
    host.scene->InjectFault(Fault::SMOOTH_EXPLODE, 1);
    EXPECT_THROW(alignment->AddSelected(), std::runtime_error);
    EXPECT_EQ(alignment->GetNumParts(), 3u);
    EXPECT_FALSE(alignment->CanAddSelected());
    EXPECT_TRUE(alignment->CanRemoveSelected());
    EXPECT_EQ(observer->Take(), Events({"parts"}));
    host.selectionManager->Clear(); // the host lets go of the item made here
}

TEST_F(HostFaults, AFailedRecordingStillClosesItsGroup) {
    SmartPtr<qlk::Operation> operation(new qlk::Operation);
    host.scene->InjectFault(Fault::GET_LOCATION, 2);
    EXPECT_THROW(alignment->Apply(operation), std::runtime_error);
    const auto &steps = operation->GetSteps();
    ASSERT_EQ(steps.size(), 3u); // start, the first part's move, end
    EXPECT_STREQ(steps.front()->GetDebugClassName(), "GroupUpdateStartOperationStep");
    EXPECT_STREQ(steps.back()->GetDebugClassName(), "GroupUpdateEndOperationStep");
}

TEST_F(HostFaults, AConstructionWhoseFirstMoveFailsLeavesNothingBehind) {
    host.scene->InjectFault(Fault::SMOOTH_EXPLODE, 1);
    ReferenceAudit audit;
    const std::size_t observers = host.selectionManager->GetObserverCount();
    EXPECT_THROW(new Alignment(host.view, 3), std::runtime_error);
    EXPECT_EQ(host.selectionManager->GetObserverCount(), observers);
    qlk::Kernel::GetKernel()->CollectGarbage();
    EXPECT_TRUE(audit.Unchanged());
}

// ---- The scene and the derived systems change under the Alignment --------

TEST_F(HostFaults, APartLeavingTheSceneDuringItsAnimationIsLeftOutOfLaterMoves) {
    alignment->SetOffsets(dg::DVec3(0, 0, 1), dg::DVec3::ZERO);
    alignment->SetPreviewed(false);
    host.scene->AdvanceClock(400);
    host.scene->RemoveShapeInstance(first.get());
    host.scene->ClearExplodeCalls();
    alignment->SetPreviewed(true);
    alignment->Reset(15);
    for (const auto &call : host.scene->GetExplodeCalls())
        for (const auto *shape : call.instances)
            EXPECT_NE(shape->GetInstance(), first);
    EXPECT_TRUE(LocationNear(host.FinalLocation(second), secondStored));
    EXPECT_EQ(host.scene->GetRefusedPlacements(), 0u);
}

TEST_F(HostFaults, ADerivedSystemTurningInvalidCountsAtTheNextSetOnly) {
    auto picked = CSys(Placement(5, 0, 0, 0, 0, 90));
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM, picked);
    picked->SetValid(false);
    picked->SetLocation(Placement(0, 0, 0));
    alignment->SetOffsets(dg::DVec3::ZERO, dg::DVec3::ZERO); // the widget keeps the placement
    EXPECT_TRUE(AlignedNow());
    EXPECT_FALSE(alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM, picked));
    EXPECT_FALSE(alignment->GetValid());
    EXPECT_TRUE(Home());
}

// ---- Observers that disrupt the Alignment from a notification -------------

// Unregisters itself on its first notification.
class SelfUnregisteringObserver : public RecordingObserver {
public:
    explicit SelfUnregisteringObserver(Alignment &alignment) : alignment_(alignment) {}
    void OnPartsChanged() override {
        RecordingObserver::OnPartsChanged();
        alignment_.UnregisterObserver(*this);
    }

private:
    Alignment &alignment_;
};

// Calls back into the Alignment once, from the first notification it gets.
class ReenteringObserver : public qlalignparts::AlignmentObserver {
public:
    explicit ReenteringObserver(std::function<void()> call) : call_(std::move(call)) {}
    void OnPartsChanged() override { Once(); }
    void OnOffsetsChanged() override { Once(); }
    void OnCSysChanged(int, int, const SmartPtr<moduleutils::DerivedCSys> &) override { Once(); }

private:
    void Once() {
        if (!call_)
            return;
        auto call = std::move(call_);
        call_ = nullptr;
        call();
    }
    std::function<void()> call_;
};

class FailingObserver : public qlalignparts::AlignmentObserver {
public:
    void OnPartsChanged() override { throw std::runtime_error("observer failure"); }
};

TEST_F(HostFaults, AnObserverUnregisteringItselfHearsNoMoreAndOthersHearAll) {
    dom::MessageLoop::SetImmediate(true);
    SmartPtr<SelfUnregisteringObserver> leaving(new SelfUnregisteringObserver(*alignment));
    alignment->RegisterObserver(*leaving);
    alignment->AddSelected();
    alignment->Reset(1);
    EXPECT_EQ(leaving->events, Events({"parts"}));
    EXPECT_EQ(observer->Take(), Events({"parts", "parts"}));
}

TEST_F(HostFaults, AnObserverDestroyedWhileRegisteredIsNeverReached) {
    dom::MessageLoop::SetImmediate(true);
    {
        SmartPtr<RecordingObserver> gone(new RecordingObserver);
        alignment->RegisterObserver(*gone);
    }
    alignment->Reset(15);
    EXPECT_EQ(observer->Take(), Events({"parts", "csys 0 0 null", "csys 1 0 null", "offsets"}));
}

TEST_F(HostFaults, AnObserverFailingInTheMiddleOfAResetLeavesItPreviewed) {
    dom::MessageLoop::SetImmediate(true);
    SmartPtr<FailingObserver> failing(new FailingObserver);
    alignment->RegisterObserver(*failing);
    EXPECT_THROW(alignment->Reset(1), std::runtime_error);
    alignment->UnregisterObserver(*failing);
    EXPECT_TRUE(alignment->GetPreviewed());
    EXPECT_TRUE(Home());
}

struct Reentry {
    const char *name;
    std::function<void(Alignment &)> trigger; // the operation whose notification calls back
    std::function<void(Alignment &)> callBack;
    bool home; // where the parts end: home, or aligned
};
void PrintTo(const Reentry &value, std::ostream *os) {
    *os << value.name;
}

class ReenteringCalls : public HostFaults, public ::testing::WithParamInterface<Reentry> {};

TEST_P(ReenteringCalls, EndWhereTheLastCallPutsTheParts) {
    dom::MessageLoop::SetImmediate(true);
    Alignment &a = *alignment;
    SmartPtr<ReenteringObserver> reentering(
        new ReenteringObserver([this, &a] { GetParam().callBack(a); }));
    alignment->RegisterObserver(*reentering);
    GetParam().trigger(a);
    alignment->UnregisterObserver(*reentering);
    EXPECT_TRUE(GetParam().home ? Home() : AlignedNow());
    EXPECT_EQ(host.scene->GetRefusedPlacements(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ReenteringCalls,
    ::testing::Values(
        Reentry{"ResetFromAddSelected", [](Alignment &a) { a.AddSelected(); },
                [](Alignment &a) { a.Reset(1); }, true},
        Reentry{"OffsetsFromOffsets",
                [](Alignment &a) { a.SetOffsets(dg::DVec3(0, 0, 7), dg::DVec3::ZERO); },
                [](Alignment &a) { a.SetOffsets(dg::DVec3::ZERO, dg::DVec3::ZERO); }, false},
        Reentry{
            "PreviewOffFromACoordinateSystem",
            [](Alignment &a) { a.SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr); },
            [](Alignment &a) { a.SetPreviewed(false); }, true},
        Reentry{"PreviewOnFromAReset", [](Alignment &a) { a.Reset(8); },
                [](Alignment &a) { a.SetPreviewed(true); }, false},
        Reentry{"ResetFromAnOriginFromTheParts",
                [](Alignment &a) {
                    a.SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, nullptr);
                },
                [](Alignment &a) { a.Reset(1); }, true}),
    [](const auto &info) { return std::string(info.param.name); });

struct Releasing {
    const char *name;
    std::function<void(Alignment &)> operation;
};
void PrintTo(const Releasing &value, std::ostream *os) {
    *os << value.name;
}

class ReleasedMidOperation : public HostFaults, public ::testing::WithParamInterface<Releasing> {};

TEST_P(ReleasedMidOperation, LivesUntilTheOperationReturns) {
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, nullptr);
    alignment->UnregisterObserver(*observer);
    SmartPtr<AlignmentReleasingObserver> releasing(new AlignmentReleasingObserver(alignment));
    alignment->RegisterObserver(*releasing);
    dom::MessageLoop::SetImmediate(true);
    Alignment *raw = alignment.get();
    GetParam().operation(*raw);
    EXPECT_EQ(alignment, nullptr);
    EXPECT_EQ(host.selectionManager->GetObserverCount(), 0u);
    EXPECT_EQ(host.scene->GetRefusedPlacements(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, ReleasedMidOperation,
    ::testing::Values(
        Releasing{"SetCSys",
                  [](Alignment &a) {
                      a.SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);
                  }},
        Releasing{"SetOffsets",
                  [](Alignment &a) { a.SetOffsets(dg::DVec3(1, 1, 1), dg::DVec3::ZERO); }},
        Releasing{"SetAlignmentMode",
                  [](Alignment &a) { a.SetAlignmentMode(Alignment::ALIGNMENT_ROTATE_ONLY); }},
        Releasing{"SetPreviewed",
                  [](Alignment &a) {
                      a.SetPreviewed(false);
                      a.SetPreviewed(true);
                  }},
        Releasing{"Reset", [](Alignment &a) { a.Reset(15); }},
        Releasing{"Apply",
                  [](Alignment &a) {
                      a.SetPreviewed(false);
                      a.Apply(SmartPtr<qlk::Operation>(new qlk::Operation));
                  }}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace qltest
