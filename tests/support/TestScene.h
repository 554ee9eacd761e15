// Scene builders and fakes shared by the test binaries.
//
// TestScene builds a stand-in host scene: a shape scene with a view, a
// selection manager and a product tree, with helpers to place instances and to
// make selection items for them. RecordingObserver records every notification
// of an Alignment as a line of text, in order of arrival.
#pragma once

#include <cmath>
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

// Every test binary audits references from the start, so that objects built by
// fixtures before a test body runs are tracked too.
inline const bool kReferenceAuditOn = (du::RefAudit::Enable(true), true);

constexpr double kDegree = 0.017453292519943295;

// A placement at `pos` turned by RotationX(rx)·RotationY(ry)·RotationZ(rz), degrees.
inline dg::Location Placement(double x, double y, double z, double rx = 0, double ry = 0,
                              double rz = 0) {
    dg::Location location;
    location *= dg::DMat44(
        dg::DMat44(dg::DMat44::RotationX(rx * kDegree), dg::DMat44::RotationY(ry * kDegree)),
        dg::DMat44::RotationZ(rz * kDegree));
    location.SetPos(dg::DPoint3D(x, y, z));
    return location;
}

inline ::testing::AssertionResult LocationNear(const dg::Location &actual,
                                               const dg::Location &expected, double tol = 1e-5) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (!(std::fabs(actual.mat.m[r][c] - expected.mat.m[r][c]) <= tol))
                return ::testing::AssertionFailure()
                       << "matrix[" << r << "][" << c << "] is " << actual.mat.m[r][c]
                       << ", expected " << expected.mat.m[r][c];
    for (int i = 0; i < 3; ++i)
        if (!(std::fabs(actual.pos[i] - expected.pos[i]) <= tol))
            return ::testing::AssertionFailure() << "position[" << i << "] is " << actual.pos[i]
                                                 << ", expected " << expected.pos[i];
    return ::testing::AssertionSuccess();
}

class TestScene {
public:
    explicit TestScene(bool withSelectionManager = true)
        : scene(new qlk::ShapeScene), view(new qlk::ShapeView(scene)) {
        if (withSelectionManager) {
            selectionManager = new qlk::SelectionManager;
            scene->SetSelectionManager(selectionManager);
        }
    }

    // A new instance under `parent` (or at the top) with a shape instance at `location`.
    SmartPtr<qlk::Instance> AddInstance(const std::string &name,
                                        const dg::Location &location = dg::Location(),
                                        const SmartPtr<qlk::Instance> &parent = nullptr) {
        SmartPtr<qlk::Instance> instance(new qlk::Instance(name));
        if (parent)
            parent->AddChild(instance);
        scene->CreateShapeInstance(instance, location);
        return instance;
    }

    // A new instance without a shape instance.
    SmartPtr<qlk::Instance> AddBareInstance(const std::string &name,
                                            const SmartPtr<qlk::Instance> &parent = nullptr) {
        SmartPtr<qlk::Instance> instance(new qlk::Instance(name));
        if (parent)
            parent->AddChild(instance);
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
    static SmartPtr<qlk::SelectionItem>
    CollectionItem(const SmartPtr<du::RefCounted> &comparison,
                   std::vector<SmartPtr<qlk::SelectionItem>> first,
                   std::vector<SmartPtr<qlk::SelectionItem>> second = {},
                   const SmartPtr<qlk::Instance> &sbomInstance = nullptr) {
        du::Symbol type = sbomInstance ? du::Symbol("SbomInstance") : du::Symbol("Group");
        return SmartPtr<qlk::SelectionItem>(new qlk::CollectionSelectionItem(
            comparison, type, sbomInstance, std::move(first), std::move(second)));
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
        lastCSys = csys.get();
    }

    // Delivers what the host's loop holds and answers the events since the last call.
    std::vector<std::string> Take() {
        dom::MessageLoop::Pump();
        std::vector<std::string> taken;
        taken.swap(events);
        return taken;
    }

    // Feeds a message directly, as the host's loop would.
    void Deliver(const du::SmartPtr<dom::Message> &message) { EventHandler(message); }

    std::vector<std::string> events;
    const moduleutils::DerivedCSys *lastCSys = nullptr;
};

// Drops the host's last reference to the Alignment from inside whichever
// notification comes first: an operation in progress must keep its object
// alive until it returns.
class AlignmentReleasingObserver : public qlalignparts::AlignmentObserver {
public:
    explicit AlignmentReleasingObserver(du::SmartPtr<qlalignparts::Alignment> &held)
        : held_(held) {}
    void OnPartsChanged() override { held_ = nullptr; }
    void OnOffsetsChanged() override { held_ = nullptr; }
    void OnCSysChanged(int, int, const du::SmartPtr<moduleutils::DerivedCSys> &) override {
        held_ = nullptr;
    }

private:
    du::SmartPtr<qlalignparts::Alignment> &held_;
};

// The audited objects of dynamic type T that are alive now but were not in
// `before` (a du::RefAudit::Snapshot()): how a test reaches objects that a
// component created for itself, such as an Alignment's widgets.
template <class T>
std::vector<T *> CreatedSince(const std::map<const du::RefCounted *, int> &before) {
    std::vector<T *> created;
    for (const auto &entry : du::RefAudit::Snapshot())
        if (before.count(entry.first) == 0)
            if (const T *object = dynamic_cast<const T *>(entry.first))
                created.push_back(const_cast<T *>(object));
    return created;
}

// Turns the reference audit on for a test and checks at its end that every
// object alive at its start has the count it had then.
class ReferenceAudit {
public:
    ReferenceAudit() {
        du::RefAudit::Enable(true);
        before_ = du::RefAudit::Snapshot();
    }
    // Counts of objects that existed at the start and now differ.
    ::testing::AssertionResult Unchanged() const {
        auto now = du::RefAudit::Snapshot();
        for (const auto &[object, count] : before_) {
            auto it = now.find(object);
            if (it == now.end())
                return ::testing::AssertionFailure() << "object " << object << " was destroyed";
            if (it->second != count)
                return ::testing::AssertionFailure() << "object " << object << " has " << it->second
                                                     << " references, had " << count;
        }
        return ::testing::AssertionSuccess();
    }

private:
    std::map<const du::RefCounted *, int> before_;
};

} // namespace qltest
