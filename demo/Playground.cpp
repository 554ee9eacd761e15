#include "Playground.h"

#include <climits>
#include <cstdint>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include <dom/Messaging.h>
#include <du/Localizer.h>
#include <moduleutils/DerivedCSys.h>
#include <qlalignparts/AlignmentObserver.h>

#include "Format.h"

namespace alignpartsdemo {

using qlalignparts::Alignment;

namespace {

constexpr double kDegree = 0.017453292519943295;
constexpr const char *kOriginKey = "ALIGNPARTS_ORIGIN";
constexpr const char *kTargetKey = "ALIGNPARTS_TARGET";
// The most the scene's clock may show, in milliseconds: 2^43.
constexpr long long kClockLimit = 8796093022208;
// How many levels of a product tree `tree` indents.
constexpr int kIndentedLevels = 32;

// Position `at`, rotation RotationX(rx)·RotationY(ry)·RotationZ(rz) in the dg
// row-vector convention, times a uniform scale.
dg::Location Placement(const dg::DVec3 &at, const dg::DVec3 &turn, double scale) {
    const dg::DMat44 rotation(dg::DMat44(dg::DMat44::RotationX(turn.x * kDegree),
                                         dg::DMat44::RotationY(turn.y * kDegree)),
                              dg::DMat44::RotationZ(turn.z * kDegree));
    dg::FMat33 matrix;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column)
            matrix.m[row][column] = static_cast<float>(rotation.m[row][column] * scale);
    return dg::Location(matrix, dg::DPoint3D(at));
}

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

std::string Localized(const char *key) {
    return du::Localizer("qlbase:qlmodulesStrings").LocalizeMessage(key, du::Localizer::RETURN_KEY);
}

} // namespace

// Writes each notification as one line, in the order the host delivers them.
class Playground::EventRecorder : public qlalignparts::AlignmentObserver {
public:
    void OnPartsChanged() override { lines.push_back("parts"); }
    void OnOffsetsChanged() override { lines.push_back("offsets"); }
    void OnCSysChanged(int id, int type,
                       const du::SmartPtr<moduleutils::DerivedCSys> &csys) override {
        lines.push_back("csys " + std::to_string(id) + ' ' + std::to_string(type) +
                        (csys ? " set" : " null"));
    }

    std::vector<std::string> lines;
};

Playground::Playground(std::ostream &out)
    : out_(out), scene_(new qlk::ShapeScene), view_(new qlk::ShapeView(scene_)),
      selectionManager_(new qlk::SelectionManager), recorder_(new EventRecorder) {
    scene_->SetSelectionManager(selectionManager_);
}

Playground::~Playground() {
    // Nothing is delivered any more: a notification handler that threw here
    // would have nowhere to go.
    if (alignment_) {
        alignment_->UnregisterObserver(*recorder_);
        alignment_ = nullptr;
    }
    dom::MessageLoop::Discard();
    history_.Clear();
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

    InstanceEntry entry;
    entry.name = name;
    entry.line = line;
    entry.instance = new qlk::Instance(name);
    entry.instance->SetExcluded(given.count("excluded") != 0);
    entry.instance->SetTreatedAsPart(given.count("as-part") != 0);
    entry.instance->Set3dSymbol(given.count("symbol") != 0);
    if (parent)
        parent->AddChild(entry.instance);
    entry.hasBox = given.count("box") != 0;
    entry.box = box;
    // An instance made without a shape may get one later from the alignment,
    // which the scene creates at the identity placement.
    entry.created = dg::Location::IDENTITY;
    if (shaped) {
        entry.created = Placement(at, turn, scale);
        const du::SmartPtr<qlk::ShapeInstance> shape =
            scene_->CreateShapeInstance(entry.instance, entry.created);
        if (given.count("symbol")) {
            du::SmartPtr<qlk::AnnoSet> annotations;
            scene_->GetAnnoSet(annotations);
            annotations->AddAnnotation(shape, new qlk::Annotation(dg::DPoint3D(symbol)));
        }
    }
    instances_.push_back(entry);
    names_[name] = line;
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
    entry.comparison = new du::RefCounted;
    collections_.push_back(entry);
    names_[entry.name] = line;
}

