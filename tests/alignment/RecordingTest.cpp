// Apply: the groups of steps appended to a host operation, the run it makes
// when not previewed, and the host's undo and redo of what it recorded.
#include <set>

#include "MotionFixture.h"

namespace qltest {
namespace {

// An assembly with one part under it and a loose part, aligned from an origin
// at the scene's origin onto a target turned a quarter about Z at (0, 0, 4).
class Recording : public AlignmentFixture {
protected:
    void SetUp() override {
        assembly = host.AddInstance("assembly", assemblyStored);
        child = host.AddInstance("child", childStored, assembly);
        loose = host.AddInstance("loose", looseStored);
        Start({loose}, {assembly});
    }

    void Align() { Define(Placement(0, 0, 0), Placement(0, 0, 4, 0, 0, 90)); }

    // (x, y, z) turned a quarter about Z is (-y, x, z); the axes X, Y go to Y, -X.
    static dg::Location Aligned(const dg::Location &stored) {
        dg::Location aligned;
        for (int r = 0; r < 3; ++r) {
            aligned.mat.m[r][0] = -stored.mat.m[r][1];
            aligned.mat.m[r][1] = stored.mat.m[r][0];
            aligned.mat.m[r][2] = stored.mat.m[r][2];
        }
        aligned.pos = dg::DPoint3D(-stored.pos.y, stored.pos.x, stored.pos.z + 4);
        return aligned;
    }

    // The steps of one group starting at `first`: start, one move per listed
    // instance in any order, end. Checks each move from its stored location to
    // `to(stored)` and answers the index after the group.
    template <class To>
    std::size_t ExpectGroup(const SmartPtr<qlk::Operation> &operation, std::size_t first,
                            To to) const {
        const auto &steps = operation->GetSteps();
        EXPECT_GE(steps.size(), first + 5);
        if (steps.size() < first + 5)
            return steps.size();
        const auto *start = dynamic_cast<qlk::GroupUpdateStartOperationStep *>(steps[first].get());
        EXPECT_NE(start, nullptr);
        if (start) {
            EXPECT_EQ(start->GetObservable().get(),
                      static_cast<qlk::Observable *>(host.scene.get()));
        }
        std::set<const qlk::ShapeInstance *> moved;
        for (std::size_t i = first + 1; i < first + 4; ++i) {
            const auto *move = dynamic_cast<qlk::ComponentMoveOperationStep *>(steps[i].get());
            EXPECT_NE(move, nullptr) << "step " << i;
            if (!move)
                continue;
            const SmartPtr<qlk::Instance> &instance = move->GetShapeInstance()->GetInstance();
            const dg::Location &stored = instance == assembly ? assemblyStored
                                         : instance == child  ? childStored
                                                              : looseStored;
            EXPECT_EQ(move->GetFrom(), stored) << instance->GetName();
            EXPECT_TRUE(LocationNear(move->GetTo(), to(stored))) << instance->GetName();
            EXPECT_TRUE(move->Recordable());
            moved.insert(move->GetShapeInstance().get());
        }
        EXPECT_EQ(moved.size(), 3u);
        const auto *end = dynamic_cast<qlk::GroupUpdateEndOperationStep *>(steps[first + 4].get());
        EXPECT_NE(end, nullptr);
        if (end) {
            EXPECT_EQ(end->GetObservable().get(), static_cast<qlk::Observable *>(host.scene.get()));
        }
        return first + 5;
    }

