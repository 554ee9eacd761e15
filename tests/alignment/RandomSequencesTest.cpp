// Random scenes and random sequences of public calls and host selection
// changes on one Alignment, each call checked against a reference model of
// the alignment written here from its description, not from the library's code.
//
// Every sequence is seeded; a failure names its seed and step. Each shard runs
// QLALIGNPARTS_RANDOM_SEQUENCES sequences (a few hundred by default);
// QLALIGNPARTS_SEED replays from one seed:
//   QLALIGNPARTS_SEED=1234 QLALIGNPARTS_RANDOM_SEQUENCES=1
//   ./alignment_reliability_tests --gtest_filter='*RandomSequences*/0'
// (both variables set for the run of the binary).
//
// After every step the model's prediction is compared with what the library
// did: the events and the scene's moves in their interleaved order, where each
// move sends each instance, the counts, flags and coordinate systems, the
// widgets (shown and placed), the recorded locations (through Apply) and where
// every drawn instance stands once its animation ends. No placement may be
// refused by the scene as non-finite, and once the Alignment is gone every host
// object has the reference count it had before.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include <du/Allocator.h>
#include <qlmk/CSysPreviewWidget.h>

#include "support/TestScene.h"

namespace qltest {
namespace {

using Item = SmartPtr<qlk::SelectionItem>;
using Items = std::vector<Item>;
using Csys = SmartPtr<moduleutils::DerivedCSys>;
namespace sel = qlk::mcad_selection;

constexpr double kTolerance = 1e-3;

long EnvNumber(const char *name, long fallback) {
    const char *text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    return std::strtol(text, nullptr, 10);
}

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(engine_); }
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(engine_) < p; }
    double Real(double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(engine_);
    }
    template <class T> const T &Pick(const std::vector<T> &from) {
        return from[static_cast<std::size_t>(Int(0, static_cast<int>(from.size()) - 1))];
    }

private:
    std::mt19937_64 engine_;
};

// ---- The random world: a product tree in a scene, selection items, csys -----

// Gives its point in scene coordinates only when asked for them, as a host
// whose annotations also know a local frame would.
class SceneAnnotation : public qlk::Annotation {
public:
    using qlk::Annotation::Annotation;
    bool GetPosition(dg::DPoint3D &point, bool world) override {
        qlk::Annotation::GetPosition(point, world);
        if (!world)
            point.x += 1000;
        return true;
    }
};

// An item of part or assembly content that is no object item, as a host's
// other kinds of selection may be: it says nothing about the part set.
class ForeignItem : public qlk::SelectionItem {
public:
    explicit ForeignItem(const du::Symbol &content) : content_(content) {}
    const du::Symbol &GetContentType() const override { return content_; }

protected:
    bool IsSameSelection(const qlk::SelectionItem &other) const override { return &other == this; }

private:
    du::Symbol content_;
};

struct World {
    explicit World(bool withSelectionManager) : host(withSelectionManager) {}

    TestScene host;
    std::vector<SmartPtr<qlk::Instance>> nodes;
    Items items;
    std::vector<Csys> csys;
    std::vector<SmartPtr<du::RefCounted>> comparisons;
    // The annotation point of each 3-D symbol whose shape instance has one.
    std::map<const qlk::Instance *, dg::DPoint3D> symbolPoints;
    // Shape instances taken out of the scene, kept so that no address is reused.
    std::vector<SmartPtr<qlk::ShapeInstance>> removedShapes;
};

Item Collection(const SmartPtr<du::RefCounted> &comparison, const char *type,
                const SmartPtr<qlk::Instance> &instance, Items first, Items second) {
    return Item(new qlk::CollectionSelectionItem(comparison, du::Symbol(type), instance,
                                                 std::move(first), std::move(second)));
}

dg::Location RandomPlacement(Random &random, const dg::Location *shared) {
    const double x = random.Int(-8, 8), y = random.Int(-8, 8), z = random.Int(-8, 8);
    if (shared) {
        dg::Location location = *shared;
        location.SetPos(dg::DPoint3D(x, y, z));
        return location;
    }
    if (random.Chance(0.5))
        return Placement(x, y, z, 15 * random.Int(-12, 12), 15 * random.Int(-12, 12),
                         15 * random.Int(-12, 12));
    return Placement(x + random.Real(-1, 1), y, z, random.Real(-180, 180), random.Real(-90, 90),
                     random.Real(-180, 180));
}

void AddNode(World &world, Random &random, const SmartPtr<qlk::Instance> &parent, int depth,
             const dg::Location *shared) {
    const std::string name = "n" + std::to_string(world.nodes.size());
    SmartPtr<qlk::Instance> node =
        random.Chance(0.85) ? world.host.AddInstance(name, RandomPlacement(random, shared), parent)
                            : world.host.AddInstance(name, {}, parent, true);
    node->SetExcluded(random.Chance(0.1));
    node->Set3dSymbol(random.Chance(0.12));
    world.nodes.push_back(node);
    // Other nodes may carry annotations too; only a symbol's point counts.
    if (world.host.Shape(node) && random.Chance(node->Is3dSymbol() ? 0.8 : 0.1)) {
        dg::DPoint3D point(random.Int(-9, 9), random.Int(-9, 9), random.Int(-9, 9));
        if (random.Chance(0.1))
            point.y = std::numeric_limits<double>::quiet_NaN();
        SmartPtr<qlk::AnnoSet> annoSet;
        world.host.scene->GetAnnoSet(annoSet);
        annoSet->AddAnnotation(world.host.Shape(node),
                               SmartPtr<qlk::Annotation>(new SceneAnnotation(point)));
        world.symbolPoints[node.get()] = point;
    }
    if (depth < 3 && random.Chance(depth == 0 ? 0.5 : 0.3)) {
        const int children = random.Int(1, 3);
        for (int i = 0; i < children; ++i)
            AddNode(world, random, node, depth + 1, shared);
        node->SetTreatedAsPart(random.Chance(0.2));
    }
}

Item RandomMemberItem(World &world, Random &random) {
    const auto &node = random.Pick(world.nodes);
    switch (random.Int(0, 4)) {
    case 0:
        return TestScene::AssemblyItem(node, node->IsTreatedAsPart());
    case 1: // an item the collection walk skips
        return Collection(world.comparisons.front(), "Group", nullptr, {}, {});
    case 2: // an object that is no instance
        return Item(new qlk::ObjectSelectionItem(SmartPtr<qlk::Object>(new qlk::Object),
                                                 random.Chance(0.5) ? sel::Assembly : sel::Instance,
                                                 false));
    default:
        return TestScene::PartItem(node);
    }
}

