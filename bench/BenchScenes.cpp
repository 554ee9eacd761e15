#include "BenchScenes.h"

#include <memory>

namespace bench {

namespace {
constexpr double kDegree = 0.017453292519943295;
constexpr std::size_t kFanOut = 8;
std::unique_ptr<BenchScene> current;
} // namespace

const char *ShapeName(Shape shape) {
    return shape == Shape::Flat ? "flat" : "deep";
}

dg::Location Placement(double x, double y, double z, double rx, double ry, double rz) {
    dg::Location location;
    location *= dg::DMat44(
        dg::DMat44(dg::DMat44::RotationX(rx * kDegree), dg::DMat44::RotationY(ry * kDegree)),
        dg::DMat44::RotationZ(rz * kDegree));
    location.SetPos(dg::DPoint3D(x, y, z));
    return location;
}

BenchScene::BenchScene(Shape sceneShape, std::size_t count)
    : shape(sceneShape), scene(new qlk::ShapeScene), view(new qlk::ShapeView(scene)),
      selectionManager(new qlk::SelectionManager) {
    scene->SetSelectionManager(selectionManager);
    scene->SetRecordExplodeContent(false);
    // A few orientations, so that the parts do not all share one.
    const dg::Location turns[4] = {Placement(0, 0, 0, 0, 0, 0), Placement(0, 0, 0, 90, 0, 0),
                                   Placement(0, 0, 0, 0, 30, 45), Placement(0, 0, 0, 10, 20, 30)};
    // Flat: the assembly plus N parts; deep: N instances in all.
    const std::size_t total = shape == Shape::Flat ? count + 1 : count;
    instances.reserve(total + 1);
    shapes.reserve(total + 1);
    placements.reserve(total + 1);
    auto add = [&](std::size_t index, qlk::Instance *parent) {
        du::SmartPtr<qlk::Instance> instance(new qlk::Instance("i" + std::to_string(index)));
        if (parent)
            parent->AddChild(instance);
        dg::Location placement = turns[index % 4];
        placement.SetPos(dg::DPoint3D(static_cast<double>(index % 1000),
                                      static_cast<double>(index / 1000 % 1000),
                                      static_cast<double>(index / 1000000)));
        shapes.push_back(scene->CreateShapeInstance(instance, placement));
        placements.push_back(placement);
        instances.push_back(instance);
    };
    for (std::size_t i = 0; i < total; ++i) {
        qlk::Instance *parent = nullptr;
        if (i > 0)
            parent = shape == Shape::Flat ? instances[0].get() : instances[(i - 1) / kFanOut].get();
        add(i, parent);
    }
    top = instances.front();
    topItem = new qlk::ObjectSelectionItem(top, qlk::mcad_selection::Assembly);
    add(total, nullptr);
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

BenchScene &SceneFor(Shape shape, std::size_t count) {
    if (!current || current->shape != shape ||
        current->instances.size() != count + 1 + (shape == Shape::Flat ? 1 : 0)) {
        current.reset();
        current = std::make_unique<BenchScene>(shape, count);
    }
    return *current;
}

void DropScene() {
    current.reset();
}

} // namespace bench
