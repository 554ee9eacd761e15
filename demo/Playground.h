// The demo's host: a stand-in scene with a product tree, a selection, an undo
// history and one Alignment, driven command by command from a script.
//
// The Playground plays the part a viewer plays around the align-parts tool: it
// builds instances and collections, replaces the selection as the user would,
// calls the Alignment only through its public interface, records its
// notifications with an AlignmentObserver, runs the scene's clock, and reports
// what it sees as text or as a picture. Each command is one member; Execute
// dispatches by name and throws ScriptError for anything the script got wrong.
//
// Typical use:
//   Playground playground(std::cout);
//   Arguments args("instance", {"bolt", "at", "1", "0", "0"});
//   playground.Execute(args, 1);
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <dg/Geometry.h>
#include <du/SmartPtr.h>
#include <qlalignparts/Alignment.h>
#include <qlk/Kernel.h>
#include <qlmk/CSysPreviewWidget.h>

#include "GltfFile.h"
#include "Picture.h"
#include "Script.h"

namespace alignpartsdemo {

class Playground {
public:
    explicit Playground(std::ostream &out);
    ~Playground();
    Playground(const Playground &) = delete;
    Playground &operator=(const Playground &) = delete;

    // Whether `command` names a command of the playground.
    static bool Knows(const std::string &command);
    // Runs one command (`line` is where it stands, for messages that point back
    // at an earlier line). Throws ScriptError or OutputError.
    void Execute(Arguments &args, int line);

private:
    class EventRecorder;

    struct InstanceEntry {
        std::string name;
        int line = 0;
        du::SmartPtr<qlk::Instance> instance;
        bool hasBox = false;
        dg::DVec3 box;
        dg::DVec3 boxCentre; // in the instance's own frame
        bool fromFile = false;
        dg::Location created; // where it stood when the script made it
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

    void Instance(Arguments &args, int line);
    void Collection(Arguments &args, int line);
    void New(Arguments &args, int line);
    void Select(Arguments &args, int line);
    void Add(Arguments &args, int line);
    void Remove(Arguments &args, int line);
    void CSys(Arguments &args, int line);
    void Preview(Arguments &args, int line);
    void Offsets(Arguments &args, int line);
    void Mode(Arguments &args, int line);
    void Previewed(Arguments &args, int line);
    void Reset(Arguments &args, int line);
    void Apply(Arguments &args, int line);
    void Undo(Arguments &args, int line);
    void Redo(Arguments &args, int line);
    void Wait(Arguments &args, int line);
    void State(Arguments &args, int line);
    void Locations(Arguments &args, int line);
    void Events(Arguments &args, int line);
    void Moves(Arguments &args, int line);
    void Svg(Arguments &args, int line);
    void Echo(Arguments &args, int line);
    void Load(Arguments &args, int line);
    void Save(Arguments &args, int line);
    void Tree(Arguments &args, int line);

    using Handler = void (Playground::*)(Arguments &, int);
    static const std::map<std::string, Handler> &Handlers();

    // The alignment, or a ScriptError naming the command that needs one.
    qlalignparts::Alignment &RequireAlignment(const Arguments &args) const;
    const InstanceEntry &FindInstance(const Arguments &args, const std::string &name,
                                      const char *role) const;
    void RequireNewName(const Arguments &args, const std::string &name) const;
    // `part:NAME`, `assembly:NAME` (and, with `collections`, `collection:NAME`)
    // as a fresh selection item, the way a host makes one for each selection.
    du::SmartPtr<qlk::SelectionItem> MakeItem(const Arguments &args, const std::string &word,
                                              bool collections) const;
    du::SmartPtr<qlk::ShapeInstance> Shape(const du::SmartPtr<qlk::Instance> &instance) const;
    // The alignment's widget with this label key, as the host finds it among the
    // markups the alignment has handed to the scene; null until it has handed one.
    const qlmk::CSysPreviewWidget *FindWidget(const char *labelKey) const;
    PictureWidget DescribeWidget(const char *labelKey) const;
    std::string StateLine() const;
    Picture MakePicture() const;

    std::ostream &out_;
    du::SmartPtr<qlk::ShapeScene> scene_;
    du::SmartPtr<qlk::ShapeView> view_;
    du::SmartPtr<qlk::SelectionManager> selectionManager_;
    std::vector<InstanceEntry> instances_;
    std::vector<CollectionEntry> collections_;
    std::map<std::string, int> names_; // every name used, with the line that made it
    // The loaded glTF file, and the instance made for each of its nodes.
    std::unique_ptr<GltfFile> file_;
    int fileLine_ = 0;
    std::vector<std::size_t> fileInstances_;
    qlk::History history_;
    du::SmartPtr<EventRecorder> recorder_;
    du::SmartPtr<qlalignparts::Alignment> alignment_;
    // The scene's records of markup calls and animated moves are append-only
    // logs; these say how far the playground has read them. Markup calls from
    // before the current alignment name widgets that may be gone.
    std::size_t markupCallsOfAlignment_ = 0;
    std::size_t movesReported_ = 0;
};

} // namespace alignpartsdemo
