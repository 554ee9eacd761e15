#include "BenchScenes.h"

#include <memory>
#include <string>
#include <utility>

namespace bench {

namespace {
constexpr double kDegree = 0.017453292519943295;
constexpr std::size_t kFanOut = 8;
constexpr unsigned long long kLitterSeed = 0x1a11'9a27'5eedULL;
std::unique_ptr<BenchScene> current;
} // namespace

const char *ShapeName(Shape shape) {
    return shape == Shape::Flat ? "flat" : "deep";
}

const char *HeapName(HeapKind heap) {
    return heap == HeapKind::Fresh ? "fresh" : "lived-in";
}

std::size_t HeapLitter::Below(std::size_t bound) {
    // splitmix64: small, and the same sequence wherever it runs.
    state_ += 0x9e3779b97f4a7c15ULL;
    unsigned long long z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<std::size_t>(z % bound);
}

void HeapLitter::Drop() {
    const std::size_t size = 16 + Below(1009);
    blocks_.emplace_back(new char[size]);
    // Touched, as a block in use would be.
    blocks_.back()[0] = static_cast<char>(size);
}

std::vector<std::size_t> MakingOrder(HeapKind heap, std::size_t count, HeapLitter &litter) {
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i)
        order[i] = i;
    if (heap == HeapKind::LivedIn)
        for (std::size_t i = count; i > 1; --i)
            std::swap(order[i - 1], order[litter.Below(i)]);
    return order;
}

dg::Location Placement(double x, double y, double z, double rx, double ry, double rz) {
    dg::Location location;
    location *= dg::DMat44(
        dg::DMat44(dg::DMat44::RotationX(rx * kDegree), dg::DMat44::RotationY(ry * kDegree)),
        dg::DMat44::RotationZ(rz * kDegree));
    location.SetPos(dg::DPoint3D(x, y, z));
    return location;
}

BenchScene::BenchScene(Shape sceneShape, std::size_t count, HeapKind sceneHeap)
    : shape(sceneShape), heap(sceneHeap), scene(new qlk::ShapeScene),
      view(new qlk::ShapeView(scene)), selectionManager(new qlk::SelectionManager) {
    scene->SetSelectionManager(selectionManager);
    scene->SetRecordExplodeContent(false);
    // A few orientations, so that the parts do not all share one.
    const dg::Location turns[4] = {Placement(0, 0, 0, 0, 0, 0), Placement(0, 0, 0, 90, 0, 0),
                                   Placement(0, 0, 0, 0, 30, 45), Placement(0, 0, 0, 10, 20, 30)};
    auto placementOf = [&](std::size_t index) {
        dg::Location placement = turns[index % 4];
        placement.SetPos(dg::DPoint3D(static_cast<double>(index % 1000),
                                      static_cast<double>(index / 1000 % 1000),
                                      static_cast<double>(index / 1000000)));
        return placement;
    };
    auto parentOf = [&](std::size_t index) {
        return shape == Shape::Flat ? instances[0].get() : instances[(index - 1) / kFanOut].get();
    };
    // Flat: the assembly plus N parts; deep: N instances in all. The extra part
    // comes last.
    const std::size_t total = shape == Shape::Flat ? count + 1 : count;
    if (heap == HeapKind::Fresh) {
        instances.reserve(total + 1);
        shapes.reserve(total + 1);
        placements.reserve(total + 1);
        for (std::size_t i = 0; i <= total; ++i) {
            du::SmartPtr<qlk::Instance> instance(new qlk::Instance("i" + std::to_string(i)));
            if (i > 0 && i < total)
                parentOf(i)->AddChild(instance);
            shapes.push_back(scene->CreateShapeInstance(instance, placementOf(i)));
            placements.push_back(placementOf(i));
            instances.push_back(instance);
        }
    } else {
        instances.resize(total + 1);
        shapes.resize(total + 1);
        placements.resize(total + 1);
        HeapLitter litter(kLitterSeed + count);
        for (std::size_t i : MakingOrder(heap, total + 1, litter)) {
            litter.Drop();
            instances[i] = new qlk::Instance("i" + std::to_string(i));
        }
        for (std::size_t i : MakingOrder(heap, total + 1, litter)) {
            litter.Drop();
            placements[i] = placementOf(i);
            shapes[i] = scene->CreateShapeInstance(instances[i], placements[i]);
        }
        for (std::size_t i : MakingOrder(heap, total, litter))
            if (i > 0)
                parentOf(i)->AddChild(instances[i]);
        litter.Sweep();
    }
    top = instances.front();
    topItem = new qlk::ObjectSelectionItem(top, qlk::mcad_selection::Assembly);
    extra = instances.back();
    extraItem = new qlk::ObjectSelectionItem(extra, qlk::mcad_selection::Instance, true);
    originCSys = new moduleutils::DerivedCSys(Placement(1, 2, 3, 10, 20, 30), true);
    targetCSys = new moduleutils::DerivedCSys(Placement(-4, 5, 6, -30, 45, 60), true);
}

BenchScene::~BenchScene() {
    selectionManager->Clear();
}

void BenchScene::Restore() {
    scene->FinishAnimations();
    for (std::size_t i = 0; i < shapes.size(); ++i)
        shapes[i]->SetLocation(placements[i]);
    scene->ClearExplodeCalls();
}

BenchScene &SceneFor(Shape shape, std::size_t count, HeapKind heap) {
    if (!current || current->shape != shape || current->heap != heap ||
        current->instances.size() != count + 1 + (shape == Shape::Flat ? 1 : 0)) {
        current.reset();
        current = std::make_unique<BenchScene>(shape, count, heap);
    }
    return *current;
}

void DropScene() {
    current.reset();
}

} // namespace bench
