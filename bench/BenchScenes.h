// Scenes of the stand-in host for the benchmarks: a flat one (N parts under one
// assembly) and a deep one (a balanced tree of N instances, fan-out 8), every
// instance drawn, with the top assembly and the coordinate systems ready.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <dg/Geometry.h>
#include <du/SmartPtr.h>
#include <moduleutils/DerivedCSys.h>
#include <qlk/Kernel.h>

namespace bench {

enum class Shape { Flat, Deep };

const char *ShapeName(Shape shape);

// A placement at (x, y, z) turned by RotationX·RotationY·RotationZ, in degrees.
dg::Location Placement(double x, double y, double z, double rx, double ry, double rz);

struct BenchScene {
    BenchScene(Shape shape, std::size_t count);
    ~BenchScene();
    BenchScene(const BenchScene &) = delete;
    BenchScene &operator=(const BenchScene &) = delete;

    // Puts every shape instance back where the scene was built, ends
    // animations and forgets the recorded moves.
    void Restore();

    Shape shape;
    du::SmartPtr<qlk::ShapeScene> scene;
    du::SmartPtr<qlk::ShapeView> view;
    du::SmartPtr<qlk::SelectionManager> selectionManager;
    du::SmartPtr<qlk::Instance> top;
    du::SmartPtr<qlk::SelectionItem> topItem;
    // A drawn part outside the top assembly, chosen beside it for the removal case.
    du::SmartPtr<qlk::Instance> extra;
    du::SmartPtr<qlk::SelectionItem> extraItem;
    // Every instance (top first, extra last) with its shape instance and built placement.
    std::vector<du::SmartPtr<qlk::Instance>> instances;
    std::vector<du::SmartPtr<qlk::ShapeInstance>> shapes;
    std::vector<dg::Location> placements;
    du::SmartPtr<moduleutils::DerivedCSys> originCSys;
    du::SmartPtr<moduleutils::DerivedCSys> targetCSys;
};

// The one scene alive at a time (the large ones take gigabytes): built on
// first demand, replaced when another shape or size is asked for.
BenchScene &SceneFor(Shape shape, std::size_t count);
void DropScene();

} // namespace bench
