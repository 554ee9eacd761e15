// A run walks the complete parts list through a record of it kept between
// runs. These cases change the list, or the scene under it, between two runs
// and check that the next run still moves exactly the listed instances' current
// shape instances, in the list's order (under the sanitizers, a record left
// pointing into a changed list shows up as a use after free).
#include <algorithm>
#include <vector>

#include "MotionFixture.h"

namespace qltest {
namespace {

class ListedWalk : public AlignmentFixture {
protected:
    void Begin(const Instances &parts) {
        Start(parts);
        Define(Placement(1, 2, 3, 0, 0, 30), Placement(-4, 5, 6, 45, 0, 0));
        Settle();
    }

    // A run with duration 0, as an offset change starts it.
    void Rerun() { alignment->SetOffsets(dg::DVec3(++step, 0, 0), dg::DVec3::ZERO); }

    // The shape instances the scene draws `instances` with, in the order of
    // the instances' addresses, which is the order of the list.
    std::vector<const qlk::ShapeInstance *> InListOrder(Instances instances) const {
        std::sort(instances.begin(), instances.end());
        std::vector<const qlk::ShapeInstance *> shapes;
        for (const auto &instance : instances)
            shapes.push_back(host.Shape(instance).get());
        return shapes;
    }

    std::vector<const qlk::ShapeInstance *> LastMove() const {
        const auto &calls = host.scene->GetExplodeCalls();
        return calls.empty() ? std::vector<const qlk::ShapeInstance *>() : calls.back().instances;
    }

    double step = 0;
};

TEST_F(ListedWalk, AShapeInstanceMadeAnewBetweenRunsIsTheOneMoved) {
    auto a = host.AddInstance("a", Placement(1, 0, 0));
    auto b = host.AddInstance("b", Placement(0, 1, 0, 0, 90, 0));
    Begin({a, b});
    const SmartPtr<qlk::ShapeInstance> old = host.Shape(b);
    const dg::Location oldPlaced = old->GetTargetLocation();
    host.scene->RemoveShapeInstance(b.get());
    host.scene->CreateShapeInstance(b, Placement(0, 1, 0, 0, 90, 0));

    Rerun();
    EXPECT_EQ(LastMove(), InListOrder({a, b}));
    EXPECT_TRUE(LocationNear(old->GetTargetLocation(), oldPlaced));

    // Gone without a successor: left out, and not held on to.
    host.scene->RemoveShapeInstance(b.get());
    Rerun();
    EXPECT_EQ(LastMove(), InListOrder({a}));
}

TEST_F(ListedWalk, AListEmptiedAndFilledToTheSameSizeIsWalkedAfresh) {
    auto a = host.AddInstance("a", Placement(1, 0, 0));
    auto b = host.AddInstance("b", Placement(2, 0, 0));
    auto c = host.AddInstance("c", Placement(3, 0, 0, 30, 0, 0));
    auto d = host.AddInstance("d", Placement(4, 0, 0, 0, 0, 60));
    Begin({a, b});
    alignment->Reset(1);
    host.Select({TestScene::PartItem(c), TestScene::PartItem(d)});
    alignment->AddSelected();
    EXPECT_EQ(LastMove(), InListOrder({c, d}));
    Rerun();
    EXPECT_EQ(LastMove(), InListOrder({c, d}));
    host.selectionManager->Clear(); // the host lets go of the items made here
}

TEST_F(ListedWalk, PartsTakenInOrDroppedLaterAreWalkedInTheListsOrder) {
    Instances parts;
    for (int i = 0; i < 12; ++i)
        parts.push_back(host.AddInstance("p" + std::to_string(i), Placement(i, -i, 2 * i)));
    // Every other part first, the rest later: the later ones fall between.
    Instances first, later;
    for (std::size_t i = 0; i < parts.size(); ++i)
        (i % 2 ? later : first).push_back(parts[i]);
    Begin(first);
    std::vector<SmartPtr<qlk::SelectionItem>> laterItems;
    for (const auto &part : later)
        laterItems.push_back(TestScene::PartItem(part));
    host.Select(laterItems);
    alignment->AddSelected();
    Rerun();
    EXPECT_EQ(LastMove(), InListOrder(parts));

    alignment->Remove({laterItems[2]});
    Rerun();
    parts.erase(std::find(parts.begin(), parts.end(), later[2]));
    EXPECT_EQ(LastMove(), InListOrder(parts));
    host.selectionManager->Clear(); // the host lets go of the items made here
}

} // namespace
} // namespace qltest
