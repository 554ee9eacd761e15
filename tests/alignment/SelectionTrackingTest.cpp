// Following the host's selection: the two flags after each kind of selection,
// the early stop, update groups, the observer once its Alignment is gone, and
// AddSelected / RemoveSelected.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestScene.h"

namespace {

using namespace qltest;
using qlalignparts::Alignment;
using Items = std::vector<SmartPtr<qlk::SelectionItem>>;
using Events = std::vector<std::string>;

class ForeignItem : public qlk::SelectionItem {
public:
    const du::Symbol &GetContentType() const override { return qlk::mcad_selection::Instance; }

protected:
    bool IsSameSelection(const qlk::SelectionItem &other) const override { return &other == this; }
};

// Counts how often the host is asked whether it is excluded.
class CountingInstance : public qlk::Instance {
public:
    using qlk::Instance::Instance;
    bool IsExcluded() const override {
        ++asked;
        return false;
    }
    mutable int asked = 0;
};

// Opens the evaluation and its hooks to the tests.
class ProbeAlignment : public Alignment {
public:
    using Alignment::Alignment;
    using Alignment::SelectionChanged;
    int collectionPasses = 0;
    bool supplyOwnItems = false;
    Items ownItems;

protected:
    void SelectionChangedInstance(std::vector<SmartPtr<qlk::SelectionItem>> &items) override {
        if (supplyOwnItems)
            items.insert(items.end(), ownItems.begin(), ownItems.end());
        else
            Alignment::SelectionChangedInstance(items);
    }
    void SelectionChangedCollection(std::vector<SmartPtr<qlk::SelectionItem>> &items) override {
        ++collectionPasses;
        Alignment::SelectionChangedCollection(items);
    }
};

struct Catalogue {
    explicit Catalogue(TestScene &host)
        : bolt(host.AddInstance("bolt")), nut(host.AddInstance("nut")),
          frame(host.AddInstance("frame")), excluded(host.AddInstance("excluded")),
          rigid(host.AddInstance("rigid")), groupA(new qlk::Annotation(dg::DPoint3D())),
          groupB(new qlk::Annotation(dg::DPoint3D())) {
        excluded->SetExcluded(true);
        rigid->SetTreatedAsPart(true);
    }
    static SmartPtr<qlk::SelectionItem> Part(const SmartPtr<qlk::Instance> &i) {
        return TestScene::PartItem(i);
    }
    static SmartPtr<qlk::SelectionItem> Assembly(const SmartPtr<qlk::Instance> &i) {
        return TestScene::AssemblyItem(i);
    }
    static SmartPtr<qlk::SelectionItem> Group(const SmartPtr<du::RefCounted> &comparison,
                                              const SmartPtr<qlk::Instance> &sbom = nullptr) {
        return TestScene::CollectionItem(comparison, {}, {}, sbom);
    }

    SmartPtr<qlk::Instance> bolt, nut, frame, excluded, rigid;
    SmartPtr<du::RefCounted> groupA, groupB;
};
using C = Catalogue;
using Builder = std::function<Items(Catalogue &)>;

class SelectionTracking : public ::testing::Test {
protected:
    void SetUp() override { dom::MessageLoop::Discard(); }
    void TearDown() override {
        // Before collecting, so that its selection observer is collected too.
        alignment = nullptr;
        dom::MessageLoop::SetImmediate(false);
        dom::MessageLoop::Discard();
        qlk::Kernel::GetKernel()->CollectGarbage();
    }

    // An Alignment that took in `admitted` when it was made.
    void Start(const Items &admitted, int mask = 3) {
        host.Select(admitted);
        alignment = new ProbeAlignment(host.view, mask);
        alignment->RegisterObserver(observer);
    }

    std::pair<bool, bool> Flags() const {
        return {alignment->CanAddSelected(), alignment->CanRemoveSelected()};
    }

    // Evaluations since the last call, for an Alignment accepting parts only:
    // one query of the host each.
    std::size_t Evaluations() const {
        const std::size_t count = host.selectionManager->GetQueries().size();
        host.selectionManager->ClearQueries();
        return count;
    }

