// du::Symbol: an interned name. Two symbols built from equal texts share one
// entry of the host's symbol table, so comparing them is comparing addresses.
//
// Typical use:
//   static const du::Symbol kind("SbomInstance");
//   if (item->GetCollectionType() == kind) ...
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace du {

class Symbol {
public:
    Symbol();                          // the empty name
    explicit Symbol(const char *text); // a null text gives the empty name
    explicit Symbol(const std::string &text);
    Symbol(const Symbol &) = default;
    Symbol &operator=(const Symbol &) = default;
    ~Symbol() = default;

    const char *c_str() const { return text_->c_str(); }
    const std::string &str() const { return *text_; }
    bool IsEmpty() const { return text_->empty(); }

    static const Symbol EMPTY;

    friend bool operator==(const Symbol &a, const Symbol &b) { return a.text_ == b.text_; }
#ifndef QLHOST_PUBLISHED_ONLY
    friend bool operator!=(const Symbol &a, const Symbol &b) { return a.text_ != b.text_; }
#endif
    // Orders by the interned entry: stable within a process, not alphabetical.
    friend bool operator<(const Symbol &a, const Symbol &b) {
        return std::less<const std::string *>()(a.text_, b.text_);
    }

private:
    friend struct std::hash<Symbol>;
    const std::string *text_;
};

} // namespace du

namespace std {
template <> struct hash<du::Symbol> {
    std::size_t operator()(const du::Symbol &s) const noexcept {
        return std::hash<const void *>()(s.text_);
    }
};
} // namespace std
