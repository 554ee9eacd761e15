// AlignmentObserver: the records the three events write, their decoding with
// its four failures, the reference a coordinate system carries in a record,
// and registration with an Alignment.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestScene.h"

namespace {

using namespace qltest;
using qlalignparts::Alignment;
using qlalignparts::AlignmentObserver;
using Events = std::vector<std::string>;

dom::MessageValue Byte(unsigned char value) {
    dom::MessageValue record;
    record.kind = dom::MessageValue::UINT8;
    record.byte = value;
    return record;
}

// A pointer value as an event writes it: with a reference of its own.
dom::MessageValue Pointer(moduleutils::DerivedCSys *csys) {
    dom::MessageValue record;
    record.kind = dom::MessageValue::POINTER;
    record.pointer = csys;
    record.counted = csys;
    if (csys)
        csys->AddReference(du::RefAudit::TravellingHolder());
    return record;
}

SmartPtr<dom::Message> MessageOf(const std::vector<dom::MessageValue> &values) {
    SmartPtr<dom::Message> message(new dom::Message);
    for (const auto &value : values)
        message->Append(value);
    return message;
}

// The records an event writes for one observer.
SmartPtr<dom::Message> Written(const dom::ObservableEvent &event,
                               const AlignmentObserver &observer) {
    SmartPtr<dom::ObserverProxy> proxy(new dom::ObserverProxy(observer));
    event.PushToProxy(proxy);
    return proxy->TakePending();
}

// An observer that keeps the defaults of every notification.
class PlainObserver : public AlignmentObserver {
public:
    using AlignmentObserver::EventHandler;
};

class ThrowingObserver : public RecordingObserver {
public:
    void OnCSysChanged(int, int, const SmartPtr<moduleutils::DerivedCSys> &) override {
        throw std::logic_error("observer failure");
    }
};

class AlignmentNotifications : public ::testing::Test {
protected:
    void SetUp() override { dom::MessageLoop::Discard(); }
    void TearDown() override {
        dom::MessageLoop::Discard();
        qlk::Kernel::GetKernel()->CollectGarbage();
    }

    RecordingObserver observer;
    SmartPtr<moduleutils::DerivedCSys> csys{
        new moduleutils::DerivedCSys(Placement(1, 2, 3, 0, 0, 30), true)};
};

TEST_F(AlignmentNotifications, EachEventWritesItsRecord) {
    const AlignmentObserver::AlignmentPartsChangedEvent parts;
    const AlignmentObserver::AlignmentOffsetsChangedEvent offsets;
    // Only the low byte of id and type fits the record.
    const AlignmentObserver::AlignmentCSysChangedEvent wide(0x1ff, 0x302, nullptr);
    const AlignmentObserver::AlignmentCSysChangedEvent negative(-1, 1, nullptr);
    const struct {
        const dom::ObservableEvent *event;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {&parts, {1}}, {&offsets, {2}}, {&wide, {3, 0xff, 0x02}}, {&negative, {3, 0xff, 1}}};
    for (const auto &c : cases) {
        auto message = Written(*c.event, observer);
        ASSERT_TRUE(message);
        std::vector<unsigned char> bytes;
        for (const auto &value : message->Values())
            if (value.kind == dom::MessageValue::UINT8)
                bytes.push_back(value.byte);
        EXPECT_EQ(bytes, c.bytes);
    }
}

TEST_F(AlignmentNotifications, ACoordinateSystemTravelsWithAReferenceTheReceiverDrops) {
    SmartPtr<dom::Message> message;
    {
        AlignmentObserver::AlignmentCSysChangedEvent event(1, 3, csys);
        message = Written(event, observer);
    }
    // The event is gone; the record still holds the coordinate system.
    EXPECT_EQ(csys->GetReferenceCount(), 2);
    const auto holders = du::RefAudit::Holders(csys.get());
    EXPECT_EQ(std::count(holders.begin(), holders.end(), du::RefAudit::TravellingHolder()), 1);
    ASSERT_EQ(message->Values().back().kind, dom::MessageValue::POINTER);
    EXPECT_EQ(message->Values().back().pointer, csys.get());

    observer.Deliver(message);

    EXPECT_EQ(observer.events, Events({"csys 1 3 set"}));
    EXPECT_EQ(observer.lastCSys, csys.get());
    message = nullptr;
    EXPECT_EQ(csys->GetReferenceCount(), 1);
}

TEST_F(AlignmentNotifications, EveryRecordOfAMessageIsHandledInOrder) {
    auto message = MessageOf({Byte(1), Byte(3), Byte(1), Byte(3), Pointer(csys.get()), Byte(2),
                              Byte(3), Byte(0), Byte(1), Pointer(nullptr)});
    observer.Deliver(message);
    EXPECT_EQ(observer.events, Events({"parts", "csys 1 3 set", "offsets", "csys 0 1 null"}));
    EXPECT_EQ(csys->GetReferenceCount(), 1);

    observer.events.clear();
    observer.Deliver(MessageOf({}));
    EXPECT_TRUE(observer.events.empty());
}

TEST_F(AlignmentNotifications, DefaultNotificationsAcceptEveryWellFormedRecord) {
    PlainObserver plain;
    EXPECT_NO_THROW(plain.EventHandler(
        MessageOf({Byte(1), Byte(2), Byte(3), Byte(1), Byte(2), Pointer(csys.get())})));
    EXPECT_EQ(csys->GetReferenceCount(), 1);
}

struct MalformedCase {
    const char *name;
    std::vector<unsigned char> bytes;
    Events handledFirst;
    const char *error;
};

class MalformedMessage : public AlignmentNotifications,
                         public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedMessage, ThrowsItsMessageAfterHandlingTheRecordsBefore) {
    std::vector<dom::MessageValue> values;
    for (unsigned char byte : GetParam().bytes)
        values.push_back(Byte(byte));
    try {
        observer.Deliver(MessageOf(values));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error &error) {
        EXPECT_STREQ(error.what(), GetParam().error);
    }
    EXPECT_EQ(observer.events, GetParam().handledFirst);
}

