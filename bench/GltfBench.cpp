// The glTF cases: a synthetic binary file of N nodes in the deep shape of the
// scene cases (a balanced tree of fan-out 8, each node turned and offset in
// its parent, a mesh on every one), loaded, its top node aligned as an
// assembly, and saved with the placements the alignment gave. Each figure is
// per node, beside the re-run of a deep scene of the same size.
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <qlalignparts/Alignment.h>
#include <tiny_gltf.h>

#include "GltfFile.h"
#include "Measure.h"

namespace bench {

namespace {

namespace fs = std::filesystem;
using alignpartsdemo::GltfFile;
using qlalignparts::Alignment;

constexpr std::size_t kFanOut = 8;

fs::path BenchFile(std::size_t count, const char *role) {
    return fs::temp_directory_path() / ("qlap-bench-" + std::to_string(::getpid()) + "-" +
                                        std::to_string(count) + "-" + role + ".glb");
}

// Written once per size through tinygltf, and removed when the process ends.
const std::string &SyntheticFile(std::size_t count) {
    struct Files {
        std::map<std::size_t, std::string> paths;
        ~Files() {
            std::error_code error;
            for (const auto &entry : paths) {
                fs::remove(entry.second, error);
                fs::remove(BenchFile(entry.first, "saved"), error);
            }
        }
    };
    static Files files;
    std::string &path = files.paths[count];
    if (!path.empty())
        return path;
    tinygltf::Model model;
    model.asset.version = "2.0";
    const float triangle[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    tinygltf::Buffer buffer;
    buffer.data.assign(reinterpret_cast<const unsigned char *>(triangle),
                       reinterpret_cast<const unsigned char *>(triangle) + sizeof triangle);
    model.buffers.push_back(buffer);
    tinygltf::BufferView view;
    view.buffer = 0;
    view.byteLength = sizeof triangle;
    model.bufferViews.push_back(view);
    tinygltf::Accessor accessor;
    accessor.bufferView = 0;
    accessor.componentType = TINYGLTF_COMPONENT_TYPE_FLOAT;
    accessor.count = 3;
    accessor.type = TINYGLTF_TYPE_VEC3;
    accessor.minValues = {0, 0, 0};
    accessor.maxValues = {1, 1, 0};
    model.accessors.push_back(accessor);
    tinygltf::Primitive primitive;
    primitive.attributes["POSITION"] = 0;
    model.meshes.emplace_back().primitives.push_back(primitive);
    // The scene cases' few orientations, as unit quaternions.
    const double half = std::sqrt(0.5);
    const std::vector<double> turns[4] = {
        {0, 0, 0, 1}, {half, 0, 0, half}, {0, 0, 0.3826834, 0.9238795}, {0.1, 0.2, 0.3, 0.9273618}};
    model.nodes.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        tinygltf::Node &node = model.nodes[i];
        node.name = "n" + std::to_string(i);
        node.mesh = 0;
        node.translation = {double(i % 1000), double(i / 1000 % 1000), 0};
        node.rotation = turns[i % 4];
        if (i > 0)
            model.nodes[(i - 1) / kFanOut].children.push_back(int(i));
    }
    model.scenes.emplace_back().nodes.push_back(0);
    model.defaultScene = 0;
    path = BenchFile(count, "source").string();
    tinygltf::TinyGLTF().WriteGltfSceneToFile(&model, path, false, true, false, true);
    return path;
}

// The loaded file in a scene of the stand-in host, as the demo builds it.
struct GltfScene {
    explicit GltfScene(std::size_t count)
        : file(GltfFile::Load(SyntheticFile(count))), scene(new qlk::ShapeScene),
          view(new qlk::ShapeView(scene)), selectionManager(new qlk::SelectionManager) {
        scene->SetSelectionManager(selectionManager);
        scene->SetRecordExplodeContent(false);
        for (const alignpartsdemo::GltfNode &node : file.Nodes()) {
            du::SmartPtr<qlk::Instance> instance(new qlk::Instance(node.name));
            if (node.parent >= 0)
                instances[std::size_t(node.parent)]->AddChild(instance);
            dg::Location placement;
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c)
                    placement.mat.m[r][c] = static_cast<float>(node.world.m[r][c]);
            placement.pos =
                dg::DPoint3D(node.world.m[3][0], node.world.m[3][1], node.world.m[3][2]);
            shapes.push_back(scene->CreateShapeInstance(instance, placement));
            placements.push_back(placement);
            instances.push_back(instance);
        }
        topItem = new qlk::ObjectSelectionItem(instances.front(), qlk::mcad_selection::Assembly);
        originCSys = new moduleutils::DerivedCSys(Placement(1, 2, 3, 10, 20, 30), true);
        targetCSys = new moduleutils::DerivedCSys(Placement(-4, 5, 6, -30, 45, 60), true);
    }
    ~GltfScene() { selectionManager->Clear(); }

