// The align-parts benchmarks: every case of an Alignment at assembly scale on
// flat and deep scenes of the stand-in host, beside two references of the same
// size run in the same process, followed by a table of ns per unit, the ratios
// to both references and the peak heap per unit, with the targets checked.
//
//   alignparts-bench            N = 1,000 ... 1,000,000 (a few minutes)
//   alignparts-bench --quick    N up to 100,000 (also QLALIGNPARTS_BENCH_QUICK=1)
//
// Each iteration times only the call being measured (manual timing); whatever
// an iteration needs before and after (a fresh Alignment, parts put back) runs
// outside the timed span. The figure kept is the median iteration, since the
// machine is shared and single slow iterations are noise.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <malloc.h>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include <dom/Messaging.h>
#include <qlalignparts/Alignment.h>
#include <qlalignparts/AlignmentObserver.h>

#include "BenchScenes.h"
#include "CountingAllocator.h"
#include "Measure.h"
#include "ResultTable.h"

namespace bench {

namespace {

using qlalignparts::Alignment;

constexpr std::size_t kSelectedItems = 1000;
// Instances that an alignment of the top assembly lists.
std::size_t Listed(Shape shape, std::size_t count) {
    return shape == Shape::Flat ? count + 1 : count;
}

// An Alignment on the scene with both coordinate systems set, the given items
// selected but not yet taken in.
du::SmartPtr<Alignment> Prepared(BenchScene &s,
                                 const std::vector<du::SmartPtr<qlk::SelectionItem>> &items) {
    s.selectionManager->Clear();
    du::SmartPtr<Alignment> alignment(new Alignment(s.view, 3));
    alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_CUSTOM, s.originCSys);
    alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM, s.targetCSys);
    s.selectionManager->SetSelection(items);
    return alignment;
}

// The same, with the items taken in and the parts standing aligned.
du::SmartPtr<Alignment> Aligned(BenchScene &s,
                                const std::vector<du::SmartPtr<qlk::SelectionItem>> &items) {
    du::SmartPtr<Alignment> alignment = Prepared(s, items);
    alignment->AddSelected();
    s.scene->FinishAnimations();
    s.scene->ClearExplodeCalls();
    return alignment;
}

void Dismiss(BenchScene &s, du::SmartPtr<Alignment> &alignment) {
    alignment = nullptr;
    s.selectionManager->Clear();
    s.Restore();
}

// A result row for a case on a scene in one of the two heaps.
using bench::Named;
Result Named(const char *name, Shape shape, std::size_t count, const char *unit, HeapKind heap) {
    Result result = Named(name, ShapeName(shape), count, unit);
    result.heap = HeapName(heap);
    return result;
}

// ---------------------------------------------------------------------------
// The cases

// The first run: the complete parts list generated and every instance moved,
// as when the user takes the top assembly in (AddSelected, animated).
void FirstRun(benchmark::State &state, Shape shape, std::size_t count, HeapKind heap) {
    BenchScene &s = SceneFor(shape, count, heap);
    const double listed = static_cast<double>(Listed(shape, count));
    du::SmartPtr<Alignment> alignment;
    std::size_t before = 0;
    double held = std::numeric_limits<double>::max();
    Result result = Measure(
        state, Named("first-run", shape, count, "instance", heap), listed,
        [&] {
            before = Heap().current;
            alignment = Prepared(s, {s.topItem});
        },
        [&] { alignment->AddSelected(); },
        [&] {
            // What stays allocated with the Alignment once the scene has
            // settled (its animations and its record of moves are the scene's).
            // Every iteration makes a fresh Alignment and holds the same; the
            // first one also counts the room the scene grows once for its own
            // bookkeeping of animations, so the least of them is the Alignment's.
            s.scene->FinishAnimations();
            s.scene->ClearExplodeCalls();
            held = std::min(held, static_cast<double>(Heap().current - before));
            Dismiss(s, alignment);
        });
    result.heldPerUnit = held / listed;
    state.counters["held_B_per_instance"] = result.heldPerUnit;
    Record(result);
}