void BuildWorld(World &world, Random &random) {
    dg::Location sharedOrientation = RandomPlacement(random, nullptr);
    const dg::Location *shared = random.Chance(0.3) ? &sharedOrientation : nullptr;
    const int tops = random.Int(2, 5);
    for (int i = 0; i < tops; ++i)
        AddNode(world, random, nullptr, 0, shared);

    for (int i = 0; i < 3; ++i)
        world.comparisons.emplace_back(new qlk::Object);
    for (const auto &node : world.nodes) {
        if (random.Chance(0.7))
            world.items.push_back(TestScene::PartItem(node));
        if (random.Chance(node->HasChildren() ? 0.8 : 0.2))
            // Mostly the host answers IsPartItem as the instance is treated; not always.
            world.items.push_back(TestScene::AssemblyItem(
                node, random.Chance(0.9) ? node->IsTreatedAsPart() : !node->IsTreatedAsPart()));
    }
    const int collections = random.Int(0, 3);
    for (int i = 0; i < collections; ++i) {
        Items first, second;
        for (int k = random.Int(0, 3); k > 0; --k)
            first.push_back(RandomMemberItem(world, random));
        for (int k = random.Int(0, 2); k > 0; --k)
            second.push_back(RandomMemberItem(world, random));
        // Two items for one collection share their comparison object.
        world.items.push_back(
            Collection(random.Pick(world.comparisons), "Group", nullptr, first, second));
    }
    if (random.Chance(0.5)) {
        // A bill-of-materials collection stands for its instance, taken as a
        // part when the instance is; any other kind naming one is still a
        // collection. Mostly an instance with children, which may be so taken.
        std::vector<SmartPtr<qlk::Instance>> parents;
        for (const auto &node : world.nodes)
            if (node->HasChildren())
                parents.push_back(node);
        const auto &node =
            random.Pick(parents.empty() || random.Chance(0.3) ? world.nodes : parents);
        world.items.push_back(Collection(random.Pick(world.comparisons),
                                         random.Chance(0.6) ? "SbomInstance" : "Group", node, {},
                                         {}));
    }
    // A second, equal item for a selection already in the pool.
    if (!world.items.empty() && random.Chance(0.5)) {
        auto *object = dynamic_cast<qlk::ObjectSelectionItem *>(random.Pick(world.items).get());
        if (object)
            world.items.push_back(Item(new qlk::ObjectSelectionItem(
                object->GetObject(), object->GetContentType(), object->IsPartItem())));
    }
    // Items that say nothing about the part set: another kind of selection,
    // or an object item for an object that is no instance.
    const du::Symbol &content = random.Chance(0.5) ? sel::Instance : sel::Assembly;
    if (world.items.empty() || random.Chance(0.2))
        world.items.push_back(Item(new ForeignItem(content)));
    if (random.Chance(0.2))
        world.items.push_back(
            Item(new qlk::ObjectSelectionItem(SmartPtr<qlk::Object>(new qlk::Object), content)));

    for (int i = 0; i < 3; ++i)
        world.csys.emplace_back(
            new moduleutils::DerivedCSys(RandomPlacement(random, nullptr), true));
    world.csys.emplace_back(new moduleutils::DerivedCSys(RandomPlacement(random, nullptr), false));
    dg::Location unbounded = Placement(0, 0, 0);
    unbounded.pos.y = std::numeric_limits<double>::quiet_NaN();
    world.csys.emplace_back(new moduleutils::DerivedCSys(unbounded, true));
    world.csys.emplace_back(new moduleutils::DerivedCSys(
        dg::Location(dg::FMat33(0, 0, 0, 0, 0, 0, 0, 0, 0), dg::DPoint3D(1, 2, 3)), true));
    // One undefined component of one axis is enough to leave a system undefined.
    for (int at = 0; at < 3; ++at) {
        dg::Location broken = Placement(1, 2, 3, 0, 0, 30);
        broken.mat.m[at][at] = std::numeric_limits<float>::quiet_NaN();
        world.csys.emplace_back(new moduleutils::DerivedCSys(broken, true));
    }
}

// ---- The reference model ------------------------------------------------

// 1 for a part or an assembly item, 2 for a collection item, 0 for any other.
int KindOf(const qlk::SelectionItem *item) {
    const du::Symbol &content = item->GetContentType();
    if (content == sel::Collection)
        return 2;
    return content == sel::Instance || content == sel::Assembly;
}

bool IsSbom(const qlk::SelectionItem *item) {
    return KindOf(item) == 2 && item->GetCollectionType() == du::Symbol("SbomInstance");
}

qlk::Instance *ObjectInstance(const qlk::SelectionItem *item) {
    auto *object = dynamic_cast<const qlk::ObjectSelectionItem *>(item);
    return object ? dynamic_cast<qlk::Instance *>(object->GetObject().get()) : nullptr;
}

// The instance an item stands for, as a part.
qlk::Instance *PartInstance(const qlk::SelectionItem *item) {
    if (IsSbom(item))
        if (auto *collection = dynamic_cast<const qlk::CollectionSelectionItem *>(item))
            return collection->GetInstance().get();
    return ObjectInstance(item);
}

bool SbomTreatedAsPart(const qlk::CollectionSelectionItem *collection) {
    if (!IsSbom(collection))
        return false;
    qlk::Instance *instance = collection->GetInstance().get();
    return instance && instance->IsTreatedAsPart();
}

// Collection items for the same collection share their comparison object.
auto SameAs(const qlk::SelectionItem *item) {
    auto comparison = dynamic_cast<const qlk::CollectionSelectionItem &>(*item).GetComparisonObj();
    return [comparison](const qlk::SelectionItem *other) {
        auto *collection = dynamic_cast<const qlk::CollectionSelectionItem *>(other);
        return collection && collection->GetComparisonObj() == comparison;
    };
}

// Frame arithmetic on the 3x3 part of a placement.
Frame Axes(const dg::Location &location) {
    Frame frame = FrameOf(location);
    frame.t[0] = frame.t[1] = frame.t[2] = 0;
    return frame;
}

double Determinant(const Frame &f) {
    return f.m[0][0] * (f.m[1][1] * f.m[2][2] - f.m[1][2] * f.m[2][1]) -
           f.m[0][1] * (f.m[1][0] * f.m[2][2] - f.m[1][2] * f.m[2][0]) +
           f.m[0][2] * (f.m[1][0] * f.m[2][1] - f.m[1][1] * f.m[2][0]);
}

