// du::RefCounted: the host's reference-counted root.
//
// Every reference is registered under the address of whatever holds it (a
// smart pointer, or a notification record). The count is what keeps an object
// alive; the holders are only tracked while the reference audit is enabled, so
// that tests can ask which holders still keep an object.
//
// Typical use (tests):
//   du::RefAudit::Enable(true);
//   auto before = du::RefAudit::Snapshot();
//   { ... build and drop an Alignment ... }
//   EXPECT_EQ(du::RefAudit::Snapshot(), before);
#pragma once

#include <cassert>
#include <cstddef>
#include <map>
#include <vector>

namespace du {

class RefCounted {
public:
    RefCounted();
    RefCounted(const RefCounted &);            // a copy starts without references
    RefCounted &operator=(const RefCounted &); // references are never copied
    virtual ~RefCounted();

    // Asked by the release protocol when the count reaches zero. Answering
    // false keeps the object alive (the releasing holder keeps its reference).
    virtual bool ZeroReferenceCountHook() const;

    // Both return the count that remains after the call. Every smart pointer
    // runs through these, so the count is kept inline and only the audit's
    // bookkeeping of holders costs a call.
    int AddReference(void *holder) const {
        ++count_;
        if (holders_)
            AddHolder(holder);
        return count_;
    }
    int RemoveReference(void *holder) const {
        assert(count_ > 0 && "RemoveReference on an object without references");
        if (count_ <= 0)
            return 0;
        --count_;
        if (holders_)
            RemoveHolder(holder);
        return count_;
    }

    int GetReferenceCount() const { return count_; }

private:
    friend class RefAudit;
    void AddHolder(void *holder) const;
    void RemoveHolder(void *holder) const;
    mutable int count_ = 0;
    mutable std::vector<void *> *holders_ = nullptr; // only while audited
};

// Test-side audit of reference counts. Objects constructed while the audit is
// enabled are tracked until they are destroyed.
class RefAudit {
public:
    static void Enable(bool enabled);
    static bool IsEnabled();

    // Every tracked live object with its count.
    static std::map<const RefCounted *, int> Snapshot();
    // The holders currently registered for a tracked object (empty if untracked).
    static std::vector<void *> Holders(const RefCounted *object);
    // Number of tracked objects alive.
    static std::size_t LiveObjects();

    // Holder value used by references that travel inside notification records.
    static void *TravellingHolder() { return reinterpret_cast<void *>(2); }
};

} // namespace du
