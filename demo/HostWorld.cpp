#include "HostWorld.h"

#include <dom/Messaging.h>
#include <du/Localizer.h>
#include <moduleutils/DerivedCSys.h>
#include <qlalignparts/AlignmentObserver.h>

#include <sstream>

#include "Format.h"

namespace alignpartsdemo {

using qlalignparts::Alignment;

namespace {

constexpr double kDegree = 0.017453292519943295;
constexpr const char *kOriginKey = "ALIGNPARTS_ORIGIN";
constexpr const char *kTargetKey = "ALIGNPARTS_TARGET";

std::string Localized(const char *key) {
    return du::Localizer("qlbase:qlmodulesStrings").LocalizeMessage(key, du::Localizer::RETURN_KEY);
}

} // namespace

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

// Writes each notification as one line, in the order the host delivers them.
class HostWorld::EventRecorder : public qlalignparts::AlignmentObserver {
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

HostWorld::HostWorld()
    : scene_(new qlk::ShapeScene), view_(new qlk::ShapeView(scene_)),
      selectionManager_(new qlk::SelectionManager), recorder_(new EventRecorder) {
    scene_->SetSelectionManager(selectionManager_);
}

HostWorld::~HostWorld() {
    // Nothing is delivered any more: a notification handler that threw here
    // would have nowhere to go.
    if (alignment_) {
        alignment_->UnregisterObserver(*recorder_);
        alignment_ = nullptr;
    }
    dom::MessageLoop::Discard();
    history_.Clear();
}

// ---------------------------------------------------------------------------
// The product tree

void HostWorld::AddInstance(const NewInstance &wanted, int line) {
    RequireNewName(wanted.name);
    InstanceEntry entry;
    entry.name = wanted.name;
    entry.line = line;
    entry.instance = new qlk::Instance(wanted.name);
    entry.instance->SetExcluded(wanted.excluded);
    entry.instance->SetTreatedAsPart(wanted.asPart);
    entry.instance->Set3dSymbol(wanted.hasSymbol);
    if (wanted.parent)
        wanted.parent->AddChild(entry.instance);
    entry.hasBox = wanted.hasBox;
    entry.box = wanted.box;
    // An instance made without a shape may get one later from the alignment,
    // which the scene creates at the identity placement.
    entry.created = dg::Location::IDENTITY;
    if (wanted.shaped) {
        entry.created = Placement(wanted.at, wanted.turn, wanted.scale);
        const du::SmartPtr<qlk::ShapeInstance> shape =
            scene_->CreateShapeInstance(entry.instance, entry.created);
        if (wanted.hasSymbol) {
            du::SmartPtr<qlk::AnnoSet> annotations;
            scene_->GetAnnoSet(annotations);
            annotations->AddAnnotation(shape, new qlk::Annotation(dg::DPoint3D(wanted.symbol)));
        }
    }
    instanceIndex_[wanted.name] = instances_.size();
    instances_.push_back(entry);
    names_[wanted.name] = line;
}

void HostWorld::AddCollection(CollectionEntry entry, int line) {
    RequireNewName(entry.name);
    entry.comparison = new du::RefCounted;
    names_[entry.name] = line;
    collections_.push_back(std::move(entry));
}

const HostWorld::InstanceEntry *HostWorld::FindInstance(const std::string &name) const {
    const auto found = instanceIndex_.find(name);
    return found == instanceIndex_.end() ? nullptr : &instances_[found->second];
}

const HostWorld::CollectionEntry *HostWorld::FindCollection(const std::string &name) const {
    for (const CollectionEntry &entry : collections_)
        if (entry.name == name)
            return &entry;
    return nullptr;
}

void HostWorld::RequireNewName(const std::string &name) const {
    const auto used = names_.find(name);
    if (used != names_.end())
        throw HostError("name '" + name + "' is already used (line " +
                        std::to_string(used->second) + ")");
}

std::vector<std::pair<const HostWorld::InstanceEntry *, int>> HostWorld::TreeOrder() const {
    std::map<const qlk::Instance *, const InstanceEntry *> entries;
    for (const InstanceEntry &entry : instances_)
        entries[entry.instance.get()] = &entry;
    std::vector<std::pair<const qlk::Instance *, int>> pending;
    for (auto entry = instances_.rbegin(); entry != instances_.rend(); ++entry)
        if (!entry->instance->GetParent())
            pending.emplace_back(entry->instance.get(), 0);
    std::vector<std::pair<const InstanceEntry *, int>> order;
    order.reserve(instances_.size());
    std::vector<du::SmartPtr<qlk::Instance>> children;
    while (!pending.empty()) {
        const auto [instance, depth] = pending.back();
        pending.pop_back();
        order.emplace_back(entries.at(instance), depth);
        children.clear();
        instance->GetChildren(children);
        for (auto child = children.rbegin(); child != children.rend(); ++child)
            pending.emplace_back(child->get(), depth + 1);
    }
    return order;
}

// ---------------------------------------------------------------------------
// Assemblies kept in glTF files

void HostWorld::AddFile(GltfFile file, int line) {
    if (file_)
        throw HostError("a script loads one file; line " + std::to_string(fileLine_) + " loaded '" +
                        file_->Path() + "'");
    // Every name is checked before the first instance is made, so that a
    // refused file leaves the scene as it was.
    std::vector<dg::Location> placements;
    placements.reserve(file.Nodes().size());
    for (const GltfNode &node : file.Nodes()) {
        RequireNewName(node.name);
        dg::Location placement;
        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < 3; ++column)
                placement.mat.m[row][column] = static_cast<float>(node.world.m[row][column]);
        placement.pos = dg::DPoint3D(node.world.m[3][0], node.world.m[3][1], node.world.m[3][2]);
        if (!dg::IsFinite(placement))
            throw HostError("'" + file.Path() + "': node " + node.name +
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
        entry.gltfNode = node.index;
        entry.created = placements[i];
        scene_->CreateShapeInstance(entry.instance, entry.created);
        fileInstances_.push_back(instances_.size());
        instanceIndex_[node.name] = instances_.size();
        names_[node.name] = line;
        instances_.push_back(std::move(entry));
    }
    file_.reset(new GltfFile(std::move(file)));
    fileLine_ = line;
}

void HostWorld::SaveFile(const std::string &path) const {
    if (!file_)
        throw HostError("nothing to save: no file was loaded (use 'load FILE')");
    std::vector<dg::DMat44> worlds;
    worlds.reserve(fileInstances_.size());
    for (std::size_t index : fileInstances_) {
        const InstanceEntry &entry = instances_[index];
        dg::Location now = entry.created;
        Where(entry, now);
        worlds.push_back(now.ToMatrix());
    }
    file_->Save(path, worlds);
}

// ---------------------------------------------------------------------------
// The alignment and the selection

void HostWorld::NewAlignment(int mask) {
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

void HostWorld::SetSelection(const std::vector<du::SmartPtr<qlk::SelectionItem>> &items) {
    selectionManager_->SetSelection(items);
}

const std::vector<du::SmartPtr<qlk::SelectionItem>> &HostWorld::Selected() const {
    return selectionManager_->GetSelection();
}

// ---------------------------------------------------------------------------
// The history and the clock

void HostWorld::Apply() {
    if (!alignment_)
        throw HostError("there is no alignment yet (make one with 'new')");
    const du::SmartPtr<qlk::Operation> operation(new qlk::Operation);
    alignment_->Apply(operation);
    history_.Push(operation);
}

bool HostWorld::Undo() {
    return history_.Undo();
}

bool HostWorld::Redo() {
    return history_.Redo();
}

void HostWorld::AdvanceClock(long long ms) {
    scene_->AdvanceClock(ms);
}

void HostWorld::FinishAnimations() {
    scene_->FinishAnimations();
}

long long HostWorld::Clock() const {
    return scene_->GetClock();
}

bool HostWorld::IsAnimating() const {
    return scene_->IsAnimating();
}

// ---------------------------------------------------------------------------
// What the host sees

du::SmartPtr<qlk::ShapeInstance>
HostWorld::Shape(const du::SmartPtr<qlk::Instance> &instance) const {
    du::SmartPtr<qlk::ShapeInstance> shape;
    scene_->GetShapeInstance(instance, shape);
    return shape;
}

bool HostWorld::Where(const InstanceEntry &entry, dg::Location &location) const {
    const du::SmartPtr<qlk::ShapeInstance> shape = Shape(entry.instance);
    if (!shape)
        return false;
    shape->GetLocation(location);
    return true;
}

const qlmk::CSysPreviewWidget *HostWorld::FindWidget(const char *labelKey) const {
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

PictureWidget HostWorld::DescribeWidget(bool origin) const {
    const char *labelKey = origin ? kOriginKey : kTargetKey;
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

std::string HostWorld::StateLine() const {
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

std::vector<std::string> HostWorld::TakeEvents() {
    dom::MessageLoop::Pump();
    std::vector<std::string> lines;
    lines.swap(recorder_->lines);
    return lines;
}

std::vector<std::pair<int, std::size_t>> HostWorld::TakeMoves() {
    std::vector<std::pair<int, std::size_t>> moves;
    const auto &calls = scene_->GetExplodeCalls();
    for (std::size_t i = movesReported_; i < calls.size(); ++i)
        moves.emplace_back(calls[i].duration, calls[i].count);
    movesReported_ = calls.size();
    return moves;
}

Picture HostWorld::MakePicture() const {
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
    picture.origin = DescribeWidget(true);
    picture.target = DescribeWidget(false);
    if (alignment_)
        picture.stateLine = StateLine();
    return picture;
}

} // namespace alignpartsdemo
