// Registration of AlignmentObservers on the Alignment's private observable
// base, and the posting of the three events to them.
#include "Internals.h"

namespace qlalignparts {

bool Alignment::RegisterObserver(const AlignmentObserver &observer) {
    AlignmentInternals::KeepAlive keep(this);
    // The proxy comes from the host's common heap (its class allocates there);
    // the observable keeps its own reference when it takes it.
    du::SmartPtr<dom::ObserverProxy> proxy(new dom::ObserverProxy(observer));
    return dom::Observable::RegisterObserver(proxy);
}

bool Alignment::UnregisterObserver(const AlignmentObserver &observer) {
    AlignmentInternals::KeepAlive keep(this);
    // A fresh proxy serves: the observable finds the registration by the
    // observer it wraps.
    du::SmartPtr<dom::ObserverProxy> proxy(new dom::ObserverProxy(observer));
    return dom::Observable::DeregisterObserver(proxy);
}

void AlignmentInternals::PostPartsChanged(Alignment &alignment) {
    const AlignmentObserver::AlignmentPartsChangedEvent event;
    static_cast<dom::Observable &>(alignment).PostObservableEvent(event);
}

void AlignmentInternals::PostOffsetsChanged(Alignment &alignment) {
    const AlignmentObserver::AlignmentOffsetsChangedEvent event;
    static_cast<dom::Observable &>(alignment).PostObservableEvent(event);
}

void AlignmentInternals::PostCSysChanged(Alignment &alignment, int id, int type,
                                         const du::SmartPtr<moduleutils::DerivedCSys> &csys) {
    const AlignmentObserver::AlignmentCSysChangedEvent event(id, type, csys);
    static_cast<dom::Observable &>(alignment).PostObservableEvent(event);
}

} // namespace qlalignparts
