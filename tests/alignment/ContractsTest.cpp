// Cases the random sequences cannot reach: the release step the host's smart
// pointer takes for the nested selection observer, the records' wire values,
// runs that keep references after they end, and angles that come back as a
// negative zero. (Origins from axes without a usable length and runs beyond
// the scene's range are worked in tests/demo/cases/degenerate.script.)
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include <du/Localizer.h>

#include "support/TestScene.h"

namespace qltest {
namespace {

// Private members the host reaches through its smart pointer (the release
// protocol), and contracts of private members no public call shows (the parts
// list's builders answer how many entries they added; a 3-D symbol's point
// answers whether it was found; the part set's steps answer whether they took
// an item in or let one go): an explicit instantiation may name them.
template <class Tag, auto Member> struct Grant {
    friend constexpr auto Granted(Tag) { return Member; }
};
#define GRANT(Tag, Member)                                                                         \
    struct Tag {                                                                                   \
        friend constexpr auto Granted(Tag);                                                        \
    };                                                                                             \
    template struct Grant<Tag, &Alignment::Member>
GRANT(AddStep, AddSmartPtrReference);
GRANT(ReleaseStep, AttemptDeleteSmartPtrReference);
GRANT(Generate, GenerateCompletePartsList);
GRANT(ListPart, AddPartToCompletePartsList);
GRANT(ListAssembly, AddAssemblyToCompletePartsList);
GRANT(ListCollection, AddCollectionToCompletePartsList);
GRANT(SymbolPoint, GetCsysFrom3DSymbol);
GRANT(TakePart, AddPart);
GRANT(TakeAssembly, AddAssembly);
GRANT(TakeCollection, AddCollection);
GRANT(GivePart, RemovePart);
GRANT(GiveAssembly, RemoveAssembly);
GRANT(GiveCollection, RemoveCollection);

// Its hook may refuse the destruction, or take a reference of its own first.
class HeldSelectionObserver : public Alignment::SelectionObserver {
public:
    HeldSelectionObserver() : Alignment::SelectionObserver(nullptr, 0) { ++live; }
    ~HeldSelectionObserver() override { --live; }
    bool ZeroReferenceCountHook() const override {
        ++hookCalls;
        if (rescue)
            AddReference(&rescuer);
        return allow;
    }
    static int live;
    static int hookCalls;
    bool allow = true;
    bool rescue = false;
    mutable int rescuer = 0;
};
int HeldSelectionObserver::live = 0;
int HeldSelectionObserver::hookCalls = 0;

using SelectionObserverRelease = AlignmentFixture;

TEST_F(SelectionObserverRelease, DestroysOnlyWhenTheLastHolderGoesAndTheHookAgrees) {
    Start({});
    Alignment &a = *alignment;
    const auto add = Granted(AddStep{});
    const auto release = Granted(ReleaseStep{});
    int first = 0, second = 0;
    EXPECT_EQ((a.*add)(nullptr, &first), 0);
    EXPECT_FALSE((a.*release)(nullptr, &first));

    auto *observer = new HeldSelectionObserver;
    const int live = HeldSelectionObserver::live;
    EXPECT_EQ((a.*add)(observer, &first), 1);
    EXPECT_EQ((a.*add)(observer, &second), 2);
    // Another holder is left: only this reference goes, the hook is not asked.
    EXPECT_FALSE((a.*release)(observer, &first));
    EXPECT_EQ(HeldSelectionObserver::hookCalls, 0);
    EXPECT_EQ(du::RefAudit::Holders(observer), std::vector<void *>{&second});

    // The hook refuses: the object and the releasing reference stay.
    observer->allow = false;
    EXPECT_FALSE((a.*release)(observer, &second));
    EXPECT_EQ(HeldSelectionObserver::hookCalls, 1);
    EXPECT_EQ(du::RefAudit::Holders(observer), std::vector<void *>{&second});

    // The hook takes a reference of its own: that one keeps the object alive.
    observer->allow = true;
    observer->rescue = true;
    EXPECT_FALSE((a.*release)(observer, &second));
    EXPECT_EQ(du::RefAudit::Holders(observer), std::vector<void *>{&observer->rescuer});
    observer->rescue = false;

    // The last holder with a willing hook: destroyed.
    EXPECT_TRUE((a.*release)(observer, &observer->rescuer));
    EXPECT_EQ(HeldSelectionObserver::hookCalls, 3);
    EXPECT_EQ(HeldSelectionObserver::live, live - 1);
}

// A host reads the records by their wire values: 1 parts, 2 offsets, 3 a
// coordinate system with its id, its type and the system itself.
TEST(AlignmentObserverRecords, AreDecodedByTheirWireValues) {
    SmartPtr<dom::Message> message(new dom::Message);
    for (unsigned char byte : {1, 2, 3, 1, 3})
        message->Append(dom::MessageValue{dom::MessageValue::UINT8, byte});
    message->Append(dom::MessageValue{dom::MessageValue::POINTER});
    SmartPtr<RecordingObserver> observer(new RecordingObserver);
    observer->Deliver(message);
    EXPECT_EQ(observer->events, Events({"parts", "offsets", "csys 1 3 null"}));
}

// The constructor evaluates the selection (parts and assemblies, then
// collections), takes it in (every accepted kind) and evaluates it again; it
// labels its widgets from the host's texts.
TEST(AlignmentConstruction, EvaluatesTheSelectionBeforeAndAfterTakingItIn) {
    TestScene host;
    const auto before = du::RefAudit::Snapshot();
    du::Localizer::SetBundlesInstalled(false); // then a widget shows its label's key
    SmartPtr<Alignment> alignment(new Alignment(host.view, 3));
    du::Localizer::SetBundlesInstalled(true);
    std::vector<std::size_t> kindsAsked;
    for (const auto &query : host.selectionManager->GetQueries())
        kindsAsked.push_back(query.typeCount);
    EXPECT_EQ(kindsAsked, (std::vector<std::size_t>{2, 1, 3, 2, 1}));
    std::set<std::string> labels;
    for (auto *widget : CreatedSince<qlmk::CSysPreviewWidget>(before))
        labels.insert(widget->GetLabel());
    EXPECT_EQ(labels, (std::set<std::string>{"ALIGNPARTS_ORIGIN", "ALIGNPARTS_TARGET"}));
}

// Without a view, or on a view without a scene, the Alignment has nothing to
// show or move: every operation is harmless and records nothing.
TEST(AlignmentWithoutScene, EveryOperationIsHarmless) {
    for (const SmartPtr<qlk::ShapeView> &view :
         {SmartPtr<qlk::ShapeView>(), SmartPtr<qlk::ShapeView>(new qlk::ShapeView(nullptr))}) {
        SmartPtr<Alignment> alignment(new Alignment(view, 3));
        EXPECT_FALSE(
            alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_FROM_PARTS, nullptr));
        EXPECT_TRUE(alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr));
        EXPECT_TRUE(alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_WORLD, nullptr));
        EXPECT_TRUE(alignment->PreviewCustomCSys(Alignment::CSYS_TARGET, CSys(Placement(1, 2, 3))));
        alignment->SetOffsets(dg::DVec3(1, 2, 3), dg::DVec3::ZERO);
        alignment->SetAlignmentMode(Alignment::ALIGNMENT_ROTATE_ONLY);
        alignment->AddSelected();
        alignment->RemoveSelected();
        alignment->SetPreviewed(false);
        SmartPtr<qlk::Operation> operation(new qlk::Operation);
        alignment->Apply(operation);
        alignment->Reset(15);
        EXPECT_TRUE(operation->GetSteps().empty());
        EXPECT_FALSE(alignment->GetStarted());
    }
}

