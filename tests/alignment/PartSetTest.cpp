// The part set: which selection items are admitted as parts, assemblies or
// collections, how each kind is matched on removal, and what Remove tells.
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

// A selection item that is neither an object item nor a collection item.
class ForeignItem : public qlk::SelectionItem {
public:
    explicit ForeignItem(const du::Symbol &type) : type_(type) {}
    const du::Symbol &GetContentType() const override { return type_; }

protected:
    bool IsSameSelection(const qlk::SelectionItem &other) const override { return &other == this; }

private:
    du::Symbol type_;
};

// What the cases are made of: parts, an assembly with a child, an excluded
// instance, one treated as a part, two collection identities, something that
// is an object but no instance.
struct Catalogue {
    explicit Catalogue(TestScene &host)
        : bolt(host.AddInstance("bolt")), nut(host.AddInstance("nut")),
          frame(host.AddInstance("frame")), pin(host.AddInstance("pin", {}, frame)),
          excluded(host.AddInstance("excluded")), rigid(host.AddInstance("rigid")),
          groupA(new qlk::Annotation(dg::DPoint3D())), groupB(new qlk::Annotation(dg::DPoint3D())),
          notAnInstance(new qlk::Annotation(dg::DPoint3D())) {
        excluded->SetExcluded(true);
        rigid->SetTreatedAsPart(true);
    }
    static SmartPtr<qlk::SelectionItem> Part(const SmartPtr<qlk::Instance> &i) {
        return TestScene::PartItem(i);
    }
    static SmartPtr<qlk::SelectionItem> Assembly(const SmartPtr<qlk::Instance> &i,
                                                 bool partItem = false) {
        return TestScene::AssemblyItem(i, partItem);
    }
    static SmartPtr<qlk::SelectionItem> Group(const SmartPtr<du::RefCounted> &comparison,
                                              const SmartPtr<qlk::Instance> &sbom = nullptr) {
        return TestScene::CollectionItem(comparison, {}, {}, sbom);
    }
    SmartPtr<qlk::SelectionItem> ObjectItem(const du::Symbol &type) const {
        return SmartPtr<qlk::SelectionItem>(
            new qlk::ObjectSelectionItem(SmartPtr<qlk::Object>(notAnInstance.get()), type));
    }

    SmartPtr<qlk::Instance> bolt, nut, frame, pin, excluded, rigid;
    SmartPtr<du::RefCounted> groupA, groupB;
    SmartPtr<qlk::Annotation> notAnInstance;
};

using Builder = std::function<Items(Catalogue &)>;

struct Counts {
    std::size_t parts, assemblies, collections, selection;
    bool operator==(const Counts &o) const {
        return parts == o.parts && assemblies == o.assemblies && collections == o.collections &&
               selection == o.selection;
    }
};

std::ostream &operator<<(std::ostream &out, const Counts &c) {
    return out << "{parts " << c.parts << ", assemblies " << c.assemblies << ", collections "
               << c.collections << ", selection " << c.selection << "}";
}

class PartSet : public ::testing::Test {
protected:
    void SetUp() override { dom::MessageLoop::Discard(); }
    void TearDown() override {
        // Before collecting, so that its selection observer is collected too.
        alignment = nullptr;
        dom::MessageLoop::SetImmediate(false);
        dom::MessageLoop::Discard();
        qlk::Kernel::GetKernel()->CollectGarbage();
    }

    // An Alignment that has taken in `admitted` through the selection.
    void Start(const Items &admitted) {
        alignment = new Alignment(host.view, 3);
        alignment->RegisterObserver(observer);
        host.Select(admitted);
        alignment->AddSelected();
        observer.Take();
    }

    Counts CountsNow() const {
        Items items;
        return {alignment->GetNumParts(), alignment->GetNumAssemblies(),
                alignment->GetNumCollections(), alignment->GetSelection(items)};
    }

    TestScene host;
    Catalogue cat{host};
    RecordingObserver observer;
    SmartPtr<Alignment> alignment;
};

struct AdmissionCase {
    const char *name;
    Builder selected;
    Counts expected;
};

class Admission : public PartSet, public ::testing::WithParamInterface<AdmissionCase> {};

TEST_P(Admission, AdmitsOrRefusesByKind) {
    Start(GetParam().selected(cat));
    EXPECT_EQ(CountsNow(), GetParam().expected);
}

using C = Catalogue;

