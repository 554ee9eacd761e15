// The Alignment as a whole: what construction sets up and takes in, what
// destruction takes down, the state queries, the inert Alignment without a
// scene, and that no reference outlives it.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <du/Allocator.h>
#include <qlmk/CSysPreviewWidget.h>

#include "support/TestScene.h"

namespace {

using namespace qltest;
using qlalignparts::Alignment;
using Items = std::vector<SmartPtr<qlk::SelectionItem>>;

class AlignmentLifetime : public ::testing::Test {
protected:
    void SetUp() override {
        dom::MessageLoop::SetImmediate(false);
        dom::MessageLoop::Discard();
    }
    void TearDown() override {
        dom::MessageLoop::SetImmediate(false);
        dom::MessageLoop::Discard();
        qlk::Kernel::GetKernel()->CollectGarbage();
    }

    TestScene host;
};

qlmk::CSysPreviewWidget *WidgetLabelled(const std::vector<qlmk::CSysPreviewWidget *> &widgets,
                                        const std::string &label) {
    for (auto *widget : widgets)
        if (widget->GetLabel() == label)
            return widget;
    return nullptr;
}

TEST_F(AlignmentLifetime, NewAlignmentOnAnEmptySelectionStartsBlank) {
    SmartPtr<Alignment> alignment(new Alignment(host.view, 3));
    EXPECT_FALSE(alignment->GetStarted());
    EXPECT_FALSE(alignment->GetValid());
    EXPECT_EQ(alignment->GetNumParts() + alignment->GetNumAssemblies() +
                  alignment->GetNumCollections(),
              0u);
    EXPECT_TRUE(alignment->GetPreviewed());
    EXPECT_EQ(alignment->GetAlignmentMode(), Alignment::ALIGNMENT_TRANSLATE_AND_ROTATE);
    EXPECT_FALSE(alignment->CanAddSelected());
    EXPECT_FALSE(alignment->CanRemoveSelected());
    EXPECT_EQ(alignment->GetView(), host.view);
    EXPECT_EQ(alignment->GetScene(), host.scene);
    Items stale{TestScene::PartItem(host.AddInstance("stale"))};
    EXPECT_EQ(alignment->GetSelection(stale), 0u);
    EXPECT_TRUE(stale.empty());
}

TEST_F(AlignmentLifetime, ConstructionRegistersAnObserverAndCreatesBothWidgetsHidden) {
    const auto before = du::RefAudit::Snapshot();
    SmartPtr<Alignment> alignment(new Alignment(host.view, 3));

    EXPECT_EQ(host.selectionManager->GetObserverCount(), 1u);
    const auto watchers = CreatedSince<Alignment::SelectionObserver>(before);
    ASSERT_EQ(watchers.size(), 1u);
    EXPECT_EQ(watchers[0]->alignment, alignment.get());
    EXPECT_EQ(watchers[0]->updateDepth, 0);
    // Held by the Alignment, the selection manager and the kernel's management.
    EXPECT_EQ(watchers[0]->GetReferenceCount(), 3);

    const auto widgets = CreatedSince<qlmk::CSysPreviewWidget>(before);
    ASSERT_EQ(widgets.size(), 2u);
    const auto *target = WidgetLabelled(widgets, "Target");
    const auto *origin = WidgetLabelled(widgets, "Origin");
    ASSERT_TRUE(target && origin);
    EXPECT_EQ(target->GetColor(), dg::Color(0.1f, 0.1f, 0.7f, 1.0f));
    EXPECT_EQ(origin->GetColor(), dg::Color(0.1f, 0.7f, 0.1f, 1.0f));
    for (const auto *widget : widgets) {
        EXPECT_EQ(widget->GetView(), host.view.get());
        EXPECT_FALSE(host.scene->IsMarkupShown(widget));
    }
    EXPECT_TRUE(host.scene->GetMarkupCalls().empty());
}

TEST_F(AlignmentLifetime, DestructionUnregistersAndRemovesTheTargetWidgetFirst) {
    const auto before = du::RefAudit::Snapshot();
    SmartPtr<Alignment> alignment(new Alignment(host.view, 3));
    SmartPtr<Alignment::SelectionObserver> watcher(
        CreatedSince<Alignment::SelectionObserver>(before).at(0));
    const auto widgets = CreatedSince<qlmk::CSysPreviewWidget>(before);
    SmartPtr<qlk::Markup> target(WidgetLabelled(widgets, "Target"));
    SmartPtr<qlk::Markup> origin(WidgetLabelled(widgets, "Origin"));

    alignment = nullptr;

    EXPECT_EQ(host.selectionManager->GetObserverCount(), 0u);
    EXPECT_EQ(watcher->alignment, nullptr);
    const auto &calls = host.scene->GetMarkupCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].markup, target.get());
    EXPECT_EQ(calls[1].markup, origin.get());
    EXPECT_FALSE(calls[0].add || calls[1].add);
    EXPECT_EQ(target->GetReferenceCount(), 1);
    EXPECT_EQ(origin->GetReferenceCount(), 1);
}