// ---------------------------------------------------------------------------
// The alignment and the selection

void Playground::New(Arguments &args, int) {
    const int mask = args.AtEnd() ? 3 : static_cast<int>(args.Integer("MASK", INT_MIN, INT_MAX));
    args.ExpectEnd();
    if (alignment_) {
        // What the old alignment posted was meant for the recorder while it
        // listened; let it arrive before the alignment goes.
        dom::MessageLoop::Pump();
        alignment_->UnregisterObserver(*recorder_);
        alignment_ = nullptr;
    }
    markupCallsOfAlignment_ = scene_->GetMarkupCalls().size();
    alignment_ = new Alignment(view_, mask);
    alignment_->RegisterObserver(*recorder_);
}

void Playground::Select(Arguments &args, int) {
    std::vector<du::SmartPtr<qlk::SelectionItem>> items;
    while (!args.AtEnd())
        items.push_back(MakeItem(args, args.Word("ITEM"), true));
    selectionManager_->SetSelection(items);
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
    Alignment &alignment = RequireAlignment(args);
    args.ExpectEnd();
    const du::SmartPtr<qlk::Operation> operation(new qlk::Operation);
    alignment.Apply(operation);
    history_.Push(operation);
}

void Playground::Undo(Arguments &args, int) {
    args.ExpectEnd();
    if (!history_.Undo())
        throw args.Error("nothing to undo");
}

void Playground::Redo(Arguments &args, int) {
    args.ExpectEnd();
    if (!history_.Redo())
        throw args.Error("nothing to redo");
}

void Playground::Wait(Arguments &args, int) {
    if (args.AtEnd()) {
        scene_->FinishAnimations();
        return;
    }
    const long long ms = args.Integer("MS", 0, 1LL << 40);
    args.ExpectEnd();
    // Animations end at their start plus their duration on this clock; far
    // below where that sum overflows, a script has waited long enough.
    if (ms > kClockLimit - scene_->GetClock())
        throw args.Error("the scene's clock would pass " + std::to_string(kClockLimit) +
                         " ms (about 278 years); it stands at " +
                         std::to_string(scene_->GetClock()) + " ms");
    scene_->AdvanceClock(ms);
}

// ---------------------------------------------------------------------------
// Reports

void Playground::State(Arguments &args, int) {
    RequireAlignment(args);
    args.ExpectEnd();
    out_ << StateLine() << '\n';
}

void Playground::Locations(Arguments &args, int) {
    args.ExpectEnd();
    for (const InstanceEntry &entry : instances_) {
        const du::SmartPtr<qlk::ShapeInstance> shape = Shape(entry.instance);
        if (!shape)
            continue;
        dg::Location location;
        shape->GetLocation(location);
        out_ << entry.name << ' ' << FormatLocation(location) << '\n';
    }
    if (!alignment_)
        return;
    for (const char *key : {kOriginKey, kTargetKey}) {
        const PictureWidget widget = DescribeWidget(key);
        out_ << "widget " << (key == kOriginKey ? "origin " : "target ")
             << (widget.shown ? "shown " : "hidden ") << FormatLocation(widget.location) << '\n';
    }
}

void Playground::Events(Arguments &args, int) {
    args.ExpectEnd();
    dom::MessageLoop::Pump();
    for (const std::string &line : recorder_->lines)
        out_ << line << '\n';
    recorder_->lines.clear();
}

void Playground::Moves(Arguments &args, int) {
    args.ExpectEnd();
    const auto &calls = scene_->GetExplodeCalls();
    for (std::size_t i = movesReported_; i < calls.size(); ++i)
        out_ << "move " << calls[i].duration << ' ' << calls[i].count << '\n';
    movesReported_ = calls.size();
}