// A re-run after an offset change while previewed: SetOffsets runs the
// alignment with duration 0, as when the user drags an offset value.
void RerunAfterOffsets(benchmark::State &state, Shape shape, std::size_t count, HeapKind heap) {
    BenchScene &s = SceneFor(shape, count, heap);
    du::SmartPtr<Alignment> alignment = Aligned(s, {s.topItem});
    int step = 0;
    Record(Measure(
        state, Named("rerun-offsets", shape, count, "instance", heap),
        static_cast<double>(Listed(shape, count)), [] {},
        [&] {
            ++step;
            alignment->SetOffsets(dg::DVec3(0.5 * step, 1.0, -2.0),
                                  dg::DVec3(5.0, 10.0 + step % 90, 15.0));
        },
        [&] { s.scene->ClearExplodeCalls(); }));
    Dismiss(s, alignment);
}

// Remove of one part beside the top assembly: the complete parts list is
// rebuilt and the part moves back.
void RemoveOnePart(benchmark::State &state, Shape shape, std::size_t count, HeapKind heap) {
    BenchScene &s = SceneFor(shape, count, heap);
    du::SmartPtr<Alignment> alignment = Aligned(s, {s.topItem, s.extraItem});
    const std::vector<du::SmartPtr<qlk::SelectionItem>> removed{s.extraItem};
    Record(Measure(
        state, Named("remove-one", shape, count, "instance", heap),
        static_cast<double>(Listed(shape, count) + 1), [] {}, [&] { alignment->Remove(removed); },
        [&] {
            // Take it in again for the next removal.
            alignment->AddSelected();
            s.scene->FinishAnimations();
            s.scene->ClearExplodeCalls();
        }));
    Dismiss(s, alignment);
}

// The evaluation of a selection of 1,000 parts (none of them a member), as the
// host ends a selection update.
void SelectionChanged(benchmark::State &state, Shape shape, std::size_t count, HeapKind heap) {
    BenchScene &s = SceneFor(shape, count, heap);
    du::SmartPtr<Alignment> alignment = Aligned(s, {s.topItem});
    std::vector<du::SmartPtr<qlk::SelectionItem>> items;
    const std::size_t selected = std::min(kSelectedItems, s.instances.size() - 2);
    items.reserve(selected);
    // Spread over the scene, so that the items reach every part of it.
    const std::size_t stride = (s.instances.size() - 2) / selected;
    for (std::size_t i = 0; i < selected; ++i)
        items.emplace_back(new qlk::ObjectSelectionItem(s.instances[1 + i * stride],
                                                        qlk::mcad_selection::Instance, true));
    s.selectionManager->SetSelection(items);
    Record(Measure(
        state, Named("selection-changed", shape, count, "selected item", heap),
        static_cast<double>(selected), [] {}, [&] { s.selectionManager->EndSelectionUpdate(); },
        [] {}));
    Dismiss(s, alignment);
}

// Reset(15) while previewed: the parts moved back, everything cleared, one final run.
void ResetAll(benchmark::State &state, Shape shape, std::size_t count, HeapKind heap) {
    BenchScene &s = SceneFor(shape, count, heap);
    du::SmartPtr<Alignment> alignment;
    Record(Measure(
        state, Named("reset-15", shape, count, "instance", heap),
        static_cast<double>(Listed(shape, count)), [&] { alignment = Aligned(s, {s.topItem}); },
        [&] { alignment->Reset(15); }, [&] { Dismiss(s, alignment); }));
}

// Apply into an operation while previewed: one move step per listed instance.
void ApplyIntoOperation(benchmark::State &state, Shape shape, std::size_t count, HeapKind heap) {
    BenchScene &s = SceneFor(shape, count, heap);
    du::SmartPtr<Alignment> alignment = Aligned(s, {s.topItem});
    du::SmartPtr<qlk::Operation> operation;
    Record(Measure(
        state, Named("apply", shape, count, "instance", heap),
        static_cast<double>(Listed(shape, count)), [&] { operation = new qlk::Operation; },
        [&] { alignment->Apply(operation); }, [&] { operation = nullptr; }));
    Dismiss(s, alignment);
}