TEST_F(AlignmentLifetime, DestructionMovesNothingBackAndTellsNobody) {
    auto bolt = host.AddInstance("bolt", Placement(1, 2, 3, 10, 20, 30));
    host.Select({TestScene::PartItem(bolt)});
    SmartPtr<Alignment> alignment(new Alignment(host.view, 1));
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_WORLD, nullptr);
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);
    alignment->SetOffsets(dg::DVec3(5, 0, 0), dg::DVec3(0, 0, 90));
    RecordingObserver observer;
    alignment->RegisterObserver(observer);
    host.scene->FinishAnimations();
    const dg::Location moved = host.FinalLocation(bolt);
    const std::size_t moves = host.scene->GetExplodeCalls().size();

    alignment = nullptr;

    EXPECT_EQ(host.scene->GetExplodeCalls().size(), moves);
    EXPECT_TRUE(LocationNear(host.FinalLocation(bolt), moved));
    EXPECT_TRUE(observer.Take().empty());
}

TEST_F(AlignmentLifetime, TakesInWhatIsSelectedWhenMadeAndMovesNothing) {
    const dg::Location boltAt = Placement(1, 2, 3, 10, 20, 30);
    auto bolt = host.AddInstance("bolt", boltAt);
    auto nut = host.AddInstance("nut", Placement(-4, 0, 1, 0, 45, 0));
    host.Select({TestScene::PartItem(bolt), TestScene::PartItem(nut)});

    SmartPtr<Alignment> alignment(new Alignment(host.view, 1));

    EXPECT_EQ(alignment->GetNumParts(), 2u);
    EXPECT_TRUE(alignment->GetStarted());
    EXPECT_FALSE(alignment->GetValid());
    EXPECT_FALSE(alignment->CanAddSelected());
    EXPECT_TRUE(alignment->CanRemoveSelected());
    EXPECT_TRUE(LocationNear(host.FinalLocation(bolt), boltAt));
}

// Which kinds the mask accepts, and what the host is asked at construction: the
// two evaluation passes around the one query of AddSelected.
struct MaskCase {
    const char *name;
    int mask;
    std::size_t parts, assemblies, collections;
    std::vector<std::size_t> queriedTypeCounts;
};

class SelectionKindMask : public AlignmentLifetime,
                          public ::testing::WithParamInterface<MaskCase> {};

TEST_P(SelectionKindMask, AcceptsOnlyTheKindsOfItsBits) {
    const MaskCase &c = GetParam();
    auto bolt = host.AddInstance("bolt");
    auto frame = host.AddInstance("frame");
    auto rack = host.AddInstance("rack");
    SmartPtr<du::RefCounted> group(new qlk::Annotation(dg::DPoint3D()));
    host.Select({TestScene::PartItem(bolt), TestScene::AssemblyItem(frame),
                 TestScene::CollectionItem(group, {TestScene::PartItem(rack)})});
    host.selectionManager->ClearQueries();

    SmartPtr<Alignment> alignment(new Alignment(host.view, c.mask));

    EXPECT_EQ(alignment->GetNumParts(), c.parts);
    EXPECT_EQ(alignment->GetNumAssemblies(), c.assemblies);
    EXPECT_EQ(alignment->GetNumCollections(), c.collections);
    std::vector<std::size_t> typeCounts;
    for (const auto &query : host.selectionManager->GetQueries()) {
        EXPECT_EQ(query.context, 0u);
        EXPECT_EQ(query.rule, qlk::EXPAND_AS_SELECTED);
        typeCounts.push_back(query.typeCount);
    }
    EXPECT_EQ(typeCounts, c.queriedTypeCounts);
}

INSTANTIATE_TEST_SUITE_P(Masks, SelectionKindMask,
                         ::testing::Values(MaskCase{"None", 0, 0, 0, 0, {0}},
                                           MaskCase{"PartsAndAssemblies", 1, 1, 1, 0, {2, 2, 2}},
                                           MaskCase{"Collections", 2, 0, 0, 1, {1, 1, 1}},
                                           MaskCase{"All", 3, 1, 1, 1, {2, 1, 3, 2, 1}},
                                           MaskCase{"OtherBitsIgnored", 4 | 1, 1, 1, 0, {2, 2, 2}}),
                         [](const auto &info) { return std::string(info.param.name); });

struct StateCase {
    const char *name;
    bool part, collection, origin, target;
    bool started, valid;
};

