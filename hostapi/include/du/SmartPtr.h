// du::SmartPtr / du::ConstSmartPtr: intrusive pointers to a du::RefCounted.
//
// Each pointer registers its reference under its own address. Releasing
// follows the host protocol: drop the reference; at zero take it back, ask the
// object's ZeroReferenceCountHook(), and only if that agrees drop it again and
// destroy the object through its virtual destructor when the count is zero.
// Assigning first references the new object, then releases the old one, so
// assigning an object to a pointer that already holds it changes nothing.
//
// Pointers compare and order by the pointee's address, so they can key
// ordered containers.
//
// Typical use:
//   du::SmartPtr<qlk::Instance> part(new qlk::Instance("bolt"));
//   du::SmartPtr<qlk::Object> asObject(part);   // a second counted reference
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>

#include <du/RefCounted.h>

namespace du {

namespace detail {

// Reaches the counted base, also where RefCounted is a virtual base.
template <class T> const RefCounted *CountedBase(T *object) {
    return object; // implicit upcast follows the virtual-base offset
}

inline void Retain(const RefCounted *counted, void *holder) {
    if (counted)
        counted->AddReference(holder);
}

// The release protocol. Answers true when the object was destroyed.
inline bool Release(const RefCounted *counted, void *holder) {
    if (!counted)
        return false;
    if (counted->RemoveReference(holder) != 0)
        return false;
    counted->AddReference(holder);
    if (!counted->ZeroReferenceCountHook())
        return false;
    if (counted->RemoveReference(holder) != 0)
        return false;
    delete counted;
    return true;
}

} // namespace detail

template <class T> class SmartPtr {
public:
    using element_type = T;

    SmartPtr() noexcept = default;
    SmartPtr(std::nullptr_t) noexcept {}
    // NOLINTNEXTLINE(google-explicit-constructor): raw objects enter like this in the host API
    SmartPtr(T *object) { Assign(object); }
    SmartPtr(const SmartPtr &other) { Assign(other.object_); }
    template <class U, class = std::enable_if_t<std::is_convertible<U *, T *>::value>>
    SmartPtr(const SmartPtr<U> &other) { // NOLINT(google-explicit-constructor)
        Assign(other.get());
    }
    ~SmartPtr() { reset(); }

    SmartPtr &operator=(const SmartPtr &other) {
        Assign(other.object_);
        return *this;
    }
    template <class U, class = std::enable_if_t<std::is_convertible<U *, T *>::value>>
    SmartPtr &operator=(const SmartPtr<U> &other) {
        Assign(other.get());
        return *this;
    }
    SmartPtr &operator=(T *object) {
        Assign(object);
        return *this;
    }
    SmartPtr &operator=(std::nullptr_t) {
        reset();
        return *this;
    }

    // Releases the held object (if any) and leaves the pointer empty.
    void reset() {
        T *old = object_;
        object_ = nullptr;
        if (old)
            detail::Release(detail::CountedBase(old), this);
    }

    T *get() const noexcept { return object_; }
    T *operator->() const noexcept { return object_; }
    T &operator*() const noexcept { return *object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    void Assign(T *object) {
        if (object == object_)
            return;
        if (object)
            detail::Retain(detail::CountedBase(object), this);
        T *old = object_;
        object_ = object;
        if (old)
            detail::Release(detail::CountedBase(old), this);
    }

    T *object_ = nullptr;
};

template <class T> class ConstSmartPtr {
public:
    using element_type = const T;

    ConstSmartPtr() noexcept = default;
    ConstSmartPtr(std::nullptr_t) noexcept {}
    ConstSmartPtr(const T *object) { Assign(object); } // NOLINT(google-explicit-constructor)
    ConstSmartPtr(const ConstSmartPtr &other) { Assign(other.object_); }
    template <class U, class = std::enable_if_t<std::is_convertible<const U *, const T *>::value>>
    ConstSmartPtr(const SmartPtr<U> &other) { // NOLINT(google-explicit-constructor)
        Assign(other.get());
    }
    template <class U, class = std::enable_if_t<std::is_convertible<const U *, const T *>::value>>
    ConstSmartPtr(const ConstSmartPtr<U> &other) { // NOLINT(google-explicit-constructor)
        Assign(other.get());
    }
    ~ConstSmartPtr() { reset(); }

    ConstSmartPtr &operator=(const ConstSmartPtr &other) {
        Assign(other.object_);
        return *this;
    }
    ConstSmartPtr &operator=(std::nullptr_t) {
        reset();
        return *this;
    }

    void reset() {
        const T *old = object_;
        object_ = nullptr;
        if (old)
            detail::Release(detail::CountedBase(old), this);
    }

    const T *get() const noexcept { return object_; }
    const T *operator->() const noexcept { return object_; }
    const T &operator*() const noexcept { return *object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    void Assign(const T *object) {
        if (object == object_)
            return;
        if (object)
            detail::Retain(detail::CountedBase(object), this);
        const T *old = object_;
        object_ = object;
        if (old)
            detail::Release(detail::CountedBase(old), this);
    }

    const T *object_ = nullptr;
};

// Comparison and ordering by the pointee's address, compared as an unsigned integer.
namespace detail {
template <class P> std::uintptr_t Address(const P &p) {
    return reinterpret_cast<std::uintptr_t>(static_cast<const void *>(p.get()));
}
} // namespace detail

#define DU_SMARTPTR_COMPARE(Left, Right)                                                           \
    template <class T, class U> bool operator==(const Left<T> &a, const Right<U> &b) {             \
        return detail::Address(a) == detail::Address(b);                                           \
    }                                                                                              \
    template <class T, class U> bool operator!=(const Left<T> &a, const Right<U> &b) {             \
        return detail::Address(a) != detail::Address(b);                                           \
    }                                                                                              \
    template <class T, class U> bool operator<(const Left<T> &a, const Right<U> &b) {              \
        return detail::Address(a) < detail::Address(b);                                            \
    }

DU_SMARTPTR_COMPARE(SmartPtr, SmartPtr)
DU_SMARTPTR_COMPARE(ConstSmartPtr, ConstSmartPtr)
DU_SMARTPTR_COMPARE(SmartPtr, ConstSmartPtr)
DU_SMARTPTR_COMPARE(ConstSmartPtr, SmartPtr)
#undef DU_SMARTPTR_COMPARE

template <class T> bool operator==(const SmartPtr<T> &a, std::nullptr_t) {
    return !a;
}
template <class T> bool operator!=(const SmartPtr<T> &a, std::nullptr_t) {
    return static_cast<bool>(a);
}
template <class T> bool operator==(const ConstSmartPtr<T> &a, std::nullptr_t) {
    return !a;
}
template <class T> bool operator!=(const ConstSmartPtr<T> &a, std::nullptr_t) {
    return static_cast<bool>(a);
}

// Checked downcast to a derived class (a null pointer when the object is not one).
template <class To, class From> SmartPtr<To> DynamicCast(const SmartPtr<From> &from) {
    return SmartPtr<To>(dynamic_cast<To *>(from.get()));
}

} // namespace du

namespace std {
template <class T> struct hash<du::SmartPtr<T>> {
    std::size_t operator()(const du::SmartPtr<T> &p) const noexcept {
        return std::hash<const void *>()(static_cast<const void *>(p.get()));
    }
};
} // namespace std
