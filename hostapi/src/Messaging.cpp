#include <dom/Messaging.h>

#include <algorithm>
#include <deque>
#include <stdexcept>
#include <unordered_set>

namespace dom {

namespace {
// Takes a proxy out of the message loop's queue (defined with the loop below).
void Unqueue(const ObserverProxy *proxy);
} // namespace

// ---------------------------------------------------------------------------
// ManagedObject

short ManagedObject::BaseClassOffsetByName(const du::Symbol & /*name*/) const {
    return -1;
}

int ManagedObject::GetBaseClassCount() const {
    return 0;
}

int ManagedObject::GetBaseClassParent(int /*index*/) const {
    return -1;
}

du::Symbol ManagedObject::GetBaseClass(int /*index*/) {
    return du::Symbol::EMPTY;
}

du::Symbol ManagedObject::GetObjectClass() {
    static const du::Symbol name("dom::ManagedObject");
    return name;
}

void ManagedObject::HandleMessage(const du::SmartPtr<Message> & /*message*/) {}

void ManagedObject::HandleTimeoutEvent(long long /*time*/) {}

bool ManagedObject::HandleOnIdleEvent() {
    return false;
}

void ManagedObject::OnManage() {}

bool ManagedObject::ManageObject(const du::SmartPtr<ManagedObject> &object) {
    if (!object)
        return false;
    for (const auto &managed : managed_)
        if (managed == object)
            return false;
    // Objects handed over and then dropped by everyone else would pile up: collect
    // them whenever the list is about to grow, and let the list double when most
    // of it survives, so that collecting stays amortised constant per call.
    if (managed_.size() == managed_.capacity() && !managed_.empty()) {
        CollectGarbage();
        if (managed_.size() * 2 > managed_.capacity())
            managed_.reserve(managed_.capacity() * 2);
    }
    managed_.push_back(object);
    object->OnManage();
    return true;
}

std::size_t ManagedObject::CollectGarbage() {
    // Releasing may destroy objects whose destructors manage or release others,
    // so the list is settled before anything is let go.
    std::vector<du::SmartPtr<ManagedObject>> previous;
    previous.reserve(managed_.capacity());
    for (const auto &managed : managed_)
        if (managed->GetReferenceCount() > 1)
            previous.push_back(managed);
    managed_.swap(previous);
    const std::size_t released = previous.size() - managed_.size();
    previous.clear();
    return released;
}

// ---------------------------------------------------------------------------
// Observer

Observer::Observer() : link_(std::make_shared<ObserverLink>()) {
    link_->observer = this;
}

Observer::~Observer() {
    link_->observer = nullptr;
}

void Observer::EventHandler(const du::SmartPtr<Message> & /*message*/) {}

void Observer::HandleMessage(const du::SmartPtr<Message> &message) {
    EventHandler(message);
}

// ---------------------------------------------------------------------------
// Message and MessageReader

Message::~Message() {
    // A pointer that no reader took still carries the reference its record was
    // given; it is released under the holder that took it.
    for (MessageValue &value : values_) {
        if (value.kind != MessageValue::POINTER || value.taken || !value.counted)
            continue;
        value.taken = true;
        du::detail::Release(value.counted, du::RefAudit::TravellingHolder());
    }
}

MessageReader::MessageReader(const du::SmartPtr<Message> &message) : message_(message) {}

MessageReader::~MessageReader() = default;

bool MessageReader::GetUInt8Value(unsigned char &value) {
    if (!message_ || next_ >= message_->GetSize())
        return false;
    const MessageValue &next = message_->Values()[next_];
    if (next.kind != MessageValue::UINT8)
        return false;
    value = next.byte;
    ++next_;
    return true;
}

bool MessageReader::GetRawPtr(void *&value) {
    if (!message_ || next_ >= message_->GetSize())
        return false;
    MessageValue &next = message_->Values()[next_];
    if (next.kind != MessageValue::POINTER)
        return false;
    value = next.pointer;
    next.taken = true;
    ++next_;
    return true;
}

// ---------------------------------------------------------------------------
// ObserverProxy

ObserverProxy::ObserverProxy(const Observer &observer) : link_(observer.GetLink()) {}

ObserverProxy::~ObserverProxy() = default;

void ObserverProxy::Begin() {
    ++depth_;
    if (!pending_)
        pending_ = new Message;
}

// A record is written between Begin and End; the real host's proxy frames it
// there, so a value outside a bracket, an unmatched End or a record still open
// when its message is taken is a fault of the writer.
void ObserverProxy::RequireOpenRecord() const {
    if (depth_ == 0)
        throw std::logic_error("a record value written outside Begin and End");
}

void ObserverProxy::PushUInt8Value(unsigned char value) {
    RequireOpenRecord();
    if (!pending_)
        pending_ = new Message;
    MessageValue record;
    record.kind = MessageValue::UINT8;
    record.byte = value;
    pending_->Append(record);
}

void ObserverProxy::PushSmartPtr(void *object, du::RefCounted *counted) {
    RequireOpenRecord();
    MessageValue record;
    record.kind = MessageValue::POINTER;
    record.pointer = object;
    record.counted = counted;
    if (!active_) {
        // Nothing will ever read it: the record's reference goes at once.
        if (counted)
            du::detail::Release(counted, du::RefAudit::TravellingHolder());
        return;
    }
    if (!pending_)
        pending_ = new Message;
    pending_->Append(record);
}

void ObserverProxy::End() {
    if (depth_ == 0)
        throw std::logic_error("End without Begin");
    --depth_;
}

void ObserverProxy::Deactivate() {
    active_ = false;
    pending_ = nullptr;
    // Nothing is left to deliver: the loop lets go of the proxy at once rather
    // than at its next pump, so a dead observable leaves nothing behind.
    Unqueue(this);
}

du::SmartPtr<Message> ObserverProxy::TakePending() {
    if (depth_ != 0)
        throw std::logic_error("a record left open by its writer");
    du::SmartPtr<Message> taken = pending_;
    pending_ = nullptr;
    return taken;
}

// ---------------------------------------------------------------------------
// Observable

Observable::~Observable() {
    for (auto &proxy : proxies_)
        proxy->Deactivate();
}

bool Observable::RegisterObserver(const du::SmartPtr<ObserverProxy> &proxy) {
    if (!proxy || !proxy->IsActive())
        return false;
    // Registrations of observers that have died since are dropped here.
    proxies_.erase(std::remove_if(proxies_.begin(), proxies_.end(),
                                  [](const du::SmartPtr<ObserverProxy> &registered) {
                                      return !registered->IsActive();
                                  }),
                   proxies_.end());
    const Observer *observer = proxy->GetObserver();
    for (const auto &registered : proxies_)
        if (registered->Wraps(observer))
            return false;
    proxies_.push_back(proxy);
    return true;
}

bool Observable::DeregisterObserver(const du::SmartPtr<ObserverProxy> &proxy) {
    if (!proxy)
        return false;
    const Observer *observer = proxy->GetObserver();
    if (!observer)
        return false;
    for (auto it = proxies_.begin(); it != proxies_.end(); ++it) {
        if ((*it)->Wraps(observer) && (*it)->IsActive()) {
            du::SmartPtr<ObserverProxy> registered = *it;
            proxies_.erase(it);
            registered->Deactivate();
            return true;
        }
    }
    return false;
}

void Observable::PostObservableEvent(const ObservableEvent &event) {
    // Delivery may run observers that register, deregister or destroy observers,
    // or destroy this observable: work from a counted copy of the list.
    std::vector<du::SmartPtr<ObserverProxy>> proxies = proxies_;
    for (const auto &proxy : proxies)
        if (proxy->IsActive())
            event.PushToProxy(proxy);
    const bool immediate = MessageLoop::IsImmediate();
    for (const auto &proxy : proxies) {
        if (!proxy->HasPending())
            continue;
        if (immediate)
            MessageLoop::DeliverNow(proxy);
        else
            MessageLoop::Queue(proxy);
    }
}

std::size_t Observable::GetObserverCount() const {
    return static_cast<std::size_t>(
        std::count_if(proxies_.begin(), proxies_.end(),
                      [](const du::SmartPtr<ObserverProxy> &proxy) { return proxy->IsActive(); }));
}

// ---------------------------------------------------------------------------
// MessageLoop

namespace {

// The loop's state lives as long as the process: observables and proxies may be
// destroyed during static destruction and still find it.
struct LoopState {
    std::deque<du::SmartPtr<ObserverProxy>> queue;
    std::unordered_set<const ObserverProxy *> queued;
    bool immediate = false;
};

LoopState &Loop() {
    static LoopState *state = new LoopState;
    return *state;
}

void Unqueue(const ObserverProxy *proxy) {
    LoopState &loop = Loop();
    if (!loop.queued.erase(proxy))
        return;
    auto found = std::find_if(
        loop.queue.begin(), loop.queue.end(),
        [proxy](const du::SmartPtr<ObserverProxy> &queued) { return queued.get() == proxy; });
    if (found != loop.queue.end())
        loop.queue.erase(found);
}

} // namespace

void MessageLoop::Queue(const du::SmartPtr<ObserverProxy> &proxy) {
    LoopState &loop = Loop();
    if (!proxy || !loop.queued.insert(proxy.get()).second)
        return; // already queued: its new records joined the pending message
    loop.queue.push_back(proxy);
}

void MessageLoop::DeliverNow(const du::SmartPtr<ObserverProxy> &proxy) {
    if (!proxy)
        return;
    du::SmartPtr<ObserverProxy> held = proxy;
    du::SmartPtr<Message> message = held->TakePending();
    Observer *observer = held->GetObserver();
    if (!message || !held->IsActive() || !observer)
        return;
    static_cast<ManagedObject *>(observer)->HandleMessage(message);
}

std::size_t MessageLoop::Pump() {
    LoopState &loop = Loop();
    std::size_t delivered = 0;
    while (!loop.queue.empty()) {
        du::SmartPtr<ObserverProxy> proxy = loop.queue.front();
        loop.queue.pop_front();
        loop.queued.erase(proxy.get());
        du::SmartPtr<Message> message = proxy->TakePending();
        Observer *observer = proxy->GetObserver();
        if (!message || !proxy->IsActive() || !observer)
            continue;
        ++delivered;
        static_cast<ManagedObject *>(observer)->HandleMessage(message);
    }
    return delivered;
}

std::size_t MessageLoop::Pending() {
    LoopState &loop = Loop();
    return static_cast<std::size_t>(std::count_if(
        loop.queue.begin(), loop.queue.end(), [](const du::SmartPtr<ObserverProxy> &proxy) {
            return proxy->IsActive() && proxy->HasPending();
        }));
}

void MessageLoop::SetImmediate(bool immediate) {
    Loop().immediate = immediate;
}

bool MessageLoop::IsImmediate() {
    return Loop().immediate;
}

void MessageLoop::Discard() {
    LoopState &loop = Loop();
    std::deque<du::SmartPtr<ObserverProxy>> dropped;
    dropped.swap(loop.queue);
    loop.queued.clear();
    for (const auto &proxy : dropped)
        proxy->TakePending();
}

} // namespace dom
