// Assemblies kept in glTF files, as a script meets them: a real engine's
// sub-assembly aligned, saved and read back; files saved without a move keep
// every number; the file's column vectors against the host's row vectors on a
// turned two-level file; and what is saved passes the glTF validator. (Files
// refused, with their message and status, are scripts under cases/.)
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <simdjson.h>

#include "GltfFile.h"
#include "ScriptRun.h"

namespace {

namespace fs = std::filesystem;
using alignpartsdemo::GltfFile;
using alignpartsdemo::GltfNode;
using qltest::RunText;
using qltest::ScriptRun;

const std::string kModels = QLAP_GLTF_MODELS;
const std::string kEngine = kModels + "/2CylinderEngine-glTF-Binary/2CylinderEngine.glb";
const std::string kData = QLAP_GLTF_DATA;

using Placement = std::array<double, 12>; // position, then the axes row by row

// What `locations` printed, by instance name.
std::map<std::string, Placement> PrintedPlacements(const std::string &out) {
    std::map<std::string, Placement> placements;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string name;
        Placement p{};
        words >> name;
        for (double &v : p)
            words >> v;
        if (words && name != "widget")
            placements[name] = p;
    }
    return placements;
}

Placement FromWorld(const dg::DMat44 &world) {
    return {world.m[3][0], world.m[3][1], world.m[3][2], world.m[0][0],
            world.m[0][1], world.m[0][2], world.m[1][0], world.m[1][1],
            world.m[1][2], world.m[2][0], world.m[2][1], world.m[2][2]};
}

// Within `relative` of the larger of the two placements' largest numbers.
::testing::AssertionResult Near(const Placement &a, const Placement &b, double relative) {
    double scale = 1;
    for (std::size_t i = 0; i < a.size(); ++i)
        scale = std::max({scale, std::fabs(a[i]), std::fabs(b[i])});
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::fabs(a[i] - b[i]) > relative * scale)
            return ::testing::AssertionFailure()
                   << "number " << i << ": " << a[i] << " vs " << b[i];
    return ::testing::AssertionSuccess();
}

// The JSON text of a saved file: the whole of a .gltf, the JSON chunk of a .glb.
std::string JsonOf(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::string text = bytes.str();
    if (text.compare(0, 4, "glTF") == 0 && text.size() >= 20) {
        std::uint32_t length = 0;
        std::memcpy(&length, text.data() + 12, 4);
        text = text.substr(20, length);
    }
    return text;
}

// Every node's own transform as the file writes it: matrix, translation,
// rotation, scale, each list closed by its length so that none runs into the next.
std::vector<std::vector<double>> NodeNumbers(const std::string &path) {
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    const std::string json = JsonOf(path);
    EXPECT_EQ(parser.parse(json).get(root), simdjson::SUCCESS) << path;
    std::vector<std::vector<double>> numbers;
    simdjson::dom::array nodes;
    if (root["nodes"].get(nodes))
        return numbers;
    for (simdjson::dom::element node : nodes) {
        std::vector<double> all;
        for (const char *key : {"matrix", "translation", "rotation", "scale"}) {
            simdjson::dom::array list;
            std::size_t count = 0;
            if (!node[key].get(list))
                for (simdjson::dom::element value : list) {
                    all.push_back(double(value));
                    ++count;
                }
            all.push_back(-double(count));
        }
        numbers.push_back(all);
    }
    return numbers;
}

// Each test runs in a directory of its own: the scripts save there.
class GltfFiles : public ::testing::Test {
protected:
    void SetUp() override {
        previous = fs::current_path();
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        directory = fs::temp_directory_path() /
                    (std::string("qlap-gltf-") + info->name() + "-" + std::to_string(::getpid()));
        fs::create_directories(directory);
        fs::current_path(directory);
    }
    void TearDown() override {
        fs::current_path(previous);
        fs::remove_all(directory);
    }

    fs::path previous;
    fs::path directory;
};

// The engine's crank sub-assembly turned onto a custom frame with offsets.
const std::string kAlignEngine = "load " + kEngine +
                                 "\nnew\nselect assembly:node43\nadd\norigin parts\n"
                                 "target custom 0 0 200 0 0 90\noffsets 0 0 20 30 0 0\nwait\n";

TEST_F(GltfFiles, AlignedSubAssemblyReadBackStandsWhereTheAlignmentPutIt) {
    const ScriptRun run = RunText(kAlignEngine + "locations\nsave aligned.glb\n");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::map<std::string, Placement> placed = PrintedPlacements(run.out);
    const GltfFile before = GltfFile::Load(kEngine);
    const GltfFile after = GltfFile::Load("aligned.glb");
    ASSERT_EQ(after.Nodes().size(), 82u);
    ASSERT_EQ(placed.size(), 82u);
    std::size_t moved = 0;
    for (std::size_t i = 0; i < after.Nodes().size(); ++i) {
        const GltfNode &node = after.Nodes()[i];
        ASSERT_EQ(placed.count(node.name), 1u) << node.name;
        EXPECT_TRUE(Near(FromWorld(node.world), placed.at(node.name), 1e-5)) << node.name;
        moved += !Near(FromWorld(before.Nodes()[i].world), placed.at(node.name), 1e-3);
    }
    EXPECT_EQ(moved, 13u); // node43 and the twelve nodes under it
    // Only the sub-assembly's top stands elsewhere in its parent's frame.
    const auto original = NodeNumbers(kEngine);
    const auto saved = NodeNumbers("aligned.glb");
    ASSERT_EQ(saved.size(), original.size());
    for (std::size_t i = 0; i < original.size(); ++i)
        EXPECT_EQ(saved[i] != original[i], i == 43) << "node " << i;
}

