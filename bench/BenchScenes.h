// Scenes of the stand-in host for the benchmarks: a flat one (N parts under one
// assembly) and a deep one (a balanced tree of N instances, fan-out 8), every
// instance drawn, with the top assembly and the coordinate systems ready.
//
// Each comes in two heaps. In a fresh heap the instances and their shape
// instances are made in tree order, so neighbours in a walk are neighbours in
// memory. A viewer open for hours has no such luck: in a lived-in heap they are
// made in a shuffled order (a fixed seed), between blocks of other sizes that
// are freed afterwards, so what a walk visits next lies anywhere and what the
// alignment allocates later fills the holes left behind.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <dg/Geometry.h>
#include <du/SmartPtr.h>
#include <moduleutils/DerivedCSys.h>
#include <qlk/Kernel.h>

namespace bench {

enum class Shape { Flat, Deep };
enum class HeapKind { Fresh, LivedIn };

const char *ShapeName(Shape shape);
const char *HeapName(HeapKind heap);

// Blocks of assorted sizes allocated between the scene's objects in a lived-in
// heap, and freed once the scene stands. Deterministic for a given seed.
class HeapLitter {
public:
    explicit HeapLitter(unsigned long long seed) : state_(seed) {}
    void Drop(); // allocates one block of 16 to 1,024 bytes
    void Sweep() { blocks_.clear(); }
    // A pseudo-random number below `bound` (a fixed-seed generator, the same on
    // every library).
    std::size_t Below(std::size_t bound);

private:
    unsigned long long state_;
    std::vector<std::unique_ptr<char[]>> blocks_;
};

// 0 .. count-1 in the order a lived-in heap makes them (identity when fresh).
std::vector<std::size_t> MakingOrder(HeapKind heap, std::size_t count, HeapLitter &litter);

// A placement at (x, y, z) turned by RotationX·RotationY·RotationZ, in degrees.
dg::Location Placement(double x, double y, double z, double rx, double ry, double rz);

struct BenchScene {
    BenchScene(Shape shape, std::size_t count, HeapKind heap);
    ~BenchScene();
    BenchScene(const BenchScene &) = delete;
    BenchScene &operator=(const BenchScene &) = delete;

    // Puts every shape instance back where the scene was built, ends
    // animations and forgets the recorded moves.
    void Restore();

    Shape shape;
    HeapKind heap;
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
BenchScene &SceneFor(Shape shape, std::size_t count, HeapKind heap);
void DropScene();

} // namespace bench