INSTANTIATE_TEST_SUITE_P(
    Records, MalformedMessage,
    ::testing::Values(
        MalformedCase{"TagZero", {1, 0, 1}, {"parts"}, "Unrecognised AlignmentObserver tag <0>."},
        MalformedCase{"TagFour", {4, 1}, {}, "Unrecognised AlignmentObserver tag <4>."},
        MalformedCase{
            "TagTwoFiftyFive", {2, 255}, {"offsets"}, "Unrecognised AlignmentObserver tag <255>."},
        MalformedCase{"CutAfterTag",
                      {1, 3},
                      {"parts"},
                      "Could not retrieve 'id' from ALIGNMENT_CSYS_CHANGED_EVENT."},
        MalformedCase{"CutAfterId",
                      {3, 0},
                      {},
                      "Could not retrieve 'type' from ALIGNMENT_CSYS_CHANGED_EVENT."},
        MalformedCase{"CutAfterType",
                      {3, 0, 1},
                      {},
                      "Could not retrieve 'csys' from ALIGNMENT_CSYS_CHANGED_EVENT."},
        MalformedCase{"ByteWhereThePointerBelongs",
                      {3, 0, 1, 1},
                      {},
                      "Could not retrieve 'csys' from ALIGNMENT_CSYS_CHANGED_EVENT."}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(AlignmentNotifications, TravellingReferencesAreDroppedWhenHandlingFails) {
    // A record never reached, and one whose notification throws.
    EXPECT_THROW(
        observer.Deliver(MessageOf({Byte(9), Byte(3), Byte(0), Byte(3), Pointer(csys.get())})),
        std::runtime_error);
    EXPECT_EQ(csys->GetReferenceCount(), 1);
    ThrowingObserver throwing;
    EXPECT_THROW(throwing.Deliver(MessageOf({Byte(3), Byte(0), Byte(3), Pointer(csys.get())})),
                 std::logic_error);
    EXPECT_EQ(csys->GetReferenceCount(), 1);
}

TEST_F(AlignmentNotifications, RegistrationAnswersWhatTheObservableAnswers) {
    TestScene host;
    SmartPtr<Alignment> alignment(new Alignment(host.view, 3));
    RecordingObserver second;

    EXPECT_TRUE(alignment->RegisterObserver(observer));
    EXPECT_FALSE(alignment->RegisterObserver(observer));
    EXPECT_TRUE(alignment->RegisterObserver(second));
    alignment->AddSelected();
    alignment->Remove({});
    // Records written between two deliveries travel in one message.
    EXPECT_EQ(dom::MessageLoop::Pump(), 2u);
    EXPECT_EQ(observer.Take(), Events({"parts", "parts"}));
    EXPECT_EQ(second.Take(), Events({"parts", "parts"}));

    EXPECT_TRUE(alignment->UnregisterObserver(observer));
    EXPECT_FALSE(alignment->UnregisterObserver(observer));
    alignment->AddSelected();
    EXPECT_TRUE(observer.Take().empty());
    EXPECT_EQ(second.Take(), Events({"parts"}));
}

} // namespace
