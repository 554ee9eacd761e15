// What the library takes on trust from its host and could silently get wrong
// if the stand-in drifted: the row-vector convention of products and turns,
// the release protocol of reference counts, when and in which order records
// reach observers, and undo and redo of operations. Expectations worked by hand.
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dg/Geometry.h>
#include <dom/Messaging.h>
#include <du/RefCounted.h>
#include <du/SmartPtr.h>
#include <qlk/Kernel.h>

namespace {

using du::SmartPtr;
constexpr double kQuarterTurn = 1.5707963267948966;

void ExpectPoint(const dg::DVec3 &actual, double x, double y, double z) {
    EXPECT_NEAR(actual.x, x, 1e-12);
    EXPECT_NEAR(actual.y, y, 1e-12);
    EXPECT_NEAR(actual.z, z, 1e-12);
}

TEST(HostGeometry, RowVectorsTurnRightHandedAndTheLeftFactorActsFirst) {
    ExpectPoint(dg::DVec3(1, 0, 0) * dg::DMat44::RotationZ(kQuarterTurn), 0, 1, 0);
    ExpectPoint(dg::DVec3(0, 1, 0) * dg::DMat44::RotationX(kQuarterTurn), 0, 0, 1);
    ExpectPoint(dg::DVec3(0, 0, 1) * dg::DMat44::RotationY(kQuarterTurn), 1, 0, 0);
    // Turn then shift, against shift then turn: (x, y) -> (-y, x).
    const dg::DMat44 shift = dg::DMat44::Translation(dg::DVec3(1, 2, 3));
    ExpectPoint(dg::DPoint3D(1, 0, 0) * dg::DMat44(dg::DMat44::RotationZ(kQuarterTurn), shift), 1,
                3, 3);
    ExpectPoint(dg::DPoint3D(1, 0, 0) * dg::DMat44(shift, dg::DMat44::RotationZ(kQuarterTurn)), -2,
                2, 3);
    // A placement's rows are its axes; a later transform turns them and moves the position.
    dg::Location location(dg::FMat33(1, 0, 0, 0, 0, 1, 0, -1, 0), dg::DPoint3D(1, 2, 3));
    location *= dg::DMat44(dg::DMat44::RotationZ(kQuarterTurn),
                           dg::DMat44::Translation(dg::DVec3(10, 20, 30)));
    const float axes[3][3] = {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(location.mat.m[r][c], axes[r][c], 1e-6) << r << "," << c;
    ExpectPoint(location.pos, 8, 21, 33);
}

// Its hook may refuse the destruction; counts the live ones.
class Probe : public du::RefCounted {
public:
    Probe() { ++live; }
    ~Probe() override { --live; }
    bool ZeroReferenceCountHook() const override {
        ++hookCalls;
        return allowDestruction;
    }
    static int live;
    bool allowDestruction = true;
    mutable int hookCalls = 0;
};
int Probe::live = 0;

TEST(HostReferences, TheLastReleaseAsksTheHookOnceWhichMayKeepObjectAndReference) {
    du::RefAudit::Enable(true);
    const int live = Probe::live;
    auto *kept = new Probe;
    {
        SmartPtr<Probe> held(kept);
        SmartPtr<Probe> other(held);
        other.reset();
        EXPECT_EQ(kept->hookCalls, 0) << "the hook is for the last reference only";
        kept->allowDestruction = false;
        EXPECT_EQ(du::RefAudit::Holders(kept), std::vector<void *>{&held});
    }
    EXPECT_EQ(kept->hookCalls, 1);
    EXPECT_EQ(kept->GetReferenceCount(), 1) << "the releasing reference stays";
    kept->allowDestruction = true;
    { SmartPtr<Probe> last(kept); }
    EXPECT_EQ(Probe::live, live + 1) << "the reference kept by the hook still holds it";
    const std::vector<void *> holders = du::RefAudit::Holders(kept);
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(kept->RemoveReference(holders[0]), 0);
    delete kept;
}

// Writes one byte per record.
class ByteEvent : public dom::ObservableEvent {
public:
    explicit ByteEvent(unsigned char byte) : byte_(byte) {}
    void PushToProxy(const SmartPtr<dom::ObserverProxy> &proxy) const override {
        proxy->Begin();
        proxy->PushUInt8Value(byte_);
        proxy->End();
    }

private:
    unsigned char byte_;
};

class LoggingObserver : public dom::Observer {
public:
    LoggingObserver(std::string name, std::vector<std::string> &log) : name_(name), log_(log) {}

protected:
    void EventHandler(const SmartPtr<dom::Message> &message) override {
        std::string line = name_ + ":";
        dom::MessageReader reader(message);
        for (unsigned char byte = 0; reader.GetUInt8Value(byte);)
            line += std::to_string(byte) + ",";
        log_.push_back(line);
    }

private:
    std::string name_;
    std::vector<std::string> &log_;
};

SmartPtr<dom::ObserverProxy> ProxyFor(const dom::Observer &observer) {
    return SmartPtr<dom::ObserverProxy>(new dom::ObserverProxy(observer));
}

TEST(HostMessaging, RecordsWaitForThePumpAsOneMessageOldestFirstUnlessImmediate) {
    dom::MessageLoop::Discard();
    std::vector<std::string> log;
    dom::Observable first, second;
    LoggingObserver a("a", log), b("b", log);
    first.RegisterObserver(ProxyFor(a));
    second.RegisterObserver(ProxyFor(b));
    second.PostObservableEvent(ByteEvent(1));
    first.PostObservableEvent(ByteEvent(2));
    second.PostObservableEvent(ByteEvent(3));
    EXPECT_TRUE(log.empty()) << "nothing is delivered before the loop runs";
    EXPECT_EQ(dom::MessageLoop::Pump(), 2u);
    EXPECT_EQ(log, (std::vector<std::string>{"b:1,3,", "a:2,"}));

    dom::MessageLoop::SetImmediate(true);
    first.PostObservableEvent(ByteEvent(7));
    EXPECT_EQ(log.back(), "a:7,") << "delivered before the post returns";
    dom::MessageLoop::SetImmediate(false);
}

TEST(HostMessaging, ARecordIsWrittenBetweenBeginAndEnd) {
    std::vector<std::string> log;
    LoggingObserver a("a", log);
    SmartPtr<dom::ObserverProxy> proxy = ProxyFor(a);
    EXPECT_THROW(proxy->PushUInt8Value(1), std::logic_error);
    EXPECT_THROW(proxy->End(), std::logic_error);
    proxy->Begin();
    proxy->PushUInt8Value(1);
    EXPECT_THROW(proxy->TakePending(), std::logic_error);
    proxy->End();
    EXPECT_EQ(proxy->TakePending()->GetSize(), 1u);
}

class LoggingStep : public qlk::OperationStep {
public:
    LoggingStep(std::string name, std::vector<std::string> &log) : name_(name), log_(log) {}
    const char *GetDebugClassName() const override { return "LoggingStep"; }
    void Undo() override { log_.push_back("undo " + name_); }
    void Redo() override { log_.push_back("redo " + name_); }

private:
    std::string name_;
    std::vector<std::string> &log_;
};

TEST(HostOperations, UndoRunsStepsLastFirstRedoFirstLastAndAMovePlacesAtOnce) {
    std::vector<std::string> log;
    SmartPtr<qlk::Operation> operation(new qlk::Operation);
    for (const char *name : {"start", "move", "end"})
        operation->AddStep(new LoggingStep(name, log));
    operation->Undo();
    operation->Redo();
    EXPECT_EQ(log, (std::vector<std::string>{"undo end", "undo move", "undo start", "redo start",
                                             "redo move", "redo end"}));

    SmartPtr<qlk::ShapeScene> scene(new qlk::ShapeScene);
    const dg::Location from(dg::FMat33(0, 0, 1, 1, 0, 0, 0, 1, 0), dg::DPoint3D(1, 2, 3));
    const dg::Location to(dg::FMat33::IDENTITY, dg::DPoint3D(4, 5, 6));
    auto shape = scene->CreateShapeInstance(new qlk::Instance("part"), dg::Location());
    scene->SmoothExplode(1000, {shape}, {dg::Location(dg::FMat33::IDENTITY, dg::DPoint3D(9, 9, 9))},
                         false);
    SmartPtr<qlk::OperationStep> step(
        new qlk::ComponentMoveOperationStep(shape, from, to, true, false));
    dg::Location now;
    step->Undo();
    EXPECT_FALSE(scene->IsAnimating()) << "undo ends a running animation";
    shape->GetLocation(now);
    EXPECT_EQ(now, from);
    step->Redo();
    shape->GetLocation(now);
    EXPECT_EQ(now, to);
}

} // namespace