// An observer whose decoding the benchmark calls directly, as the host's loop would.
class DecodingObserver : public qlalignparts::AlignmentObserver {
public:
    void Decode(const du::SmartPtr<dom::Message> &message) { EventHandler(message); }
    void OnPartsChanged() override { ++notifications; }
    void OnOffsetsChanged() override { ++notifications; }
    void OnCSysChanged(int id, int type,
                       const du::SmartPtr<moduleutils::DerivedCSys> &csys) override {
        notifications += static_cast<std::size_t>(id + type) + (csys ? 1 : 0);
    }
    std::size_t notifications = 0;
};

// The observer's decoding of one message of N records: parts, offsets, and
// coordinate-system records with and without a coordinate system.
void DecodeMessage(benchmark::State &state, std::size_t count) {
    du::SmartPtr<DecodingObserver> observer(new DecodingObserver);
    du::SmartPtr<moduleutils::DerivedCSys> csys(new moduleutils::DerivedCSys);
    du::SmartPtr<dom::Message> message;
    auto byte = [](unsigned char value) {
        dom::MessageValue record;
        record.kind = dom::MessageValue::UINT8;
        record.byte = value;
        return record;
    };
    Result result = Named("decode", "-", count, "record");
    Record(Measure(
        state, result, static_cast<double>(count),
        [&] {
            message = new dom::Message;
            message->Values().reserve(count * 5 / 2);
            for (std::size_t i = 0; i < count; ++i) {
                switch (i % 4) {
                case 0:
                    message->Append(byte(1));
                    break;
                case 1:
                    message->Append(byte(2));
                    break;
                default: {
                    message->Append(byte(3));
                    message->Append(byte(static_cast<unsigned char>(i % 2)));
                    message->Append(byte(3));
                    dom::MessageValue pointer;
                    pointer.kind = dom::MessageValue::POINTER;
                    if (i % 4 == 3) {
                        csys->AddReference(du::RefAudit::TravellingHolder());
                        pointer.pointer = csys.get();
                        pointer.counted = csys.get();
                    }
                    message->Append(pointer);
                }
                }
            }
        },
        [&] { observer->Decode(message); }, [&] { message = nullptr; }));
    benchmark::DoNotOptimize(observer->notifications);
}

// ---------------------------------------------------------------------------
// The references

struct Transform {
    dg::DMat44 matrix;
    dg::DPoint3D originPoint;
    dg::DVec3 shift;
};

// The alignment transform of the scenes' two coordinate systems and an offset,
// formed as an alignment run forms it.
Transform SceneTransform() {
    const dg::Location origin = Placement(1, 2, 3, 10, 20, 30);
    const dg::Location target = Placement(-4, 5, 6, -30, 45, 60);
    auto axes = [](const dg::Location &location) {
        dg::DMat44 m = dg::DMat44::IDENTITY;
        const dg::FVec3 rows[3] = {location.mat.GetU(), location.mat.GetV(), location.mat.GetW()};
        for (int r = 0; r < 3; ++r) {
            dg::DVec3 axis;
            axis.Set(rows[r]);
            m.m[r][0] = axis.x;
            m.m[r][1] = axis.y;
            m.m[r][2] = axis.z;
        }
        return m;
    };
    dg::DMat44 originInverse = axes(origin);
    originInverse.Invert();
    const dg::DMat44 targetAxes = axes(target);
    const dg::DMat44 rotation(dg::DMat44(dg::DMat44::RotationX(5 * 0.017453292519943295),
                                         dg::DMat44::RotationY(10 * 0.017453292519943295)),
                              dg::DMat44::RotationZ(15 * 0.017453292519943295));
    Transform transform;
    transform.matrix = dg::DMat44(dg::DMat44(originInverse, rotation), targetAxes);
    transform.originPoint = origin.pos;
    transform.shift = target.pos + dg::DVec3(0.5, 1.0, -2.0) * targetAxes;
    return transform;
}