// The inverse of a 3x3 frame of any shape (not only a rotation).
Frame Inverted(const Frame &f) {
    const double det = Determinant(f);
    Frame inverse;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inverse.m[r][c] = (f.m[r1][c1] * f.m[r2][c2] - f.m[r1][c2] * f.m[r2][c1]) / det;
        }
    return inverse;
}

double Normalised(double degrees) {
    double angle = std::fmod(degrees, 360.0);
    if (angle > 180.0)
        angle -= 360.0;
    if (angle <= -180.0)
        angle += 360.0;
    return angle;
}

bool Finite(const dg::Location &location) {
    for (const auto &row : location.mat.m)
        for (float value : row)
            if (!std::isfinite(value))
                return false;
    return std::isfinite(location.pos.x) && std::isfinite(location.pos.y) &&
           std::isfinite(location.pos.z);
}

struct Move {
    int duration = 0;
    std::vector<const qlk::Instance *> instances;
    std::vector<dg::Location> locations;
};

class Model {
public:
    Model(World &world, int selectionTypes) : world_(world), types_(selectionTypes) {
        for (const auto &node : world.nodes)
            if (auto shape = world.host.Shape(node)) {
                drawn_.insert(node.get());
                ends_[node.get()] = shape->GetTargetLocation();
            }
    }

    // What the host's scene holds at the start of a call: a run records newcomers
    // at the placement they stand at now, also halfway through an animation.
    void Snapshot() {
        current_.clear();
        for (const qlk::Instance *node : drawn_) {
            dg::Location location;
            Shape(node)->GetLocation(location);
            current_[node] = location;
        }
        trace.clear();
        moves.clear();
    }

    // ---- The public operations, as described --------------------------------

    void Construct() {
        Evaluate();
        AddSelected();
        // Nobody can be registered yet: the events reach no one; the moves stay.
        trace.erase(std::remove_if(trace.begin(), trace.end(),
                                   [](const std::string &entry) { return entry[0] != 'm'; }),
                    trace.end());
    }

    void AddSelected() {
        for (const qlk::SelectionItem *item : Selected(types_)) {
            const du::Symbol &content = item->GetContentType();
            if (content == sel::Instance)
                AddPart(item);
            else if (content == sel::Assembly)
                AddAssembly(item);
            else
                AddCollection(item);
        }
        if (previewed)
            Run(1000);
        Evaluate();
        Post("parts");
    }

    void RemoveSelected() { Remove(Selected(types_)); }

    void Remove(const std::vector<const qlk::SelectionItem *> &items) {
        for (const qlk::SelectionItem *item : items) {
            const int kind = item ? KindOf(item) : 0;
            if (kind == 1 && item->GetContentType() == sel::Instance)
                RemovePart(item);
            else if (kind == 1)
                RemoveAssembly(item);
            else if (kind == 2)
                RemoveCollection(item);
        }
        std::map<const qlk::Instance *, dg::Location> old;
        old.swap(list);
        Generate();
        for (auto &[instance, stored] : list) {
            auto kept = old.find(instance);
            if (kept != old.end()) {
                stored = kept->second;
                old.erase(kept);
            }
        }
        if (previewed) {
            Undo(old, 1000);
            if (origin.type == Alignment::CSYS_FROM_PARTS)
                Run(1000);
        }
        Evaluate();
        Post("parts");
    }

    bool SetCSys(int id, int type, moduleutils::DerivedCSys *csys) {
        if (id != 0 && id != 1)
            return false;
        Record &record = id == 0 ? origin : target;
        WidgetState &widget = id == 0 ? originWidget : targetWidget;
        record.valid = false;
        record.type = type;
        if (type == Alignment::CSYS_FROM_PARTS && id == 0) {
            dg::Location derived;
            record.valid = Derive(derived);
            if (record.valid)
                widget.location = derived;
        } else if (type == Alignment::CSYS_WORLD) {
            record.valid = true;
            widget.location = dg::Location::IDENTITY;
        } else if (type == Alignment::CSYS_CUSTOM) {
            record.csys = csys;
            dg::Location location;
            record.valid = Custom(csys, location);
            if (record.valid)
                widget.location = location;
        }
        widget.shown = record.valid;
        Post("csys " + std::to_string(id) + " " + std::to_string(type & 0xff) +
             (csys ? " set" : " null"));
        if (previewed)
            Run(1000);
        return record.valid;
    }

    bool PreviewCustomCSys(int id, moduleutils::DerivedCSys *csys) {
        if (id != 0 && id != 1)
            return false;
        WidgetState &widget = id == 0 ? originWidget : targetWidget;
        dg::Location location;
        const bool valid = Custom(csys, location);
        if (valid)
            widget.location = location;
        widget.shown = valid;
        return valid;
    }

    void SetOffsets(const dg::DVec3 &t, const dg::DVec3 &r) {
        for (int i = 0; i < 3; ++i)
            if (!std::isfinite(t[i]) || !std::isfinite(r[i]))
                return; // refused as a whole
        translation = t;
        for (int i = 0; i < 3; ++i)
            rotation[i] = Normalised(r[i]);
        Post("offsets");
        if (previewed)
            Run(0);
    }

    void SetAlignmentMode(unsigned int newMode) {
        if (newMode == mode)
            return;
        mode = newMode;
        if (previewed)
            Run(1000);
    }

    void SetPreviewed(bool value) {
        if (value == previewed)
            return;
        previewed = value;
        if (previewed)
            Run(1000);
        else
            Undo(list, 1000);
    }

    void Reset(int flags) {
        const bool wasPreviewed = previewed;
        previewed = false;
        if (flags & 1) {
            if (wasPreviewed)
                Undo(list, 1000);
            parts.clear();
            assemblies.clear();
            collections.clear();
            selection.clear();
            list.clear();
            Post("parts");
        }
        if (flags & 2)
            SetCSys(0, Alignment::CSYS_NONE, nullptr);
        if (flags & 4)
            SetCSys(1, Alignment::CSYS_NONE, nullptr);
        if (flags & 8)
            SetOffsets(dg::DVec3::ZERO, dg::DVec3::ZERO);
        if (wasPreviewed) {
            previewed = true;
            Run(1000);
        }
    }

    void Apply() {
        if (!previewed)
            Run(0);
    }

    // The host's selection changed (or a group of changes ended) with no group open.
    void SelectionNotified() { Evaluate(); }

    void ShapeAdded(const qlk::Instance *node, const dg::Location &placed) {
        drawn_.insert(node);
        ++drawnFor[node];
        ends_[node] = placed;
    }

    void ShapeRemoved(const qlk::Instance *node) {
        drawn_.erase(node);
        ends_.erase(node);
    }

