// dom: the host's observer and messaging framework.
//
// An Observable keeps one ObserverProxy per registered Observer. Posting an
// ObservableEvent lets the event write its record into every proxy; the
// records collect into a Message per observer, which the host's MessageLoop
// hands to the observer's EventHandler when it is pumped, the way a UI toolkit
// delivers its messages. Records written between two pumps arrive together in
// one message. Immediate delivery (right after each post) can be switched on.
//
// Typical use:
//   struct Printer : dom::Observer {
//       void EventHandler(const du::SmartPtr<dom::Message>& m) override { ... }
//   };
//   observable.RegisterObserver(du::SmartPtr<dom::ObserverProxy>(new dom::ObserverProxy(printer)));
//   observable.PostObservableEvent(event);
//   dom::MessageLoop::Pump();  // Printer::EventHandler runs here
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include <du/Allocator.h>
#include <du/RefCounted.h>
#include <du/SmartPtr.h>
#include <du/Symbol.h>

namespace dom {

class Message;
class Observer;

// Base of objects the host's object management knows about.
class ManagedObject : public virtual du::RefCounted {
public:
    ManagedObject() = default;
    ~ManagedObject() override = default;

    virtual short BaseClassOffsetByName(const du::Symbol &name) const;
    virtual int GetBaseClassCount() const;
    virtual int GetBaseClassParent(int index) const;
    virtual du::Symbol GetBaseClass(int index);
    virtual du::Symbol GetObjectClass();

private:
    friend class MessageLoop;
    virtual void HandleMessage(const du::SmartPtr<Message> &message);

public:
    virtual void HandleTimeoutEvent(long long time);
    virtual bool HandleOnIdleEvent();

private:
    virtual void OnManage();

public:
    // Takes `object` under this object's management: it holds a reference to
    // it until the object is the last holder's (see CollectGarbage). Answers
    // false for null or an object already managed. Garbage is collected now and
    // then on the way (amortised), so objects dropped by everyone else do not
    // pile up.
    bool ManageObject(const du::SmartPtr<ManagedObject> &object);
    // Releases every managed object that nobody but this manager references.
    // Answers how many were released.
    std::size_t CollectGarbage();
    std::size_t GetManagedCount() const { return managed_.size(); }

private:
    std::vector<du::SmartPtr<ManagedObject>> managed_;
};

// The link an Observer leaves for its proxies; cleared when the observer dies,
// so that a destroyed observer is never reached.
struct ObserverLink {
    Observer *observer = nullptr;
};

class Observer : public ManagedObject {
public:
    Observer();
    ~Observer() override;
    Observer(const Observer &) = delete;
    Observer &operator=(const Observer &) = delete;

    const std::shared_ptr<ObserverLink> &GetLink() const { return link_; }

protected:
    // Called with each message for this observer. The default does nothing.
    virtual void EventHandler(const du::SmartPtr<Message> &message);

private:
    void HandleMessage(const du::SmartPtr<Message> &message) override;
    std::shared_ptr<ObserverLink> link_;
};

// One record value: an unsigned byte or a pointer that may travel with a reference.
struct MessageValue {
    enum Kind { UINT8, POINTER } kind = UINT8;
    unsigned char byte = 0;
    void *pointer = nullptr;
    du::RefCounted *counted = nullptr;
    bool taken = false; // a reader has taken the pointer (and the duty to drop its reference)
};

// The records written for one observer, in order. A pointer value pushed with
// PushSmartPtr carries one reference, registered under the travelling holder;
// a message destroyed before that pointer was read drops the reference itself.
class Message : public du::RefCounted {
public:
    Message() = default;
    ~Message() override;

    void Append(const MessageValue &value) { values_.push_back(value); }
    std::size_t GetSize() const { return values_.size(); }
    bool IsEmpty() const { return values_.empty(); }
    std::vector<MessageValue> &Values() { return values_; }
    const std::vector<MessageValue> &Values() const { return values_; }

private:
    std::vector<MessageValue> values_;
};

// Reads the values of a message back in the order they were written.
class MessageReader {
public:
    explicit MessageReader(const du::SmartPtr<Message> &message);
    ~MessageReader();

    // Both answer false at the end of the message or when the next value is of
    // the other kind (the value is then not consumed).
    bool GetUInt8Value(unsigned char &value);
    bool GetRawPtr(void *&value);

private:
    du::SmartPtr<Message> message_;
    std::size_t next_ = 0;
};

// Stands for one observer inside an Observable and collects its records.
class ObserverProxy : public du::RefCounted, public du::CommonAllocated {
public:
    explicit ObserverProxy(const Observer &observer);
    ~ObserverProxy() override;

    void Begin();
    void PushUInt8Value(unsigned char value);
    // `object` travels as the record's pointer; `counted` (may be null) is its
    // counted base, whose reference the caller has already added for the record.
    void PushSmartPtr(void *object, du::RefCounted *counted);
    void End();

    // Host side.
    Observer *GetObserver() const { return link_ ? link_->observer : nullptr; }
    bool Wraps(const Observer *observer) const { return GetObserver() == observer; }
    bool IsActive() const { return active_ && GetObserver() != nullptr; }
    void Deactivate(); // deregistered: drops what is still pending and leaves the loop
    // The records written since the last delivery; null when none.
    du::SmartPtr<Message> TakePending();
    bool HasPending() const { return static_cast<bool>(pending_); }

private:
    void RequireOpenRecord() const;

    std::shared_ptr<ObserverLink> link_;
    du::SmartPtr<Message> pending_;
    bool active_ = true;
    int depth_ = 0;
};

class ObservableEvent {
public:
    ObservableEvent() = default;
    virtual ~ObservableEvent() = default;
    // Writes the event's record into the proxy of one observer.
    virtual void PushToProxy(const du::SmartPtr<ObserverProxy> &proxy) const = 0;
};

// A list of observers. Deliberately without virtual operations: it is a plain
// base of the objects that post events.
class Observable {
public:
    Observable() = default;
    ~Observable();
    Observable(const Observable &) = delete;
    Observable &operator=(const Observable &) = delete;

    // Answers false when the proxy's observer is already registered (or gone).
    bool RegisterObserver(const du::SmartPtr<ObserverProxy> &proxy);
    // Finds the registration by the observer the proxy wraps, not by the proxy.
    bool DeregisterObserver(const du::SmartPtr<ObserverProxy> &proxy);
    // Lets the event write a record for every registered observer and queues the
    // messages for delivery (delivered at once when the loop is immediate).
    void PostObservableEvent(const ObservableEvent &event);

    std::size_t GetObserverCount() const;

private:
    std::vector<du::SmartPtr<ObserverProxy>> proxies_;
};

// The host's message loop (one per process, one thread).
class MessageLoop {
public:
    // Delivers every queued message, oldest first, including those posted while
    // pumping. An exception thrown by an EventHandler leaves Pump; the message that
    // threw is dropped, the rest stay queued. Answers the number delivered.
    static std::size_t Pump();
    static std::size_t Pending();
    static void SetImmediate(bool immediate);
    static bool IsImmediate();
    // Drops everything queued without delivering it.
    static void Discard();

    // Used by Observable.
    static void Queue(const du::SmartPtr<ObserverProxy> &proxy);
    static void DeliverNow(const du::SmartPtr<ObserverProxy> &proxy);
};

} // namespace dom
