#include "Playground.h"

#include <climits>
#include <cstdint>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include <moduleutils/DerivedCSys.h>

#include "Format.h"

namespace alignpartsdemo {

using qlalignparts::Alignment;

namespace {

// The most the scene's clock may show, in milliseconds: 2^43.
constexpr long long kClockLimit = 8796093022208;
// How many levels of a product tree `tree` indents.
constexpr int kIndentedLevels = 32;

// The rest of a `custom` or `preview` command: "invalid", or a placement
// given like an instance's position and turn.
du::SmartPtr<moduleutils::DerivedCSys> ReadDerivedCSys(Arguments &args) {
    if (args.Accept("invalid"))
        return du::SmartPtr<moduleutils::DerivedCSys>(
            new moduleutils::DerivedCSys(dg::Location::IDENTITY, false));
    const dg::DVec3 at = args.Vector("X Y Z");
    const dg::DVec3 turn = args.Vector("RX RY RZ");
    return du::SmartPtr<moduleutils::DerivedCSys>(
        new moduleutils::DerivedCSys(Placement(at, turn, 1), true));
}

} // namespace

Playground::Playground(std::ostream &out)
    : out_(out), ownWorld_(new HostWorld), world_(*ownWorld_) {}

Playground::Playground(std::ostream &out, HostWorld &world) : out_(out), world_(world) {}

Playground::~Playground() = default;

template <typename Request> void Playground::Ask(const Arguments &args, Request request) const {
    try {
        request();
    } catch (const HostError &error) {
        throw args.Error(error.what());
    }
}

const std::map<std::string, Playground::Handler> &Playground::Handlers() {
    static const std::map<std::string, Handler> handlers = {
        {"instance", &Playground::Instance},
        {"collection", &Playground::Collection},
        {"new", &Playground::New},
        {"select", &Playground::Select},
        {"add", &Playground::Add},
        {"remove", &Playground::Remove},
        {"origin", &Playground::CSys},
        {"target", &Playground::CSys},
        {"preview", &Playground::Preview},
        {"offsets", &Playground::Offsets},
        {"mode", &Playground::Mode},
        {"previewed", &Playground::Previewed},
        {"reset", &Playground::Reset},
        {"apply", &Playground::Apply},
        {"undo", &Playground::Undo},
        {"redo", &Playground::Redo},
        {"wait", &Playground::Wait},
        {"state", &Playground::State},
        {"locations", &Playground::Locations},
        {"events", &Playground::Events},
        {"moves", &Playground::Moves},
        {"svg", &Playground::Svg},
        {"echo", &Playground::Echo},
        {"load", &Playground::Load},
        {"save", &Playground::Save},
        {"tree", &Playground::Tree},
    };
    return handlers;
}

bool Playground::Knows(const std::string &command) {
    return Handlers().count(command) != 0;
}

void Playground::Execute(Arguments &args, int line) {
    const auto found = Handlers().find(args.Command());
    if (found == Handlers().end())
        throw ScriptError("unknown command '" + args.Command() + "'");
    (this->*found->second)(args, line);
}

// ---------------------------------------------------------------------------
// Building the scene

void Playground::Instance(Arguments &args, int line) {
    const std::string name = args.Word("NAME");
    RequireNewName(args, name);
    du::SmartPtr<qlk::Instance> parent;
    dg::DVec3 at, turn, box, symbol;
    double scale = 1;
    std::set<std::string> given;
    while (!args.AtEnd()) {
        const std::string option = args.Word("option");
        if (!given.insert(option).second)
            throw args.Error("'" + option + "' given twice");
        if (option == "in") {
            parent = FindInstance(args, args.Word("PARENT"), "parent").instance;
        } else if (option == "at") {
            at = args.Vector("X Y Z");
        } else if (option == "turn") {
            turn = args.Vector("RX RY RZ");
        } else if (option == "scale") {
            // Zero hides a part, as files do.
            scale = args.Number("S");
            if (scale < 0)
                throw args.Error("scale cannot be negative");
            // A placement holds its axes in single precision.
            if (scale > std::numeric_limits<float>::max())
                throw args.Error("scale cannot be beyond 3.4e38, the most a placement holds");
        } else if (option == "box") {
            box = args.Vector("DX DY DZ");
            if (box.x < 0 || box.y < 0 || box.z < 0)
                throw args.Error("a box cannot have a negative size");
        } else if (option == "symbol") {
            symbol = args.Vector("AX AY AZ");
        } else if (option != "excluded" && option != "as-part" && option != "no-shape") {
            throw args.Error("unknown option '" + option + "'");
        }
    }
    const bool shaped = !given.count("no-shape");
    if (!shaped)
        for (const char *option : {"at", "turn", "scale", "box", "symbol"})
            if (given.count(option))
                throw args.Error(std::string("'") + option + "' needs a shape: drop 'no-shape'");

    HostWorld::NewInstance wanted;
    wanted.name = name;
    wanted.parent = parent;
    wanted.at = at;
    wanted.turn = turn;
    wanted.scale = scale;
    wanted.box = box;
    wanted.symbol = symbol;
    wanted.shaped = shaped;
    wanted.hasBox = given.count("box") != 0;
    wanted.hasSymbol = given.count("symbol") != 0;
    wanted.excluded = given.count("excluded") != 0;
    wanted.asPart = given.count("as-part") != 0;
    Ask(args, [&] { world_.AddInstance(wanted, line); });
}

void Playground::Collection(Arguments &args, int line) {
    CollectionEntry entry;
    entry.name = args.Word("NAME");
    RequireNewName(args, entry.name);
    entry.type = du::Symbol("Group");
    if (args.Accept("sbom")) {
        entry.instance = FindInstance(args, args.Word("INSTANCE"), "instance").instance;
        entry.type = du::Symbol("SbomInstance");
    }
    bool second = false;
    while (!args.AtEnd()) {
        const std::string word = args.Word("ITEM");
        if (word == "then") {
            if (second)
                throw args.Error("'then' given twice");
            second = true;
            continue;
        }
        (second ? entry.second : entry.first).push_back(MakeItem(args, word, false));
    }
    if (entry.first.empty() && entry.second.empty() && !entry.instance)
        throw args.Error("missing ITEM (part:NAME or assembly:NAME)");
    Ask(args, [&] { world_.AddCollection(entry, line); });
}

// ---------------------------------------------------------------------------
// The alignment and the selection

void Playground::New(Arguments &args, int) {
    const int mask = args.AtEnd() ? 3 : static_cast<int>(args.Integer("MASK", INT_MIN, INT_MAX));
    args.ExpectEnd();
    world_.NewAlignment(mask);
}

void Playground::Select(Arguments &args, int) {
    std::vector<du::SmartPtr<qlk::SelectionItem>> items;
    while (!args.AtEnd())
        items.push_back(MakeItem(args, args.Word("ITEM"), true));
    world_.SetSelection(items);
}

void Playground::Add(Arguments &args, int) {
    Alignment &alignment = RequireAlignment(args);
    args.ExpectEnd();
    alignment.AddSelected();
}

void Playground::Remove(Arguments &args, int) {
    Alignment &alignment = RequireAlignment(args);
    args.ExpectEnd();
    alignment.RemoveSelected();
}

void Playground::CSys(Arguments &args, int) {
    Alignment &alignment = RequireAlignment(args);
    const Alignment::CSYS_ID id =
        args.Command() == "origin" ? Alignment::CSYS_ORIGIN : Alignment::CSYS_TARGET;
    const std::string form = args.Word("none|parts|world|custom");
    Alignment::CSYS_TYPE type = Alignment::CSYS_NONE;
    du::SmartPtr<moduleutils::DerivedCSys> csys;
    if (form == "parts") {
        type = Alignment::CSYS_FROM_PARTS;
    } else if (form == "world") {
        type = Alignment::CSYS_WORLD;
    } else if (form == "custom") {
        type = Alignment::CSYS_CUSTOM;
        csys = ReadDerivedCSys(args);
    } else if (form != "none") {
        throw args.Error("unknown form '" + form + "' (none, parts, world or custom)");
    }
    args.ExpectEnd();
    alignment.SetCSys(id, type, csys);
}

void Playground::Preview(Arguments &args, int) {
    Alignment &alignment = RequireAlignment(args);
    const std::string which = args.Word("origin|target");
    if (which != "origin" && which != "target")
        throw args.Error("'" + which + "' is neither origin nor target");
    const du::SmartPtr<moduleutils::DerivedCSys> csys = ReadDerivedCSys(args);
    args.ExpectEnd();
    alignment.PreviewCustomCSys(which == "origin" ? Alignment::CSYS_ORIGIN : Alignment::CSYS_TARGET,
                                csys);
}

void Playground::Offsets(Arguments &args, int) {
    Alignment &alignment = RequireAlignment(args);
    const dg::DVec3 translation = args.Vector("TX TY TZ");
    const dg::DVec3 rotation = args.Vector("RX RY RZ");
    args.ExpectEnd();
    alignment.SetOffsets(translation, rotation);
}

void Playground::Mode(Arguments &args, int) {
    Alignment &alignment = RequireAlignment(args);
    const long long mode = args.Integer("N", 0, UINT32_MAX);
    args.ExpectEnd();
    alignment.SetAlignmentMode(static_cast<Alignment::ALIGNMENT_MODE>(mode));
}

void Playground::Previewed(Arguments &args, int) {
    Alignment &alignment = RequireAlignment(args);
    const std::string value = args.Word("on|off");
    if (value != "on" && value != "off")
        throw args.Error("'" + value + "' is neither on nor off");
    args.ExpectEnd();
    alignment.SetPreviewed(value == "on");
}

void Playground::Reset(Arguments &args, int) {
    Alignment &alignment = RequireAlignment(args);
    const long long flags = args.Integer("FLAGS", INT_MIN, INT_MAX);
    args.ExpectEnd();
    alignment.Reset(static_cast<int>(flags));
}

// ---------------------------------------------------------------------------
// The host's history and clock

void Playground::Apply(Arguments &args, int) {
    RequireAlignment(args);
    args.ExpectEnd();
    world_.Apply();
}

void Playground::Undo(Arguments &args, int) {
    args.ExpectEnd();
    if (!world_.Undo())
        throw args.Error("nothing to undo");
}

void Playground::Redo(Arguments &args, int) {
    args.ExpectEnd();
    if (!world_.Redo())
        throw args.Error("nothing to redo");
}

void Playground::Wait(Arguments &args, int) {
    if (args.AtEnd()) {
        world_.FinishAnimations();
        return;
    }
    const long long ms = args.Integer("MS", 0, 1LL << 40);
    args.ExpectEnd();
    // Animations end at their start plus their duration on this clock; far
    // below where that sum overflows, a script has waited long enough.
    if (ms > kClockLimit - world_.Clock())
        throw args.Error("the scene's clock would pass " + std::to_string(kClockLimit) +
                         " ms (about 278 years); it stands at " +
                         std::to_string(world_.Clock()) + " ms");
    world_.AdvanceClock(ms);
}

// ---------------------------------------------------------------------------
// Reports

void Playground::State(Arguments &args, int) {
    RequireAlignment(args);
    args.ExpectEnd();
    out_ << world_.StateLine() << '\n';
}

void Playground::Locations(Arguments &args, int) {
    args.ExpectEnd();
    for (const InstanceEntry &entry : world_.Instances()) {
        dg::Location location;
        if (!world_.Where(entry, location))
            continue;
        out_ << entry.name << ' ' << FormatLocation(location) << '\n';
    }
    if (!world_.GetAlignment())
        return;
    for (const bool origin : {true, false}) {
        const PictureWidget widget = world_.DescribeWidget(origin);
        out_ << "widget " << (origin ? "origin " : "target ")
             << (widget.shown ? "shown " : "hidden ") << FormatLocation(widget.location) << '\n';
    }
}

void Playground::Events(Arguments &args, int) {
    args.ExpectEnd();
    for (const std::string &line : world_.TakeEvents())
        out_ << line << '\n';
}

void Playground::Moves(Arguments &args, int) {
    args.ExpectEnd();
    for (const auto &[duration, count] : world_.TakeMoves())
        out_ << "move " << duration << ' ' << count << '\n';
}

void Playground::Svg(Arguments &args, int) {
    const std::string file = args.Word("FILE");
    args.ExpectEnd();
    std::ofstream svg(file, std::ios::binary | std::ios::trunc);
    if (svg)
        WriteSvg(world_.MakePicture(), svg);
    svg.close();
    if (!svg)
        throw OutputError("svg: cannot write '" + file + "'");
}

void Playground::Echo(Arguments &args, int) {
    std::string text;
    while (!args.AtEnd())
        text += (text.empty() ? "" : " ") + args.Word("TEXT");
    out_ << text << '\n';
}

// ---------------------------------------------------------------------------
// Assemblies kept in glTF files

void Playground::Load(Arguments &args, int line) {
    const std::string path = args.Word("FILE");
    args.ExpectEnd();
    if (const GltfFile *loaded = world_.File())
        throw args.Error("a script loads one file; line " + std::to_string(world_.FileLine()) +
                         " loaded '" + loaded->Path() + "'");
    GltfFile file = [&] {
        try {
            return GltfFile::Load(path);
        } catch (const GltfError &error) {
            if (error.GetKind() == GltfError::UNREADABLE)
                throw OutputError("load: " + std::string(error.what()));
            throw args.Error(error.what());
        }
    }();
    Ask(args, [&] { world_.AddFile(std::move(file), line); });
}

void Playground::Save(Arguments &args, int) {
    const std::string path = args.Word("FILE");
    args.ExpectEnd();
    try {
        Ask(args, [&] { world_.SaveFile(path); });
    } catch (const GltfError &error) {
        if (error.GetKind() == GltfError::UNWRITABLE)
            throw OutputError("save: " + std::string(error.what()));
        throw args.Error(error.what());
    }
}

void Playground::Tree(Arguments &args, int) {
    args.ExpectEnd();
    std::vector<std::pair<const qlk::Instance *, int>> pending;
    for (auto entry = world_.Instances().rbegin(); entry != world_.Instances().rend(); ++entry)
        if (!entry->instance->GetParent())
            pending.emplace_back(entry->instance.get(), 0);
    std::vector<du::SmartPtr<qlk::Instance>> children;
    while (!pending.empty()) {
        const auto [instance, depth] = pending.back();
        pending.pop_back();
        // Two spaces a level keep a deep chain's listing quadratic in its
        // length; past some depth the level is written as a number instead.
        if (depth <= kIndentedLevels)
            out_ << std::string(std::size_t(depth) * 2, ' ') << instance->GetName() << '\n';
        else
            out_ << std::string(std::size_t(kIndentedLevels) * 2, ' ') << '[' << depth << "] "
                 << instance->GetName() << '\n';
        children.clear();
        instance->GetChildren(children);
        for (auto child = children.rbegin(); child != children.rend(); ++child)
            pending.emplace_back(child->get(), depth + 1);
    }
}

// ---------------------------------------------------------------------------
// Helpers

Alignment &Playground::RequireAlignment(const Arguments &args) const {
    if (!world_.GetAlignment())
        throw args.Error("there is no alignment yet (make one with 'new')");
    return *world_.GetAlignment();
}

const Playground::InstanceEntry &
Playground::FindInstance(const Arguments &args, const std::string &name, const char *role) const {
    if (const InstanceEntry *entry = world_.FindInstance(name))
        return *entry;
    if (world_.FindCollection(name))
        throw args.Error("'" + name + "' is a collection, not an instance (" + role + ")");
    throw args.Error(std::string("unknown ") + role + " '" + name + "'");
}

void Playground::RequireNewName(const Arguments &args, const std::string &name) const {
    Ask(args, [&] { world_.RequireNewName(name); });
}

du::SmartPtr<qlk::SelectionItem>
Playground::MakeItem(const Arguments &args, const std::string &word, bool collections) const {
    const std::size_t colon = word.find(':');
    const std::string kind = colon == std::string::npos ? std::string() : word.substr(0, colon);
    const std::string name = colon == std::string::npos ? std::string() : word.substr(colon + 1);
    if (kind == "part")
        return new qlk::ObjectSelectionItem(FindInstance(args, name, "instance").instance,
                                            qlk::mcad_selection::Instance, true);
    if (kind == "assembly") {
        // As a host does, an assembly item says it is a part item exactly when
        // its instance is treated as a part, so that removing it finds the part.
        const du::SmartPtr<qlk::Instance> &instance = FindInstance(args, name, "instance").instance;
        return new qlk::ObjectSelectionItem(instance, qlk::mcad_selection::Assembly,
                                            instance && instance->IsTreatedAsPart());
    }
    if (kind == "collection" && collections) {
        if (const CollectionEntry *entry = world_.FindCollection(name))
            return new qlk::CollectionSelectionItem(entry->comparison, entry->type, entry->instance,
                                                    entry->first, entry->second);
        throw args.Error("unknown collection '" + name + "'");
    }
    throw args.Error("'" + word + "' is not an item (part:NAME, assembly:NAME" +
                     (collections ? ", collection:NAME)" : ")"));
}

} // namespace alignpartsdemo
