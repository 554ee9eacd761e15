// Helpers shared by the source files of Alignment: posting events on the
// private observable base, showing a widget, keeping the object alive for the
// length of an operation.
#pragma once

#include <cstdint>
#include <deque>

#include <qlalignparts/Alignment.h>

namespace qlalignparts {

// What a removal's generation knows of the list as it was: each of its
// instances, found by its address, with the entry's place in list order, the
// shape instance the scene last answered for it and whether generation has
// reached it again; and the list that takes the instances new to it.
struct Alignment::Regeneration {
    struct Former {
        std::uintptr_t address; // 0 for a free place
        const void *drawn;      // the record's hint, for early requests only
        std::uint32_t index;
        bool reached;
    };
    explicit Regeneration(std::size_t count);
    void Add(std::uintptr_t address, const void *drawn, std::uint32_t index);
    Former *Find(std::uintptr_t address);

    // Open addressing: an instance is found at the place its address hashes
    // to or at one of the next; never more than two thirds of them are taken.
    std::vector<Former> places;
    unsigned shift;
    const Alignment::PartsMap *into = nullptr;
};

// A generation into an empty list, as when parts are first taken in. In a
// young heap parts are made in the order they are listed, so their addresses,
// the list's keys, mostly rise, and each new entry goes at the list's end. In
// a heap in use for hours they come in no order, and putting each in its place
// would mean a search down a tree whose nodes lie anywhere. So an instance
// whose address is beyond the list's last goes straight in at the end; the
// others are listed aside, with a small table to tell which are listed
// already, and go in, in key order, once generation is over. Anything that
// reads the list meanwhile (an operation the host starts from inside one of
// its calls) has them put in place first; generation then lists straight into
// the list.
struct Alignment::FirstGeneration {
    struct Aside {
        du::SmartPtr<qlk::Instance> instance;
        dg::Location location;
        const void *drawn;
    };
    struct Key {
        std::uintptr_t address;
        std::uint32_t index; // in `aside`
        bool operator<(const Key &other) const { return address < other.address; }
    };
    FirstGeneration(PartsMap &list, std::size_t version) : into(&list), version(version) {}
    bool Listed(std::uintptr_t address) const; // aside
    void Add(const du::SmartPtr<qlk::Instance> &instance, const dg::Location &location,
             const void *drawn);

    PartsMap *into;      // null once the entries are in place
    std::size_t version; // the list record's when generation began
    // The entries that went straight in, in list order, for the record.
    std::vector<ListSlot> straight;
    bool recordable = true; // `straight` names every one of them
    // A deque: growing it copies no entry, and so takes no reference again.
    std::deque<Aside> aside;
    std::vector<Key> keys;
    // Open addressing, as for a removal: never more than two thirds of the
    // places taken, 0 for a free place.
    std::vector<std::uintptr_t> places = std::vector<std::uintptr_t>(16);
    unsigned shift = 60;
};

struct AlignmentInternals {
    // Posting. Each builds the event on the stack and posts it on the Alignment's
    // observable base; the event is gone when the call returns.
    static void PostPartsChanged(Alignment &alignment);
    static void PostOffsetsChanged(Alignment &alignment);
    static void PostCSysChanged(Alignment &alignment, int id, int type,
                                const du::SmartPtr<moduleutils::DerivedCSys> &csys);

    // The show/hide step of a coordinate system's widget: AddMarkup on the
    // scene when `shown`, RemoveMarkup otherwise. Nothing without a scene or widget.
    static void ShowWidget(const Alignment &alignment,
                           const du::SmartPtr<qlmk::CSysPreviewWidget> &widget, bool shown);

    // An observer may drop the host's last reference to the Alignment from inside
    // a notification; a public operation holds one of its own until it returns.
    // Inside the constructor (no reference yet) it holds nothing.
    class KeepAlive {
    public:
        // An operation started from inside a first generation sees the list
        // as generation has made it so far.
        explicit KeepAlive(Alignment *alignment)
            : held_(HeldElsewhere(alignment) ? alignment : nullptr) {
            if (alignment->firstGeneration)
                PutInPlace(*alignment, *alignment->firstGeneration);
        }
        KeepAlive(const KeepAlive &) = delete;
        KeepAlive &operator=(const KeepAlive &) = delete;