struct RoundTrip {
    const char *name;
    std::string source;
    const char *saved;
};

class SavedWithoutAMove : public GltfFiles, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(SavedWithoutAMove, KeepsEveryNumberAndEverythingElse) {
    const RoundTrip &trip = GetParam();
    fs::create_directories("sub");
    const ScriptRun run = RunText("load " + trip.source + "\nsave " + trip.saved + "\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(NodeNumbers(trip.saved), NodeNumbers(trip.source));
    const GltfFile before = GltfFile::Load(trip.source);
    const GltfFile after = GltfFile::Load(trip.saved);
    ASSERT_EQ(after.Nodes().size(), before.Nodes().size());
    for (std::size_t i = 0; i < before.Nodes().size(); ++i) {
        EXPECT_EQ(after.Nodes()[i].name, before.Nodes()[i].name);
        EXPECT_EQ(after.Nodes()[i].world, before.Nodes()[i].world) << after.Nodes()[i].name;
        EXPECT_EQ(after.Nodes()[i].high, before.Nodes()[i].high) << after.Nodes()[i].name;
    }
}

INSTANTIATE_TEST_SUITE_P(GltfFiles, SavedWithoutAMove,
                         ::testing::Values(RoundTrip{"EngineAsBinary", kEngine, "engine.glb"},
                                           RoundTrip{"EngineAsText", kEngine, "engine.gltf"},
                                           // In another directory: its buffer file must come along.
                                           RoundTrip{"TurnedElsewhere", kData + "/turned.gltf",
                                                     "sub/turned.gltf"}),
                         [](const auto &info) { return std::string(info.param.name); });

// glTF multiplies column vectors (T·R·S·p), the host row vectors (p·M): base
// stands at (10, 0, 0) turned a quarter about Z, arm one along base's X and
// twice as large, so it stands at (10, 1, 0) with its X axis along world Y.
TEST_F(GltfFiles, TurnedAndOffsetTwoLevelFilePinsTheConvention) {
    const GltfFile file = GltfFile::Load(kData + "/turned.gltf");
    ASSERT_EQ(file.Nodes().size(), 3u);
    EXPECT_EQ(file.Nodes()[0].name, "base");
    EXPECT_EQ(file.Nodes()[1].name, "arm");
    EXPECT_EQ(file.Nodes()[2].name, "node2"); // "pin pin" is not one script word
    EXPECT_EQ(file.Nodes()[1].parent, 0);
    EXPECT_TRUE(
        Near(FromWorld(file.Nodes()[1].world), {10, 1, 0, 0, 2, 0, -2, 0, 0, 0, 0, 2}, 1e-12));
    EXPECT_TRUE(
        Near(FromWorld(file.Nodes()[2].world), {10, 0, 3, 0, 1, 0, -1, 0, 0, 0, 0, 1}, 1e-12));

    // Turned a further quarter and lifted: (10, 1, 0) goes to (-1, 10, 5), which
    // in base's frame is (10, 11, 5), turned a quarter; arm keeps its TRS form.
    const ScriptRun run = RunText("load " + kData +
                                  "/turned.gltf\nnew\nselect part:arm\nadd\n"
                                  "origin custom 0 0 0 0 0 0\ntarget custom 0 0 5 0 0 90\nwait\n"
                                  "save moved.gltf\n");
    ASSERT_EQ(run.status, 0) << run.err;
    const GltfFile moved = GltfFile::Load("moved.gltf");
    EXPECT_TRUE(
        Near(FromWorld(moved.Nodes()[1].world), {-1, 10, 5, -2, 0, 0, 0, -2, 0, 0, 0, 2}, 1e-6));
    // No matrix, then translation, rotation (up to its sign) and scale.
    const std::vector<double> arm = NodeNumbers("moved.gltf")[1];
    const std::vector<double> expected = {-0.0,       10,         11, 5, -3, 0, 0,
                                          0.70710678, 0.70710678, -4, 2, 2,  2, -3};
    ASSERT_EQ(arm.size(), expected.size());
    const double sign = arm[8] < 0 ? -1 : 1;
    for (std::size_t i = 0; i < arm.size(); ++i)
        EXPECT_NEAR(i >= 5 && i <= 8 ? sign * arm[i] : arm[i], expected[i], 1e-6) << i;
    EXPECT_EQ(NodeNumbers("moved.gltf")[2], NodeNumbers(kData + "/turned.gltf")[2]);
}

// The saved files, moved and unmoved, binary and text, pass the validator.
TEST_F(GltfFiles, SavedFilesPassTheValidator) {
    const char *validator = std::getenv("QLAP_GLTF_VALIDATOR");
    const std::string module = validator ? validator : QLAP_GLTF_VALIDATOR;
    if (std::system("node --version > /dev/null 2>&1") != 0 || !fs::exists(module))
        GTEST_SKIP() << "node or the glTF validator (" << module
                     << ") is missing; .ci/run installs them";
    fs::create_directories("sub");
    ASSERT_EQ(RunText(kAlignEngine + "save aligned.glb\nsave aligned.gltf\n").status, 0);
    ASSERT_EQ(RunText("load " + kData + "/turned.gltf\nsave sub/turned.gltf\n").status, 0);
    const std::string command = "node " + std::string(QLAP_GLTF_VALIDATE_SCRIPT) + " " + module +
                                " aligned.glb aligned.gltf sub/turned.gltf";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

} // namespace