void Playground::Svg(Arguments &args, int) {
    const std::string file = args.Word("FILE");
    args.ExpectEnd();
    std::ofstream svg(file, std::ios::binary | std::ios::trunc);
    if (svg)
        WriteSvg(MakePicture(), svg);
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
    if (file_)
        throw args.Error("a script loads one file; line " + std::to_string(fileLine_) +
                         " loaded '" + file_->Path() + "'");
    GltfFile file = [&] {
        try {
            return GltfFile::Load(path);
        } catch (const GltfError &error) {
            if (error.GetKind() == GltfError::UNREADABLE)
                throw OutputError("load: " + std::string(error.what()));
            throw args.Error(error.what());
        }
    }();
    // Every name is checked before the first instance is made, so that a
    // refused file leaves the scene as it was.
    std::vector<dg::Location> placements;
    placements.reserve(file.Nodes().size());
    for (const GltfNode &node : file.Nodes()) {
        RequireNewName(args, node.name);
        dg::Location placement;
        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < 3; ++column)
                placement.mat.m[row][column] = static_cast<float>(node.world.m[row][column]);
        placement.pos = dg::DPoint3D(node.world.m[3][0], node.world.m[3][1], node.world.m[3][2]);
        if (!dg::IsFinite(placement))
            throw args.Error("'" + path + "': node " + node.name +
                             " stands too far out for the scene");
        placements.push_back(placement);
    }
    fileInstances_.clear();
    instances_.reserve(instances_.size() + file.Nodes().size());
    for (std::size_t i = 0; i < file.Nodes().size(); ++i) {
        const GltfNode &node = file.Nodes()[i];
        InstanceEntry entry;
        entry.name = node.name;
        entry.line = line;
        entry.instance = new qlk::Instance(node.name);
        if (node.parent >= 0)
            instances_[fileInstances_[std::size_t(node.parent)]].instance->AddChild(entry.instance);
        entry.hasBox = node.hasBounds;
        entry.box = node.high - node.low;
        entry.boxCentre = 0.5 * (node.low + node.high);
        entry.fromFile = true;
        entry.created = placements[i];
        scene_->CreateShapeInstance(entry.instance, entry.created);
        fileInstances_.push_back(instances_.size());
        names_[node.name] = line;
        instances_.push_back(std::move(entry));
    }
    file_.reset(new GltfFile(std::move(file)));
    fileLine_ = line;
}

void Playground::Save(Arguments &args, int) {
    const std::string path = args.Word("FILE");
    args.ExpectEnd();
    if (!file_)
        throw args.Error("nothing to save: no file was loaded (use 'load FILE')");
    std::vector<dg::DMat44> worlds;
    worlds.reserve(fileInstances_.size());
    for (std::size_t index : fileInstances_) {
        const InstanceEntry &entry = instances_[index];
        dg::Location now = entry.created;
        if (const du::SmartPtr<qlk::ShapeInstance> shape = Shape(entry.instance))
            shape->GetLocation(now);
        worlds.push_back(now.ToMatrix());
    }
    try {
        file_->Save(path, worlds);
    } catch (const GltfError &error) {
        if (error.GetKind() == GltfError::UNWRITABLE)
            throw OutputError("save: " + std::string(error.what()));
        throw args.Error(error.what());
    }
}

void Playground::Tree(Arguments &args, int) {
    args.ExpectEnd();
    std::vector<std::pair<const qlk::Instance *, int>> pending;
    for (auto entry = instances_.rbegin(); entry != instances_.rend(); ++entry)
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
    if (!alignment_)
        throw args.Error("there is no alignment yet (make one with 'new')");
    return *alignment_;
}

const Playground::InstanceEntry &
Playground::FindInstance(const Arguments &args, const std::string &name, const char *role) const {
    for (const InstanceEntry &entry : instances_)
        if (entry.name == name)
            return entry;
    for (const CollectionEntry &entry : collections_)
        if (entry.name == name)
            throw args.Error("'" + name + "' is a collection, not an instance (" + role + ")");
    throw args.Error(std::string("unknown ") + role + " '" + name + "'");
}

void Playground::RequireNewName(const Arguments &args, const std::string &name) const {
    const auto used = names_.find(name);
    if (used != names_.end())
        throw args.Error("name '" + name + "' is already used (line " +
                         std::to_string(used->second) + ")");
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
        for (const CollectionEntry &entry : collections_)
            if (entry.name == name)
                return new qlk::CollectionSelectionItem(entry.comparison, entry.type,
                                                        entry.instance, entry.first, entry.second);
        throw args.Error("unknown collection '" + name + "'");
    }
    throw args.Error("'" + word + "' is not an item (part:NAME, assembly:NAME" +
                     (collections ? ", collection:NAME)" : ")"));
}

