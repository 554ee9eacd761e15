// The shape scene: product tree, shape instances, immediate and animated
// moves on the scene clock, refused placements, markups, annotations and the
// preview widget.
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include <dg/Geometry.h>
#include <du/RefCounted.h>
#include <du/SmartPtr.h>
#include <qlk/Kernel.h>
#include <qlmk/CSysPreviewWidget.h>

namespace {

using du::SmartPtr;

dg::Location At(double x, double y, double z) {
    return dg::Location(dg::FMat33::IDENTITY, dg::DPoint3D(x, y, z));
}

// A quarter turn about Z (X axis onto Y) at a point.
dg::Location TurnedAt(double x, double y, double z) {
    return dg::Location(dg::FMat33(0, 1, 0, -1, 0, 0, 0, 0, 1), dg::DPoint3D(x, y, z));
}

::testing::AssertionResult Near(const dg::Location &actual, const dg::Location &expected) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (!(std::fabs(actual.mat.m[r][c] - expected.mat.m[r][c]) <= 1e-6))
                return ::testing::AssertionFailure()
                       << "matrix[" << r << "][" << c << "] is " << actual.mat.m[r][c];
    for (int i = 0; i < 3; ++i)
        if (!(std::fabs(actual.pos[i] - expected.pos[i]) <= 1e-9))
            return ::testing::AssertionFailure() << "position[" << i << "] is " << actual.pos[i];
    return ::testing::AssertionSuccess();
}

class ShapeSceneTest : public ::testing::Test {
protected:
    void SetUp() override {
        du::RefAudit::Enable(true);
        scene = new qlk::ShapeScene;
        bolt = new qlk::Instance("bolt");
        nut = new qlk::Instance("nut");
        boltShape = scene->CreateShapeInstance(bolt, At(0, 0, 0));
        nutShape = scene->CreateShapeInstance(nut, At(10, 0, 0));
        countsAtStart = du::RefAudit::Snapshot();
    }

    dg::Location Now(const SmartPtr<qlk::ShapeInstance> &shape) const {
        dg::Location location;
        shape->GetLocation(location);
        return location;
    }

    SmartPtr<qlk::ShapeScene> scene;
    SmartPtr<qlk::Instance> bolt, nut;
    SmartPtr<qlk::ShapeInstance> boltShape, nutShape;
    std::map<const du::RefCounted *, int> countsAtStart;
};

TEST_F(ShapeSceneTest, ProductTreeKeepsChildrenInOrderUnderTheirParent) {
    SmartPtr<qlk::Instance> assembly(new qlk::Instance("assembly"));
    EXPECT_FALSE(assembly->HasChildren());
    assembly->AddChild(bolt);
    assembly->AddChild(nut);
    EXPECT_TRUE(assembly->HasChildren());
    EXPECT_EQ(bolt->GetParent(), assembly.get());
    std::vector<SmartPtr<qlk::Instance>> children{assembly};
    assembly->GetChildren(children);
    EXPECT_EQ(children, (std::vector<SmartPtr<qlk::Instance>>{assembly, bolt, nut}));
    children.clear();
    assembly.reset();
    EXPECT_EQ(bolt->GetParent(), nullptr) << "children outliving their parent become roots";
}

TEST_F(ShapeSceneTest, LooksUpShapeInstancesAndClearsTheAnswerWhenThereIsNone) {
    SmartPtr<qlk::ShapeInstance> found = nutShape;
    EXPECT_TRUE(scene->GetShapeInstance(bolt, found));
    EXPECT_EQ(found, boltShape);
    SmartPtr<qlk::Instance> bare(new qlk::Instance("bare"));
    EXPECT_FALSE(scene->GetShapeInstance(bare, found));
    EXPECT_FALSE(found);
    found = boltShape;
    EXPECT_FALSE(scene->GetShapeInstance(nullptr, found));
    EXPECT_FALSE(found);

    SmartPtr<qlk::ShapeInstance> created = scene->CreateShapeInstance(bare, 0, du::Symbol::EMPTY);
    EXPECT_EQ(created->GetTargetLocation(), dg::Location::IDENTITY);
    EXPECT_EQ(scene->CreateShapeInstance(bare, 0, du::Symbol::EMPTY), created);
    EXPECT_EQ(created->GetInstance(), bare);
}

TEST_F(ShapeSceneTest, ImmediateMoveIsRecordedWithoutHoldingReferences) {
    EXPECT_TRUE(
        scene->SmoothExplode(0, {boltShape, nutShape}, {TurnedAt(1, 2, 3), At(4, 5, 6)}, false));
    EXPECT_TRUE(Near(Now(boltShape), TurnedAt(1, 2, 3)));
    EXPECT_TRUE(Near(Now(nutShape), At(4, 5, 6)));
    EXPECT_FALSE(scene->IsAnimating());
    ASSERT_EQ(scene->GetExplodeCalls().size(), 1u);
    const auto &call = scene->GetExplodeCalls()[0];
    EXPECT_EQ(call.duration, 0);
    EXPECT_EQ(call.count, 2u);
    EXPECT_EQ(call.instances,
              (std::vector<const qlk::ShapeInstance *>{boltShape.get(), nutShape.get()}));
    EXPECT_EQ(call.locations[0], TurnedAt(1, 2, 3));
    EXPECT_EQ(du::RefAudit::Snapshot(), countsAtStart);
}