inline dg::Location Apply(const Transform &transform, const dg::Location &stored) {
    dg::Location location = stored;
    location.pos -= transform.originPoint;
    location *= transform.matrix;
    location.pos += transform.shift;
    return location;
}

std::vector<dg::Location> StoredPlacements(std::size_t count) {
    std::vector<dg::Location> placements;
    placements.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        placements.push_back(Placement(static_cast<double>(i % 1000),
                                       static_cast<double>(i / 1000 % 1000), 0, 10.0 * (i % 4), 0,
                                       0));
    return placements;
}

// The limit: the transform over N locations in a plain vector.
void Limit(benchmark::State &state, std::size_t count) {
    const Transform transform = SceneTransform();
    const std::vector<dg::Location> stored = StoredPlacements(count);
    std::vector<dg::Location> placed(count);
    Result result = Named(kLimit, "-", count, "instance");
    Record(Measure(
        state, result, static_cast<double>(count), [] {},
        [&] {
            for (std::size_t i = 0; i < count; ++i)
                placed[i] = Apply(transform, stored[i]);
            benchmark::DoNotOptimize(placed.data());
        },
        [] {}));
}

// The container floor: a walk over a std::map keyed by N object addresses, one
// hash look-up per entry (of the object's drawable counterpart) and the
// transform applied, which any ordered parts list pays at least. In a lived-in
// heap the objects are made in a shuffled order between blocks that are freed.
void Floor(benchmark::State &state, std::size_t count, HeapKind heap) {
    struct Drawn {
        dg::Location location;
    };
    struct Node {
        char body[160]; // about the size of a product-structure node
    };
    const Transform transform = SceneTransform();
    const std::vector<dg::Location> stored = StoredPlacements(count);
    std::vector<std::unique_ptr<Node>> nodes(count);
    std::vector<std::unique_ptr<Drawn>> drawn(count);
    std::map<const void *, dg::Location> list;
    std::unordered_map<const void *, Drawn *> drawnOf;
    drawnOf.reserve(count);
    HeapLitter litter(count);
    const bool livedIn = heap == HeapKind::LivedIn;
    for (std::size_t i : MakingOrder(heap, count, litter)) {
        if (livedIn)
            litter.Drop();
        nodes[i] = std::make_unique<Node>();
        drawn[i] = std::make_unique<Drawn>();
        if (!livedIn) {
            list.emplace(nodes[i].get(), stored[i]);
            drawnOf.emplace(nodes[i].get(), drawn[i].get());
        }
    }
    if (livedIn)
        for (std::size_t i : MakingOrder(heap, count, litter)) {
            litter.Drop();
            list.emplace(nodes[i].get(), stored[i]);
            drawnOf.emplace(nodes[i].get(), drawn[i].get());
        }
    litter.Sweep();
    Result result = Named(kFloor, "-", count, "instance");
    result.heap = HeapName(heap);
    Record(Measure(
        state, result, static_cast<double>(count), [] {},
        [&] {
            for (const auto &[node, location] : list)
                drawnOf.find(node)->second->location = Apply(transform, location);
            benchmark::DoNotOptimize(drawn.data());
        },
        [] {}));
}

} // namespace

} // namespace bench

