// The host around one Alignment: a stand-in scene with a product tree of
// instances and collections, a selection manager, an undo history, the scene's
// clock, the Alignment and the observer that records its notifications.
//
// Both hosts of the project drive it: the script playground (one command a
// line) and the viewer (one HTTP request at a time). It calls the Alignment
// only through its public interface and finds the alignment's widgets as a host
// does, among the markups handed to its scene. Refusals that a user caused (a
// name used twice, nothing to save) throw HostError with a one-line message;
// each caller adds where the request came from.
//
// Typical use:
//   HostWorld world;
//   HostWorld::NewInstance bolt;
//   bolt.name = "bolt";
//   bolt.at = dg::DVec3(1, 0, 0);
//   world.AddInstance(bolt, 1);
//   world.NewAlignment(3);
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <dg/Geometry.h>
#include <du/SmartPtr.h>
#include <qlalignparts/Alignment.h>
#include <qlk/Kernel.h>
#include <qlmk/CSysPreviewWidget.h>

#include "GltfFile.h"
#include "Picture.h"

namespace alignpartsdemo {

// A request the world refuses as it stands (a name used twice, nothing to save).
class HostError : public std::runtime_error {
public:
    explicit HostError(const std::string &message) : std::runtime_error(message) {}
};

// Position `at`, rotation RotationX(rx)·RotationY(ry)·RotationZ(rz) (degrees)
// in the dg row-vector convention, times a uniform scale.
dg::Location Placement(const dg::DVec3 &at, const dg::DVec3 &turn, double scale);

class HostWorld {
public:
    struct InstanceEntry {
        std::string name;
        int line = 0;
        du::SmartPtr<qlk::Instance> instance;
        bool hasBox = false;
        dg::DVec3 box;
        dg::DVec3 boxCentre; // in the instance's own frame
        bool fromFile = false;
        int gltfNode = -1;    // the file's node it stands for
        dg::Location created; // where it stood when it was made
    };

    struct CollectionEntry {
        std::string name;
        du::SmartPtr<du::RefCounted>
            comparison; // stands for the collection, whatever item shows it
        du::Symbol type;
        du::SmartPtr<qlk::Instance> instance;
        std::vector<du::SmartPtr<qlk::SelectionItem>> first;
        std::vector<du::SmartPtr<qlk::SelectionItem>> second;
    };

    // An instance as a script or a file describes it.
    struct NewInstance {
        std::string name;
        du::SmartPtr<qlk::Instance> parent;
        dg::DVec3 at, turn, box, symbol;
        double scale = 1;
        bool shaped = true; // without a shape, the alignment may create one later
        bool hasBox = false;
        bool hasSymbol = false;
        bool excluded = false;
        bool asPart = false;
    };

    HostWorld();
    ~HostWorld();
    HostWorld(const HostWorld &) = delete;
    HostWorld &operator=(const HostWorld &) = delete;

    // ---- The product tree -------------------------------------------------
    // `line` is where the name was made, for messages that point back at it.
    void AddInstance(const NewInstance &wanted, int line);
    void AddCollection(CollectionEntry entry, int line);
    const InstanceEntry *FindInstance(const std::string &name) const;
    const CollectionEntry *FindCollection(const std::string &name) const;
    // Throws HostError when the name is taken by an instance or a collection.
    void RequireNewName(const std::string &name) const;
    const std::vector<InstanceEntry> &Instances() const { return instances_; }
    const std::vector<CollectionEntry> &Collections() const { return collections_; }
    // Instances in tree order (each before its children, siblings in the order
    // made), with their depth.
    std::vector<std::pair<const InstanceEntry *, int>> TreeOrder() const;

    // ---- Assemblies kept in glTF files ------------------------------------
    // Makes an instance for each node of the file; every name is checked
    // first, so that a refused file leaves the world as it was. One file a world.
    void AddFile(GltfFile file, int line);
    const GltfFile *File() const { return file_.get(); }
    int FileLine() const { return fileLine_; }
    // Writes the file with every node where it stands now. GltfError passes through.
    void SaveFile(const std::string &path) const;

    // ---- The alignment and the selection ----------------------------------
    // Replaces the alignment (and its observer registration) with a new one.
    void NewAlignment(int mask);
    qlalignparts::Alignment *GetAlignment() const { return alignment_.get(); }
    void SetSelection(const std::vector<du::SmartPtr<qlk::SelectionItem>> &items);
    const std::vector<du::SmartPtr<qlk::SelectionItem>> &Selected() const;

    // ---- The history and the clock ----------------------------------------
    // Applies the alignment as one operation on the history. Throws HostError
    // without an alignment.
    void Apply();
    bool Undo();
    bool Redo();
    bool CanUndo() const { return history_.GetDoneCount() > 0; }
    bool CanRedo() const { return history_.GetUndoneCount() > 0; }
    void AdvanceClock(long long ms);
    void FinishAnimations();
    long long Clock() const;
    bool IsAnimating() const;

    // ---- What the host sees -----------------------------------------------
    qlk::ShapeScene &Scene() const { return *scene_; }
    const du::SmartPtr<qlk::ShapeView> &View() const { return view_; }
    du::SmartPtr<qlk::ShapeInstance> Shape(const du::SmartPtr<qlk::Instance> &instance) const;
    // Where the instance stands now (interpolated mid-animation); false when
    // it has no shape in the scene.
    bool Where(const InstanceEntry &entry, dg::Location &location) const;
    // The origin (true) or target (false) widget as the host sees it.
    PictureWidget DescribeWidget(bool origin) const;
    // The state line of the alignment (there must be one).
    std::string StateLine() const;
    // Delivers what the alignment posted and answers the notifications
    // recorded since the last call, one line each.
    std::vector<std::string> TakeEvents();
    // The scene's animated and immediate moves since the last call: duration and count.
    std::vector<std::pair<int, std::size_t>> TakeMoves();
    Picture MakePicture() const;

private:
    class EventRecorder;

    // The alignment's widget with this label key, as the host finds it among the
    // markups the alignment has handed to the scene; null until it has handed one.
    const qlmk::CSysPreviewWidget *FindWidget(const char *labelKey) const;

    du::SmartPtr<qlk::ShapeScene> scene_;
    du::SmartPtr<qlk::ShapeView> view_;
    du::SmartPtr<qlk::SelectionManager> selectionManager_;
    std::vector<InstanceEntry> instances_;
    std::vector<CollectionEntry> collections_;
    std::map<std::string, int> names_; // every name used, with the line that made it
    std::unordered_map<std::string, std::size_t> instanceIndex_; // name -> place in instances_
    // The loaded glTF file, and the instance made for each of its nodes.
    std::unique_ptr<GltfFile> file_;
    int fileLine_ = 0;
    std::vector<std::size_t> fileInstances_;
    qlk::History history_;
    du::SmartPtr<EventRecorder> recorder_;
    du::SmartPtr<qlalignparts::Alignment> alignment_;
    // The scene's records of markup calls and animated moves are append-only
    // logs; these say how far the world has read them. Markup calls from
    // before the current alignment name widgets that may be gone.
    std::size_t markupCallsOfAlignment_ = 0;
    std::size_t movesReported_ = 0;
};

} // namespace alignpartsdemo