    // ---- Queries -----------------------------------------------------------

    std::size_t PartsCount() const { return parts.size() + assemblies.size() + collections.size(); }
    bool Started() const { return PartsCount() != 0 || origin.valid || target.valid; }
    bool Valid() const { return PartsCount() != 0 && origin.valid && target.valid; }
    bool Drawn(const qlk::Instance *node) const { return drawn_.count(node) != 0; }
    std::size_t DrawnCount() const { return drawn_.size(); }
    const std::map<const qlk::Instance *, dg::Location> &Ends() const { return ends_; }
    // Where a step recorded now ends for a listed instance that stands at
    // `now`: where the last run sent it (its stored location when that run
    // sent everything home), else where it stands.
    dg::Location StepEnd(const qlk::Instance *instance, const dg::Location &stored,
                         const dg::Location &now) const {
        if (!lastRun.made)
            return now;
        if (lastRun.home)
            return stored;
        const auto sent = lastRun.sent.find(instance);
        return sent != lastRun.sent.end() ? sent->second : now;
    }
    SmartPtr<qlk::ShapeInstance> Shape(const qlk::Instance *node) const {
        SmartPtr<qlk::ShapeInstance> shape;
        world_.host.scene->GetShapeInstance(du::ConstSmartPtr<qlk::Instance>(node), shape);
        return shape;
    }

    struct Record {
        bool valid = false;
        int type = 0;
        moduleutils::DerivedCSys *csys = nullptr;
    };
    struct WidgetState {
        bool shown = false;
        dg::Location location;
    };

    std::set<const qlk::Instance *> parts, assemblies;
    std::vector<const qlk::CollectionSelectionItem *> collections;
    std::vector<const qlk::SelectionItem *> selection;
    std::map<const qlk::Instance *, dg::Location> list;
    Record origin, target;
    WidgetState originWidget, targetWidget;
    unsigned int mode = 0;
    bool previewed = true;
    bool canAdd = false, canRemove = false;
    dg::DVec3 translation, rotation;

    // Shape instances the scene drew for each node during the sequence; each
    // holds a reference to its node.
    std::map<const qlk::Instance *, int> drawnFor;

    std::vector<std::string> trace; // events and moves, in order
    std::vector<Move> moves;

private:
    // The selected items of the kinds in `kinds` (1 parts and assemblies, 2 collections).
    std::vector<const qlk::SelectionItem *> Selected(int kinds) const {
        std::vector<const qlk::SelectionItem *> selected;
        if (world_.host.selectionManager)
            for (const auto &item : world_.host.selectionManager->GetSelection())
                if (kinds & KindOf(item.get()))
                    selected.push_back(item.get());
        return selected;
    }

    void Post(const std::string &event) { trace.push_back(event); }

    // Part set admission and removal.
    void AddPart(const qlk::SelectionItem *item) {
        qlk::Instance *instance = PartInstance(item);
        if (instance && !instance->IsExcluded() && parts.insert(instance).second)
            selection.push_back(item);
    }
    void AddAssembly(const qlk::SelectionItem *item) {
        qlk::Instance *instance = ObjectInstance(item);
        if (instance && instance->IsTreatedAsPart())
            AddPart(item);
        else if (instance && assemblies.insert(instance).second)
            selection.push_back(item);
    }
    void AddCollection(const qlk::SelectionItem *item) {
        auto *collection = dynamic_cast<const qlk::CollectionSelectionItem *>(item);
        if (collection && SbomTreatedAsPart(collection))
            return AddPart(item);
        if (!collection || std::any_of(collections.begin(), collections.end(), SameAs(item)))
            return;
        selection.push_back(item);
        collections.push_back(collection);
    }
    // Takes out the first selection entry `matches` accepts; answers whether there was one.
    template <class Match> bool Erase(Match matches) {
        auto entry = std::find_if(selection.begin(), selection.end(), matches);
        return entry != selection.end() && (selection.erase(entry), true);
    }
    void RemovePart(const qlk::SelectionItem *item) {
        if (Erase([item](const qlk::SelectionItem *entry) { return entry && *entry == *item; }))
            parts.erase(PartInstance(item));
    }
    void RemoveAssembly(const qlk::SelectionItem *item) {
        auto *object = dynamic_cast<const qlk::ObjectSelectionItem *>(item);
        if (object && object->IsPartItem())
            return RemovePart(item);
        // An entry of part content is the part's, not this assembly's.
        if (object && Erase([object](const qlk::SelectionItem *entry) {
                auto *other = dynamic_cast<const qlk::ObjectSelectionItem *>(entry);
                return other && other->GetObject() == object->GetObject() &&
                       other->GetContentType() != sel::Instance;
            }))
            assemblies.erase(ObjectInstance(item));
    }
    void RemoveCollection(const qlk::SelectionItem *item) {
        auto *collection = dynamic_cast<const qlk::CollectionSelectionItem *>(item);
        if (collection && SbomTreatedAsPart(collection))
            return RemovePart(item);
        if (!collection || !Erase(SameAs(item)))
            return;
        auto member = std::find_if(collections.begin(), collections.end(), SameAs(item));
        if (member != collections.end())
            collections.erase(member);
    }

    // The evaluation behind CanAddSelected and CanRemoveSelected.
    void Evaluate() {
        canAdd = canRemove = false;
        for (const auto *item : Selected(types_ & 1)) {
            const qlk::Instance *instance = ObjectInstance(item);
            if (instance && !instance->IsExcluded())
                (parts.count(instance) || assemblies.count(instance) ? canRemove : canAdd) = true;
            if (canAdd && canRemove)
                return;
        }
        for (const auto *item : Selected(types_ & 2)) {
            auto *collection = dynamic_cast<const qlk::CollectionSelectionItem *>(item);
            if (!collection)
                continue;
            const bool present = std::any_of(collections.begin(), collections.end(), SameAs(item));
            const qlk::Instance *instance = collection->GetInstance().get();
            if (present || (instance && parts.count(instance) && !instance->IsExcluded()))
                canRemove = true;
            else if (!instance || !instance->IsExcluded())
                canAdd = true;
            if (canAdd && canRemove)
                return;
        }
    }