INSTANTIATE_TEST_SUITE_P(
    Cases, Admission,
    ::testing::Values(
        AdmissionCase{"Part", [](C &c) { return Items{C::Part(c.bolt)}; }, {1, 0, 0, 1}},
        // Two items, both handled as parts, for one instance.
        AdmissionCase{"SamePartTwice",
                      [](C &c) {
                          return Items{C::Part(c.rigid), C::Assembly(c.rigid)};
                      },
                      {1, 0, 0, 1}},
        AdmissionCase{
            "ExcludedRefusedAsPart", [](C &c) { return Items{C::Part(c.excluded)}; }, {0, 0, 0, 0}},
        AdmissionCase{"ExcludedAdmittedAsAssembly",
                      [](C &c) { return Items{C::Assembly(c.excluded)}; },
                      {0, 1, 0, 1}},
        AdmissionCase{"AssemblyTreatedAsPart",
                      [](C &c) { return Items{C::Assembly(c.rigid)}; },
                      {1, 0, 0, 1}},
        AdmissionCase{"ExcludedAssemblyTreatedAsPart",
                      [](C &c) {
                          c.rigid->SetExcluded(true);
                          return Items{C::Assembly(c.rigid)};
                      },
                      {0, 0, 0, 0}},
        AdmissionCase{"ObjectThatIsNoInstance",
                      [](C &c) {
                          return Items{c.ObjectItem(qlk::mcad_selection::Instance),
                                       c.ObjectItem(qlk::mcad_selection::Assembly)};
                      },
                      {0, 0, 0, 0}},
        AdmissionCase{"PartInsideAnAdmittedAssembly",
                      [](C &c) {
                          return Items{C::Assembly(c.frame), C::Part(c.pin)};
                      },
                      {1, 1, 0, 2}},
        AdmissionCase{"SameInstanceAsPartAndAssembly",
                      [](C &c) {
                          return Items{C::Part(c.bolt), C::Assembly(c.bolt)};
                      },
                      {1, 1, 0, 2}},
        AdmissionCase{"CollectionsWithOneComparisonObject",
                      [](C &c) {
                          return Items{TestScene::CollectionItem(c.groupA, {C::Part(c.bolt)}),
                                       TestScene::CollectionItem(c.groupA, {C::Part(c.nut)})};
                      },
                      {0, 0, 1, 1}},
        AdmissionCase{"SbomCollectionTreatedAsPart",
                      [](C &c) { return Items{C::Group(c.groupA, c.rigid)}; },
                      {1, 0, 0, 1}},
        AdmissionCase{"SbomCollectionNotTreatedAsPart",
                      [](C &c) { return Items{C::Group(c.groupA, c.nut)}; },
                      {0, 0, 1, 1}},
        AdmissionCase{"SbomCollectionWithoutInstance",
                      [](C &c) {
                          return Items{
                              SmartPtr<qlk::SelectionItem>(new qlk::CollectionSelectionItem(
                                  c.groupB, du::Symbol("SbomInstance"), nullptr, {}, {}))};
                      },
                      {0, 0, 1, 1}}),
    [](const auto &info) { return std::string(info.param.name); });

struct RemovalCase {
    const char *name;
    Builder admitted;
    Builder removed; // fresh items, never the admitted objects
    Counts expected;
};