TEST_F(ShapeSceneTest, AnimatedMoveInterpolatesOnTheSceneClock) {
    scene->SmoothExplode(1000, {boltShape}, {TurnedAt(4, 8, 0)}, false);
    EXPECT_TRUE(scene->IsAnimating());
    EXPECT_TRUE(Near(Now(boltShape), At(0, 0, 0))) << "nothing moves before the clock does";
    scene->AdvanceClock(250);
    // A quarter of the way: position (1, 2, 0); matrix a quarter of the way
    // from identity to the turn, elementwise.
    const dg::Location quarter(dg::FMat33(0.75f, 0.25f, 0, -0.25f, 0.75f, 0, 0, 0, 1),
                               dg::DPoint3D(1, 2, 0));
    EXPECT_TRUE(Near(Now(boltShape), quarter));
    EXPECT_EQ(boltShape->GetTargetLocation(), TurnedAt(4, 8, 0));
    scene->AdvanceClock(750);
    EXPECT_FALSE(scene->IsAnimating());
    EXPECT_FALSE(boltShape->IsAnimating());
    EXPECT_EQ(Now(boltShape), TurnedAt(4, 8, 0));
}

TEST_F(ShapeSceneTest, ANewMoveTakesOverFromWhereTheInstanceStands) {
    scene->SmoothExplode(1000, {boltShape}, {At(100, 0, 0)}, false);
    scene->AdvanceClock(500); // at (50, 0, 0)
    scene->SmoothExplode(1000, {boltShape}, {At(50, 40, 0)}, false);
    scene->AdvanceClock(500); // half way from (50, 0, 0) to (50, 40, 0)
    EXPECT_TRUE(Near(Now(boltShape), At(50, 20, 0)));
    scene->AdvanceClock(499);
    EXPECT_TRUE(boltShape->IsAnimating()) << "the take-over runs its full duration";
    scene->AdvanceClock(1);
    EXPECT_FALSE(scene->IsAnimating());
}

TEST_F(ShapeSceneTest, AnImmediateMoveEndsARunningAnimation) {
    scene->SmoothExplode(1000, {boltShape, nutShape}, {At(100, 0, 0), At(0, 100, 0)}, false);
    scene->AdvanceClock(300);
    scene->SmoothExplode(0, {boltShape}, {At(-1, -1, -1)}, false);
    EXPECT_FALSE(boltShape->IsAnimating());
    EXPECT_TRUE(Near(Now(boltShape), At(-1, -1, -1)));
    scene->FinishAnimations();
    EXPECT_TRUE(Near(Now(boltShape), At(-1, -1, -1))) << "the old animation must not resume";
    EXPECT_TRUE(Near(Now(nutShape), At(0, 100, 0)));
    EXPECT_EQ(scene->GetClock(), 1000);
}

TEST_F(ShapeSceneTest, NonFinitePlacementsAreRefusedOneByOne) {
    dg::Location broken = At(1, 1, 1);
    broken.pos.y = std::numeric_limits<double>::quiet_NaN();
    dg::Location infinite = At(1, 1, 1);
    infinite.mat.m[0][0] = std::numeric_limits<float>::infinity();
    scene->SmoothExplode(0, {boltShape, nutShape}, {broken, At(7, 7, 7)}, false);
    scene->SmoothExplode(500, {nutShape}, {infinite}, false);
    EXPECT_EQ(scene->GetRefusedPlacements(), 2u);
    EXPECT_TRUE(Near(Now(boltShape), At(0, 0, 0)));
    EXPECT_TRUE(Near(Now(nutShape), At(7, 7, 7)));
    EXPECT_FALSE(scene->IsAnimating());
}

TEST_F(ShapeSceneTest, MismatchedLengthsMoveTheCommonPrefixAndFail) {
    EXPECT_FALSE(scene->SmoothExplode(0, {boltShape, nutShape}, {At(3, 0, 0)}, false));
    EXPECT_TRUE(Near(Now(boltShape), At(3, 0, 0)));
    EXPECT_TRUE(Near(Now(nutShape), At(10, 0, 0)));
    EXPECT_FALSE(scene->SmoothExplode(0, {boltShape}, {At(4, 0, 0), At(5, 0, 0)}, false));
    EXPECT_TRUE(Near(Now(boltShape), At(4, 0, 0)));
}

TEST_F(ShapeSceneTest, RemovedShapeInstanceStopsAnimatingAndIsNoLongerFound) {
    scene->SmoothExplode(1000, {boltShape}, {At(100, 0, 0)}, false);
    scene->RemoveShapeInstance(bolt.get());
    EXPECT_FALSE(scene->IsAnimating());
    SmartPtr<qlk::ShapeInstance> found;
    scene->GetShapeInstance(bolt, found);
    EXPECT_FALSE(found);
    EXPECT_EQ(scene->GetShapeInstanceCount(), 1u);
    scene->AdvanceClock(1000); // must not reach the detached instance
    EXPECT_TRUE(Near(Now(boltShape), At(100, 0, 0)));
}