    // The complete parts list.
    void Generate() {
        for (const qlk::Instance *part : parts) {
            if (part->IsTreatedAsPart())
                ListSubTree(part);
            else
                ListOne(part);
        }
        for (const qlk::Instance *assembly : assemblies)
            ListSubTree(assembly);
        for (const auto *collection : collections)
            for (const Items *members :
                 {&collection->GetFirstItemList(), &collection->GetSecondItemList()})
                for (const auto &member : *members) {
                    qlk::Instance *instance = ObjectInstance(member.get());
                    if (!dynamic_cast<const qlk::ObjectSelectionItem *>(member.get()))
                        continue;
                    if (member->GetContentType() == sel::Instance)
                        ListOne(instance);
                    else if (member->GetContentType() == sel::Assembly)
                        ListSubTree(instance);
                }
    }
    void ListOne(const qlk::Instance *instance) {
        if (!instance || list.count(instance) || !drawn_.count(instance))
            return;
        list[instance] = current_.at(instance);
    }
    void ListSubTree(const qlk::Instance *instance) {
        if (!instance || list.count(instance))
            return;
        std::vector<SmartPtr<qlk::Instance>> children;
        instance->GetChildren(children);
        for (const auto &child : children)
            ListSubTree(child.get());
        if (!drawn_.count(instance)) {
            // The scene draws an undrawn node of a moving sub-tree at the identity.
            drawn_.insert(instance);
            ++drawnFor[instance];
            current_[instance] = dg::Location::IDENTITY;
            ends_[instance] = dg::Location::IDENTITY;
        }
        ListOne(instance);
    }

    // The origin from the parts: the mean recorded position (a symbol by its
    // annotation point), the shared recorded orientation or the scene's axes.
    bool Derive(dg::Location &derived) const {
        if (list.empty())
            return false;
        const double weight = 1.0 / static_cast<double>(list.size());
        dg::DPoint3D mean;
        const dg::FMat33 first = list.begin()->second.mat;
        bool differ = false;
        for (const auto &[instance, stored] : list) {
            dg::DPoint3D point = stored.pos;
            auto symbol = world_.symbolPoints.find(instance);
            if (instance->Is3dSymbol() && drawn_.count(instance) &&
                symbol != world_.symbolPoints.end())
                point = symbol->second;
            for (int i = 0; i < 3; ++i)
                mean[i] += weight * point[i];
            differ = differ || !(stored.mat == first);
        }
        // Each axis is taken at unit length; parts standing at a placement with a
        // collapsed axis (possible mid-animation) give no orientation to keep.
        Frame axes;
        if (!differ) {
            Frame shared = Axes(dg::Location(first, dg::DPoint3D()));
            bool usable = true;
            for (auto &row : shared.m) {
                const float length = std::sqrt(
                    static_cast<float>(row[0] * row[0] + row[1] * row[1] + row[2] * row[2]));
                usable = usable && length > 0.0f && std::isfinite(1.0f / length);
                for (double &value : row)
                    value /= length;
            }
            if (usable)
                axes = shared;
        }
        derived = LocationOf(axes);
        derived.pos = mean;
        return Finite(derived); // a symbol's point may be undefined
    }

    static bool Custom(const moduleutils::DerivedCSys *csys, dg::Location &location) {
        if (!csys || !csys->IsValid())
            return false;
        location = csys->GetLocation();
        return Finite(location);
    }

    // The alignment run and the move back.
    void Run(int duration) {
        Generate();
        if (origin.type == Alignment::CSYS_FROM_PARTS) {
            dg::Location derived;
            origin.valid = Derive(derived);
            if (origin.valid)
                originWidget.location = derived;
            originWidget.shown = origin.valid;
            Post("csys 0 1 null");
        }
        const Frame originAxes = Axes(originWidget.location);
        const bool turns = (mode & ~2u) == 0;
        const bool shifts = mode <= 1u;
        // Only a run that turns needs the origin's axes inverted.
        if (!origin.valid || !target.valid ||
            (turns && std::fabs(Determinant(originAxes)) < 1e-9)) {
            lastRun = LastRun{true, true, {}};
            Undo(list, duration);
            return;
        }
        // F = Mo^-1 · R · Mt, applied to each stored placement taken relative to
        // the origin point; the translation offset runs along the target's axes.
        const Frame targetAxes = Axes(targetWidget.location);
        const Frame turn =
            Then(Then(Turn(0, rotation.x), Turn(1, rotation.y)), Turn(2, rotation.z));
        const Frame transform = Then(Then(Inverted(originAxes), turn), targetAxes);
        const dg::DPoint3D &po = originWidget.location.pos;
        const dg::DPoint3D &pt = targetWidget.location.pos;
        double shift[3];
        for (int c = 0; c < 3; ++c) {
            shift[c] = pt[c];
            for (int k = 0; k < 3; ++k)
                shift[c] += translation[k] * targetAxes.m[k][c];
        }
        std::map<const qlk::Instance *, dg::Location> aligned;
        for (const auto &[instance, stored] : list) {
            Frame placed = FrameOf(stored);
            for (int i = 0; i < 3; ++i)
                placed.t[i] -= po[i];
            if (turns)
                placed = Then(placed, transform);
            for (int i = 0; i < 3; ++i)
                placed.t[i] += shifts ? shift[i] : po[i];
            aligned[instance] = LocationOf(placed);
        }
        lastRun = LastRun{true, false, {}};
        for (const auto &[instance, location] : aligned)
            if (drawn_.count(instance))
                lastRun.sent[instance] = location;
        Undo(aligned, duration);
    }

    // One move of the scene sending each drawn instance of `to` where it says.
    void Undo(const std::map<const qlk::Instance *, dg::Location> &to, int duration) {
        Move move{duration, {}, {}};
        for (const auto &[instance, location] : to)
            if (drawn_.count(instance)) {
                move.instances.push_back(instance);
                move.locations.push_back(location);
                ends_[instance] = location;
            }
        trace.push_back("move " + std::to_string(duration) + " of " +
                        std::to_string(move.instances.size()));
        moves.push_back(move);
    }

    struct LastRun {
        bool made = false;
        bool home = false;
        std::map<const qlk::Instance *, dg::Location> sent;
    } lastRun;

    World &world_;
    int types_;
    std::set<const qlk::Instance *> drawn_;
    std::map<const qlk::Instance *, dg::Location> current_;
    std::map<const qlk::Instance *, dg::Location> ends_;
};

// Records the events as the library posts them and, with immediate delivery,
// the scene's moves in between, so that their order can be compared; queued
// messages cannot be placed between the moves, which are then kept apart.
class TimelineObserver : public RecordingObserver {
public:
    TimelineObserver(const qlk::ShapeScene &scene, bool immediate)
        : scene_(scene), immediate_(immediate) {}