class StateQueries : public AlignmentLifetime, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StateQueries, StartedAndValidFollowPartsAndCoordinateSystems) {
    const StateCase &c = GetParam();
    Items selected;
    if (c.part)
        selected.push_back(TestScene::PartItem(host.AddInstance("bolt")));
    if (c.collection)
        selected.push_back(TestScene::CollectionItem(
            SmartPtr<du::RefCounted>(new qlk::Annotation(dg::DPoint3D())), {}));
    host.Select(selected);
    SmartPtr<Alignment> alignment(new Alignment(host.view, 3));
    if (c.origin)
        alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_WORLD, nullptr);
    if (c.target)
        alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);

    EXPECT_EQ(alignment->GetStarted(), c.started);
    EXPECT_EQ(alignment->GetValid(), c.valid);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StateQueries,
    ::testing::Values(StateCase{"Nothing", false, false, false, false, false, false},
                      StateCase{"TargetOnly", false, false, false, true, true, false},
                      StateCase{"OriginOnly", false, false, true, false, true, false},
                      StateCase{"PartsOnly", true, false, false, false, true, false},
                      StateCase{"PartsAndOrigin", true, false, true, false, true, false},
                      StateCase{"PartsAndBoth", true, false, true, true, true, true},
                      StateCase{"CollectionsAndBoth", false, true, true, true, true, true},
                      StateCase{"BothWithoutParts", false, false, true, true, true, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(AlignmentLifetime, WithoutAViewTheAlignmentIsInert) {
    auto bolt = host.AddInstance("bolt");
    SmartPtr<Alignment> alignment(new Alignment(nullptr, 3));
    RecordingObserver observer;
    alignment->RegisterObserver(observer);

    alignment->AddSelected();
    alignment->RemoveSelected();
    alignment->Remove({TestScene::PartItem(bolt), nullptr});

    EXPECT_EQ(alignment->GetView(), nullptr);
    EXPECT_EQ(alignment->GetScene(), nullptr);
    EXPECT_FALSE(alignment->GetStarted());
    EXPECT_FALSE(alignment->CanAddSelected() || alignment->CanRemoveSelected());
    EXPECT_EQ(observer.Take(), std::vector<std::string>({"parts", "parts", "parts"}));
}

TEST_F(AlignmentLifetime, OtherOperationsOfAnInertAlignmentDoNotFail) {
    SmartPtr<moduleutils::DerivedCSys> picked(
        new moduleutils::DerivedCSys(Placement(1, 2, 3, 0, 0, 30), true));
    for (const SmartPtr<qlk::ShapeView> &view :
         {SmartPtr<qlk::ShapeView>(), SmartPtr<qlk::ShapeView>(new qlk::ShapeView(nullptr))}) {
        SmartPtr<Alignment> alignment(new Alignment(view, 3));
        alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_CUSTOM, picked);
        alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);
        alignment->PreviewCustomCSys(Alignment::CSYS_TARGET, picked);
        alignment->SetOffsets(dg::DVec3(1, 0, 0), dg::DVec3(0, 0, 10));
        alignment->SetAlignmentMode(Alignment::ALIGNMENT_ROTATE_ONLY);
        alignment->SetPreviewed(false);
        alignment->Apply(SmartPtr<qlk::Operation>(new qlk::Operation));
        alignment->SetPreviewed(true);
        alignment->Reset(15);
        EXPECT_EQ(alignment->GetScene(), nullptr);
        EXPECT_FALSE(alignment->GetValid());
    }
}

TEST_F(AlignmentLifetime, AViewWithoutASceneGetsWidgetsButNoMarkupCalls) {
    const auto before = du::RefAudit::Snapshot();
    SmartPtr<qlk::ShapeView> sceneless(new qlk::ShapeView(nullptr));
    SmartPtr<Alignment> alignment(new Alignment(sceneless, 3));
    EXPECT_EQ(alignment->GetView(), sceneless);
    EXPECT_EQ(alignment->GetScene(), nullptr);
    EXPECT_EQ(CreatedSince<qlmk::CSysPreviewWidget>(before).size(), 2u);
    alignment = nullptr;
    EXPECT_TRUE(CreatedSince<qlmk::CSysPreviewWidget>(before).empty());
}

TEST_F(AlignmentLifetime, WithoutASelectionManagerTheSelectionIsEmpty) {
    TestScene bare(false);
    const auto before = du::RefAudit::Snapshot();
    SmartPtr<Alignment> alignment(new Alignment(bare.view, 3));
    RecordingObserver observer;
    alignment->RegisterObserver(observer);

    alignment->AddSelected();
    alignment->RemoveSelected();

    EXPECT_TRUE(CreatedSince<Alignment::SelectionObserver>(before).empty());
    EXPECT_FALSE(alignment->CanAddSelected() || alignment->CanRemoveSelected());
    EXPECT_EQ(observer.Take(), std::vector<std::string>({"parts", "parts"}));
    alignment = nullptr;
    EXPECT_EQ(bare.scene->GetMarkupCalls().size(), 2u);
}

