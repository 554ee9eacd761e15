// The demo's script language over the host world (HostWorld: a stand-in scene
// with a product tree, a selection, an undo history and one Alignment), driven
// command by command from a script.
//
// The Playground plays the part a viewer's user interface plays around the
// align-parts tool: it reads each command's words, has the world build
// instances and collections, replace the selection as the user would, call the
// Alignment, run the scene's clock, and reports what the world sees as text or
// as a picture. Each command is one member; Execute dispatches by name and
// throws ScriptError for anything the script got wrong.
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

#include "HostWorld.h"
#include "Script.h"

namespace alignpartsdemo {

class Playground {
public:
    explicit Playground(std::ostream &out);
    // A playground that drives a world made elsewhere (the viewer builds its
    // sample scene through one).
    Playground(std::ostream &out, HostWorld &world);
    ~Playground();
    Playground(const Playground &) = delete;
    Playground &operator=(const Playground &) = delete;

    // Whether `command` names a command of the playground.
    static bool Knows(const std::string &command);
    // Runs one command (`line` is where it stands, for messages that point back
    // at an earlier line). Throws ScriptError or OutputError.
    void Execute(Arguments &args, int line);

private:
    using InstanceEntry = HostWorld::InstanceEntry;
    using CollectionEntry = HostWorld::CollectionEntry;

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
    // Runs a request of the world, turning what it refuses into this command's error.
    template <typename Request> void Ask(const Arguments &args, Request request) const;
    // `part:NAME`, `assembly:NAME` (and, with `collections`, `collection:NAME`)
    // as a fresh selection item, the way a host makes one for each selection.
    du::SmartPtr<qlk::SelectionItem> MakeItem(const Arguments &args, const std::string &word,
                                              bool collections) const;

    std::ostream &out_;
    std::unique_ptr<HostWorld> ownWorld_;
    HostWorld &world_;
};

} // namespace alignpartsdemo