class Removal : public PartSet, public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(Removal, MatchesEachKindByItsOwnRuleAndTellsOnce) {
    Start(GetParam().admitted(cat));
    alignment->Remove(GetParam().removed(cat));
    EXPECT_EQ(CountsNow(), GetParam().expected);
    EXPECT_EQ(observer.Take(), Events({"parts"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Removal,
    ::testing::Values(
        RemovalCase{"PartByItemEquality",
                    [](C &c) { return Items{C::Part(c.bolt)}; },
                    [](C &c) { return Items{C::Part(c.bolt)}; },
                    {0, 0, 0, 0}},
        RemovalCase{"AssemblyBySelectedObject",
                    [](C &c) { return Items{C::Assembly(c.frame)}; },
                    [](C &c) { return Items{C::Assembly(c.frame)}; },
                    {0, 0, 0, 0}},
        RemovalCase{"AssemblyPartItemAsPart",
                    [](C &c) { return Items{C::Assembly(c.rigid, true)}; },
                    [](C &c) { return Items{C::Assembly(c.rigid, true)}; },
                    {0, 0, 0, 0}},
        RemovalCase{
            "CollectionByComparisonObject",
            [](C &c) { return Items{TestScene::CollectionItem(c.groupA, {C::Part(c.bolt)})}; },
            [](C &c) { return Items{C::Group(c.groupA)}; },
            {0, 0, 0, 0}},
        RemovalCase{"SbomCollectionAsPart",
                    [](C &c) { return Items{C::Group(c.groupA, c.rigid)}; },
                    [](C &c) { return Items{C::Group(c.groupA, c.rigid)}; },
                    {0, 0, 0, 0}},
        RemovalCase{"OtherCollectionLeftAlone",
                    [](C &c) { return Items{C::Group(c.groupA)}; },
                    [](C &c) { return Items{C::Group(c.groupB)}; },
                    {0, 0, 1, 1}},
        RemovalCase{"NeverAdmitted",
                    [](C &c) { return Items{C::Part(c.bolt)}; },
                    [](C &c) { return Items{C::Part(c.nut)}; },
                    {1, 0, 0, 1}},
        RemovalCase{"EmptyList",
                    [](C &c) { return Items{C::Part(c.bolt)}; },
                    [](C &) { return Items{}; },
                    {1, 0, 0, 1}},
        RemovalCase{"NullAndForeignItemsSkipped",
                    [](C &c) {
                        return Items{C::Part(c.bolt), C::Assembly(c.frame)};
                    },
                    [](C &c) {
                        return Items{nullptr,
                                     SmartPtr<qlk::SelectionItem>(
                                         new ForeignItem(qlk::mcad_selection::Instance)),
                                     SmartPtr<qlk::SelectionItem>(new ForeignItem(du::Symbol("x"))),
                                     C::Part(c.bolt)};
                    },
                    {0, 1, 0, 1}},
        RemovalCase{"PartInsideAssemblyLeavesTheAssembly",
                    [](C &c) {
                        return Items{C::Assembly(c.frame), C::Part(c.pin)};
                    },
                    [](C &c) { return Items{C::Part(c.pin)}; },
                    {0, 1, 0, 1}},
        RemovalCase{"AsPartLeavesItAsAssembly",
                    [](C &c) {
                        return Items{C::Part(c.bolt), C::Assembly(c.bolt)};
                    },
                    [](C &c) { return Items{C::Part(c.bolt)}; },
                    {0, 1, 0, 1}},
        // Removing the assembly takes its own entry, not the part's, so the
        // part can still be removed afterwards.
        RemovalCase{"AsAssemblyThenAsPartLeavesNothing",
                    [](C &c) {
                        return Items{C::Part(c.bolt), C::Assembly(c.bolt)};
                    },
                    [](C &c) {
                        return Items{C::Assembly(c.bolt), C::Part(c.bolt)};
                    },
                    {0, 0, 0, 0}}),
    [](const auto &info) { return std::string(info.param.name); });

// Reads the flags when told, with delivery at once.
class FlagReadingObserver : public qlalignparts::AlignmentObserver {
public:
    explicit FlagReadingObserver(const Alignment &alignment) : alignment_(alignment) {}
    void OnPartsChanged() override {
        seen.push_back({alignment_.CanAddSelected(), alignment_.CanRemoveSelected()});
    }
    std::vector<std::pair<bool, bool>> seen;

private:
    const Alignment &alignment_;
};

TEST_F(PartSet, RemoveTellsAfterTheFlagsFollowTheNewPartSet) {
    Start({C::Part(cat.bolt)});
    FlagReadingObserver reader(*alignment);
    alignment->RegisterObserver(reader);
    dom::MessageLoop::SetImmediate(true);

    alignment->Remove({C::Part(cat.bolt)});
    alignment->Remove({});

    // The bolt is still selected, and now addable again.
    const std::vector<std::pair<bool, bool>> expected{{true, false}, {true, false}};
    EXPECT_EQ(reader.seen, expected);
}

TEST_F(PartSet, GetSelectionReplacesTheCallersItemsWithTheAdmittedOnesInOrder) {
    const Items admitted{C::Assembly(cat.frame), C::Group(cat.groupA), C::Part(cat.bolt),
                         C::Part(cat.excluded)};
    Start(admitted);
    Items out{C::Part(cat.nut)};
    EXPECT_EQ(alignment->GetSelection(out), 3u);
    EXPECT_EQ(out, Items(admitted.begin(), admitted.begin() + 3));
}

} // namespace