    const dg::Location assemblyStored = Placement(2, 0, 0, 0, 0, 10);
    const dg::Location childStored = Placement(2, 1, 0, 40, 0, 0);
    const dg::Location looseStored = Placement(-1, 3, 1, 0, 25, 0);
    SmartPtr<qlk::Instance> assembly;
    SmartPtr<qlk::Instance> child;
    SmartPtr<qlk::Instance> loose;
};

TEST_F(Recording, PreviewedApplyRecordsTheAlignedPlacementsWithoutARun) {
    Align();
    Settle();
    SmartPtr<qlk::Operation> operation(new qlk::Operation);
    alignment->Apply(operation);

    EXPECT_TRUE(host.scene->GetExplodeCalls().empty());
    EXPECT_EQ(observer->Take(), Events());
    EXPECT_EQ(ExpectGroup(operation, 0, Aligned), operation->GetSteps().size());
    EXPECT_TRUE(alignment->GetPreviewed());
}

TEST_F(Recording, ApplyWithoutPreviewMovesAtOnceFirst) {
    Align();
    alignment->SetPreviewed(false);
    Settle();
    SmartPtr<qlk::Operation> operation(new qlk::Operation);
    alignment->Apply(operation);

    EXPECT_EQ(TakeDurations(), std::vector<int>({0}));
    EXPECT_FALSE(host.scene->IsAnimating());
    EXPECT_EQ(ExpectGroup(operation, 0, Aligned), operation->GetSteps().size());
    EXPECT_FALSE(alignment->GetPreviewed());
}

TEST_F(Recording, EachApplyAppendsACompleteGroup) {
    Align();
    Settle();
    SmartPtr<qlk::Operation> operation(new qlk::Operation);
    alignment->Apply(operation);
    alignment->Apply(operation);
    const std::size_t afterFirst = ExpectGroup(operation, 0, Aligned);
    EXPECT_EQ(ExpectGroup(operation, afterFirst, Aligned), operation->GetSteps().size());
}

TEST_F(Recording, WithAnUndefinedSystemEveryEntryStillGetsItsStep) {
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_WORLD, nullptr);
    Settle();
    SmartPtr<qlk::Operation> operation(new qlk::Operation);
    alignment->Apply(operation);
    auto unmoved = [](const dg::Location &stored) { return stored; };
    EXPECT_EQ(ExpectGroup(operation, 0, unmoved), operation->GetSteps().size());
}

TEST_F(Recording, ANullOperationRecordsNothing) {
    Align();
    Settle();
    alignment->Apply(nullptr);
    EXPECT_TRUE(host.scene->GetExplodeCalls().empty());

    alignment->SetPreviewed(false);
    Settle();
    alignment->Apply(nullptr);
    EXPECT_EQ(TakeDurations(), std::vector<int>({0}));
    EXPECT_TRUE(LocationNear(host.FinalLocation(child), Aligned(childStored)));
}

TEST_F(Recording, TheHostsHistoryMovesThePartsBackAndForth) {
    Align();
    alignment->SetPreviewed(false);
    SmartPtr<qlk::Operation> operation(new qlk::Operation);
    alignment->Apply(operation);
    qlk::History history;
    history.Push(operation);

    auto standsAt = [&](const SmartPtr<qlk::Instance> &instance) {
        dg::Location location;
        host.Shape(instance)->GetLocation(location);
        return location;
    };
    ASSERT_TRUE(history.Undo());
    EXPECT_EQ(standsAt(assembly), assemblyStored);
    EXPECT_EQ(standsAt(child), childStored);
    EXPECT_EQ(standsAt(loose), looseStored);
    ASSERT_TRUE(history.Redo());
    EXPECT_TRUE(LocationNear(standsAt(assembly), Aligned(assemblyStored)));
    EXPECT_TRUE(LocationNear(standsAt(child), Aligned(childStored)));
    EXPECT_TRUE(LocationNear(standsAt(loose), Aligned(looseStored)));
    history.Clear();
}

TEST(RecordingNothing, AnEmptyListGivesTheTwoGroupSteps) {
    TestScene host;
    SmartPtr<Alignment> alignment(new Alignment(host.view, 3));
    SmartPtr<qlk::Operation> operation(new qlk::Operation);
    alignment->Apply(operation);
    const auto &steps = operation->GetSteps();
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_NE(dynamic_cast<qlk::GroupUpdateStartOperationStep *>(steps[0].get()), nullptr);
    EXPECT_NE(dynamic_cast<qlk::GroupUpdateEndOperationStep *>(steps[1].get()), nullptr);
}

} // namespace
} // namespace qltest

namespace qltest {
namespace {

// A whole session, from taking parts in to recording and resetting, leaves
// every object that existed before it with the references it had, and
// nothing of its own behind.
TEST(RecordingSession, LeavesNoReferenceBehind) {
    TestScene host;
    auto assembly = host.AddInstance("assembly", Placement(1, 0, 0, 0, 0, 10));
    host.AddInstance("child", Placement(1, 1, 0), assembly);
    auto loose = host.AddInstance("loose", Placement(0, 2, 0, 30, 0, 0));
    SmartPtr<moduleutils::DerivedCSys> target(
        new moduleutils::DerivedCSys(Placement(3, 0, 0, 0, 90, 0), true));
    auto items = std::vector<SmartPtr<qlk::SelectionItem>>{TestScene::AssemblyItem(assembly),
                                                           TestScene::PartItem(loose)};
    host.Select(items);
    SmartPtr<RecordingObserver> observer(new RecordingObserver);
    qlk::Kernel::GetKernel()->CollectGarbage();
    ReferenceAudit audit;
    const auto before = du::RefAudit::Snapshot();
    {
        SmartPtr<qlk::Operation> operation(new qlk::Operation);
        qlk::History history;
        {
            SmartPtr<Alignment> alignment(new Alignment(host.view, 3));
            alignment->RegisterObserver(*observer);
            alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, target);
            alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM, target);
            alignment->PreviewCustomCSys(Alignment::CSYS_ORIGIN, target);
            alignment->SetOffsets(dg::DVec3(1, 2, 3), dg::DVec3(10, 20, 30));
            alignment->SetPreviewed(false);
            alignment->Apply(operation);
            observer->Take();
            alignment->Reset(15);
            alignment->UnregisterObserver(*observer);
        }
        observer->Take();
        // The recorded steps outlive the Alignment and still work.
        history.Push(operation);
        history.Undo();
        history.Redo();
    }
    qlk::Kernel::GetKernel()->CollectGarbage();
    EXPECT_TRUE(audit.Unchanged());
    EXPECT_TRUE(CreatedSince<du::RefCounted>(before).empty());
}

} // namespace
} // namespace qltest
