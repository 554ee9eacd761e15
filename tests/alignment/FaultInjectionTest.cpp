// Injected faults: the host throwing from a move or a location query in the
// middle of an operation, and observers that disrupt the Alignment from
// inside a notification (calling back in, throwing, dropping the host's last
// reference).
// After each, the Alignment must still be usable, put parts where the
// alignment says, and leave no reference behind (the fixture's audit).
#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TestScene.h"

namespace qltest {
namespace {

using Fault = qlk::ShapeScene::Fault;
using Call = std::function<void(Alignment &)>;

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

    ::testing::AssertionResult StandAt(const dg::Location &forFirst,
                                       const dg::Location &forSecond) const {
        auto near = LocationNear(host.FinalLocation(first), forFirst);
        return near ? LocationNear(host.FinalLocation(second), forSecond) << " (second)"
                    : near << " (first)";
    }
    ::testing::AssertionResult Home() const { return StandAt(firstStored, secondStored); }
    // The aligned placement of a stored one: a quarter turn about Z, then (5, 0, 0).
    static dg::Location Aligned(const dg::Location &stored) {
        Frame onto = Turn(2, 90);
        onto.t[0] = 5;
        return LocationOf(Then(FrameOf(stored), onto));
    }
    ::testing::AssertionResult AlignedNow() const {
        return StandAt(Aligned(firstStored), Aligned(secondStored));
    }
    // The part set emptied and every part home; the three parts by address.
    Instances Afresh() {
        alignment->SetPreviewed(true);
        alignment->Reset(1);
        Settle();
        Instances parts{first, second, third};
        std::sort(parts.begin(), parts.end());
        return parts;
    }
    // A collection of the given parts, in that order.
    static SmartPtr<qlk::SelectionItem> Group(const Instances &members) {
        std::vector<SmartPtr<qlk::SelectionItem>> items;
        for (const auto &member : members)
            items.push_back(TestScene::PartItem(member));
        return SmartPtr<qlk::SelectionItem>(new qlk::CollectionSelectionItem(
            SmartPtr<du::RefCounted>(new qlk::Object), du::Symbol("Group"), nullptr, items, {}));
    }

