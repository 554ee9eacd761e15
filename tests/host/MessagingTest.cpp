// dom: records collected per observer, delivered by the message loop, with
// disrupting observers that deregister, post, register or die mid-delivery.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dom/Messaging.h>
#include <du/RefCounted.h>
#include <du/SmartPtr.h>
#include <qlk/Kernel.h>

namespace {

using du::SmartPtr;

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

// Sends an object with a reference of the record's own.
class ObjectEvent : public dom::ObservableEvent {
public:
    explicit ObjectEvent(du::RefCounted *object) : object_(object) {}
    void PushToProxy(const SmartPtr<dom::ObserverProxy> &proxy) const override {
        proxy->Begin();
        if (object_)
            object_->AddReference(du::RefAudit::TravellingHolder());
        proxy->PushSmartPtr(object_, object_);
        proxy->End();
    }

private:
    du::RefCounted *object_;
};

class Payload : public du::RefCounted {
public:
    Payload() { ++live; }
    ~Payload() override { --live; }
    static int live;
};
int Payload::live = 0;

// Logs each message as "name:b1,b2,..." (pointers as "p"); runs `during` first.
class LoggingObserver : public dom::Observer {
public:
    LoggingObserver(std::string name, std::vector<std::string> &log)
        : name_(std::move(name)), log_(log) {}
    std::function<void()> during;
    bool takePointers = false;

protected:
    void EventHandler(const SmartPtr<dom::Message> &message) override {
        std::string line = name_ + ":";
        dom::MessageReader reader(message);
        for (;;) {
            unsigned char byte = 0;
            void *pointer = nullptr;
            if (reader.GetUInt8Value(byte)) {
                line += std::to_string(byte) + ",";
            } else if (takePointers && reader.GetRawPtr(pointer)) {
                line += "p,";
                if (pointer)
                    static_cast<du::RefCounted *>(pointer)->RemoveReference(&reader);
            } else {
                break;
            }
        }
        log_.push_back(line);
        // A copy: the disruption may destroy this observer, and its members with it.
        if (std::function<void()> disruption = during)
            disruption();
    }

private:
    std::string name_;
    std::vector<std::string> &log_;
};

SmartPtr<dom::ObserverProxy> ProxyFor(const dom::Observer &observer) {
    return SmartPtr<dom::ObserverProxy>(new dom::ObserverProxy(observer));
}

class Messaging : public ::testing::Test {
protected:
    void SetUp() override {
        du::RefAudit::Enable(true);
        dom::MessageLoop::Discard();
        dom::MessageLoop::SetImmediate(false);
        blocksAtStart_ = du::CommonAllocatorImpl::BlocksInUse();
    }
    void TearDown() override {
        dom::MessageLoop::Discard();
        dom::MessageLoop::SetImmediate(false);
        EXPECT_EQ(du::CommonAllocatorImpl::BlocksInUse(), blocksAtStart_) << "a proxy leaked";
    }