du::SmartPtr<qlk::ShapeInstance>
Playground::Shape(const du::SmartPtr<qlk::Instance> &instance) const {
    du::SmartPtr<qlk::ShapeInstance> shape;
    scene_->GetShapeInstance(instance, shape);
    return shape;
}

const qlmk::CSysPreviewWidget *Playground::FindWidget(const char *labelKey) const {
    // The alignment's widgets are not part of its interface. A host sees them
    // as the markups the alignment hands to its scene, each made for this view
    // and labelled with the localised text of its key.
    const std::string label = Localized(labelKey);
    const auto &calls = scene_->GetMarkupCalls();
    for (std::size_t i = markupCallsOfAlignment_; i < calls.size(); ++i) {
        const auto *widget = dynamic_cast<const qlmk::CSysPreviewWidget *>(calls[i].markup);
        if (widget && widget->GetView() == view_.get() && widget->GetLabel() == label)
            return widget;
    }
    return nullptr;
}

PictureWidget Playground::DescribeWidget(const char *labelKey) const {
    PictureWidget described;
    described.present = static_cast<bool>(alignment_);
    described.label = Localized(labelKey);
    described.color = dg::Color(0.5f, 0.5f, 0.5f, 1.0f);
    described.location = dg::Location::IDENTITY;
    if (!alignment_)
        return described;
    // A widget the alignment never handed to the scene has never been placed:
    // it still stands where it was made, at the identity.
    if (const qlmk::CSysPreviewWidget *widget = FindWidget(labelKey)) {
        described.shown = scene_->IsMarkupShown(widget);
        described.label = widget->GetLabel();
        described.color = widget->GetColor();
        described.location = widget->GetLocation();
    }
    return described;
}

std::string Playground::StateLine() const {
    const Alignment &alignment = *alignment_;
    std::vector<du::SmartPtr<qlk::SelectionItem>> selection;
    const std::size_t selected = alignment.GetSelection(selection);
    du::SmartPtr<moduleutils::DerivedCSys> csys;
    const int origin = alignment.GetCSys(Alignment::CSYS_ORIGIN, csys);
    const int target = alignment.GetCSys(Alignment::CSYS_TARGET, csys);
    dg::DVec3 translation, rotation;
    alignment.GetOffsets(translation, rotation);
    std::ostringstream line;
    line << "parts " << alignment.GetNumParts() << " assemblies " << alignment.GetNumAssemblies()
         << " collections " << alignment.GetNumCollections() << " selection " << selected
         << " started " << FormatBool(alignment.GetStarted()) << " valid "
         << FormatBool(alignment.GetValid()) << " can-add "
         << FormatBool(alignment.CanAddSelected()) << " can-remove "
         << FormatBool(alignment.CanRemoveSelected()) << " previewed "
         << FormatBool(alignment.GetPreviewed()) << " mode "
         << static_cast<unsigned int>(alignment.GetAlignmentMode()) << " origin " << origin
         << " target " << target << " offsets";
    for (const dg::DVec3 *offset : {&translation, &rotation})
        for (int i = 0; i < 3; ++i)
            line << ' ' << FormatNumber((*offset)[i]);
    return line.str();
}

Picture Playground::MakePicture() const {
    Picture picture;
    for (const InstanceEntry &entry : instances_) {
        const du::SmartPtr<qlk::ShapeInstance> shape = Shape(entry.instance);
        // A file's node without a mesh only groups others; there is nothing to draw.
        if (!shape || (entry.fromFile && !entry.hasBox))
            continue;
        PictureInstance drawn;
        drawn.name = entry.name;
        drawn.hasBox = entry.hasBox;
        drawn.box = entry.box;
        drawn.centre = entry.boxCentre;
        drawn.before = entry.created;
        shape->GetLocation(drawn.now);
        picture.instances.push_back(drawn);
    }
    picture.origin = DescribeWidget(kOriginKey);
    picture.target = DescribeWidget(kTargetKey);
    if (alignment_)
        picture.stateLine = StateLine();
    return picture;
}

} // namespace alignpartsdemo