    const dg::Location firstStored = Placement(1, 2, 0, 0, 0, 30);
    const dg::Location secondStored = Placement(-2, 0, 3, 90, 0, 0);
    SmartPtr<qlk::Instance> first, second, third;
};

SmartPtr<qlk::Operation> NewOperation() {
    return SmartPtr<qlk::Operation>(new qlk::Operation);
}

// ---- The host throws in the middle of an operation -----------------------

struct FailingCall {
    const char *name;
    Fault fault;
    int nthCall;
    std::function<void(Alignment &, const SmartPtr<qlk::Instance> &first)> call;
    bool previewed = true; // after the failure: a failed switch keeps the old setting
};

class FailingHostCalls : public HostFaults, public ::testing::WithParamInterface<FailingCall> {};

// Whatever failed, the failure reaches the caller, and afterwards the same
// Alignment still takes the parts home and brings them back exactly.
TEST_P(FailingHostCalls, LeaveTheAlignmentUsableAndTheStoredLocationsIntact) {
    host.scene->InjectFault(GetParam().fault, GetParam().nthCall);
    EXPECT_THROW(GetParam().call(*alignment, first), std::runtime_error);
    EXPECT_EQ(host.scene->GetFiredFaults(), 1u);
    EXPECT_EQ(alignment->GetPreviewed(), GetParam().previewed);
    EXPECT_EQ(alignment->GetAlignmentMode(), Alignment::ALIGNMENT_TRANSLATE_AND_ROTATE);
    host.scene->InjectFault(GetParam().fault, 0);
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

const auto kRemoveFirst = [](Alignment &a, const SmartPtr<qlk::Instance> &first) {
    a.Remove({TestScene::PartItem(first)});
};

INSTANTIATE_TEST_SUITE_P(
    Calls, FailingHostCalls,
    ::testing::Values(FailingCall{"SetCSysMove", Fault::SMOOTH_EXPLODE, 1,
                                  [](Alignment &a, auto &) {
                                      a.SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM,
                                                CSys(Placement(5, 0, 0, 0, 0, 90)));
                                  }},
                      FailingCall{"SetOffsetsMove", Fault::SMOOTH_EXPLODE, 1,
                                  [](Alignment &a, auto &) {
                                      a.SetOffsets(dg::DVec3(1, 0, 0), dg::DVec3::ZERO);
                                  }},
                      FailingCall{"SetPreviewedMove", Fault::SMOOTH_EXPLODE, 1,
                                  [](Alignment &a, auto &) { a.SetPreviewed(false); }},
                      FailingCall{"SetAlignmentModeMove", Fault::SMOOTH_EXPLODE, 1,
                                  [](Alignment &a, auto &) {
                                      a.SetAlignmentMode(Alignment::ALIGNMENT_TRANSLATE_ONLY);
                                  }},
                      FailingCall{"ResetMoveBack", Fault::SMOOTH_EXPLODE, 1,
                                  [](Alignment &a, auto &) { a.Reset(15); }},
                      FailingCall{"ResetFinalRun", Fault::SMOOTH_EXPLODE, 1,
                                  [](Alignment &a, auto &) { a.Reset(8); }},
                      FailingCall{"RemoveMoveBack", Fault::SMOOTH_EXPLODE, 1, kRemoveFirst},
                      FailingCall{"AddSelectedRun", Fault::SMOOTH_EXPLODE, 1,
                                  [](Alignment &a, auto &) { a.AddSelected(); }},
                      FailingCall{"ApplyRecording", Fault::GET_LOCATION, 2,
                                  [](Alignment &a, auto &) { a.Apply(NewOperation()); }},
                      FailingCall{"ApplyRun", Fault::SMOOTH_EXPLODE, 2,
                                  [](Alignment &a, auto &) {
                                      a.SetPreviewed(false);
                                      a.Apply(NewOperation());
                                  },
                                  false}),
    [](const auto &info) { return std::string(info.param.name); });

// A collection naming an instance that the scene draws only after the
// alignment has run: the next removal's rebuild finds it new to the list, and
// so reads its location (the first it reads), after the part that stays.
class LateDrawnMember : public HostFaults {
protected:
    void SetUp() override {
        HostFaults::SetUp();
        late = host.AddInstance("late", Placement(0, 0, 0), nullptr, true);
        host.Select({Group({late})});
        alignment->AddSelected();
        host.scene->CreateShapeInstance(late, lateStored);
        host.Select({TestScene::PartItem(first)});
        Settle();
    }
    void TearDown() override {
        host.selectionManager->Clear();
        host.scene->RemoveShapeInstance(late.get());
        late = nullptr;
        HostFaults::TearDown();
    }

