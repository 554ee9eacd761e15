// The complete parts list, seen through the scene's moves: with no coordinate
// system defined every alignment run puts each listed instance back at its
// stored location, in one move of the scene, so that move shows the list.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestScene.h"

namespace {

using namespace qltest;
using qlalignparts::Alignment;
using Items = std::vector<SmartPtr<qlk::SelectionItem>>;
using Events = std::vector<std::string>;
using Moves = std::map<const qlk::ShapeInstance *, dg::Location>;

class CompletePartsList : public ::testing::Test {
protected:
    void SetUp() override { dom::MessageLoop::Discard(); }
    void TearDown() override {
        // Before collecting, so that its selection observer is collected too.
        alignment = nullptr;
        dom::MessageLoop::Discard();
        qlk::Kernel::GetKernel()->CollectGarbage();
    }

    void Start(const Items &selected) {
        host.Select(selected);
        alignment = new Alignment(host.view, 3);
        alignment->RegisterObserver(observer);
    }

    // Takes in what is selected now; with nothing selected it only runs the
    // alignment once more.
    void AddSelected(const Items &selected) {
        host.Select(selected);
        alignment->AddSelected();
    }

    // The last move of the scene: each shape instance with where it was sent.
    Moves LastMove() const {
        const auto &calls = host.scene->GetExplodeCalls();
        Moves moves;
        if (calls.empty())
            return moves;
        for (std::size_t i = 0; i < calls.back().instances.size(); ++i)
            EXPECT_TRUE(moves.emplace(calls.back().instances[i], calls.back().locations[i]).second)
                << "an instance moved twice in one move";
        return moves;
    }

    Moves Expected(const std::vector<std::pair<SmartPtr<qlk::Instance>, dg::Location>> &entries) {
        Moves moves;
        for (const auto &[instance, location] : entries)
            moves.emplace(host.Shape(instance).get(), location);
        return moves;
    }

    // Puts an instance elsewhere, as a move of the alignment would.
    void Displace(const SmartPtr<qlk::Instance> &instance) {
        host.Shape(instance)->SetLocation(Placement(100, -50, 25, 90, 0, 90));
    }

    static testing::AssertionResult SameMoves(const Moves &actual, const Moves &expected) {
        if (actual.size() != expected.size())
            return testing::AssertionFailure()
                   << actual.size() << " instances moved, expected " << expected.size();
        for (const auto &[shape, location] : expected) {
            auto found = actual.find(shape);
            if (found == actual.end())
                return testing::AssertionFailure() << "an expected instance did not move";
            if (auto near = LocationNear(found->second, location); !near)
                return near;
        }
        return testing::AssertionSuccess();
    }