    private:
        // Whether anyone holds the Alignment yet, asked through the two counting
        // calls every host offers: a reference taken and given straight back
        // (never released through the protocol, so nothing is destroyed).
        static bool HeldElsewhere(const Alignment *alignment) {
            int probe = 0;
            alignment->AddReference(&probe);
            return alignment->RemoveReference(&probe) > 0;
        }

        du::SmartPtr<Alignment> held_;
    };

    // Lends a run the Alignment's kept vectors, emptied and sized for `count`
    // entries; a run that starts while another still holds them (the scene
    // calling back) gets vectors of its own. On return the references are
    // released at once; the capacity stays unless it is far more than the
    // list now needs.
    class RunVectors {
        Alignment::RunBuffers own_;
        Alignment::RunBuffers &buffers_;

    public:
        RunVectors(const Alignment &alignment, std::size_t count);
        ~RunVectors();
        RunVectors(const RunVectors &) = delete;
        RunVectors &operator=(const RunVectors &) = delete;

        std::vector<du::SmartPtr<qlk::ShapeInstance>> &shapeInstances;
        std::vector<dg::Location> &locations;
    };

    // ---- The record of the complete parts list ---------------------------
    // Every change of completePartsList other than an entry added by
    // generation (a removal's rebuild, a reset, a swap) marks the record stale.
    // Each change of the list or the record counts in `version`, so that a
    // walk learns of one made from inside it.
    // (What generation added meanwhile goes when the record is made afresh.)
    static void ListChanged(const Alignment &alignment) {
        alignment.listRecord.current = false;
        ++alignment.listRecord.version;
    }
    // An entry just made in `list` for an instance the scene draws as `drawn`.
    static void EntryAdded(const Alignment &alignment, const Alignment::PartsMap &list,
                           const Alignment::PartsMap::value_type &entry, const void *drawn);
    // The record in list order, brought up to date first.
    static std::vector<Alignment::ListSlot> &ListInOrder(const Alignment &alignment);

    // ---- Generating the complete parts list ------------------------------
    static void PartSetChanged(Alignment &alignment) { ++alignment.partSetChanges; }
    // Whether the host changed the part set from inside the generation under
    // way: the parts it is walking may be gone; it starts over.
    static bool PartSetChangedMeanwhile(const Alignment &alignment) {
        return alignment.generatedFrom != Alignment::kNotGenerating &&
               alignment.generatedFrom != alignment.partSetChanges;
    }
    // Where an instance stands in the list being generated.
    struct Place {
        Alignment::PartsMap::iterator position;  // its entry in that list, or its place there
        Alignment::Regeneration::Former *former; // see Regenerate; null otherwise
        bool listed;                             // generation has listed it already
        std::size_t version; // the list record's, to tell whether `position` still holds
    };
    static Place Locate(const Alignment &alignment, Alignment::PartsMap &list,
                        const du::SmartPtr<qlk::Instance> &instance);
    // Lists the instance, drawn as `shape`, at its place; answers 1.
    static int Record(const Alignment &alignment, Alignment::PartsMap &list, const Place &place,
                      const du::SmartPtr<qlk::Instance> &instance, const qlk::ShapeInstance &shape);
    // A removal's generation of the list anew. An instance listed before
    // (`former`, what is known of it from the list as it was) that generation reaches
    // again keeps its entry as it is, its stored location with it; only the
    // instances new to the list are looked up and recorded, aside. Afterwards
    // the list holds what generation reached and the answer holds what dropped
    // out. Should the host fail on the way, the list is left as it was.
    static Alignment::PartsMap Regenerate(Alignment &alignment);
    // Puts the entries a first generation made aside into its list, in key
    // order; generation lists straight into the list from then on.
    static void PutInPlace(const Alignment &alignment, Alignment::FirstGeneration &first);
    // Asks the memory early for an instance that generation into `list` is
    // about to reach and, while a removal regenerates, for the shape instance
    // the scene last answered for it.
    static void PrefetchAhead(const Alignment &alignment, const Alignment::PartsMap &list,
                              const qlk::Instance *instance);