    const dg::Location lateStored = Placement(0, 0, 7);
    SmartPtr<qlk::Instance> late;
};

// The host fails on the new member's location, after the rebuild has reached
// the part that stays: every stored location is still there to go home to,
// and the flags and observers describe the part set without the removed part.
TEST_F(LateDrawnMember, ARebuildFailingAfterThePartsThatStayLosesNoStoredLocation) {
    host.scene->InjectFault(Fault::GET_LOCATION, 1);
    EXPECT_THROW(alignment->Remove({TestScene::PartItem(first)}), std::runtime_error);
    EXPECT_EQ(host.scene->GetFiredFaults(), 1u);
    // The part set has changed all the same, and the flags and observers say so.
    EXPECT_EQ(observer->Take(), Events({"parts"}));
    EXPECT_TRUE(alignment->CanAddSelected() && !alignment->CanRemoveSelected());
    host.scene->FinishAnimations();
    EXPECT_TRUE(AlignedNow()); // nothing moved
    alignment->SetPreviewed(false);
    EXPECT_TRUE(Home());
    EXPECT_TRUE(LocationNear(host.FinalLocation(late), lateStored));
}

// A run from inside the rebuild lists the new member too; the removal keeps
// that entry, with the location the run stored, and still sends home all that
// dropped out, wherever the two parts stand in the list.
TEST_F(LateDrawnMember, ARunFromInsideTheRebuildKeepsWhatItListed) {
    host.scene->InjectCallBack(Fault::GET_LOCATION, 1,
                               [this] { alignment->SetOffsets(dg::DVec3::ZERO, dg::DVec3::ZERO); });
    alignment->Remove({TestScene::PartItem(first), TestScene::PartItem(second)});
    EXPECT_EQ(observer->Take(), Events({"offsets", "parts"}));
    host.scene->FinishAnimations();
    EXPECT_TRUE(Home());
    EXPECT_TRUE(LocationNear(host.FinalLocation(late), Aligned(lateStored)));
    alignment->SetPreviewed(false);
    EXPECT_TRUE(Home());
    EXPECT_TRUE(LocationNear(host.FinalLocation(late), lateStored));
}

TEST_F(HostFaults, AFailedRunAfterAddingStillTellsTheObservers) {
    host.Select({TestScene::PartItem(third)});
    EXPECT_TRUE(alignment->CanAddSelected());
    host.scene->InjectFault(Fault::SMOOTH_EXPLODE, 1);
    EXPECT_THROW(alignment->AddSelected(), std::runtime_error);
    EXPECT_EQ(alignment->GetNumParts(), 3u);
    EXPECT_TRUE(!alignment->CanAddSelected() && alignment->CanRemoveSelected());
    EXPECT_EQ(observer->Take(), Events({"parts"}));
    host.selectionManager->Clear();
}

TEST_F(HostFaults, AFailedRecordingStillClosesItsGroup) {
    SmartPtr<qlk::Operation> operation = NewOperation();
    host.scene->InjectFault(Fault::GET_LOCATION, 2);
    EXPECT_THROW(alignment->Apply(operation), std::runtime_error);
    const auto &steps = operation->GetSteps();
    ASSERT_EQ(steps.size(), 3u); // start, the first part's move, end
    EXPECT_STREQ(steps.front()->GetDebugClassName(), "GroupUpdateStartOperationStep");
    EXPECT_STREQ(steps.back()->GetDebugClassName(), "GroupUpdateEndOperationStep");
}

// A host that runs its own code from inside the n-th location query of a
// recording, and there drops one of three parts (by its place in the list,
// which goes by address), maybe running the alignment again at once: the
// recording goes on over the list as it now stands, past the part it was at,
// and never over the dropped part.
TEST_F(HostFaults, ARecordingGoesOnOverTheListAsItNowStands) {
    Instances listed{first, second, third};
    std::sort(listed.begin(), listed.end());
    // The places in the list of the parts whose moves were recorded.
    const auto record = [&](const SmartPtr<qlk::Instance> &taken, int nthCall, int dropped,
                            bool runAgain) {
        host.Select({TestScene::PartItem(taken)});
        alignment->AddSelected();
        host.scene->InjectCallBack(Fault::GET_LOCATION, nthCall, [&] {
            alignment->Remove({TestScene::PartItem(listed[dropped])});
            if (runAgain)
                alignment->SetOffsets(dg::DVec3(0, 0, 1), dg::DVec3::ZERO);
        });
        const SmartPtr<qlk::Operation> operation = NewOperation();
        alignment->Apply(operation);
        std::vector<int> moved;
        for (const auto &step : operation->GetSteps())
            for (int i = 0; i < 3; ++i)
                if (auto *move = dynamic_cast<qlk::ComponentMoveOperationStep *>(step.get()))
                    if (move->GetShapeInstance() == host.Shape(listed[i]))
                        moved.push_back(i);
        EXPECT_EQ(moved.size() + 2, operation->GetSteps().size()) << "and the group's two ends";
        return moved;
    };
    EXPECT_EQ(record(third, 1, 2, false), std::vector<int>({0, 1}));
    EXPECT_EQ(record(listed[2], 3, 0, true), std::vector<int>({0, 1, 2}));
    host.selectionManager->Clear();
}

// A collection of three parts taken in afresh, in falling order of their
// addresses, so that the list's entries are not made in its order. A host
// that records the alignment from inside the third part's location query
// gets the two parts listed before it; the generation then goes on and lists
// the third too.
TEST_F(HostFaults, AnOperationFromInsideAFirstGenerationSeesTheListSoFar) {
    Instances falling = Afresh();
    std::reverse(falling.begin(), falling.end());
    host.Select({Group(falling)});
    const SmartPtr<qlk::Operation> operation = NewOperation();
    host.scene->InjectCallBack(Fault::GET_LOCATION, 3, [&] { alignment->Apply(operation); });
    alignment->AddSelected();
    std::vector<const qlk::ShapeInstance *> moved;
    for (const auto &step : operation->GetSteps())
        if (auto *move = dynamic_cast<qlk::ComponentMoveOperationStep *>(step.get()))
            moved.push_back(move->GetShapeInstance().get());
    EXPECT_EQ(moved, std::vector<const qlk::ShapeInstance *>(
                         {host.Shape(falling[1]).get(), host.Shape(falling[0]).get()}));
    host.scene->FinishAnimations();
    EXPECT_TRUE(AlignedNow());
    alignment->SetPreviewed(false);
    EXPECT_TRUE(Home());
    EXPECT_TRUE(LocationNear(host.FinalLocation(third), Placement(0, 0, 9)));
    host.selectionManager->Clear();
}

// A part whose place in the list is before a collection's member, taken in
// while the host, from inside its location query, removes the collection:
// the member's entry is gone by the time the part is listed, and must not be
// where the part's entry goes.
TEST_F(HostFaults, AnEntryRemovedFromInsideAGenerationIsNoPlaceForTheNext) {
    const Instances rising = Afresh();
    const dg::Location lowHome = host.FinalLocation(rising[0]);
    const dg::Location highHome = host.FinalLocation(rising[2]);
    const SmartPtr<qlk::SelectionItem> group = Group({rising[2]});
    host.Select({group});
    alignment->AddSelected();
    Settle();
    host.Select({TestScene::PartItem(rising[0])});
    host.scene->InjectCallBack(Fault::GET_LOCATION, 1, [&] { alignment->Remove({group}); });
    alignment->AddSelected();
    host.scene->FinishAnimations();
    EXPECT_EQ(alignment->GetNumCollections(), 0u);
    EXPECT_TRUE(LocationNear(host.FinalLocation(rising[0]), Aligned(lowHome)));
    EXPECT_TRUE(LocationNear(host.FinalLocation(rising[2]), highHome));
    alignment->SetPreviewed(false);
    EXPECT_TRUE(LocationNear(host.FinalLocation(rising[0]), lowHome));
    host.selectionManager->Clear();
}

// The host changes the part set from inside the first location query of a
// generation (that of an Apply, not previewed): it drops the member being
// walked (a part, an assembly, a collection), resets the part set, or takes
// a part or a collection in (the part before the one walked, the collection
// beside the one walked). The generation starts over the part set as it
// stands: what was dropped stays home, what was taken in moves with the rest.
TEST_F(HostFaults, APartSetChangedWhileBeingListedIsListedAsItStands) {
    const auto body = host.AddInstance("body", Placement(0, 0, 4));
    const auto pin = host.AddInstance("pin", Placement(1, 0, 4), body);
    const auto group = Group({third}), assembly = TestScene::AssemblyItem(body);
    const Instances all{first, second, third, body, pin};
    const Instances rising = Afresh();
    std::vector<dg::Location> home;
    for (const auto &instance : all)
        home.push_back(host.FinalLocation(instance));
    struct Case {
        std::vector<SmartPtr<qlk::SelectionItem>> chosen;
        std::function<void()> inside;
        Instances aligned;
    };
    const auto taken = [&](const SmartPtr<qlk::SelectionItem> &item) {
        return [&, item] { host.Select({item}), alignment->AddSelected(); };
    };
    const auto lowest = TestScene::PartItem(rising[0]), next = TestScene::PartItem(rising[1]);
    for (const Case &c : {Case{{lowest, next}, [&] { alignment->Remove({lowest}); }, {rising[1]}},
                          Case{{next}, taken(lowest), {rising[0], rising[1]}},
                          Case{{assembly}, [&] { alignment->Remove({assembly}); }, {}},
                          Case{{group}, [&] { alignment->Remove({group}); }, {}},
                          Case{{TestScene::PartItem(first)}, [&] { alignment->Reset(1); }, {}},
                          Case{{Group({first})}, taken(group), {first, third}}}) {
        Afresh();
        alignment->SetPreviewed(false);
        host.Select(c.chosen);
        alignment->AddSelected();
        host.scene->InjectCallBack(Fault::GET_LOCATION, 1, c.inside);
        alignment->Apply(NewOperation());
        EXPECT_EQ(alignment->GetNumParts() + alignment->GetNumAssemblies() +
                      alignment->GetNumCollections(),
                  c.aligned.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            const bool moved = std::count(c.aligned.begin(), c.aligned.end(), all[i]) != 0;
            EXPECT_TRUE(
                LocationNear(host.FinalLocation(all[i]), moved ? Aligned(home[i]) : home[i]))
                << "instance " << i;
        }
    }
    host.selectionManager->Clear();
    for (const auto &made : {body, pin}) // what the audit does not know
        host.scene->RemoveShapeInstance(made.get());
}

TEST_F(HostFaults, AConstructionWhoseFirstMoveFailsLeavesNothingBehind) {
    host.scene->InjectFault(Fault::SMOOTH_EXPLODE, 1);
    const auto audit = du::RefAudit::Snapshot();
    const std::size_t observers = host.selectionManager->GetObserverCount();
    EXPECT_THROW(new Alignment(host.view, 3), std::runtime_error);
    EXPECT_EQ(host.selectionManager->GetObserverCount(), observers);
    EXPECT_EQ(host.selectionManager->GetRegistrationContexts().back(), 0u);
    qlk::Kernel::GetKernel()->CollectGarbage();
    EXPECT_EQ(du::RefAudit::Snapshot(), audit);
}

// ---- Observers that disrupt the Alignment from a notification -------------

// Runs `call` from the first notification it gets, then only records.
class DisruptingObserver : public RecordingObserver {
public:
    explicit DisruptingObserver(Call call) : call_(std::move(call)) {}
    void OnPartsChanged() override { Then("parts"); }
    void OnOffsetsChanged() override { Then("offsets"); }
    void OnCSysChanged(int, int, const SmartPtr<moduleutils::DerivedCSys> &) override {
        Then("csys");
    }
    Alignment *target = nullptr;

private:
    void Then(const char *event) {
        events.push_back(event);
        if (Call call = std::move(call_)) {
            call_ = nullptr;
            call(*target);
        }
    }
    Call call_;
};

TEST_F(HostFaults, AnObserverFailingInTheMiddleOfAResetLeavesItPreviewed) {
    dom::MessageLoop::SetImmediate(true);
    SmartPtr<DisruptingObserver> failing(
        new DisruptingObserver([](Alignment &) { throw std::runtime_error("observer failure"); }));
    failing->target = alignment.get();
    alignment->RegisterObserver(*failing);
    EXPECT_THROW(alignment->Reset(1), std::runtime_error);
    alignment->UnregisterObserver(*failing);
    EXPECT_TRUE(alignment->GetPreviewed());
    EXPECT_TRUE(Home());
}

struct Reentry {
    const char *name;
    Call trigger; // the operation whose notification calls back
    Call callBack;
    bool home; // where the parts end: home, or aligned
};

class ReenteringCalls : public HostFaults, public ::testing::WithParamInterface<Reentry> {};

TEST_P(ReenteringCalls, EndWhereTheLastCallPutsTheParts) {
    dom::MessageLoop::SetImmediate(true);
    SmartPtr<DisruptingObserver> reentering(new DisruptingObserver(GetParam().callBack));
    reentering->target = alignment.get();
    alignment->RegisterObserver(*reentering);
    GetParam().trigger(*alignment);
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

// The host drops its last reference to the Alignment from inside the first
// notification: the operation in progress must keep its object alive until it returns.
TEST_F(HostFaults, AReleasedAlignmentLivesUntilTheOperationReturns) {
    const std::pair<const char *, Call> operations[] = {
        {"SetCSys",
         [](Alignment &a) { a.SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr); }},
        {"SetOffsets", [](Alignment &a) { a.SetOffsets(dg::DVec3(1, 1, 1), dg::DVec3::ZERO); }},
        {"SetAlignmentMode",
         [](Alignment &a) { a.SetAlignmentMode(Alignment::ALIGNMENT_ROTATE_ONLY); }},
        {"SetPreviewed",
         [](Alignment &a) {
             a.SetPreviewed(false);
             a.SetPreviewed(true);
         }},
        {"Reset", [](Alignment &a) { a.Reset(15); }},
        {"Apply", [](Alignment &a) {
             a.SetPreviewed(false);
             a.Apply(NewOperation());
         }}};
    dom::MessageLoop::SetImmediate(true);
    alignment->UnregisterObserver(*observer);
    alignment = nullptr;
    for (const auto &[name, operation] : operations) {
        SmartPtr<Alignment> held(new Alignment(host.view, 3));
        held->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, nullptr);
        SmartPtr<DisruptingObserver> releasing(
            new DisruptingObserver([&held](Alignment &) { held = nullptr; }));
        Alignment *raw = held.get();
        releasing->target = raw;
        raw->RegisterObserver(*releasing);
        operation(*raw);
        EXPECT_EQ(held, nullptr) << name;
        EXPECT_EQ(host.selectionManager->GetObserverCount(), 0u) << name;
    }
    EXPECT_EQ(host.scene->GetRefusedPlacements(), 0u);
}

} // namespace
} // namespace qltest