TEST_F(ShapeSceneTest, ShapeInstancesMayOutliveTheirScene) {
    scene->SmoothExplode(1000, {nutShape}, {At(0, 0, 0)}, false);
    scene.reset();
    EXPECT_FALSE(nutShape->IsAnimating());
    EXPECT_TRUE(Near(Now(nutShape), At(0, 0, 0)));
    nutShape->MoveTo(At(2, 2, 2), 1000); // without a clock it moves at once
    EXPECT_TRUE(Near(Now(nutShape), At(2, 2, 2)));
}

class MarkupTest : public ShapeSceneTest {
protected:
    SmartPtr<qlk::Markup> Widget(const char *label) {
        SmartPtr<qlk::View> view(new qlk::ShapeView(scene));
        return SmartPtr<qlk::Markup>(
            new qlmk::CSysPreviewWidget(view, dg::Color(0.1f, 0.7f, 0.1f, 1), label));
    }
};

TEST_F(MarkupTest, ShowingTwiceShowsOnceAndHidingTheHiddenDoesNothing) {
    SmartPtr<qlk::Markup> origin = Widget("Origin");
    SmartPtr<qlk::Markup> target = Widget("Target");
    EXPECT_FALSE(scene->RemoveMarkup(origin));
    scene->AddMarkup(origin);
    scene->AddMarkup(origin);
    EXPECT_EQ(scene->GetMarkupCount(), 1u);
    EXPECT_EQ(origin->GetReferenceCount(), 2) << "the scene holds one reference while shown";
    EXPECT_TRUE(scene->RemoveMarkup(origin));
    EXPECT_FALSE(scene->RemoveMarkup(origin));
    EXPECT_FALSE(scene->IsMarkupShown(origin.get()));
    EXPECT_EQ(origin->GetReferenceCount(), 1);
    scene->AddMarkup(nullptr);
    scene->RemoveMarkup(nullptr);
    scene->AddMarkup(target);

    const std::vector<std::pair<const qlk::Markup *, bool>> expected{
        {origin.get(), false}, {origin.get(), true},  {origin.get(), true},
        {origin.get(), false}, {origin.get(), false}, {target.get(), true}};
    ASSERT_EQ(scene->GetMarkupCalls().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(scene->GetMarkupCalls()[i].markup, expected[i].first) << i;
        EXPECT_EQ(scene->GetMarkupCalls()[i].add, expected[i].second) << i;
    }
    scene->RemoveMarkup(target); // a shown widget holds its view, which holds the scene
}

TEST_F(MarkupTest, PreviewWidgetKeepsWhatItWasGivenAndReturnsItsPoolBlock) {
    const std::size_t blocks = qlk::MemoryPoolAllocated::BlocksInUse();
    qlk::Markup *shown = nullptr;
    {
        SmartPtr<qlk::View> view(new qlk::ShapeView(scene));
        SmartPtr<qlmk::CSysPreviewWidget> widget(
            new qlmk::CSysPreviewWidget(view, dg::Color(0.1f, 0.1f, 0.7f, 1), "Target"));
        EXPECT_EQ(qlk::MemoryPoolAllocated::BlocksInUse(), blocks + 1);
        widget->SetLocation(TurnedAt(1, 2, 3));
        EXPECT_EQ(widget->GetLocation(), TurnedAt(1, 2, 3));
        EXPECT_EQ(widget->GetView(), view.get());
        EXPECT_EQ(view->GetReferenceCount(), 2);
        EXPECT_EQ(widget->GetLabel(), "Target");
        EXPECT_EQ(widget->GetColor(), dg::Color(0.1f, 0.1f, 0.7f, 1));
        scene->AddMarkup(widget);
        shown = widget.get();
    }
    EXPECT_EQ(qlk::MemoryPoolAllocated::BlocksInUse(), blocks + 1) << "shown: the scene holds it";
    scene->RemoveMarkup(shown);
    EXPECT_EQ(qlk::MemoryPoolAllocated::BlocksInUse(), blocks);
}

TEST_F(ShapeSceneTest, AnnotationPointsStayInSceneCoordinates) {
    SmartPtr<qlk::AnnoSet> annotations;
    ASSERT_TRUE(scene->GetAnnoSet(annotations));
    annotations->AddAnnotation(boltShape, new qlk::Annotation(dg::DPoint3D(1, 2, 3)));
    scene->SmoothExplode(0, {boltShape}, {TurnedAt(50, 0, 0)}, false);

    SmartPtr<qlk::Annotation> annotation;
    ASSERT_TRUE(annotations->GetAnnotationByShapeInstance(boltShape, annotation));
    dg::DPoint3D point;
    EXPECT_TRUE(annotation->GetPosition(point, true));
    EXPECT_EQ(point, dg::DPoint3D(1, 2, 3));
    EXPECT_FALSE(annotations->GetAnnotationByShapeInstance(nutShape, annotation));
    EXPECT_FALSE(annotation);
}

} // namespace