    // An Alignment of the top node, not yet run.
    du::SmartPtr<Alignment> Prepared() {
        du::SmartPtr<Alignment> alignment(new Alignment(view, 3));
        alignment->SetCSys(Alignment::CSYS_ORIGIN, Alignment::CSYS_CUSTOM, originCSys);
        alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM, targetCSys);
        selectionManager->SetSelection({topItem});
        return alignment;
    }
    void Restore() {
        selectionManager->Clear();
        scene->FinishAnimations();
        for (std::size_t i = 0; i < shapes.size(); ++i)
            shapes[i]->SetLocation(placements[i]);
        scene->ClearExplodeCalls();
    }

    GltfFile file;
    du::SmartPtr<qlk::ShapeScene> scene;
    du::SmartPtr<qlk::ShapeView> view;
    du::SmartPtr<qlk::SelectionManager> selectionManager;
    std::vector<du::SmartPtr<qlk::Instance>> instances;
    std::vector<du::SmartPtr<qlk::ShapeInstance>> shapes;
    std::vector<dg::Location> placements;
    du::SmartPtr<qlk::SelectionItem> topItem;
    du::SmartPtr<moduleutils::DerivedCSys> originCSys;
    du::SmartPtr<moduleutils::DerivedCSys> targetCSys;
};

std::unique_ptr<GltfScene> current;

GltfScene &SceneOf(std::size_t count) {
    // The scene cases' scene goes first: only one large scene at a time.
    DropScene();
    if (!current || current->shapes.size() != count)
        current = std::make_unique<GltfScene>(count);
    return *current;
}

} // namespace

void GltfLoad(benchmark::State &state, std::size_t count) {
    const std::string &path = SyntheticFile(count);
    current.reset();
    DropScene();
    std::unique_ptr<GltfFile> file;
    Record(Measure(
        state, Named("gltf-load", Shape::Deep, count, "node"), double(count), [] {},
        [&] { file = std::make_unique<GltfFile>(GltfFile::Load(path)); }, [&] { file.reset(); }));
}

void GltfAlignTop(benchmark::State &state, std::size_t count) {
    GltfScene &s = SceneOf(count);
    du::SmartPtr<Alignment> alignment;
    Record(Measure(
        state, Named("gltf-align-top", Shape::Deep, count, "node"), double(count),
        [&] { alignment = s.Prepared(); }, [&] { alignment->AddSelected(); },
        [&] {
            alignment = nullptr;
            s.Restore();
        }));
}

// The placements read from the scene and the whole file written, the top
// node in a new place and every other node keeping its numbers.
void GltfSave(benchmark::State &state, std::size_t count) {
    GltfScene &s = SceneOf(count);
    du::SmartPtr<Alignment> alignment = s.Prepared();
    alignment->AddSelected();
    s.scene->FinishAnimations();
    const std::string saved = BenchFile(count, "saved").string();
    std::vector<dg::DMat44> worlds;
    Record(Measure(
        state, Named("gltf-save", Shape::Deep, count, "node"), double(count),
        [&] { worlds.clear(); },
        [&] {
            worlds.reserve(s.shapes.size());
            dg::Location location;
            for (const auto &shape : s.shapes) {
                shape->GetLocation(location);
                worlds.push_back(location.ToMatrix());
            }
            s.file.Save(saved, worlds);
        },
        [] {}));
    alignment = nullptr;
    s.Restore();
    current.reset();
}

} // namespace bench