    void OnPartsChanged() override { Flush(), RecordingObserver::OnPartsChanged(); }
    void OnOffsetsChanged() override { Flush(), RecordingObserver::OnOffsetsChanged(); }
    void OnCSysChanged(int id, int type, const Csys &csys) override {
        Flush(), RecordingObserver::OnCSysChanged(id, type, csys);
    }
    void Flush() {
        for (const auto &calls = scene_.GetExplodeCalls(); seen_ < calls.size(); ++seen_)
            (immediate_ ? events : moves)
                .push_back("move " + std::to_string(calls[seen_].duration) + " of " +
                           std::to_string(calls[seen_].count));
    }
    void Forget() {
        events.clear();
        moves.clear();
        seen_ = scene_.GetExplodeCalls().size();
    }

    Events moves;

private:
    const qlk::ShapeScene &scene_;
    const bool immediate_;
    std::size_t seen_ = 0;
};

// ---- One sequence ---------------------------------------------------------

class Sequence {
public:
    explicit Sequence(std::uint64_t seed)
        : seed_(seed), random_(seed), world_(!random_.Chance(0.08)) {}

    // Answers the number of steps taken.
    int Run() {
        BuildWorld(world_, random_);
        const int masks[] = {3, 3, 3, 1, 2, 0};
        const int types = masks[random_.Int(0, 5)];
        if (world_.host.selectionManager)
            world_.host.Select(RandomItems(0.3));
        immediate_ = random_.Chance(0.7);
        dom::MessageLoop::SetImmediate(immediate_);

        dom::MessageLoop::Pump();
        qlk::Kernel::GetKernel()->CollectGarbage();
        const auto selectedBefore =
            world_.host.selectionManager ? world_.host.selectionManager->GetSelection() : Items();
        const auto before = du::RefAudit::Snapshot();
        const std::size_t commonBlocks = du::CommonAllocatorImpl::BlocksInUse();
        const std::size_t poolBlocks = qlk::MemoryPoolAllocated::BlocksInUse();
        std::map<const qlk::Instance *, int> drawnFor;
        const std::size_t createdBefore = world_.host.scene->GetCreateCalls().size();
        const int steps = random_.Int(10, 60);
        {
            Model model(world_, types);
            TimelineObserver observer(*world_.host.scene, immediate_);
            model.Snapshot();
            alignment_ = new Alignment(world_.host.view, types);
            model.Construct();
            for (auto *widget : CreatedSince<qlmk::CSysPreviewWidget>(before))
                (widget->GetColor() == dg::Color(0.1f, 0.7f, 0.1f, 1.0f) ? originWidget_
                                                                         : targetWidget_) = widget;
            EXPECT_TRUE(alignment_->RegisterObserver(observer));
            EXPECT_FALSE(alignment_->RegisterObserver(observer)) << "registered once only";
            Check(model, observer, "construction");

            for (int step = 0; step < steps && !::testing::Test::HasFailure(); ++step) {
                model.Snapshot();
                observer.Forget();
                const std::string what = Step(model);
                Check(model, observer, "step " + std::to_string(step) + ": " + what);
            }
            EXPECT_TRUE(alignment_->UnregisterObserver(observer));
            EXPECT_FALSE(alignment_->UnregisterObserver(observer));
            alignment_ = nullptr;
            // The kernel keeps the selection watcher until it collects its
            // garbage; a notification still reaching it does nothing.
            const auto watchers = CreatedSince<Alignment::SelectionObserver>(before);
            EXPECT_EQ(watchers.size(), world_.host.selectionManager ? 1u : 0u)
                << Where("after destruction");
            for (auto *watcher : watchers)
                watcher->OnSelectionChange1(), watcher->EndSelectionUpdate();
            // Registered and unregistered once each, in the library's context.
            if (world_.host.selectionManager) {
                EXPECT_EQ(world_.host.selectionManager->GetRegistrationContexts(),
                          std::vector<unsigned int>(2, 0u))
                    << Where("after destruction");
            }
            drawnFor = model.drawnFor;
        }
        // The scene was asked to draw only undrawn nodes of moving sub-trees,
        // with no flags and no kind.
        const auto &created = world_.host.scene->GetCreateCalls();
        for (std::size_t i = createdBefore; i < created.size(); ++i) {
            EXPECT_TRUE(drawnFor.count(created[i].instance)) << Where("drawing");
            EXPECT_EQ(created[i].flags, 0) << Where("drawing");
            EXPECT_EQ(created[i].kind, du::Symbol::EMPTY) << Where("drawing");
        }
        if (::testing::Test::HasFailure())
            return steps;

        // Once the Alignment is gone, the host holds what it held before.
        dom::MessageLoop::Discard();
        dom::MessageLoop::SetImmediate(false);
        if (world_.host.selectionManager)
            world_.host.selectionManager->SetSelection(selectedBefore);
        qlk::Kernel::GetKernel()->CollectGarbage();
        for (const auto &[object, count] : du::RefAudit::Snapshot()) {
            auto was = before.find(object);
            if (was != before.end()) {
                auto *node = dynamic_cast<const qlk::Instance *>(object);
                const int drawn = node && drawnFor.count(node) ? drawnFor.at(node) : 0;
                EXPECT_EQ(count, was->second + drawn)
                    << Where("after destruction") << "a reference was left on a "
                    << typeid(*object).name();
            } else {
                // Only the shape instances the scene drew for undrawn nodes are new.
                auto *shape = dynamic_cast<const qlk::ShapeInstance *>(object);
                EXPECT_TRUE(shape && count == 1)
                    << Where("after destruction") << "an object outlived the Alignment";
            }
        }
        EXPECT_EQ(du::CommonAllocatorImpl::BlocksInUse(), commonBlocks)
            << Where("after destruction");
        EXPECT_EQ(qlk::MemoryPoolAllocated::BlocksInUse(), poolBlocks)
            << Where("after destruction");
        return steps;
    }

private:
    std::string Where(const std::string &step) const {
        std::ostringstream text;
        text << "[seed " << seed_ << ", " << step << "; replay with QLALIGNPARTS_SEED=" << seed_
             << " QLALIGNPARTS_RANDOM_SEQUENCES=1] ";
        return text.str();
    }

    Items RandomItems(double p) {
        Items chosen;
        for (const auto &item : world_.items)
            if (random_.Chance(p))
                chosen.push_back(item);
        return chosen;
    }

