// AddressTable: a table of small records found by an object's address.
//
// Open addressing: a record goes first to the place its address hashes to,
// else to the next free one after it (wrapping round); never more than two
// thirds of the places are taken, so a search ends soon at a free place. The
// address 0 marks a free place and is never a key. Records are never taken
// out: the table lives for one generation of the parts list and is then
// dropped whole.
//
// Typical use:
//   struct Seen { std::uintptr_t address; bool reached; };
//   AddressTable<Seen> table(list.size());
//   table.Insert({reinterpret_cast<std::uintptr_t>(instance), false});
//   if (Seen *seen = table.Find(address)) seen->reached = true;
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qlalignparts {

// `Record` is a plain structure whose member `address` holds its key.
template <class Record> class AddressTable {
public:
    // Room for `expected` records before the table first grows.
    explicit AddressTable(std::size_t expected = 0) {
        while (2 * places_.size() < 3 * expected)
            Double();
    }

    // The record of `address`, or null when there is none.
    Record *Find(std::uintptr_t address) {
        Record &place = PlaceOf(address);
        return address != 0 && place.address == address ? &place : nullptr;
    }
    const Record *Find(std::uintptr_t address) const {
        return const_cast<AddressTable *>(this)->Find(address);
    }

    // Puts `record` in under its address (not 0), over the one there may be
    // under it already; grows the table first when it would be too full.
    void Insert(const Record &record) {
        if (3 * (taken_ + 1) > 2 * places_.size())
            Double();
        Record &place = PlaceOf(record.address);
        if (place.address == 0)
            ++taken_;
        place = record;
    }

    std::size_t Size() const { return taken_; }

    // Every place, free ones (address 0) among them, in no meaningful order.
    const std::vector<Record> &Places() const { return places_; }

private:
    // Fibonacci hashing: the multiplier spreads neighbouring addresses (objects
    // of one size, made one after another) over the whole table.
    static constexpr std::uint64_t kSpread = 0x9E3779B97F4A7C15u; // 2^64 over the golden ratio

    // The place of `address`, or the free place where it would go.
    Record &PlaceOf(std::uintptr_t address) {
        const std::size_t last = places_.size() - 1;
        auto at =
            static_cast<std::size_t>((static_cast<std::uint64_t>(address) * kSpread) >> shift_);
        while (places_[at].address != address && places_[at].address != 0)
            at = (at + 1) & last;
        return places_[at];
    }

    void Double() {
        std::vector<Record> old(2 * places_.size(), Record{});
        old.swap(places_);
        --shift_;
        for (const Record &record : old)
            if (record.address != 0)
                PlaceOf(record.address) = record;
    }

    // 2^(64 - shift_) places.
    std::vector<Record> places_ = std::vector<Record>(8, Record{});
    unsigned shift_ = 61;
    std::size_t taken_ = 0;
};

} // namespace qlalignparts