// The evaluation stops at the item that sets the second flag: with both set
// by parts, the host is not asked about collections.
TEST_F(AlignmentFixture, TheEvaluationStopsOnceBothFlagsAreSet) {
    auto member = host.AddInstance("member"), other = host.AddInstance("other");
    Start({member});
    host.selectionManager->ClearQueries();
    host.Select({TestScene::PartItem(member), TestScene::PartItem(other)});
    EXPECT_TRUE(alignment->CanAddSelected() && alignment->CanRemoveSelected());
    EXPECT_EQ(host.selectionManager->GetQueries().size(), 1u);
    host.selectionManager->Clear(); // the host lets go of the items made here
}

TEST_F(AlignmentFixture, NoRunKeepsAReferenceToTheShapesItMoved) {
    auto part = host.AddInstance("part", Placement(1, 2, 3, 0, 0, 30));
    const int held = host.Shape(part)->GetReferenceCount();
    Start({part});
    Define(Placement(0, 0, 0), Placement(5, 0, 0, 0, 0, 90));
    EXPECT_EQ(TakeDurations(), std::vector<int>({1000, 1000}));
    EXPECT_EQ(host.Shape(part)->GetReferenceCount(), held);
}

TEST_F(AlignmentFixture, WholeTurnsComeBackAsAPositiveZero) {
    Start({});
    for (double turns : {-360.0, -72000.0}) {
        alignment->SetOffsets(dg::DVec3::ZERO, dg::DVec3(turns, 0, 0));
        dg::DVec3 translation, rotation;
        alignment->GetOffsets(translation, rotation);
        EXPECT_EQ(rotation.x, 0.0) << turns;
        EXPECT_FALSE(std::signbit(rotation.x)) << turns;
    }
}