// An instance whose host answers fail, for the constructor's evaluation.
class FailingInstance : public qlk::Instance {
public:
    using qlk::Instance::Instance;
    bool IsExcluded() const override { throw std::runtime_error("host failure"); }
};

TEST_F(AlignmentLifetime, AFailingConstructionLeavesNoObserverPointingAtIt) {
    SmartPtr<qlk::Instance> failing(new FailingInstance("failing"));
    host.Select({TestScene::PartItem(failing)});
    qlk::Kernel::GetKernel()->CollectGarbage();
    const auto before = du::RefAudit::Snapshot();
    ReferenceAudit audit;

    EXPECT_THROW(new Alignment(host.view, 1), std::runtime_error);

    EXPECT_EQ(host.selectionManager->GetObserverCount(), 0u);
    for (auto *watcher : CreatedSince<Alignment::SelectionObserver>(before))
        EXPECT_EQ(watcher->alignment, nullptr);
    EXPECT_TRUE(audit.Unchanged());
    host.selectionManager->Clear(); // would reach the freed Alignment if still registered
}

struct ReleasingCase {
    const char *name;
    std::function<void(Alignment &, const SmartPtr<qlk::SelectionItem> &)> operation;
};

class ReleasedMidOperation : public AlignmentLifetime,
                             public ::testing::WithParamInterface<ReleasingCase> {};

TEST_P(ReleasedMidOperation, TheAlignmentLivesUntilTheOperationReturns) {
    auto bolt = host.AddInstance("bolt", Placement(1, 0, 0, 0, 0, 45));
    auto item = TestScene::PartItem(bolt);
    host.Select({item});
    SmartPtr<Alignment> alignment(new Alignment(host.view, 3));
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, nullptr);
    AlignmentReleasingObserver observer(alignment);
    alignment->RegisterObserver(observer);
    dom::MessageLoop::SetImmediate(true);

    GetParam().operation(*alignment.get(), item);

    EXPECT_EQ(alignment, nullptr);
    EXPECT_EQ(host.selectionManager->GetObserverCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, ReleasedMidOperation,
    ::testing::Values(
        ReleasingCase{"AddSelected", [](Alignment &a, const auto &) { a.AddSelected(); }},
        ReleasingCase{"RemoveSelected", [](Alignment &a, const auto &) { a.RemoveSelected(); }},
        ReleasingCase{"Remove", [](Alignment &a, const auto &item) { a.Remove({item}); }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(AlignmentLifetime, NothingIsLeftHeldOnceTheAlignmentIsGone) {
    auto frame = host.AddInstance("frame", Placement(0, 0, 1, 0, 90, 0));
    auto bolt = host.AddInstance("bolt", Placement(1, 2, 3, 10, 20, 30), frame);
    auto nut = host.AddInstance("nut", Placement(-1, 0, 0));
    SmartPtr<du::RefCounted> group(new qlk::Annotation(dg::DPoint3D()));
    SmartPtr<moduleutils::DerivedCSys> picked(
        new moduleutils::DerivedCSys(Placement(0, 5, 0, 0, 0, 90), true));
    host.Select({TestScene::PartItem(nut), TestScene::AssemblyItem(frame),
                 TestScene::CollectionItem(group, {TestScene::PartItem(bolt)})});
    const std::size_t commonBlocks = du::CommonAllocatorImpl::BlocksInUse();
    const std::size_t poolBlocks = qlk::MemoryPoolAllocated::BlocksInUse();
    // The kernel exists before the audit, as in any running host, and holds
    // nothing that earlier tests left.
    qlk::Kernel::GetKernel()->CollectGarbage();
    const auto before = du::RefAudit::Snapshot();
    ReferenceAudit audit;
    {
        RecordingObserver observer;
        SmartPtr<Alignment> alignment(new Alignment(host.view, 3));
        alignment->RegisterObserver(observer);
        alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_CUSTOM, picked);
        alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);
        alignment->Remove({TestScene::PartItem(nut)});
        EXPECT_EQ(observer.Take().size(), 3u);
        // Left undelivered on purpose: the queued record holds `picked`.
        alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_CUSTOM, picked);
    }
    dom::MessageLoop::Discard();
    qlk::Kernel::GetKernel()->CollectGarbage();

    EXPECT_TRUE(audit.Unchanged());
    EXPECT_TRUE(CreatedSince<du::RefCounted>(before).empty());
    EXPECT_EQ(du::CommonAllocatorImpl::BlocksInUse(), commonBlocks);
    EXPECT_EQ(qlk::MemoryPoolAllocated::BlocksInUse(), poolBlocks);
}

} // namespace
