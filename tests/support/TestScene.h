// Scene builders, fakes and a fixture shared by the alignment tests.
//
// TestScene builds a stand-in host scene: a shape scene with a view, a
// selection manager and a product tree, with helpers to place instances and to
// make selection items for them. RecordingObserver records every notification
// of an Alignment as a line of text. AlignmentFixture builds an Alignment on a
// TestScene and audits references once it is gone. Frame is a small placement
// arithmetic of the tests' own, so that expected placements never come from
// the code under test.
//
// Typical use:
//   TEST_F(AlignmentFixture, Something) {
//       auto bolt = host.AddInstance("bolt", Placement(1, 0, 0, 0, 0, 30));
//       Start({bolt});
//       alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_WORLD, nullptr);
//       EXPECT_EQ(observer->Take(), Events({"csys 1 2 null"}));
//   }
#pragma once

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dg/Geometry.h>
#include <dom/Messaging.h>
#include <du/RefCounted.h>
#include <du/SmartPtr.h>
#include <moduleutils/DerivedCSys.h>
#include <qlalignparts/Alignment.h>
#include <qlalignparts/AlignmentObserver.h>
#include <qlk/Kernel.h>

namespace qltest {

using du::SmartPtr;
using qlalignparts::Alignment;
using Events = std::vector<std::string>;
using Instances = std::vector<SmartPtr<qlk::Instance>>;

// Every test binary audits references from the start, so that objects built by
// fixtures before a test body runs are tracked too.
inline const bool kReferenceAuditOn = (du::RefAudit::Enable(true), true);

constexpr double kDegree = 0.017453292519943295;

// ---- Frame arithmetic, independent of dg's matrix code --------------------

// A placement in the row-vector convention: rows of `m` are the axes, a point
// p of the frame lands at p·m + t.
struct Frame {
    double m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double t[3] = {0, 0, 0};
};

inline Frame FrameOf(const dg::Location &location) {
    Frame f;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            f.m[r][c] = location.mat.m[r][c];
        f.t[r] = location.pos[r];
    }
    return f;
}

inline dg::Location LocationOf(const Frame &f) {
    dg::Location location;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            location.mat.m[r][c] = static_cast<float>(f.m[r][c]);
    location.pos = dg::DPoint3D(f.t[0], f.t[1], f.t[2]);
    return location;
}

// `a` first, then `b`.
inline Frame Then(const Frame &a, const Frame &b) {
    Frame f;
    for (int c = 0; c < 3; ++c) {
        f.t[c] = b.t[c];
        for (int k = 0; k < 3; ++k)
            f.t[c] += a.t[k] * b.m[k][c];
        for (int r = 0; r < 3; ++r) {
            f.m[r][c] = 0;
            for (int k = 0; k < 3; ++k)
                f.m[r][c] += a.m[r][k] * b.m[k][c];
        }
    }
    return f;
}

// A right-handed turn about axis 0 (X), 1 (Y) or 2 (Z), degrees, written out by hand.
inline Frame Turn(int axis, double degrees) {
    const double c = std::cos(degrees * kDegree), s = std::sin(degrees * kDegree);
    const int i = (axis + 1) % 3, j = (axis + 2) % 3;
    Frame f;
    f.m[i][i] = f.m[j][j] = c;
    f.m[i][j] = s;
    f.m[j][i] = -s;
    return f;
}

// A placement at (x, y, z) turned about X, then Y, then Z, degrees.
inline dg::Location Placement(double x, double y, double z, double rx = 0, double ry = 0,
                              double rz = 0) {
    Frame f = Then(Then(Turn(0, rx), Turn(1, ry)), Turn(2, rz));
    f.t[0] = x;
    f.t[1] = y;
    f.t[2] = z;
    return LocationOf(f);
}

inline ::testing::AssertionResult LocationNear(const dg::Location &actual,
                                               const dg::Location &expected, double tol = 1e-5) {
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            if (!(std::fabs(actual.mat.m[r][c] - expected.mat.m[r][c]) <= tol))
                return ::testing::AssertionFailure()
                       << "matrix[" << r << "][" << c << "] is " << actual.mat.m[r][c]
                       << ", expected " << expected.mat.m[r][c];
        if (!(std::fabs(actual.pos[r] - expected.pos[r]) <= tol))
            return ::testing::AssertionFailure() << "position[" << r << "] is " << actual.pos[r]
                                                 << ", expected " << expected.pos[r];
    }
    return ::testing::AssertionSuccess();
}

// ---- The stand-in scene ------------------------------------------------------

class TestScene {
public:
    explicit TestScene(bool withSelectionManager = true)
        : scene(new qlk::ShapeScene), view(new qlk::ShapeView(scene)) {
        if (withSelectionManager) {
            selectionManager = new qlk::SelectionManager;
            scene->SetSelectionManager(selectionManager);
        }
    }

    // A new instance under `parent` (or at the top), drawn at `location` unless `bare`.
    SmartPtr<qlk::Instance> AddInstance(const std::string &name,
                                        const dg::Location &location = dg::Location(),
                                        const SmartPtr<qlk::Instance> &parent = nullptr,
                                        bool bare = false) {
        SmartPtr<qlk::Instance> instance(new qlk::Instance(name));
        if (parent)
            parent->AddChild(instance);
        if (!bare)
            scene->CreateShapeInstance(instance, location);
        return instance;
    }

    SmartPtr<qlk::ShapeInstance> Shape(const SmartPtr<qlk::Instance> &instance) const {
        SmartPtr<qlk::ShapeInstance> shape;
        scene->GetShapeInstance(instance, shape);
        return shape;
    }