// Each builder answers the entries it added to the list it was given: all it
// reached the first time, none the second; an undrawn single part is skipped,
// while an undrawn node of a sub-tree is drawn and listed.
TEST_F(AlignmentFixture, ThePartsListBuildersCountWhatTheyAdd) {
    const auto top = host.AddInstance("top");
    host.AddInstance("a", Placement(1, 0, 0), top);
    const auto inner = host.AddInstance("inner", dg::Location(), top, true);
    host.AddInstance("b", Placement(0, 1, 0), inner);
    // Wide enough that a walk over it asks for entries well ahead.
    for (int i = 0; i < 40; ++i)
        host.AddInstance("wide" + std::to_string(i), Placement(i, 0, 0), top);
    const auto unit = host.AddInstance("unit"); // an assembly taken as one part
    host.AddInstance("c", Placement(0, 0, 2), unit);
    unit->SetTreatedAsPart(true);
    const auto single = host.AddInstance("single", Placement(0, 0, 1));
    const auto extra = host.AddInstance("extra", Placement(0, 0, 3));
    const auto undrawn = host.AddInstance("undrawn", dg::Location(), nullptr, true);
    const SmartPtr<qlk::CollectionSelectionItem> group(new qlk::CollectionSelectionItem(
        SmartPtr<qlk::Object>(new qlk::Object), qlk::mcad_selection::Collection, nullptr,
        {TestScene::PartItem(single), TestScene::PartItem(extra)},
        {TestScene::AssemblyItem(inner), TestScene::PartItem(single)}));
    Start({});
    const Alignment &a = *alignment;
    Alignment::PartsMap list; // each count is the list's size after it
    const auto count = [&list](int added) { return std::make_pair(added, list.size()); };
    const auto assembly = Granted(ListAssembly{});
    EXPECT_EQ(count((a.*assembly)(top, list)), std::make_pair(44, 44ul));
    before = du::RefAudit::Snapshot(); // the scene keeps what it drew for `inner`
    EXPECT_EQ((a.*assembly)(inner, list) + (a.*assembly)(nullptr, list), 0);
    const auto part = Granted(ListPart{});
    EXPECT_EQ((a.*part)(single, list), 1);
    EXPECT_EQ((a.*part)(single, list) + (a.*part)(undrawn, list) + (a.*part)(nullptr, list), 0);

    list.clear();
    const auto collection = Granted(ListCollection{});
    EXPECT_EQ(count((a.*collection)(group, list)), std::make_pair(4, 4ul));
    EXPECT_EQ((a.*collection)(group, list) + (a.*collection)(nullptr, list), 0);

    host.Select({TestScene::PartItem(single), TestScene::AssemblyItem(unit, true),
                 TestScene::AssemblyItem(top), SmartPtr<qlk::SelectionItem>(group.get())});
    alignment->AddSelected();
    list.clear();
    const auto generate = Granted(Generate{});
    EXPECT_EQ(count((a.*generate)(list)), std::make_pair(48, 48ul));
    EXPECT_EQ((a.*generate)(list), 0);
    host.selectionManager->Clear();
}

