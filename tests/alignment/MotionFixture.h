// What the coordinate-system, preview, motion, undo and recording tests share:
// a fixture that builds an Alignment on a stand-in scene with a recording
// observer and checks references after the Alignment is gone, helpers to
// find the two preview widgets and read what the scene was asked to do, and
// a small frame arithmetic of its own, so that expected placements never come
// from the code under test.
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

#include "support/TestScene.h"

namespace qltest {

using qlalignparts::Alignment;
using Events = std::vector<std::string>;
using Instances = std::vector<SmartPtr<qlk::Instance>>;

// ---- Frame arithmetic, independent of dg's matrix code --------------------

// A rigid placement in the row-vector convention: rows of `m` are the axes,
// a point p of the frame lands at p·m + t.
struct Frame {
    double m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double t[3] = {0, 0, 0};
};

inline Frame FrameOf(const dg::Location &location) {
    Frame f;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            f.m[r][c] = location.mat.m[r][c];
    for (int i = 0; i < 3; ++i)
        f.t[i] = location.pos[i];
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
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            f.m[r][c] = 0;
            for (int k = 0; k < 3; ++k)
                f.m[r][c] += a.m[r][k] * b.m[k][c];
        }
    for (int c = 0; c < 3; ++c) {
        f.t[c] = b.t[c];
        for (int k = 0; k < 3; ++k)
            f.t[c] += a.t[k] * b.m[k][c];
    }
    return f;
}

// The inverse of a rigid frame (its axes orthonormal).
inline Frame Inverse(const Frame &a) {
    Frame f;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            f.m[r][c] = a.m[c][r];
    for (int c = 0; c < 3; ++c) {
        f.t[c] = 0;
        for (int k = 0; k < 3; ++k)
            f.t[c] -= a.t[k] * f.m[k][c];
    }
    return f;
}

// `a` as seen from frame `b`.
inline Frame Relative(const Frame &a, const Frame &b) {
    return Then(a, Inverse(b));
}

// Right-handed turns, degrees, written out by hand.
inline Frame TurnX(double degrees) {
    const double c = std::cos(degrees * kDegree), s = std::sin(degrees * kDegree);
    Frame f;
    f.m[1][1] = c;
    f.m[1][2] = s;
    f.m[2][1] = -s;
    f.m[2][2] = c;
    return f;
}
inline Frame TurnY(double degrees) {
    const double c = std::cos(degrees * kDegree), s = std::sin(degrees * kDegree);
    Frame f;
    f.m[0][0] = c;
    f.m[0][2] = -s;
    f.m[2][0] = s;
    f.m[2][2] = c;
    return f;
}
inline Frame TurnZ(double degrees) {
    const double c = std::cos(degrees * kDegree), s = std::sin(degrees * kDegree);
    Frame f;
    f.m[0][0] = c;
    f.m[0][1] = s;
    f.m[1][0] = -s;
    f.m[1][1] = c;
    return f;
}
inline Frame Shift(double x, double y, double z) {
    Frame f;
    f.t[0] = x;
    f.t[1] = y;
    f.t[2] = z;
    return f;
}

inline ::testing::AssertionResult FrameNear(const Frame &actual, const Frame &expected,
                                            double tol = 1e-4) {
    return LocationNear(LocationOf(actual), LocationOf(expected), tol);
}

// ---- The fixture -----------------------------------------------------------

class AlignmentFixture : public ::testing::Test {
protected:
    // Selects `parts` (as part items) and `assemblies` (as assembly items) and
    // builds the Alignment, which takes them in. Takes the reference snapshot
    // just before, and forgets what the construction asked of the scene.
    void Start(const Instances &parts, const Instances &assemblies = {}) {
        std::vector<SmartPtr<qlk::SelectionItem>> items;
        for (const auto &part : parts)
            items.push_back(TestScene::PartItem(part));
        for (const auto &assembly : assemblies)
            items.push_back(TestScene::AssemblyItem(assembly));
        host.Select(items);
        StartOn(host.view);
    }

    void StartOn(const SmartPtr<qlk::ShapeView> &view) {
        // Earlier Alignments' selection watchers, left to the kernel, and
        // undelivered messages must not come and go in the middle of the audit.
        dom::MessageLoop::Pump();
        qlk::Kernel::GetKernel()->CollectGarbage();
        before = du::RefAudit::Snapshot();
        alignment = new Alignment(view, 3);
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

    static SmartPtr<moduleutils::DerivedCSys> CSys(const dg::Location &location,
                                                   bool valid = true) {
        return SmartPtr<moduleutils::DerivedCSys>(new moduleutils::DerivedCSys(location, valid));
    }

    // Defines both coordinate systems as custom ones at these placements.
    void Define(const dg::Location &origin, const dg::Location &target) {
        alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_CUSTOM, CSys(origin));
        alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM, CSys(target));
    }

    // The widget of a coordinate system, found by its colour among the
    // markups the scene has been handed; null before it was first shown or hidden.
    const qlmk::CSysPreviewWidget *Widget(Alignment::CSYS_ID id) const {
        const dg::Color wanted = id == Alignment::CSYS_ORIGIN ? dg::Color(0.1f, 0.7f, 0.1f, 1.0f)
                                                              : dg::Color(0.1f, 0.1f, 0.7f, 1.0f);
        for (const auto &call : host.scene->GetMarkupCalls()) {
            const auto *widget = dynamic_cast<const qlmk::CSysPreviewWidget *>(call.markup);
            if (widget && widget->GetColor() == wanted)
                return widget;
        }
        return nullptr;
    }

    bool Shown(Alignment::CSYS_ID id) const {
        const qlmk::CSysPreviewWidget *widget = Widget(id);
        return widget && host.scene->IsMarkupShown(widget);
    }

    dg::Location WidgetLocation(Alignment::CSYS_ID id) const {
        const qlmk::CSysPreviewWidget *widget = Widget(id);
        EXPECT_NE(widget, nullptr);
        return widget ? widget->GetLocation() : dg::Location();
    }

    // The durations of the scene's moves since the last call, and forgets them.
    std::vector<int> TakeDurations() {
        std::vector<int> durations;
        for (const auto &call : host.scene->GetExplodeCalls())
            durations.push_back(call.duration);
        host.scene->ClearExplodeCalls();
        return durations;
    }

    // Where the last move of the scene sent `instance`; fails if it was not moved.
    ::testing::AssertionResult MovedTo(const SmartPtr<qlk::Instance> &instance,
                                       const dg::Location &expected, double tol = 1e-4) const {
        const auto &calls = host.scene->GetExplodeCalls();
        if (calls.empty())
            return ::testing::AssertionFailure() << "the scene was not moved";
        const auto &last = calls.back();
        const qlk::ShapeInstance *shape = host.Shape(instance).get();
        for (std::size_t i = 0; i < last.instances.size(); ++i)
            if (last.instances[i] == shape)
                return LocationNear(last.locations[i], expected, tol);
        return ::testing::AssertionFailure() << instance->GetName() << " was not in the last move";
    }

    TestScene host;
    SmartPtr<RecordingObserver> observer{new RecordingObserver};
    std::map<const du::RefCounted *, int> before;
    SmartPtr<Alignment> alignment;
};

} // namespace qltest