    TestScene host;
    Catalogue cat{host};
    RecordingObserver observer;
    SmartPtr<ProbeAlignment> alignment;
};

struct FlagCase {
    const char *name;
    int mask;
    Builder admitted, selected;
    bool canAdd, canRemove;
};

class SelectionFlags : public SelectionTracking, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(SelectionFlags, FollowTheSelectionAgainstThePartSet) {
    const FlagCase &c = GetParam();
    Start(c.admitted(cat), c.mask);
    host.Select(c.selected(cat));
    EXPECT_EQ(Flags(), std::make_pair(c.canAdd, c.canRemove));
}

const Builder kNothing = [](C &) { return Items{}; };

INSTANTIATE_TEST_SUITE_P(
    Cases, SelectionFlags,
    ::testing::Values(
        FlagCase{"NewPart", 3, kNothing, [](C& c) { return Items{C::Part(c.bolt)}; }, true,
                 false},
        FlagCase{"MemberPart", 3, [](C& c) { return Items{C::Part(c.bolt)}; },
                 [](C& c) { return Items{C::Part(c.bolt)}; }, false, true},
        FlagCase{"MemberAndNewPart", 3, [](C& c) { return Items{C::Part(c.bolt)}; },
                 [](C& c) { return Items{C::Part(c.bolt), C::Part(c.nut)}; }, true, true},
        FlagCase{"ExcludedPart", 3, kNothing, [](C& c) { return Items{C::Part(c.excluded)}; },
                 false, false},
        FlagCase{"ExcludedAssemblyMember", 3, [](C& c) { return Items{C::Assembly(c.excluded)}; },
                 [](C& c) { return Items{C::Assembly(c.excluded)}; }, false, false},
        FlagCase{"AssemblyAdmittedAsPart", 3, [](C& c) { return Items{C::Assembly(c.rigid)}; },
                 [](C& c) { return Items{C::Assembly(c.rigid)}; }, false, true},
        FlagCase{"PartSelectedAsAssembly", 3, [](C& c) { return Items{C::Part(c.bolt)}; },
                 [](C& c) { return Items{C::Assembly(c.bolt)}; }, false, true},
        FlagCase{"CollectionWithAdmittedComparisonObject", 3,
                 [](C& c) { return Items{TestScene::CollectionItem(c.groupA, {C::Part(c.nut)})}; },
                 [](C& c) { return Items{C::Group(c.groupA)}; }, false, true},
        FlagCase{"NewCollection", 3, kNothing, [](C& c) { return Items{C::Group(c.groupB)}; },
                 true, false},
        FlagCase{"NewCollectionOfExcludedInstance", 3, kNothing,
                 [](C& c) { return Items{C::Group(c.groupB, c.excluded)}; }, false, false},
        FlagCase{"CollectionOfAMemberPart", 3, [](C& c) { return Items{C::Part(c.bolt)}; },
                 [](C& c) { return Items{C::Group(c.groupB, c.bolt)}; }, false, true},
        // Only `parts` is looked into for a collection's instance.
        FlagCase{"CollectionOfAMemberAssembly", 3, [](C& c) { return Items{C::Assembly(c.frame)}; },
                 [](C& c) { return Items{C::Group(c.groupB, c.frame)}; }, true, false},
        FlagCase{"NoKindAccepted", 0, kNothing,
                 [](C& c) { return Items{C::Part(c.bolt), C::Group(c.groupA)}; }, false, false},
        FlagCase{"CollectionsOnly", 2, kNothing, [](C& c) { return Items{C::Part(c.bolt)}; },
                 false, false},
        FlagCase{"PartsOnly", 1, kNothing, [](C& c) { return Items{C::Group(c.groupA)}; }, false,
                 false},
        FlagCase{"ItemsThatAreNoInstances", 3, kNothing,
                 [](C&) {
                     SmartPtr<qlk::Object> annotation(new qlk::Annotation(dg::DPoint3D()));
                     return Items{SmartPtr<qlk::SelectionItem>(new ForeignItem),
                                  SmartPtr<qlk::SelectionItem>(new qlk::ObjectSelectionItem(
                                      annotation, qlk::mcad_selection::Instance))};
                 },
                 false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SelectionTracking, EvaluationStopsAtTheItemThatSetsTheSecondFlag) {
    SmartPtr<CountingInstance> late(new CountingInstance("late"));
    Start({C::Part(cat.bolt)});
    alignment->collectionPasses = 0;

    host.Select({C::Part(cat.bolt), C::Part(cat.nut), C::Part(late)});
    EXPECT_EQ(Flags(), std::make_pair(true, true));
    EXPECT_EQ(late->asked, 0);
    EXPECT_EQ(alignment->collectionPasses, 0);

    host.Select({C::Part(cat.nut), C::Part(late)});
    EXPECT_EQ(Flags(), std::make_pair(true, false));
    EXPECT_EQ(late->asked, 1);
    EXPECT_EQ(alignment->collectionPasses, 1);
}

TEST_F(SelectionTracking, TheHostIsAskedWithContextZeroForItemsAsSelected) {
    Start({});
    host.selectionManager->ClearQueries();
    alignment->AddSelected();
    alignment->RemoveSelected();
    std::vector<std::size_t> typeCounts;
    for (const auto &query : host.selectionManager->GetQueries()) {
        EXPECT_EQ(query.context, 0u);
        EXPECT_EQ(query.rule, qlk::EXPAND_AS_SELECTED);
        typeCounts.push_back(query.typeCount);
    }
    EXPECT_EQ(typeCounts, std::vector<std::size_t>({3, 2, 1, 3, 2, 1}));
}

TEST_F(SelectionTracking, ChangesInsideNestedHostGroupsEvaluateOnce) {
    Start({}, 1);
    Evaluations();
    host.selectionManager->BeginSelectionUpdate();
    host.selectionManager->BeginSelectionUpdate();
    host.selectionManager->Select(C::Part(cat.bolt));
    host.selectionManager->Deselect(C::Part(cat.bolt));
    host.selectionManager->Select(C::Part(cat.nut));
    host.selectionManager->EndSelectionUpdate();
    EXPECT_EQ(Evaluations(), 0u);
    host.selectionManager->EndSelectionUpdate();
    EXPECT_EQ(Evaluations(), 1u);
    EXPECT_EQ(Flags(), std::make_pair(true, false));
}

// The observer's bookkeeping, driven directly: 'B' begin, 'E' end, '1' to '3'
// the change notifications.
struct GroupCase {
    const char *name;
    int initialDepth;
    std::string calls;
    std::size_t evaluations;
    int finalDepth;
};

class UpdateGroups : public SelectionTracking, public ::testing::WithParamInterface<GroupCase> {};

TEST_P(UpdateGroups, EvaluateWhenNoGroupIsOpen) {
    const GroupCase &c = GetParam();
    Start({}, 1);
    SmartPtr<Alignment::SelectionObserver> watcher(
        new Alignment::SelectionObserver(alignment.get(), c.initialDepth));
    Evaluations();
    for (char call : c.calls) {
        switch (call) {
        case 'B':
            watcher->BeginSelectionUpdate();
            break;
        case 'E':
            watcher->EndSelectionUpdate();
            break;
        case '1':
            watcher->OnSelectionChange1();
            break;
        case '2':
            watcher->OnSelectionChange2();
            break;
        default:
            watcher->OnSelectionChange3();
            break;
        }
    }
    EXPECT_EQ(Evaluations(), c.evaluations);
    EXPECT_EQ(watcher->updateDepth, c.finalDepth);
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateGroups,
                         ::testing::Values(GroupCase{"NoGroup", 0, "123", 3, 0},
                                           GroupCase{"OneGroup", 0, "B123E", 1, 0},
                                           GroupCase{"NestedGroups", 0, "BB1E2E", 1, 0},
                                           GroupCase{"OuterGroupStillOpen", 0, "BB1E", 0, 1},
                                           GroupCase{"EndWithoutBegin", 0, "E", 1, 0},
                                           GroupCase{"TwoEndsWithoutBegin", 0, "EE", 2, 0},
                                           GroupCase{"NegativeDepthHoldsBack", -1, "E1", 0, -1},
                                           GroupCase{"NegativeDepthBackToZero", -1, "B2", 1, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SelectionTracking, NotificationsAfterTheAlignmentIsGoneDoNothing) {
    const auto before = du::RefAudit::Snapshot();
    Start({C::Part(cat.bolt)}, 1);
    SmartPtr<Alignment::SelectionObserver> watcher(
        CreatedSince<Alignment::SelectionObserver>(before).at(0));
    EXPECT_EQ(watcher->GetObjectClass(), du::Symbol("qlalignparts::SelectionObserver"));

    alignment = nullptr;
    Evaluations();
    host.Select({C::Part(cat.nut)});
    watcher->OnSelectionChange1();
    watcher->EndSelectionUpdate();

    EXPECT_EQ(watcher->alignment, nullptr);
    EXPECT_EQ(Evaluations(), 0u);
}

TEST_F(SelectionTracking, AddSelectedTellsOnceAfterTheFlagsAndRunsEvenWithNothingNew) {
    Start({});
    host.Select({C::Part(cat.bolt)});
    const std::size_t moves = host.scene->GetExplodeCalls().size();

    alignment->AddSelected();
    EXPECT_EQ(Flags(), std::make_pair(false, true));
    alignment->AddSelected();

    EXPECT_EQ(alignment->GetNumParts(), 1u);
    EXPECT_EQ(observer.Take(), Events({"parts", "parts"}));
    // Previewed: each call runs the alignment, which without coordinate
    // systems puts the parts back where they were.
    ASSERT_EQ(host.scene->GetExplodeCalls().size(), moves + 2);
    EXPECT_EQ(host.scene->GetExplodeCalls().back().duration, 1000);
}

TEST_F(SelectionTracking, RemoveSelectedTakesOutWhatIsSelected) {
    Start({C::Part(cat.bolt), C::Part(cat.nut)});
    host.Select({C::Part(cat.bolt)});

    alignment->RemoveSelected();
    EXPECT_EQ(alignment->GetNumParts(), 1u);
    EXPECT_EQ(Flags(), std::make_pair(true, false));

    host.Select({});
    alignment->RemoveSelected();
    EXPECT_EQ(alignment->GetNumParts(), 1u);
    EXPECT_EQ(observer.Take(), Events({"parts", "parts"}));
}

TEST_F(SelectionTracking, FlagsKeepTheirValuesOverAResetUntilTheNextChange) {
    Start({C::Part(cat.bolt)});
    alignment->Reset(1);
    EXPECT_EQ(alignment->GetNumParts(), 0u);
    EXPECT_TRUE(alignment->CanRemoveSelected());
    host.selectionManager->Select(C::Part(cat.nut));
    EXPECT_EQ(Flags(), std::make_pair(true, false));
}

TEST_F(SelectionTracking, WithoutASelectionManagerOnlyTheHooksSupplyItems) {
    TestScene bare(false);
    SmartPtr<ProbeAlignment> probe(new ProbeAlignment(bare.view, 3));
    probe->SelectionChanged();
    EXPECT_FALSE(probe->CanAddSelected() || probe->CanRemoveSelected());

    probe->supplyOwnItems = true;
    probe->ownItems = {C::Part(cat.bolt)};
    probe->SelectionChanged();
    EXPECT_TRUE(probe->CanAddSelected());
}

TEST_F(SelectionTracking, NothingIsLeftHeldOnceTheAlignmentIsGone) {
    // Observers that earlier tests left to the kernel go now, not during the audit.
    qlk::Kernel::GetKernel()->CollectGarbage();
    host.Select({C::Part(cat.bolt), C::Assembly(cat.frame), C::Group(cat.groupA)});
    const auto before = du::RefAudit::Snapshot();
    ReferenceAudit audit;
    {
        SmartPtr<Alignment> tracking(new Alignment(host.view, 3));
        tracking->Remove({C::Assembly(cat.frame)});
        tracking->RemoveSelected();
        tracking->AddSelected();
    }
    dom::MessageLoop::Discard();
    qlk::Kernel::GetKernel()->CollectGarbage();
    EXPECT_TRUE(audit.Unchanged());
    EXPECT_TRUE(CreatedSince<du::RefCounted>(before).empty());
}

} // namespace