// A 3-D symbol stands at its annotation's point in the scene; the answer says
// whether the point was found, and nothing else changes it.
TEST_F(AlignmentFixture, ASymbolsPointIsItsAnnotationsWhereItHasOne) {
    const auto annotated = host.AddInstance("annotated");
    const auto bare = host.AddInstance("bare");
    const auto undrawn = host.AddInstance("undrawn", dg::Location(), nullptr, true);
    const auto plain = host.AddInstance("plain");
    for (const auto &symbol : {annotated, bare, undrawn})
        symbol->Set3dSymbol(true);
    SmartPtr<qlk::AnnoSet> annoSet;
    host.scene->GetAnnoSet(annoSet);
    annoSet->AddAnnotation(host.Shape(annotated),
                           SmartPtr<qlk::Annotation>(new qlk::Annotation(dg::DPoint3D(1, 2, 3))));
    annoSet->AddAnnotation(host.Shape(plain),
                           SmartPtr<qlk::Annotation>(new qlk::Annotation(dg::DPoint3D(4, 5, 6))));
    Start({});
    const auto point = Granted(SymbolPoint{});
    for (const auto &instance : {bare, undrawn, plain, SmartPtr<qlk::Instance>()}) {
        dg::DPoint3D found(7, 8, 9);
        EXPECT_FALSE(((*alignment).*point)(instance, found));
        EXPECT_EQ(found, dg::DPoint3D(7, 8, 9));
    }
    dg::DPoint3D found;
    EXPECT_TRUE(((*alignment).*point)(annotated, found));
    EXPECT_EQ(found, dg::DPoint3D(1, 2, 3));
}

// Each step of the part set answers whether it took the item in or let it
// go: a member once only, never an excluded part or an item for no instance;
// an assembly or an SBOM collection the host treats as a part goes as a part.
TEST_F(AlignmentFixture, ThePartSetsStepsAnswerWhatTheyTookAndGave) {
    using Answers = std::vector<bool>;
    const auto excluded = host.AddInstance("excluded"), unit = host.AddInstance("unit");
    const auto assembly = host.AddInstance("assembly"), kit = host.AddInstance("kit");
    excluded->SetExcluded(true);
    unit->SetTreatedAsPart(true);
    kit->SetTreatedAsPart(true);
    const SmartPtr<du::RefCounted> comparison(new qlk::Object), other(new qlk::Object);
    const auto collection = [](const SmartPtr<du::RefCounted> &comparedBy, const char *type,
                               const SmartPtr<qlk::Instance> &instance) {
        return SmartPtr<qlk::SelectionItem>(
            new qlk::CollectionSelectionItem(comparedBy, du::Symbol(type), instance, {}, {}));
    };
    const auto part = TestScene::PartItem(host.AddInstance("part"));
    const auto whole = TestScene::AssemblyItem(assembly),
               asPart = TestScene::AssemblyItem(unit, true);
    const auto group = collection(comparison, "Group", nullptr);
    const auto sameGroup = collection(comparison, "Group", nullptr);
    const auto sbom = collection(other, "SbomInstance", kit);
    const SmartPtr<qlk::SelectionItem> foreign(new qlk::ObjectSelectionItem(
        SmartPtr<qlk::Object>(new qlk::Object), qlk::mcad_selection::Assembly, false));
    Start({});
    Alignment &a = *alignment;
    const auto takePart = Granted(TakePart{}), takeAssembly = Granted(TakeAssembly{});
    const auto takeCollection = Granted(TakeCollection{}), givePart = Granted(GivePart{});
    const auto giveAssembly = Granted(GiveAssembly{});
    const auto giveCollection = Granted(GiveCollection{});
    EXPECT_EQ(Answers({(a.*takePart)(part), (a.*takePart)(part),
                       (a.*takePart)(TestScene::PartItem(excluded)), (a.*takePart)(nullptr)}),
              Answers({true, false, false, false}));
    EXPECT_EQ(
        Answers({(a.*takeAssembly)(whole), (a.*takeAssembly)(whole), (a.*takeAssembly)(asPart),
                 (a.*takeAssembly)(foreign), (a.*takeAssembly)(nullptr)}),
        Answers({true, false, true, false, false}));
    EXPECT_EQ(Answers({(a.*takeCollection)(group), (a.*takeCollection)(sameGroup),
                       (a.*takeCollection)(sbom), (a.*takeCollection)(part)}),
              Answers({true, false, true, false}));
    EXPECT_EQ(a.GetNumParts() * 100 + a.GetNumAssemblies() * 10 + a.GetNumCollections(), 311u);
    EXPECT_EQ(Answers({(a.*givePart)(part), (a.*givePart)(part), (a.*givePart)(nullptr)}),
              Answers({true, false, false}));
    EXPECT_EQ(
        Answers({(a.*giveAssembly)(whole), (a.*giveAssembly)(whole), (a.*giveAssembly)(asPart),
                 (a.*giveAssembly)(foreign), (a.*giveAssembly)(nullptr)}),
        Answers({true, false, true, false, false}));
    EXPECT_EQ(Answers({(a.*giveCollection)(sameGroup), (a.*giveCollection)(group),
                       (a.*giveCollection)(sbom), (a.*giveCollection)(part)}),
              Answers({true, false, true, false}));
    EXPECT_EQ(a.GetNumParts() + a.GetNumAssemblies() + a.GetNumCollections(), 0u);
}

