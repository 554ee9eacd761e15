// Fuzz target: sequences of public calls, host selection changes and host
// faults on one Alignment, driven by the input.
//
// A small fixed scene (an assembly with a sub-assembly, loose parts, one
// without a shape instance, an excluded one, a 3-D symbol, a collection) is
// built for every input; then each input byte picks the next call and the
// following bytes its arguments. Faults come from the input too: the host
// throws from a move or a location query, a part leaves the scene, a derived
// coordinate system turns invalid, an observer calls back into the Alignment
// or drops the host's last reference to it. What must hold whatever the input:
// no crash or sanitizer report, no placement refused by the scene as not
// finite, widgets at finite placements, and once the Alignment is gone every
// object that existed before has the reference count it had then.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <stdexcept>
#include <vector>

#include <dom/Messaging.h>
#include <du/RefCounted.h>
#include <du/SmartPtr.h>
#include <moduleutils/DerivedCSys.h>
#include <qlalignparts/Alignment.h>
#include <qlk/Kernel.h>
#include <qlmk/CSysPreviewWidget.h>

namespace {

using qlalignparts::Alignment;
template <class T> using Ptr = du::SmartPtr<T>;
using Item = Ptr<qlk::SelectionItem>;

void Require(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "call sequences: %s\n", what);
        std::abort();
    }
}

// What the fuzzing did, told when the process ends.
struct Tally {
    unsigned long long calls = 0;
    unsigned long long hostFaults = 0;
    unsigned long long disruptions = 0;
    unsigned long long releasedMidCall = 0;
    ~Tally() {
        std::fprintf(stderr,
                     "call sequences: %llu calls, %llu injected host faults fired, %llu observer "
                     "disruptions, %llu Alignments released from a notification\n",
                     calls, hostFaults, disruptions, releasedMidCall);
    }
};
Tally tally;

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    bool More() const { return next_ < size_; }
    unsigned Byte() { return next_ < size_ ? data_[next_++] : 0u; }
    double Number() {
        const unsigned b = Byte();
        switch (b % 16) {
        case 0:
            return std::numeric_limits<double>::quiet_NaN();
        case 1:
            return std::numeric_limits<double>::infinity();
        case 2:
            return 1e300;
        case 3:
            return -1e-300;
        default:
            return static_cast<double>(static_cast<int>(b) - 128) * 7.5;
        }
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t next_ = 0;
};

dg::Location At(double x, double y, double z, double degrees) {
    dg::Location location;
    location *= dg::DMat44::RotationZ(degrees * 0.017453292519943295);
    location.SetPos(dg::DPoint3D(x, y, z));
    return location;
}

struct Scene {
    Scene() : scene(new qlk::ShapeScene), view(new qlk::ShapeView(scene)) {
        manager = new qlk::SelectionManager;
        scene->SetSelectionManager(manager);
        auto add = [this](const char *name, const dg::Location &at,
                          const Ptr<qlk::Instance> &parent, bool drawn) {
            Ptr<qlk::Instance> node(new qlk::Instance(name));
            if (parent)
                parent->AddChild(node);
            if (drawn)
                scene->CreateShapeInstance(node, at);
            nodes.push_back(node);
            return node;
        };
        auto frame = add("frame", At(0, 0, 1, 30), nullptr, true);
        auto arm = add("arm", At(1, 0, 1, 60), frame, false);
        add("pin", At(1, 1, 1, 90), arm, true);
        add("bolt", At(-1, 2, 0, 0), frame, true);
        auto nut = add("nut", At(3, 0, 0, 45), nullptr, true);
        auto washer = add("washer", At(0, 4, 0, 0), nullptr, false);
        auto cover = add("cover", At(2, 2, 2, 10), nullptr, true);
        cover->SetExcluded(true);
        auto mark = add("mark", At(0, -3, 0, 0), nullptr, true);
        mark->Set3dSymbol(true);
        Ptr<qlk::AnnoSet> annoSet;
        scene->GetAnnoSet(annoSet);
        Ptr<qlk::ShapeInstance> markShape;
        scene->GetShapeInstance(mark, markShape);
        annoSet->AddAnnotation(markShape, new qlk::Annotation(dg::DPoint3D(0, -4, 0)));
        arm->SetTreatedAsPart(true);

        for (const auto &node : nodes) {
            items.emplace_back(
                new qlk::ObjectSelectionItem(node, qlk::mcad_selection::Instance, true));
            items.emplace_back(new qlk::ObjectSelectionItem(node, qlk::mcad_selection::Assembly,
                                                            node->IsTreatedAsPart()));
        }
        comparison = new qlk::Object;
        items.emplace_back(new qlk::CollectionSelectionItem(
            comparison, du::Symbol("Group"), nullptr, {items[6], items[3]}, {items[11]}));
        items.emplace_back(
            new qlk::CollectionSelectionItem(comparison, du::Symbol("SbomInstance"), arm, {}, {}));
        (void)nut;
        (void)washer;
        systems.emplace_back(new moduleutils::DerivedCSys(At(5, 0, 0, 90), true));
        systems.emplace_back(new moduleutils::DerivedCSys(At(-1, 2, 3, -30), true));
        systems.emplace_back(new moduleutils::DerivedCSys(At(0, 0, 0, 0), false));
    }

