// What the source files of Alignment share: the Machinery the Alignment keeps
// behind its one private pointer, and the helpers (posting events on the
// private observable base, showing a widget, keeping the object alive for the
// length of an operation, lending a run its buffers, the list's generation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <qlalignparts/Alignment.h>

#include "FirstGeneration.h"
#include "ListRecord.h"
#include "Regeneration.h"
#include "SubTreeStack.h"

namespace qlalignparts {

// An instance's address, the key of the parts list, as a run notes it. (A type
// of the library's own: a vector of it stays out of the library's exports.)
struct RunAddress {
    std::uintptr_t value;
};

// The vectors a run hands the scene, with the instances they place.
struct RunBuffers {
    std::vector<du::SmartPtr<qlk::ShapeInstance>> shapeInstances;
    std::vector<dg::Location> locations;
    // The instances' addresses, one for each placement.
    std::vector<RunAddress> addresses;
    bool lent = false;
};

// Where the last run sent the listed instances: `home` when it sent each to
// its stored location (a coordinate system undefined, the preview switched
// off), else the placements it handed the scene, by the instance's address in
// list order. Those are left in the buffers the run used rather than copied:
// the Alignment's own kept buffers, or, for a run the scene started from
// inside another's move, `nested`.
struct LastRun {
    bool home = false;
    const RunBuffers *placed = nullptr; // neither: no run to go by
    // Runs are numbered in the order they hand the scene their move; a run
    // the scene starts from inside that call comes later and stands.
    std::size_t issued = 0;
    std::size_t ticket = 0; // the recorded run's
    RunBuffers nested;
};

// What the Alignment keeps beside the members of its table.
struct Alignment::Machinery {
    // The vectors a run hands the scene. The placements keep their room from
    // one run to the next: a large assembly's outgrow what the allocator
    // recycles, so fresh ones would be paged in and cleared on every run. The
    // shape instances keep only a small room. Between runs they hold no
    // reference.
    RunBuffers runBuffers;
    // Where the last run sent each instance, for Apply to record.
    LastRun lastRun;
    ListRecord listRecord;
    SubTreeStack subTrees;
    // While a removal generates the list anew, what generation learns of the
    // list as it was; null otherwise.
    Regeneration *regeneration = nullptr;
    // While a generation fills an empty list, the entries it has made so far,
    // kept aside until they go into the list in key order; null otherwise.
    FirstGeneration *firstGeneration = nullptr;
    // Counts the changes of the part set; a generation under way notes the
    // count it began with, so that it goes no further over a part set the
    // host has changed from inside one of its calls. `generatedFrom` is
    // kNotGenerating outside a generation.
    std::size_t partSetChanges = 0;
    static constexpr std::size_t kNotGenerating = ~std::size_t{0};
    std::size_t generatedFrom = kNotGenerating;
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
            if (alignment->machinery->firstGeneration)
                PutInPlace(*alignment, *alignment->machinery->firstGeneration);
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
        static RunBuffers &BuffersFor(const Alignment &alignment, RunBuffers &own, bool aligning);

        RunBuffers own_;
        RunBuffers &buffers_;

    public:
        // `aligning`: an alignment run, whose placements become the last
        // run's; a move back leaves the last run's placements as they are.
        RunVectors(const Alignment &alignment, std::size_t count, bool aligning);
        ~RunVectors();
        RunVectors(const RunVectors &) = delete;
        RunVectors &operator=(const RunVectors &) = delete;

        std::vector<du::SmartPtr<qlk::ShapeInstance>> &shapeInstances;
        std::vector<dg::Location> &locations;
        std::vector<RunAddress> &addresses;
    };

    // ---- Where the last run sent the parts -----------------------------
    // A run that sends every listed instance home (a coordinate system
    // undefined, the preview switched off, a reset).
    static void RememberRunHome(const Alignment &alignment);
    // A run that hands the scene `run`'s placements; called before the scene
    // is; answers the run's ticket for RememberRunMoved.
    static std::size_t TakeRunTicket(const Alignment &alignment);
    // After the scene took the move: the run's placements become the last
    // run's, unless a run started from inside the scene's call came later.
    static void RememberRunMoved(const Alignment &alignment, std::size_t ticket, RunVectors &run);
    // The placement the last run sent the entry's instance to; `current`
    // where no run has sent it anywhere. Asked in list order, with a cursor
    // that starts at 0 for the first entry.
    static const dg::Location &EndOfMove(const Alignment &alignment,
                                         const Alignment::PartsMap::value_type &entry,
                                         const dg::Location &current, std::size_t &cursor);

    // ---- The record of the complete parts list ---------------------------
    // Every change of completePartsList other than an entry added by
    // generation (a removal's rebuild, a reset, a swap) marks the record stale.
    // Each change of the list or the record counts in `version`, so that a
    // walk learns of one made from inside it.
    // (What generation added meanwhile goes when the record is made afresh.)
    static void ListChanged(const Alignment &alignment) {
        alignment.machinery->listRecord.current = false;
        ++alignment.machinery->listRecord.version;
    }
    // An entry just made in `list` for an instance the scene draws as `drawn`.
    static void EntryAdded(const Alignment &alignment, const Alignment::PartsMap &list,
                           const Alignment::PartsMap::value_type &entry, const void *drawn);
    // The record in list order, brought up to date first.
    static std::vector<ListSlot> &ListInOrder(const Alignment &alignment);

    // ---- Generating the complete parts list ------------------------------
    static void PartSetChanged(Alignment &alignment) { ++alignment.machinery->partSetChanges; }
    // Whether the host changed the part set from inside the generation under
    // way: the parts it is walking may be gone; it starts over.
    static bool PartSetChangedMeanwhile(const Alignment &alignment) {
        return alignment.machinery->generatedFrom != Alignment::Machinery::kNotGenerating &&
               alignment.machinery->generatedFrom != alignment.machinery->partSetChanges;
    }
    // Where an instance stands in the list being generated.
    struct Place {
        Alignment::PartsMap::iterator position; // its entry in that list, or its place there
        Regeneration::Former *former;           // see Regenerate; null otherwise
        bool listed;                            // generation has listed it already
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
    static void PutInPlace(const Alignment &alignment, FirstGeneration &first);
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

    static constexpr std::size_t kNodesAhead = 32;
    static constexpr std::size_t kObjectsAhead = 16;
};

template <class Visit>
void AlignmentInternals::ForEachListed(const Alignment &alignment, Visit &&visit) {
    std::vector<ListSlot> &slots = ListInOrder(alignment);
    const std::size_t count = slots.size();
    const std::size_t version = alignment.machinery->listRecord.version;
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kNodesAhead < count)
            Prefetch<sizeof(Alignment::PartsMap::value_type)>(slots[i + kNodesAhead].entry);
        if (i + kObjectsAhead < count) {
            const ListSlot &ahead = slots[i + kObjectsAhead];
            Prefetch<sizeof(qlk::Instance)>(ahead.entry->first.get());
            Prefetch<sizeof(qlk::ShapeInstance)>(ahead.drawn);
        }
        const std::uintptr_t visited =
            reinterpret_cast<std::uintptr_t>(slots[i].entry->first.get());
        const void *drawn = visit(*slots[i].entry);
        if (alignment.machinery->listRecord.version != version) {
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