// Apply half-way through the preview's animated move: no run, no event, and
// each step goes from the stored placement to the end of the move, not to
// where the animation stands; undone and redone, each part stands there.
TEST_F(AlignmentFixture, ApplyDuringTheAnimationRecordsWhereTheMoveEnds) {
    const auto bracket = host.AddInstance("bracket", Placement(0, 0, 0));
    const auto pin = host.AddInstance("pin", Placement(1, 0, 0, 30, 0, 0), bracket);
    Start({});
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_WORLD, nullptr);
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM,
                       CSys(Placement(0, 5, 0, 0, 0, 90)));
    host.Select({TestScene::AssemblyItem(bracket)});
    alignment->AddSelected();
    host.scene->AdvanceClock(500);
    host.scene->ClearExplodeCalls();
    observer->Take();
    // What the issue saw: half-way, the bracket is neither home nor aligned.
    dg::Location halfway;
    host.Shape(bracket)->GetLocation(halfway);
    ASSERT_FALSE(LocationNear(halfway, Placement(0, 5, 0, 0, 0, 90)));

    SmartPtr<qlk::Operation> operation(new qlk::Operation);
    alignment->Apply(operation);
    EXPECT_TRUE(host.scene->GetExplodeCalls().empty()) << "Apply ran the alignment";
    EXPECT_TRUE(observer->Take().empty()) << "Apply posted an event";

    const std::map<const qlk::Instance *, std::pair<dg::Location, dg::Location>> expected = {
        {bracket.get(), {Placement(0, 0, 0), Placement(0, 5, 0, 0, 0, 90)}},
        {pin.get(), {Placement(1, 0, 0, 30, 0, 0), Placement(0, 6, 0, 30, 0, 90)}}};
    const auto &steps = operation->GetSteps();
    ASSERT_EQ(steps.size(), 4u);
    for (std::size_t i = 1; i < 3; ++i) {
        auto *move = dynamic_cast<qlk::ComponentMoveOperationStep *>(steps[i].get());
        ASSERT_NE(move, nullptr);
        const auto &[from, to] = expected.at(move->GetShapeInstance()->GetInstance().get());
        EXPECT_TRUE(LocationNear(move->GetFrom(), from));
        EXPECT_TRUE(LocationNear(move->GetTo(), to));
    }

    // The history's undo, then its redo, while the animation still runs.
    for (auto step = steps.rbegin(); step != steps.rend(); ++step)
        (*step)->Undo();
    for (const auto &[instance, ends] : expected) {
        dg::Location now;
        host.Shape(SmartPtr<qlk::Instance>(const_cast<qlk::Instance *>(instance)))
            ->GetLocation(now);
        EXPECT_TRUE(LocationNear(now, ends.first)) << instance->GetName() << " undone";
    }
    for (const auto &step : steps)
        step->Redo();
    host.scene->FinishAnimations();
    for (const auto &[instance, ends] : expected) {
        dg::Location now;
        host.Shape(SmartPtr<qlk::Instance>(const_cast<qlk::Instance *>(instance)))
            ->GetLocation(now);
        EXPECT_TRUE(LocationNear(now, ends.second)) << instance->GetName() << " redone";
    }
    host.Select({}); // the item selected here goes before the reference audit
}

} // namespace
} // namespace qltest
