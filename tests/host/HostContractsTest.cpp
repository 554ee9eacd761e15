// What the library takes on trust from its host and could silently get wrong
// if the stand-in drifted: the row-vector convention of products and turns,
// and when, in which order and in which framing records reach observers.
// (The release protocol is exercised through the selection observer's release
// step, undo and redo of operations by the demo's sample.) Worked by hand.
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dg/Geometry.h>
#include <dom/Messaging.h>
#include <du/SmartPtr.h>

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

} // namespace
