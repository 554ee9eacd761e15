// What the library takes on trust from its host's messaging: when, in which
// order and in which framing records reach observers. (The row-vector
// convention is pinned by the random model's own frame arithmetic, the release
// protocol by the selection observer's release step, undo and redo of
// operations by the demo's sample.)
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dom/Messaging.h>
#include <du/SmartPtr.h>

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
