// The glTF cases: a synthetic binary file of N nodes in the deep shape of the
// scene cases (a balanced tree of fan-out 8, each node turned and offset in
// its parent, a mesh on every one), loaded, its top node aligned as an
// assembly, and saved with the placements the alignment gave. Each figure is
// per node, beside the re-run of a deep scene of the same size.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <qlalignparts/Alignment.h>

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

// Written once per size, and removed when the process ends: a .glb whose
// JSON is laid out as a writer of such files would (one compact object), with
// one triangle's positions in its BIN chunk.
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
    const float triangle[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    // The scene cases' few orientations, as unit quaternions.
    const char *const turns[4] = {"0,0,0,1", "0.7071067811865476,0,0,0.7071067811865476",
                                  "0,0,0.3826834,0.9238795", "0.1,0.2,0.3,0.9273618"};
    std::ostringstream json;
    json << R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[)";
    for (std::size_t i = 0; i < count; ++i) {
        json << (i ? "," : "") << R"({"name":"n)" << i << R"(","mesh":0,"translation":[)"
             << i % 1000 << ',' << i / 1000 % 1000 << R"(,0],"rotation":[)" << turns[i % 4] << ']';
        const std::size_t first = i * kFanOut + 1;
        if (first < count) {
            json << R"(,"children":[)";
            for (std::size_t c = first; c < std::min(first + kFanOut, count); ++c)
                json << (c > first ? "," : "") << c;
            json << ']';
        }
        json << '}';
    }
    json << R"(],"meshes":[{"primitives":[{"attributes":{"POSITION":0}}]}],)"
         << R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3",)"
         << R"("min":[0,0,0],"max":[1,1,0]}],"bufferViews":[{"buffer":0,"byteLength":36}],)"
         << R"("buffers":[{"byteLength":36}]})";
    std::string text = json.str();
    text.append((4 - text.size() % 4) % 4, ' ');
    const auto word = [](std::string &out, std::uint32_t value) {
        out.append(reinterpret_cast<const char *>(&value), 4);
    };
    std::string glb = "glTF";
    word(glb, 2);
    word(glb, std::uint32_t(12 + 8 + text.size() + 8 + sizeof triangle));
    word(glb, std::uint32_t(text.size()));
    glb += "JSON" + text;
    word(glb, sizeof triangle);
    glb.append("BIN\0", 4);
    glb.append(reinterpret_cast<const char *>(triangle), sizeof triangle);
    path = BenchFile(count, "source").string();
    std::ofstream(path, std::ios::binary) << glb;
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
