// AlignmentObserver: the three events an Alignment posts, the records they
// write, and the decoding of those records back into notifications.
#include "Internals.h"

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

namespace qlalignparts {

const unsigned char AlignmentObserver::ALIGNMENT_PARTS_CHANGED_EVENT = 1;
const unsigned char AlignmentObserver::ALIGNMENT_OFFSETS_CHANGED_EVENT = 2;
const unsigned char AlignmentObserver::ALIGNMENT_CSYS_CHANGED_EVENT = 3;

namespace {

// The holder of the reference that a coordinate system carries inside a record:
// the record is not a pointer variable, so the messaging layer's fixed value stands in.
void *const kRecordHolder = reinterpret_cast<void *>(std::uintptr_t{2});

} // namespace

AlignmentObserver::AlignmentPartsChangedEvent::AlignmentPartsChangedEvent() = default;
AlignmentObserver::AlignmentPartsChangedEvent::~AlignmentPartsChangedEvent() = default;

void AlignmentObserver::AlignmentPartsChangedEvent::PushToProxy(
    const du::SmartPtr<dom::ObserverProxy> &proxy) const {
    proxy->Begin();
    proxy->PushUInt8Value(ALIGNMENT_PARTS_CHANGED_EVENT);
    proxy->End();
}

AlignmentObserver::AlignmentOffsetsChangedEvent::AlignmentOffsetsChangedEvent() = default;
AlignmentObserver::AlignmentOffsetsChangedEvent::~AlignmentOffsetsChangedEvent() = default;

void AlignmentObserver::AlignmentOffsetsChangedEvent::PushToProxy(
    const du::SmartPtr<dom::ObserverProxy> &proxy) const {
    proxy->Begin();
    proxy->PushUInt8Value(ALIGNMENT_OFFSETS_CHANGED_EVENT);
    proxy->End();
}

AlignmentObserver::AlignmentCSysChangedEvent::AlignmentCSysChangedEvent(
    int csysId, int csysType, const du::SmartPtr<moduleutils::DerivedCSys> &derivedCSys)
    : id(csysId), type(csysType), csys(derivedCSys) {}

AlignmentObserver::AlignmentCSysChangedEvent::~AlignmentCSysChangedEvent() = default;

void AlignmentObserver::AlignmentCSysChangedEvent::PushToProxy(
    const du::SmartPtr<dom::ObserverProxy> &proxy) const {
    proxy->Begin();
    proxy->PushUInt8Value(ALIGNMENT_CSYS_CHANGED_EVENT);
    // The record has room for one byte each; higher bits are dropped.
    proxy->PushUInt8Value(static_cast<unsigned char>(id & 0xff));
    proxy->PushUInt8Value(static_cast<unsigned char>(type & 0xff));
    // The record outlives this event, so the coordinate system travels with a
    // reference of its own, which the receiving EventHandler drops.
    moduleutils::DerivedCSys *travelling = csys.get();
    if (travelling)
        travelling->AddReference(kRecordHolder);
    proxy->PushSmartPtr(travelling, travelling);
    proxy->End();
}

AlignmentObserver::AlignmentObserver() = default;

AlignmentObserver::~AlignmentObserver() = default;

void AlignmentObserver::OnPartsChanged() {}

void AlignmentObserver::OnOffsetsChanged() {}

void AlignmentObserver::OnCSysChanged(int /*id*/, int /*type*/,
                                      const du::SmartPtr<moduleutils::DerivedCSys> & /*csys*/) {}

void AlignmentObserver::EventHandler(const du::SmartPtr<dom::Message> &message) {
    dom::MessageReader reader(message);
    unsigned char tag = 0;
    while (reader.GetUInt8Value(tag)) {
        if (tag == ALIGNMENT_PARTS_CHANGED_EVENT) {
            OnPartsChanged();
        } else if (tag == ALIGNMENT_OFFSETS_CHANGED_EVENT) {
            OnOffsetsChanged();
        } else if (tag == ALIGNMENT_CSYS_CHANGED_EVENT) {
            unsigned char id = 0;
            unsigned char type = 0;
            void *raw = nullptr;
            if (!reader.GetUInt8Value(id))
                throw std::runtime_error(
                    "Could not retrieve 'id' from ALIGNMENT_CSYS_CHANGED_EVENT.");
            if (!reader.GetUInt8Value(type))
                throw std::runtime_error(
                    "Could not retrieve 'type' from ALIGNMENT_CSYS_CHANGED_EVENT.");
            if (!reader.GetRawPtr(raw))
                throw std::runtime_error(
                    "Could not retrieve 'csys' from ALIGNMENT_CSYS_CHANGED_EVENT.");
            // Own reference first, so that dropping the record's one cannot
            // destroy the coordinate system before the notification has it.
            du::SmartPtr<moduleutils::DerivedCSys> csys(
                static_cast<moduleutils::DerivedCSys *>(raw));
            if (csys)
                csys->RemoveReference(&reader);
            OnCSysChanged(id, type, csys);
        } else {
            std::ostringstream text;
            text << "Unrecognised AlignmentObserver tag <" << static_cast<int>(tag) << ">.";
            throw std::runtime_error(text.str());
        }
    }
}

} // namespace qlalignparts