    Ptr<qlk::ShapeScene> scene;
    Ptr<qlk::ShapeView> view;
    Ptr<qlk::SelectionManager> manager;
    std::vector<Ptr<qlk::Instance>> nodes;
    std::vector<Item> items;
    Ptr<du::RefCounted> comparison;
    std::vector<Ptr<moduleutils::DerivedCSys>> systems;
    std::vector<Ptr<qlk::ShapeInstance>> removed; // kept, so that no address is reused
};

// Calls back into the Alignment from its notifications, or lets it go.
class Disrupter : public qlalignparts::AlignmentObserver {
public:
    Disrupter(Ptr<Alignment> &held, Input &input) : held_(held), input_(input) {}
    void OnPartsChanged() override { Disrupt(); }
    void OnOffsetsChanged() override { Disrupt(); }
    void OnCSysChanged(int, int, const Ptr<moduleutils::DerivedCSys> &) override { Disrupt(); }

    int mode = 0; // 0 quiet, 1 calls back once, 2 drops the host's reference once

private:
    void Disrupt() {
        const int now = mode;
        mode = 0;
        if (now == 1 && held_) {
            ++tally.disruptions;
            held_->Reset(static_cast<int>(input_.Byte() % 16));
        } else if (now == 2 && held_) {
            ++tally.disruptions;
            ++tally.releasedMidCall;
            held_ = nullptr;
        }
    }
    Ptr<Alignment> &held_;
    Input &input_;
};

void CheckScene(const Scene &world, const Ptr<Alignment> &alignment) {
    Require(world.scene->GetRefusedPlacements() == 0, "a non-finite placement reached the scene");
    if (!alignment)
        return;
    // The widgets are alive as long as the Alignment is.
    for (const auto &call : world.scene->GetMarkupCalls())
        if (const auto *widget = dynamic_cast<const qlmk::CSysPreviewWidget *>(call.markup))
            Require(dg::IsFinite(widget->GetLocation()), "a widget at a non-finite placement");
    dg::DVec3 t, r;
    alignment->GetOffsets(t, r);
    for (int i = 0; i < 3; ++i)
        Require(r[i] != r[i] || (r[i] > -180.0 && r[i] <= 180.0), "rotation offset not normalised");
}