    // Calls `visit(entry)` for every entry of completePartsList in list order;
    // `visit` answers the shape instance the scene gave for it (null for none).
    // Some entries ahead of the one visited, their nodes, instances and shape
    // instances are asked of the memory, so that a walk over a list spread
    // through a large heap waits for many of them at once instead of one
    // after another.
    template <class Visit> static void ForEachListed(const Alignment &alignment, Visit &&visit);

    // Asks the memory early for an object about to be used: its first and
    // its last bytes, the ends where a class keeps its header and its virtual
    // bases (the reference count). A null object asks for nothing that faults.
    template <std::size_t Size> static void Prefetch(const void *object) {
        const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(object);
        __builtin_prefetch(object);
        __builtin_prefetch(reinterpret_cast<const void *>(first + Size - 1));
    }

    // Releases the references a run's shape instances vector holds, asking
    // for each shape instance some entries ahead. Keeps the capacity.
    static void ReleaseAll(std::vector<du::SmartPtr<qlk::ShapeInstance>> &shapeInstances);

    // Lends an assembly walk the children buffer of the next depth, empty, for
    // the length of a scope; the children's references are released when it ends.
    class ChildrenLease {
    public:
        explicit ChildrenLease(const Alignment &alignment);
        ~ChildrenLease();
        ChildrenLease(const ChildrenLease &) = delete;
        ChildrenLease &operator=(const ChildrenLease &) = delete;

        std::vector<du::SmartPtr<qlk::Instance>> &children;

    private:
        Alignment::ChildBuffers &buffers_;
    };
    // After the outermost walk: a buffer that had to hold a very wide
    // assembly's children is given back rather than kept for the next walk.
    static void TrimChildBuffers(const Alignment &alignment);

    // Gives back a vector's room when it is far beyond what is needed (twice
    // that and a slack), so that an alignment whose list has shrunk does not
    // keep the memory of its largest run for the rest of its life.
    template <class T>
    static void GiveBackRoom(std::vector<T> &vector, std::size_t needed,
                             std::size_t slack = kKeptSlack) {
        if (vector.capacity() > 2 * needed + slack)
            std::vector<T>().swap(vector);
    }
    static constexpr std::size_t kKeptSlack = 1024;
    // The room kept per depth for the children of an assembly: enough for
    // most; a wider one's is made for its walk and given back after.
    static constexpr std::size_t kKeptChildren = 64;

    static constexpr std::size_t kNodesAhead = 32;
    static constexpr std::size_t kObjectsAhead = 16;
};

// The children buffers of an assembly walk: one per depth, in a deque so that a
// deeper walk adding a level leaves the shallower buffers where they are.
struct Alignment::ChildBuffers {
    std::deque<std::vector<du::SmartPtr<qlk::Instance>>> byDepth;
    std::size_t depth = 0;
};

template <class Visit>
void AlignmentInternals::ForEachListed(const Alignment &alignment, Visit &&visit) {
    std::vector<Alignment::ListSlot> &slots = ListInOrder(alignment);
    const std::size_t count = slots.size();
    const std::size_t version = alignment.listRecord.version;
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kNodesAhead < count)
            Prefetch<sizeof(Alignment::PartsMap::value_type)>(slots[i + kNodesAhead].entry);
        if (i + kObjectsAhead < count) {
            const Alignment::ListSlot &ahead = slots[i + kObjectsAhead];
            Prefetch<sizeof(qlk::Instance)>(ahead.entry->first.get());
            Prefetch<sizeof(qlk::ShapeInstance)>(ahead.drawn);
        }
        const std::uintptr_t visited =
            reinterpret_cast<std::uintptr_t>(slots[i].entry->first.get());
        const void *drawn = visit(*slots[i].entry);
        if (alignment.listRecord.version != version) {
            // The host changed the list from inside the walk, and the slots
            // with it (a run from in there may even have made them anew,
            // fewer): go on over the list itself, past the entry just
            // visited, as a walk over the map would.
            for (const auto &entry : alignment.completePartsList)
                if (reinterpret_cast<std::uintptr_t>(entry.first.get()) > visited)
                    visit(entry);
            return;
        }
        slots[i].drawn = drawn;
    }
}

} // namespace qlalignparts