    // One random call or host event; answers its description.
    std::string Step(Model &model) {
        qlk::SelectionManager *manager = world_.host.selectionManager.get();
        const int choice = random_.Int(0, 99);
        if (choice < 14 && manager) {
            const auto selectedBefore = manager->GetSelection();
            const int kind = random_.Int(0, 5);
            if (kind == 0) {
                world_.host.Select(RandomItems(0.3)); // one group: its end evaluates
            } else if (kind == 1) {
                manager->Select(random_.Pick(world_.items));
            } else if (kind == 2) {
                manager->Deselect(random_.Pick(world_.items));
            } else if (kind == 3) {
                manager->Clear();
            } else if (kind == 4) {
                manager->BeginSelectionUpdate();
                manager->Select(random_.Pick(world_.items));
                manager->BeginSelectionUpdate();
                manager->Deselect(random_.Pick(world_.items));
                manager->EndSelectionUpdate();
                manager->EndSelectionUpdate();
            } else {
                manager->EndSelectionUpdate(); // a group it never began
            }
            // A single change notifies only when it changed something; a group's end always.
            if (kind == 0 || kind >= 4 || manager->GetSelection() != selectedBefore)
                model.SelectionNotified();
            return "host selection change " + std::to_string(kind);
        }
        if (choice < 26) {
            alignment_->AddSelected();
            model.AddSelected();
            return "AddSelected";
        }
        if (choice < 31) {
            alignment_->RemoveSelected();
            model.RemoveSelected();
            return "RemoveSelected";
        }
        if (choice < 37) {
            Items items = RandomItems(0.25);
            if (random_.Chance(0.1))
                items.push_back(nullptr);
            std::vector<const qlk::SelectionItem *> raw;
            for (const auto &item : items)
                raw.push_back(item.get());
            alignment_->Remove(items);
            model.Remove(raw);
            return "Remove " + std::to_string(items.size()) + " items";
        }
        const int id = random_.Chance(0.05) ? 2 : random_.Int(0, 1);
        moduleutils::DerivedCSys *csys = random_.Pick(world_.csys).get();
        const std::string ids = "(" + std::to_string(id);
        if (choice < 55) {
            const int types[] = {0, 1, 2, 3, 3, 3, 7};
            const int type = types[random_.Int(0, 6)];
            if (random_.Chance(type == 3 ? 0.03 : 0.8))
                csys = nullptr;
            const bool valid =
                alignment_->SetCSys(static_cast<Alignment::CSYS_ID>(id),
                                    static_cast<Alignment::CSYS_TYPE>(type), Csys(csys));
            EXPECT_EQ(valid, model.SetCSys(id, type, csys)) << Where("SetCSys");
            return "SetCSys" + ids + ", " + std::to_string(type) + ")";
        }
        if (choice < 59) {
            const bool valid =
                alignment_->PreviewCustomCSys(static_cast<Alignment::CSYS_ID>(id), Csys(csys));
            EXPECT_EQ(valid, model.PreviewCustomCSys(id, csys)) << Where("PreviewCustomCSys");
            return "PreviewCustomCSys" + ids + ")";
        }
        if (choice < 66) {
            dg::DVec3 t(random_.Real(-6, 6), random_.Real(-6, 6), random_.Real(-6, 6));
            dg::DVec3 r(random_.Real(-200, 200), random_.Real(-200, 200), random_.Real(-200, 200));
            const double specials[] = {15.0 * random_.Int(-100, 100), 1e200,
                                       std::numeric_limits<double>::infinity()};
            if (random_.Chance(0.2))
                r[random_.Int(0, 2)] = specials[random_.Int(0, 2)];
            if (random_.Chance(0.04))
                t[random_.Int(0, 2)] = std::numeric_limits<double>::quiet_NaN();
            alignment_->SetOffsets(t, r);
            model.SetOffsets(t, r);
            std::ostringstream what;
            what << "SetOffsets(" << t.x << ", " << t.y << ", " << t.z << "; " << r.x << ", " << r.y
                 << ", " << r.z << ")";
            return what.str();
        }
        if (choice < 71) {
            const unsigned int modes[] = {0, 0, 1, 2, 3, 7};
            const unsigned int mode = modes[random_.Int(0, 5)];
            alignment_->SetAlignmentMode(static_cast<Alignment::ALIGNMENT_MODE>(mode));
            model.SetAlignmentMode(mode);
            return "SetAlignmentMode(" + std::to_string(mode) + ")";
        }
        if (choice < 76) {
            const bool previewed = random_.Chance(0.6);
            alignment_->SetPreviewed(previewed);
            model.SetPreviewed(previewed);
            return previewed ? "SetPreviewed(true)" : "SetPreviewed(false)";
        }
        if (choice < 80) {
            const int flags = random_.Int(0, 15);
            alignment_->Reset(flags);
            model.Reset(flags);
            return "Reset(" + std::to_string(flags) + ")";
        }
        if (choice < 86) {
            Apply(model);
            return "Apply";
        }
        if (choice < 92) {
            world_.host.scene->AdvanceClock(random_.Int(0, 1200));
            return "host clock advances";
        }
        if (choice < 95) {
            // A part vanishes from the scene, also halfway through its
            // animation; or a node is drawn anew, with a new shape instance.
            const auto &node = random_.Pick(world_.nodes);
            if (auto shape = world_.host.Shape(node)) {
                world_.removedShapes.push_back(shape);
                world_.symbolPoints.erase(node.get()); // the annotation went with the shape
                world_.host.scene->RemoveShapeInstance(node.get());
                model.ShapeRemoved(node.get());
                return "host removes the shape instance of " + node->GetName();
            }
            const dg::Location placed = RandomPlacement(random_, nullptr);
            world_.host.scene->CreateShapeInstance(node, placed);
            model.ShapeAdded(node.get(), placed);
            return "host draws " + node->GetName() + " anew";
        }
        // A derived coordinate system turns invalid, valid again, or moves.
        if (random_.Chance(0.5))
            csys->SetValid(!csys->IsValid());
        else
            csys->SetLocation(RandomPlacement(random_, nullptr));
        return "host changes a derived coordinate system";
    }

    // Apply with an operation of its own: its steps show the recorded location
    // of every listed instance and where the last run sent it, which the
    // model predicts.
    void Apply(Model &model) {
        SmartPtr<qlk::Operation> operation(random_.Chance(0.9) ? new qlk::Operation : nullptr);
        alignment_->Apply(operation);
        model.Apply();
        if (!operation)
            return;
        SCOPED_TRACE(Where("Apply"));
        const auto &steps = operation->GetSteps();
        ASSERT_GE(steps.size(), 2u);
        EXPECT_STREQ(steps.front()->GetDebugClassName(), "GroupUpdateStartOperationStep");
        EXPECT_STREQ(steps.back()->GetDebugClassName(), "GroupUpdateEndOperationStep");
        auto step = steps.begin() + 1;
        for (const auto &[instance, stored] : model.list) {
            if (!model.Drawn(instance))
                continue;
            auto *move = step < steps.end() - 1
                             ? dynamic_cast<qlk::ComponentMoveOperationStep *>((step++)->get())
                             : nullptr;
            ASSERT_NE(move, nullptr) << instance->GetName() << " has no step";
            EXPECT_TRUE(move->Recordable() && move->GetNotify());
            EXPECT_EQ(move->GetShapeInstance()->GetInstance().get(), instance);
            // Recorded locations are copied, never recomputed.
            EXPECT_EQ(move->GetFrom(), stored);
            dg::Location now;
            move->GetShapeInstance()->GetLocation(now);
            const dg::Location end = model.StepEnd(instance, stored, now);
            EXPECT_TRUE(LocationNear(move->GetTo(), end, kTolerance)) << instance->GetName();
        }
        EXPECT_EQ(step, steps.end() - 1) << "more steps than listed instances";
    }