void Step(Scene &world, Ptr<Alignment> &alignment, Disrupter &disrupter, Input &input) {
    const unsigned op = input.Byte() % 20;
    auto item = [&] { return world.items[input.Byte() % world.items.size()]; };
    auto csys = [&] { return world.systems[input.Byte() % world.systems.size()]; };
    switch (op) {
    case 0:
        alignment->AddSelected();
        break;
    case 1:
        alignment->RemoveSelected();
        break;
    case 2:
        alignment->Remove({item(), item()});
        break;
    case 3: {
        const int id = static_cast<int>(input.Byte() % 3);
        const int type = static_cast<int>(input.Byte() % 5);
        alignment->SetCSys(static_cast<Alignment::CSYS_ID>(id),
                           static_cast<Alignment::CSYS_TYPE>(type), csys());
        break;
    }
    case 4:
        alignment->PreviewCustomCSys(static_cast<Alignment::CSYS_ID>(input.Byte() % 3), csys());
        break;
    case 5: {
        const dg::DVec3 t(input.Number(), input.Number(), input.Number());
        const dg::DVec3 r(input.Number(), input.Number(), input.Number());
        alignment->SetOffsets(t, r);
        break;
    }
    case 6:
        alignment->SetAlignmentMode(static_cast<Alignment::ALIGNMENT_MODE>(input.Byte() % 5));
        break;
    case 7:
        alignment->SetPreviewed(input.Byte() % 2 == 0);
        break;
    case 8:
        alignment->Reset(static_cast<int>(input.Byte() % 16));
        break;
    case 9: {
        Ptr<qlk::Operation> operation(new qlk::Operation);
        alignment->Apply(input.Byte() % 4 ? operation : nullptr);
        break;
    }
    case 10:
        world.manager->Select(item());
        break;
    case 11:
        world.manager->Deselect(item());
        break;
    case 12:
        world.manager->SetSelection({item(), item(), item()});
        break;
    case 13:
        world.scene->AdvanceClock(static_cast<long long>(input.Byte()) * 8);
        break;
    case 14: {
        const auto &node = world.nodes[input.Byte() % world.nodes.size()];
        Ptr<qlk::ShapeInstance> shape;
        world.scene->GetShapeInstance(node, shape);
        if (shape) {
            world.removed.push_back(shape);
            world.scene->RemoveShapeInstance(node.get());
        }
        break;
    }
    case 15: {
        auto system = csys();
        system->SetValid(!system->IsValid());
        break;
    }
    case 16:
        world.scene->InjectFault(input.Byte() % 2 ? qlk::ShapeScene::Fault::SMOOTH_EXPLODE
                                                  : qlk::ShapeScene::Fault::GET_LOCATION,
                                 static_cast<int>(input.Byte() % 6));
        break;
    case 17:
        disrupter.mode = static_cast<int>(input.Byte() % 3);
        break;
    case 18:
        dom::MessageLoop::Pump();
        break;
    default:
        world.manager->Clear();
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const bool audited = (du::RefAudit::Enable(true), true);
    (void)audited;
    Input input(data, size);
    Scene world;
    dom::MessageLoop::SetImmediate(input.Byte() % 2 == 0);
    qlk::Kernel::GetKernel()->CollectGarbage();
    const auto before = du::RefAudit::Snapshot();
    {
        Ptr<Alignment> alignment;
        Ptr<Disrupter> disrupter(new Disrupter(alignment, input));
        try {
            alignment = new Alignment(world.view, static_cast<int>(input.Byte() % 4));
        } catch (const std::runtime_error &) {
            // An injected fault cannot be armed yet; the scene's own calls do not fail.
            Require(false, "construction failed without a fault");
        }
        alignment->RegisterObserver(*disrupter);
        while (input.More() && alignment) {
            ++tally.calls;
            try {
                Step(world, alignment, *disrupter, input);
            } catch (const std::runtime_error &) {
                // An injected host fault (or one rethrown from a notification): it
                // reaches the caller, and the following steps go on using the
                // same Alignment.
                Require(world.scene->GetFiredFaults() > 0, "a failure without an injected fault");
            }
            CheckScene(world, alignment);
        }
        tally.hostFaults += world.scene->GetFiredFaults();
        world.scene->InjectFault(qlk::ShapeScene::Fault::SMOOTH_EXPLODE, 0);
        world.scene->InjectFault(qlk::ShapeScene::Fault::GET_LOCATION, 0);
        if (alignment)
            alignment->UnregisterObserver(*disrupter);
    }
    dom::MessageLoop::Discard();
    dom::MessageLoop::SetImmediate(false);
    world.manager->Clear();
    qlk::Kernel::GetKernel()->CollectGarbage();
    // Whatever the Alignment held, it let go of. The host's own objects may have
    // gained references from the host (the selection, shape instances drawn for
    // undrawn nodes, removed shape instances kept here), never lost any.
    for (const auto &[object, count] : du::RefAudit::Snapshot()) {
        auto was = before.find(object);
        if (was == before.end())
            continue;
        if (dynamic_cast<const qlk::Instance *>(object))
            Require(count >= was->second, "an instance lost a reference");
        else if (dynamic_cast<const qlk::SelectionItem *>(object) ||
                 dynamic_cast<const moduleutils::DerivedCSys *>(object) ||
                 dynamic_cast<const qlk::ShapeInstance *>(object) ||
                 dynamic_cast<const qlk::ShapeScene *>(object) ||
                 dynamic_cast<const qlk::ShapeView *>(object))
            Require(count == was->second, "a reference outlived the Alignment");
    }
    return 0;
}
