// qlalignparts::AlignmentObserver: hears of changes to an Alignment.
//
// Derive, override the notifications of interest and register an instance
// with Alignment::RegisterObserver. An Alignment tells its observers that its
// set of parts, its offsets or one of its coordinate systems changed. The
// notifications travel through the host's messaging framework: the Alignment
// posts an event, each event writes one record into the message of every
// registered observer, and the host hands the message to EventHandler, which
// reads the records back in order and calls the matching notification. When
// the host delivers is the host's: a notification may run before or after the
// posting call returns.
//
// Typical use:
//   class ToolPanel : public qlalignparts::AlignmentObserver {
//   public:
//       void OnPartsChanged() override { RefreshPartCount(); }
//   };
//   du::SmartPtr<ToolPanel> panel(new ToolPanel);
//   alignment->RegisterObserver(*panel);
//   ...
//   alignment->UnregisterObserver(*panel);   // before the panel goes, if the alignment stays
#pragma once

#include <dom/Messaging.h>
#include <du/RefCounted.h>
#include <du/SmartPtr.h>
#include <moduleutils/DerivedCSys.h>

#include <qlalignparts/qlalignparts_export.h>

namespace qlalignparts {

class QLALIGNPARTS_EXPORT AlignmentObserver : public dom::Observer, public virtual du::RefCounted {
public:
    // Record tags: the first byte of every record.
    static const unsigned char ALIGNMENT_PARTS_CHANGED_EVENT;   // 1
    static const unsigned char ALIGNMENT_OFFSETS_CHANGED_EVENT; // 2
    static const unsigned char ALIGNMENT_CSYS_CHANGED_EVENT;    // 3

    // Record: the parts-changed tag.
    class QLALIGNPARTS_EXPORT AlignmentPartsChangedEvent : public dom::ObservableEvent {
    public:
        AlignmentPartsChangedEvent();
        ~AlignmentPartsChangedEvent() override;
        void PushToProxy(const du::SmartPtr<dom::ObserverProxy> &proxy) const override;
    };

    // Record: the offsets-changed tag.
    class QLALIGNPARTS_EXPORT AlignmentOffsetsChangedEvent : public dom::ObservableEvent {
    public:
        AlignmentOffsetsChangedEvent();
        ~AlignmentOffsetsChangedEvent() override;
        void PushToProxy(const du::SmartPtr<dom::ObserverProxy> &proxy) const override;
    };

    // Record: the coordinate-system tag, the low bytes of `id` and `type`, then
    // `csys` as a pointer that travels with a reference of its own (so the record
    // stays valid after the event is gone). The event holds its own reference to
    // `csys` for its lifetime.
    class QLALIGNPARTS_EXPORT AlignmentCSysChangedEvent : public dom::ObservableEvent {
    public:
        AlignmentCSysChangedEvent(int id, int type,
                                  const du::SmartPtr<moduleutils::DerivedCSys> &csys);
        ~AlignmentCSysChangedEvent() override;
        void PushToProxy(const du::SmartPtr<dom::ObserverProxy> &proxy) const override;

        int id;
        int type;
        du::SmartPtr<moduleutils::DerivedCSys> csys;
    };

    // Registers nowhere.
    AlignmentObserver();
    // Does not unregister: unregister first when the Alignment outlives the observer.
    ~AlignmentObserver() override;

    // The notifications; the defaults do nothing. `id` and `type` arrive as the
    // record's bytes (0 to 255); `csys` may be null.
    virtual void OnPartsChanged();
    virtual void OnOffsetsChanged();
    virtual void OnCSysChanged(int id, int type,
                               const du::SmartPtr<moduleutils::DerivedCSys> &csys);

protected:
    // Reads every record of the message in order and calls its notification.
    // Throws std::runtime_error for an unknown tag or a cut coordinate-system
    // record; records before it have had their notification.
    void EventHandler(const du::SmartPtr<dom::Message> &message) override;
};

} // namespace qlalignparts