    // Where the instance stands once its animation has ended.
    dg::Location FinalLocation(const SmartPtr<qlk::Instance> &instance) const {
        SmartPtr<qlk::ShapeInstance> shape = Shape(instance);
        return shape ? shape->GetTargetLocation() : dg::Location();
    }

    static SmartPtr<qlk::SelectionItem> PartItem(const SmartPtr<qlk::Instance> &instance) {
        return SmartPtr<qlk::SelectionItem>(
            new qlk::ObjectSelectionItem(instance, qlk::mcad_selection::Instance, true));
    }
    static SmartPtr<qlk::SelectionItem> AssemblyItem(const SmartPtr<qlk::Instance> &instance,
                                                     bool partItem = false) {
        return SmartPtr<qlk::SelectionItem>(
            new qlk::ObjectSelectionItem(instance, qlk::mcad_selection::Assembly, partItem));
    }

    // Replaces the host's selection as one group of changes.
    void Select(const std::vector<SmartPtr<qlk::SelectionItem>> &items) {
        selectionManager->SetSelection(items);
    }

    SmartPtr<qlk::ShapeScene> scene;
    SmartPtr<qlk::ShapeView> view;
    SmartPtr<qlk::SelectionManager> selectionManager;
};

// Records every notification as text: "parts", "offsets", "csys ID TYPE null|set".
class RecordingObserver : public qlalignparts::AlignmentObserver {
public:
    void OnPartsChanged() override { events.push_back("parts"); }
    void OnOffsetsChanged() override { events.push_back("offsets"); }
    void OnCSysChanged(int id, int type,
                       const du::SmartPtr<moduleutils::DerivedCSys> &csys) override {
        events.push_back("csys " + std::to_string(id) + " " + std::to_string(type) +
                         (csys ? " set" : " null"));
    }
    // Delivers what the host's loop holds and answers the events since the last call.
    Events Take() {
        dom::MessageLoop::Pump();
        Events taken;
        taken.swap(events);
        return taken;
    }
    // Feeds a message directly, as the host's loop would.
    void Deliver(const du::SmartPtr<dom::Message> &message) { EventHandler(message); }

    Events events;
};

// The audited objects of dynamic type T alive now that were not in `before`
// (a du::RefAudit::Snapshot()): how a test reaches objects that a component
// created for itself, such as an Alignment's widgets.
template <class T>
std::vector<T *> CreatedSince(const std::map<const du::RefCounted *, int> &before) {
    std::vector<T *> created;
    for (const auto &entry : du::RefAudit::Snapshot())
        if (before.count(entry.first) == 0)
            if (const T *object = dynamic_cast<const T *>(entry.first))
                created.push_back(const_cast<T *>(object));
    return created;
}

// ---- The fixture -----------------------------------------------------------

// A valid host-derived coordinate system at `location`.
inline SmartPtr<moduleutils::DerivedCSys> CSys(const dg::Location &location) {
    return SmartPtr<moduleutils::DerivedCSys>(new moduleutils::DerivedCSys(location, true));
}

class AlignmentFixture : public ::testing::Test {
protected:
    // Selects `parts` as part items and builds the Alignment, which takes them
    // in. Takes the reference snapshot just before, and forgets what the
    // construction asked of the scene.
    void Start(const Instances &parts) {
        std::vector<SmartPtr<qlk::SelectionItem>> items;
        for (const auto &part : parts)
            items.push_back(TestScene::PartItem(part));
        host.Select(items);
        // Earlier Alignments' selection watchers, left to the kernel, and
        // undelivered messages must not come and go in the middle of the audit.
        dom::MessageLoop::Pump();
        qlk::Kernel::GetKernel()->CollectGarbage();
        before = du::RefAudit::Snapshot();
        alignment = new Alignment(host.view, 3);
        alignment->RegisterObserver(*observer);
        Settle();
    }

    // Lets every animation end and forgets the calls and events so far.
    void Settle() {
        host.scene->FinishAnimations();
        host.scene->ClearExplodeCalls();
        observer->Take();
    }

    // Once the Alignment is gone, no object that existed before it holds a
    // reference more than it did then, and nothing made since is still alive:
    // the test's own locals have gone out of scope by now.
    void TearDown() override {
        if (!alignment)
            return;
        observer->Take();
        alignment->UnregisterObserver(*observer);
        alignment = nullptr;
        qlk::Kernel::GetKernel()->CollectGarbage();
        for (const auto &[object, count] : du::RefAudit::Snapshot()) {
            const auto it = before.find(object);
            if (it == before.end())
                ADD_FAILURE() << "an object made while aligning outlived the Alignment with "
                              << count << " references";
            else
                EXPECT_LE(count, it->second) << "a reference outlived the Alignment";
        }
    }

    // Defines both coordinate systems as custom ones at these placements.
    void Define(const dg::Location &origin, const dg::Location &target) {
        alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_CUSTOM, CSys(origin));
        alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM, CSys(target));
    }

    // The durations of the scene's moves since the last call, and forgets them.
    std::vector<int> TakeDurations() {
        std::vector<int> durations;
        for (const auto &call : host.scene->GetExplodeCalls())
            durations.push_back(call.duration);
        host.scene->ClearExplodeCalls();
        return durations;
    }

    TestScene host;
    SmartPtr<RecordingObserver> observer{new RecordingObserver};
    std::map<const du::RefCounted *, int> before;
    SmartPtr<Alignment> alignment;
};

} // namespace qltest