    std::vector<std::string> log;
    std::size_t blocksAtStart_ = 0;
};

TEST_F(Messaging, PostsBetweenPumpsArriveAsOneMessageInOrder) {
    dom::Observable observable;
    LoggingObserver observer("a", log);
    ASSERT_TRUE(observable.RegisterObserver(ProxyFor(observer)));
    observable.PostObservableEvent(ByteEvent(1));
    observable.PostObservableEvent(ByteEvent(2));
    observable.PostObservableEvent(ByteEvent(3));
    EXPECT_TRUE(log.empty()) << "nothing is delivered before the loop runs";
    EXPECT_EQ(dom::MessageLoop::Pending(), 1u);
    EXPECT_EQ(dom::MessageLoop::Pump(), 1u);
    EXPECT_EQ(log, (std::vector<std::string>{"a:1,2,3,"}));
    EXPECT_EQ(dom::MessageLoop::Pump(), 0u);
}

TEST_F(Messaging, MessagesAreDeliveredOldestFirst) {
    dom::Observable first;
    dom::Observable second;
    LoggingObserver a("a", log);
    LoggingObserver b("b", log);
    LoggingObserver c("c", log);
    first.RegisterObserver(ProxyFor(b));
    first.RegisterObserver(ProxyFor(a));
    second.RegisterObserver(ProxyFor(c));
    second.PostObservableEvent(ByteEvent(1));
    first.PostObservableEvent(ByteEvent(2));
    second.PostObservableEvent(ByteEvent(3));
    dom::MessageLoop::Pump();
    EXPECT_EQ(log, (std::vector<std::string>{"c:1,3,", "b:2,", "a:2,"}));
}

TEST_F(Messaging, ImmediateModeDeliversBeforePostReturns) {
    dom::MessageLoop::SetImmediate(true);
    dom::Observable observable;
    LoggingObserver observer("a", log);
    observable.RegisterObserver(ProxyFor(observer));
    observable.PostObservableEvent(ByteEvent(7));
    EXPECT_EQ(log, (std::vector<std::string>{"a:7,"}));
    observable.PostObservableEvent(ByteEvent(8));
    EXPECT_EQ(log.size(), 2u) << "each post is its own message";
    EXPECT_EQ(dom::MessageLoop::Pending(), 0u);
}

TEST_F(Messaging, RegistrationIsByObserverNotByProxy) {
    dom::Observable observable;
    LoggingObserver observer("a", log);
    EXPECT_TRUE(observable.RegisterObserver(ProxyFor(observer)));
    EXPECT_FALSE(observable.RegisterObserver(ProxyFor(observer)));
    EXPECT_EQ(observable.GetObserverCount(), 1u);

    observable.PostObservableEvent(ByteEvent(1));
    EXPECT_TRUE(observable.DeregisterObserver(ProxyFor(observer)));
    EXPECT_FALSE(observable.DeregisterObserver(ProxyFor(observer)));
    observable.PostObservableEvent(ByteEvent(2));
    dom::MessageLoop::Pump();
    EXPECT_TRUE(log.empty()) << "deregistering drops what was still pending";

    EXPECT_TRUE(observable.RegisterObserver(ProxyFor(observer)));
    observable.PostObservableEvent(ByteEvent(3));
    dom::MessageLoop::Pump();
    EXPECT_EQ(log, (std::vector<std::string>{"a:3,"}));
}

TEST_F(Messaging, ADestroyedObserverIsNeverReached) {
    dom::Observable observable;
    auto *doomed = new LoggingObserver("doomed", log);
    LoggingObserver survivor("survivor", log);
    observable.RegisterObserver(ProxyFor(*doomed));
    observable.RegisterObserver(ProxyFor(survivor));
    observable.PostObservableEvent(ByteEvent(1));
    delete doomed;
    EXPECT_EQ(observable.GetObserverCount(), 1u);
    dom::MessageLoop::Pump();
    observable.PostObservableEvent(ByteEvent(2));
    dom::MessageLoop::Pump();
    EXPECT_EQ(log, (std::vector<std::string>{"survivor:1,", "survivor:2,"}));
}

TEST_F(Messaging, ADestroyedObservableDeliversNothingMore) {
    LoggingObserver observer("a", log);
    const std::size_t blocks = du::CommonAllocatorImpl::BlocksInUse();
    {
        dom::Observable observable;
        observable.RegisterObserver(ProxyFor(observer));
        observable.PostObservableEvent(ByteEvent(1));
    }
    EXPECT_EQ(du::CommonAllocatorImpl::BlocksInUse(), blocks) << "the loop let go of the proxy";
    EXPECT_EQ(dom::MessageLoop::Pending(), 0u);
    EXPECT_EQ(dom::MessageLoop::Pump(), 0u);
    EXPECT_TRUE(log.empty());
}

TEST_F(Messaging, UnreadPointerRecordsGiveTheirReferenceBack) {
    dom::Observable observable;
    LoggingObserver ignoring("ignoring", log);
    observable.RegisterObserver(ProxyFor(ignoring));
    SmartPtr<Payload> kept(new Payload);
    observable.PostObservableEvent(ObjectEvent(kept.get()));
    EXPECT_EQ(kept->GetReferenceCount(), 2);
    dom::MessageLoop::Pump(); // the handler never reads the pointer
    EXPECT_EQ(kept->GetReferenceCount(), 1);
    EXPECT_EQ(du::RefAudit::Holders(kept.get()), std::vector<void *>{&kept});

    // A payload that only the record holds dies with the dropped message.
    const int live = Payload::live;
    observable.PostObservableEvent(ObjectEvent(new Payload));
    EXPECT_EQ(Payload::live, live + 1);
    observable.DeregisterObserver(ProxyFor(ignoring));
    EXPECT_EQ(Payload::live, live);
}

TEST_F(Messaging, AReaderThatTakesThePointerOwnsTheReference) {
    dom::Observable observable;
    LoggingObserver reader("reader", log);
    reader.takePointers = true;
    observable.RegisterObserver(ProxyFor(reader));
    SmartPtr<Payload> kept(new Payload);
    observable.PostObservableEvent(ObjectEvent(kept.get()));
    observable.PostObservableEvent(ObjectEvent(nullptr));
    dom::MessageLoop::Pump();
    EXPECT_EQ(log, (std::vector<std::string>{"reader:p,p,"}));
    EXPECT_EQ(kept->GetReferenceCount(), 1) << "taken once, not dropped again by the message";
    EXPECT_EQ(du::RefAudit::Holders(kept.get()), std::vector<void *>{&kept});
}

TEST_F(Messaging, AReaderDoesNotConsumeAValueOfTheOtherKind) {
    SmartPtr<dom::Message> message(new dom::Message);
    dom::MessageValue byte;
    byte.byte = 9;
    dom::MessageValue pointer;
    pointer.kind = dom::MessageValue::POINTER;
    message->Append(pointer);
    message->Append(byte);
    dom::MessageReader reader(message);
    unsigned char value = 0;
    void *raw = &value;
    EXPECT_FALSE(reader.GetUInt8Value(value));
    EXPECT_TRUE(reader.GetRawPtr(raw));
    EXPECT_EQ(raw, nullptr);
    EXPECT_FALSE(reader.GetRawPtr(raw));
    EXPECT_TRUE(reader.GetUInt8Value(value));
    EXPECT_EQ(value, 9);
    EXPECT_FALSE(reader.GetUInt8Value(value));
}

TEST_F(Messaging, ObserversMayRewireTheListWhileTheLoopDelivers) {
    dom::Observable observable;
    LoggingObserver disrupter("disrupter", log);
    LoggingObserver victim("victim", log);
    LoggingObserver latecomer("latecomer", log);
    auto *suicidal = new LoggingObserver("suicidal", log);
    observable.RegisterObserver(ProxyFor(disrupter));
    observable.RegisterObserver(ProxyFor(*suicidal));
    observable.RegisterObserver(ProxyFor(victim));
    bool once = true;
    disrupter.during = [&] {
        if (!once)
            return;
        once = false;
        observable.DeregisterObserver(ProxyFor(victim));
        observable.RegisterObserver(ProxyFor(latecomer));
        observable.PostObservableEvent(ByteEvent(2)); // delivered in this same pump
    };
    suicidal->during = [suicidal] { delete suicidal; };
    observable.PostObservableEvent(ByteEvent(1));
    dom::MessageLoop::Pump();
    // The second record joined the suicidal observer's message, still queued.
    EXPECT_EQ(log, (std::vector<std::string>{"disrupter:1,", "suicidal:1,2,", "disrupter:2,",
                                             "latecomer:2,"}));
    EXPECT_EQ(observable.GetObserverCount(), 2u);
}

TEST_F(Messaging, AThrowingHandlerLeavesTheRestQueued) {
    dom::Observable observable;
    LoggingObserver thrower("thrower", log);
    LoggingObserver patient("patient", log);
    thrower.during = [] { throw std::runtime_error("bad record"); };
    observable.RegisterObserver(ProxyFor(thrower));
    observable.RegisterObserver(ProxyFor(patient));
    observable.PostObservableEvent(ByteEvent(1));
    EXPECT_THROW(dom::MessageLoop::Pump(), std::runtime_error);
    EXPECT_EQ(log, (std::vector<std::string>{"thrower:1,"}));
    EXPECT_EQ(dom::MessageLoop::Pump(), 1u) << "the thrower's message is not delivered again";
    EXPECT_EQ(log, (std::vector<std::string>{"thrower:1,", "patient:1,"}));
}

TEST(ManagedObjects, GarbageIsWhatOnlyTheManagerHolds) {
    du::RefAudit::Enable(true);
    SmartPtr<dom::ManagedObject> manager(new dom::ManagedObject);
    SmartPtr<dom::ManagedObject> used(new dom::ManagedObject);
    manager->ManageObject(used);
    manager->ManageObject(new dom::ManagedObject);
    EXPECT_FALSE(manager->ManageObject(used)) << "managed once";
    EXPECT_FALSE(manager->ManageObject(nullptr));
    EXPECT_EQ(used->GetReferenceCount(), 2);
    EXPECT_EQ(manager->CollectGarbage(), 1u);
    EXPECT_EQ(manager->GetManagedCount(), 1u);
    used.reset();
    EXPECT_EQ(manager->CollectGarbage(), 1u);
    EXPECT_EQ(manager->GetManagedCount(), 0u);
}

TEST(ManagedObjects, TheKernelDoesNotPileUpDroppedObjects) {
    SmartPtr<qlk::Kernel> kernel = qlk::Kernel::GetKernel();
    EXPECT_EQ(kernel, qlk::Kernel::GetKernel());
    SmartPtr<dom::ManagedObject> survivor(new dom::ManagedObject);
    kernel->ManageObject(survivor);
    for (int i = 0; i < 10000; ++i)
        kernel->ManageObject(new dom::ManagedObject);
    EXPECT_LT(kernel->GetManagedCount(), 4096u);
    kernel->CollectGarbage();
    EXPECT_EQ(survivor->GetReferenceCount(), 2) << "still managed";
}

} // namespace