    void Check(Model &model, TimelineObserver &observer, const std::string &step) {
        SCOPED_TRACE(Where(step));
        dom::MessageLoop::Pump();
        observer.Flush();
        Events events, moves;
        for (const auto &entry : model.trace)
            (immediate_ || entry[0] != 'm' ? events : moves).push_back(entry);
        EXPECT_EQ(observer.events, events) << "events (and moves with immediate delivery)";
        EXPECT_EQ(observer.moves, moves) << "moves";

        // Where each move sent each instance.
        const auto &calls = world_.host.scene->GetExplodeCalls();
        const std::size_t first = calls.size() - std::min(calls.size(), model.moves.size());
        for (std::size_t k = 0; k < model.moves.size() && first + k < calls.size(); ++k) {
            const auto &call = calls[first + k];
            const Move &move = model.moves[k];
            EXPECT_FALSE(call.flag);
            for (std::size_t i = 0; i < move.instances.size() && i < call.instances.size(); ++i) {
                // The instance's shape instance now, not one it had before.
                EXPECT_EQ(call.instances[i], model.Shape(move.instances[i]).get());
                EXPECT_TRUE(LocationNear(call.locations[i], move.locations[i], kTolerance))
                    << "move " << k << " sends " << move.instances[i]->GetName();
            }
        }

        // The state that the accessors answer.
        EXPECT_EQ(alignment_->GetNumParts(), model.parts.size());
        EXPECT_EQ(alignment_->GetNumAssemblies(), model.assemblies.size());
        EXPECT_EQ(alignment_->GetNumCollections(), model.collections.size());
        EXPECT_EQ(alignment_->GetStarted(), model.Started());
        EXPECT_EQ(alignment_->GetValid(), model.Valid());
        EXPECT_EQ(alignment_->GetPreviewed(), model.previewed);
        EXPECT_EQ(static_cast<unsigned int>(alignment_->GetAlignmentMode()), model.mode);
        EXPECT_EQ(alignment_->CanAddSelected(), model.canAdd);
        EXPECT_EQ(alignment_->CanRemoveSelected(), model.canRemove);
        Items selection;
        alignment_->GetSelection(selection);
        std::vector<const qlk::SelectionItem *> raw;
        for (const auto &item : selection)
            raw.push_back(item.get());
        EXPECT_EQ(raw, model.selection);
        dg::DVec3 t, r;
        alignment_->GetOffsets(t, r);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(t[i], model.translation[i]);
            EXPECT_NEAR(r[i], model.rotation[i], 1e-9);
            EXPECT_TRUE(r[i] > -180.0 && r[i] <= 180.0);
        }
        for (int id = 0; id < 2; ++id) {
            const Model::Record &record = id == 0 ? model.origin : model.target;
            Csys csys;
            EXPECT_EQ(alignment_->GetCSys(static_cast<Alignment::CSYS_ID>(id), csys), record.type);
            EXPECT_EQ(csys.get(), record.csys);
            const Model::WidgetState &state = id == 0 ? model.originWidget : model.targetWidget;
            const qlmk::CSysPreviewWidget *widget = id == 0 ? originWidget_ : targetWidget_;
            ASSERT_NE(widget, nullptr);
            EXPECT_EQ(world_.host.scene->IsMarkupShown(widget), state.shown) << id;
            EXPECT_TRUE(LocationNear(widget->GetLocation(), state.location, kTolerance))
                << "widget " << id;
        }

        // Where every drawn instance stands once its animation has ended.
        EXPECT_EQ(world_.host.scene->GetShapeInstanceCount(), model.DrawnCount());
        for (const auto &[instance, end] : model.Ends()) {
            auto shape = model.Shape(instance);
            ASSERT_TRUE(shape) << instance->GetName() << " is not drawn";
            EXPECT_TRUE(LocationNear(shape->GetTargetLocation(), end, kTolerance))
                << instance->GetName() << " ends elsewhere";
        }
        // The host is asked for the items as selected, in the library's context.
        if (qlk::SelectionManager *manager = world_.host.selectionManager.get()) {
            for (const auto &query : manager->GetQueries())
                EXPECT_TRUE(query.context == 0 && query.rule == qlk::EXPAND_AS_SELECTED);
            manager->ClearQueries();
        }
        EXPECT_EQ(world_.host.scene->GetRefusedPlacements(), 0u)
            << "a non-finite placement reached the scene";
    }

    std::uint64_t seed_;
    bool immediate_ = false;
    Random random_;
    World world_;
    SmartPtr<Alignment> alignment_;
    const qlmk::CSysPreviewWidget *originWidget_ = nullptr;
    const qlmk::CSysPreviewWidget *targetWidget_ = nullptr;
};

// ---- The test ---------------------------------------------------------------

class RandomSequences : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        dom::MessageLoop::Discard();
        qlk::Kernel::GetKernel()->CollectGarbage();
    }
    void TearDown() override {
        dom::MessageLoop::SetImmediate(false);
        dom::MessageLoop::Discard();
        qlk::Kernel::GetKernel()->CollectGarbage();
    }
};

TEST_P(RandomSequences, EveryCallAgreesWithTheReferenceModel) {
    const long count = EnvNumber("QLALIGNPARTS_RANDOM_SEQUENCES", 750);
    const long base = EnvNumber("QLALIGNPARTS_SEED", 20261206);
    long calls = 0;
    for (long i = 0; i < count && !HasFailure(); ++i)
        calls += Sequence(static_cast<std::uint64_t>(base + GetParam() * 1000003L + i)).Run();
    std::cout << "random sequences: " << count << " sequences, " << calls << " calls\n";
}

INSTANTIATE_TEST_SUITE_P(Shards, RandomSequences, ::testing::Range(0, 4));

} // namespace
} // namespace qltest