    TestScene host;
    const dg::Location frameAt = Placement(0, 0, 5, 0, 90, 0);
    const dg::Location boltAt = Placement(1, 2, 3, 10, 20, 30);
    const dg::Location nutAt = Placement(-4, 0, 1, 0, 0, 45);
    const dg::Location armAt = Placement(0, 7, 0, 30, 0, 0);
    const dg::Location pinAt = Placement(2, 2, 2, 0, -60, 0);
    SmartPtr<qlk::Instance> frame = host.AddInstance("frame", frameAt);
    SmartPtr<qlk::Instance> bolt = host.AddInstance("bolt", boltAt, frame);
    SmartPtr<qlk::Instance> nut = host.AddInstance("nut", nutAt, frame);
    SmartPtr<qlk::Instance> arm = host.AddInstance("arm", armAt);
    SmartPtr<qlk::Instance> pin = host.AddInstance("pin", pinAt, arm);
    RecordingObserver observer;
    SmartPtr<Alignment> alignment;
};

TEST_F(CompletePartsList, ListsEveryInstanceOnceHoweverItIsReached) {
    SmartPtr<du::RefCounted> group(new qlk::Annotation(dg::DPoint3D()));
    Start({TestScene::PartItem(bolt), TestScene::AssemblyItem(frame),
           TestScene::CollectionItem(group, {TestScene::PartItem(nut)},
                                     {TestScene::AssemblyItem(arm)})});
    EXPECT_TRUE(SameMoves(
        LastMove(),
        Expected({{frame, frameAt}, {bolt, boltAt}, {nut, nutAt}, {arm, armAt}, {pin, pinAt}})));
}

TEST_F(CompletePartsList, StoredLocationsSurviveLaterRunsAndNewcomersEnterAsTheyStand) {
    Start({TestScene::PartItem(bolt)});
    Displace(bolt);
    Displace(nut);
    const dg::Location nutNow = host.FinalLocation(nut);

    AddSelected({TestScene::PartItem(nut)});

    EXPECT_TRUE(SameMoves(LastMove(), Expected({{bolt, boltAt}, {nut, nutNow}})));
}

TEST_F(CompletePartsList, AListedAssemblyIsNotWalkedAgain) {
    Start({TestScene::AssemblyItem(arm)});
    auto late = host.AddInstance("late", Placement(9, 9, 9), arm);

    AddSelected({});
    EXPECT_TRUE(SameMoves(LastMove(), Expected({{arm, armAt}, {pin, pinAt}})));

    AddSelected({TestScene::PartItem(late)});
    EXPECT_TRUE(
        SameMoves(LastMove(), Expected({{arm, armAt}, {pin, pinAt}, {late, Placement(9, 9, 9)}})));
}

TEST_F(CompletePartsList, UndrawnNodesOfAnAssemblyAreDrawnButALonePartIsNot) {
    auto hub = host.AddBareInstance("hub");
    auto spoke = host.AddBareInstance("spoke", hub);
    auto loose = host.AddBareInstance("loose");

    Start({TestScene::AssemblyItem(hub), TestScene::PartItem(loose)});

    ASSERT_TRUE(host.Shape(hub) && host.Shape(spoke));
    EXPECT_FALSE(host.Shape(loose));
    EXPECT_TRUE(SameMoves(LastMove(), Expected({{hub, dg::Location()}, {spoke, dg::Location()}})));
}

TEST_F(CompletePartsList, AnAssemblyTakenAsAPartMovesWithItsSubTree) {
    arm->SetTreatedAsPart(true);
    Start({TestScene::AssemblyItem(arm)});
    EXPECT_EQ(alignment->GetNumParts(), 1u);
    EXPECT_TRUE(SameMoves(LastMove(), Expected({{arm, armAt}, {pin, pinAt}})));
}

TEST_F(CompletePartsList, CollectionsContributeTheirPartAndAssemblyItemsOnly) {
    SmartPtr<du::RefCounted> outer(new qlk::Annotation(dg::DPoint3D()));
    SmartPtr<du::RefCounted> inner(new qlk::Annotation(dg::DPoint3D()));
    SmartPtr<qlk::Object> notAnInstance(new qlk::Annotation(dg::DPoint3D()));
    Start({TestScene::CollectionItem(outer,
                                     {TestScene::CollectionItem(inner, {TestScene::PartItem(bolt)}),
                                      SmartPtr<qlk::SelectionItem>(new qlk::ObjectSelectionItem(
                                          notAnInstance, qlk::mcad_selection::Instance)),
                                      SmartPtr<qlk::SelectionItem>(new qlk::ObjectSelectionItem(
                                          frame, qlk::mcad_selection::Collection))},
                                     {TestScene::PartItem(nut), TestScene::AssemblyItem(arm)})});
    EXPECT_TRUE(SameMoves(LastMove(), Expected({{nut, nutAt}, {arm, armAt}, {pin, pinAt}})));
}

TEST_F(CompletePartsList, RemovalMovesBackExactlyWhatDroppedOutAndKeepsTheRest) {
    Start({TestScene::PartItem(bolt), TestScene::PartItem(nut), TestScene::AssemblyItem(arm)});
    for (const auto &instance : {bolt, nut, arm, pin})
        Displace(instance);
    host.scene->ClearExplodeCalls();

    alignment->Remove({TestScene::PartItem(bolt), TestScene::AssemblyItem(arm)});

    ASSERT_EQ(host.scene->GetExplodeCalls().size(), 1u);
    EXPECT_EQ(host.scene->GetExplodeCalls()[0].duration, 1000);
    EXPECT_TRUE(SameMoves(LastMove(), Expected({{bolt, boltAt}, {arm, armAt}, {pin, pinAt}})));
    AddSelected({});
    EXPECT_TRUE(SameMoves(LastMove(), Expected({{nut, nutAt}})));
}

TEST_F(CompletePartsList, AnInstanceStillReachedAnotherWayDoesNotDropOut) {
    Start({TestScene::PartItem(bolt), TestScene::AssemblyItem(frame)});
    Displace(bolt);

    alignment->Remove({TestScene::PartItem(bolt)});
    EXPECT_TRUE(LastMove().empty());

    AddSelected({});
    EXPECT_TRUE(SameMoves(LastMove(), Expected({{frame, frameAt}, {bolt, boltAt}, {nut, nutAt}})));
}

TEST_F(CompletePartsList, RemovalRealignsWhatRemainsWhenTheOriginComesFromTheParts) {
    Start({TestScene::PartItem(bolt), TestScene::PartItem(nut)});
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, nullptr);
    observer.Take();
    host.scene->ClearExplodeCalls();

    alignment->Remove({TestScene::PartItem(bolt)});

    const auto &calls = host.scene->GetExplodeCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].instances,
              std::vector<const qlk::ShapeInstance *>({host.Shape(bolt).get()}));
    EXPECT_EQ(calls[1].instances, std::vector<const qlk::ShapeInstance *>({host.Shape(nut).get()}));
    EXPECT_EQ(calls[1].duration, 1000);
    // The origin is now the nut's own placement: the run brings it onto the world axes.
    EXPECT_TRUE(LocationNear(calls[1].locations[0], dg::Location()));
    EXPECT_EQ(observer.Take(), Events({"csys 0 1 null", "parts"}));
}

TEST_F(CompletePartsList, WithoutPreviewRemovalMovesNothing) {
    Start({TestScene::PartItem(bolt)});
    alignment->SetPreviewed(false);
    host.scene->ClearExplodeCalls();
    observer.Take();

    alignment->Remove({TestScene::PartItem(bolt)});

    EXPECT_TRUE(host.scene->GetExplodeCalls().empty());
    EXPECT_EQ(observer.Take(), Events({"parts"}));
}

TEST_F(CompletePartsList, NothingIsLeftHeldOnceTheAlignmentIsGone) {
    // Observers that earlier tests left to the kernel go now, not during the audit.
    qlk::Kernel::GetKernel()->CollectGarbage();
    host.Select(
        {TestScene::PartItem(bolt), TestScene::AssemblyItem(frame), TestScene::AssemblyItem(arm)});
    const auto before = du::RefAudit::Snapshot();
    ReferenceAudit audit;
    {
        SmartPtr<Alignment> listing(new Alignment(host.view, 3));
        Displace(nut);
        listing->Remove({TestScene::AssemblyItem(frame)});
        listing->Remove({TestScene::AssemblyItem(arm), TestScene::PartItem(bolt)});
    }
    dom::MessageLoop::Discard();
    qlk::Kernel::GetKernel()->CollectGarbage();
    EXPECT_TRUE(audit.Unchanged());
    EXPECT_TRUE(CreatedSince<du::RefCounted>(before).empty());
}

} // namespace