int main(int argc, char **argv) {
    using bench::HeapKind;
    using bench::Shape;
    const char *quickEnv = std::getenv("QLALIGNPARTS_BENCH_QUICK");
    bool quick = quickEnv && std::strcmp(quickEnv, "0") != 0;
    // --quick is ours; everything else goes to the benchmark library.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;

    // A viewer that has run for a while has a heap that neither shrinks nor
    // regrows with every command. Left to its defaults, glibc hands the top of
    // the heap back to the kernel each time a case frees what it made (how
    // eagerly depends on which large blocks happened to be freed before), and
    // the next iteration pays for those pages to be mapped and cleared again:
    // a cost of the benchmark's rhythm, not of the alignment. Keep freed memory
    // in the process, and serve blocks up to glibc's largest threshold from it.
    // QLALIGNPARTS_BENCH_MALLOC_DEFAULTS=1 leaves glibc as it is.
    const char *defaultsEnv = std::getenv("QLALIGNPARTS_BENCH_MALLOC_DEFAULTS");
    if (!defaultsEnv || std::strcmp(defaultsEnv, "0") == 0) {
        mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
        mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    }

    std::vector<std::size_t> sizes{1000, 10000, 100000, 1000000};
    if (quick)
        sizes.pop_back();
    auto add = [](const std::string &name, auto function, std::size_t count) {
        benchmark::RegisterBenchmark(name.c_str(), function)
            ->UseManualTime()
            ->Iterations(bench::IterationsFor(count))
            ->Unit(benchmark::kMillisecond);
    };
    // Every fresh-heap case first, at every N, as a viewer's first hour would
    // run them; then the lived-in ones, in the heap the fresh ones left behind.
    for (HeapKind heap : {HeapKind::Fresh, HeapKind::LivedIn})
        for (std::size_t count : sizes) {
            const std::string n = std::to_string(count);
            const bool fresh = heap == HeapKind::Fresh;
            if (fresh)
                add(
                    "BM_Reference_Limit/" + n,
                    [count](benchmark::State &state) { bench::Limit(state, count); }, count);
            add(
                std::string("BM_Reference_Floor/") + bench::HeapName(heap) + "/" + n,
                [count, heap](benchmark::State &state) { bench::Floor(state, count, heap); },
                count);
            for (Shape shape : {Shape::Flat, Shape::Deep}) {
                const std::string suffix = std::string("/") + bench::ShapeName(shape) + "/" +
                                           bench::HeapName(heap) + "/" + n;
                using Case = void (*)(benchmark::State &, Shape, std::size_t, HeapKind);
                const std::pair<const char *, Case> cases[] = {
                    {"BM_Alignment_FirstRun", bench::FirstRun},
                    {"BM_Alignment_RerunAfterOffsets", bench::RerunAfterOffsets},
                    {"BM_Alignment_RemoveOnePart", bench::RemoveOnePart},
                    {"BM_Alignment_SelectionChanged", bench::SelectionChanged},
                    {"BM_Alignment_Reset15", bench::ResetAll},
                    {"BM_Alignment_Apply", bench::ApplyIntoOperation},
                };
                for (const auto &[name, function] : cases)
                    add(
                        name + suffix,
                        [function = function, shape, count, heap](benchmark::State &state) {
                            function(state, shape, count, heap);
                        },
                        count);
            }
            if (fresh)
                add(
                    "BM_AlignmentObserver_Decode/" + n,
                    [count](benchmark::State &state) { bench::DecodeMessage(state, count); },
                    count);
            // A glTF file of a million nodes is a gigabyte of parsed JSON: the
            // file cases stop at 100,000, and are measured once, in the fresh heap.
            if (fresh && count <= 100000) {
                using FileCase = void (*)(benchmark::State &, std::size_t);
                const std::pair<const char *, FileCase> fileCases[] = {
                    {"BM_GltfFile_Load", bench::GltfLoad},
                    {"BM_GltfFile_AlignTop", bench::GltfAlignTop},
                    {"BM_GltfFile_Save", bench::GltfSave},
                };
                for (const auto &[name, function] : fileCases)
                    add(
                        name + std::string("/deep/") + n,
                        [function = function, count](benchmark::State &state) {
                            function(state, count);
                        },
                        count);
            }
        }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    bench::DropScene();
    bench::PrintTable();
    benchmark::Shutdown();
    return 0;
}
