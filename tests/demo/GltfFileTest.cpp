// Assemblies kept in glTF files, as a script meets them: a real engine's
// sub-assembly aligned, saved and read back; files saved without a move keep
// every number; the file's column vectors against the host's row vectors on a
// turned two-level file; and what is saved passes the glTF validator. (Files
// refused, with their message and status, are scripts under cases/.)
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
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

std::string ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The JSON text of a saved file: the whole of a .gltf, the JSON chunk of a .glb.
std::string JsonOf(const std::string &path) {
    std::string text = ReadBytes(path);
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
    // The binary file's header and JSON chunk are resized; its BIN chunk is the same bytes.
    const std::string originalBytes = ReadBytes(kEngine), savedBytes = ReadBytes("aligned.glb");
    std::uint32_t total = 0, json = 0, jsonBefore = 0;
    std::memcpy(&total, savedBytes.data() + 8, 4);
    std::memcpy(&json, savedBytes.data() + 12, 4);
    std::memcpy(&jsonBefore, originalBytes.data() + 12, 4);
    EXPECT_EQ(total, savedBytes.size());
    EXPECT_EQ(json % 4, 0u);
    EXPECT_EQ(savedBytes.substr(20 + json), originalBytes.substr(20 + jsonBefore));
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

// Every sample of the glTF folders either loads and, saved unmoved into
// another folder, comes back byte for byte (with the files it names beside
// it), or is refused for what is wrong in it.
struct Sample {
    std::string path;
    std::string refusal; // the start of the problem's words, empty where it loads
};

std::vector<Sample> AllSamples() {
    const std::map<std::string, std::string> refused = {
        {"BoxTextured-glTF-techniqueWebGL", "requires the extension KHR_technique_webgl"},
        {"IncorrectVertexArrays", "buffer view 2: bytes 504 to 936 lie beyond"},
        {"AllIndicesOutOfRange", "mesh 0: vertex index 65535 is out of range"},
        {"IndexOutOfRange.gltf", "mesh 0: vertex index 255 is out of range"},
        {"MissingBin", "a buffer is missing: file not found: BoxTextured0.bin"},
        {"RecursiveNodes", "node 0 is its own ancestor"},
        {"sceneWrongType", "scene is not a number"},
        {"NoScene", "scene 0 is out of range"},
        {"badArray", "mesh 0: primitives is not an array"},
    };
    std::vector<Sample> samples;
    std::error_code error;
    for (const auto &entry : fs::recursive_directory_iterator(kModels, error)) {
        const std::string extension = entry.path().extension().string();
        if (extension != ".gltf" && extension != ".glb")
            continue;
        Sample sample{entry.path().string(), {}};
        for (const auto &[part, words] : refused)
            if (sample.path.find(part) != std::string::npos)
                sample.refusal = words;
        samples.push_back(sample);
    }
    std::sort(samples.begin(), samples.end(),
              [](const Sample &a, const Sample &b) { return a.path < b.path; });
    return samples;
}

class EverySample : public GltfFiles, public ::testing::WithParamInterface<Sample> {};

TEST_P(EverySample, SavedUnmovedIsByteIdenticalOrRefusedForItsFault) {
    const Sample &sample = GetParam();
    if (!sample.refusal.empty()) {
        try {
            GltfFile::Load(sample.path);
            ADD_FAILURE() << sample.path << " loaded";
        } catch (const alignpartsdemo::GltfError &error) {
            EXPECT_EQ(error.GetKind(), alignpartsdemo::GltfError::BAD_FILE);
            EXPECT_NE(std::string(error.what()).find(sample.refusal), std::string::npos)
                << error.what();
        }
        return;
    }
    const GltfFile file = GltfFile::Load(sample.path);
    const std::string name = fs::path(sample.path).filename().string();
    std::vector<dg::DMat44> worlds;
    for (const GltfNode &node : file.Nodes())
        worlds.push_back(node.world);
    file.Save(name, worlds);
    EXPECT_EQ(ReadBytes(name), ReadBytes(sample.path));
    const fs::path folder = fs::path(sample.path).parent_path();
    for (const std::string &resource : file.ResourceFiles()) {
        if (fs::exists(folder / resource)) {
            EXPECT_EQ(ReadBytes(resource), ReadBytes((folder / resource).string())) << resource;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(GltfFiles, EverySample, ::testing::ValuesIn(AllSamples()),
                         [](const auto &info) {
                             std::string name = fs::relative(info.param.path, kModels).string();
                             for (char &c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

// Properties the format does not define, unknown extensions, extras with
// integers beyond 32 and 53 bits, null and {}, a name with a NUL, values equal
// to their defaults written out, pretty-printed: the arm moved and saved, the
// file differs in the arm's translation and nowhere else.
TEST_F(GltfFiles, AMoveChangesTheMovedNodesTransformAndNothingElse) {
    const std::string source = kData + "/kept.gltf";
    const ScriptRun run = RunText("load " + source +
                                  "\nnew\nselect part:arm\nadd\norigin custom 0 0 0 0 0 0\n"
                                  "target custom 5 0 0 0 0 0\nwait\nsave moved.gltf\n"
                                  "save moved.glb\n");
    ASSERT_EQ(run.status, 0) << run.err;
    std::string expected = ReadBytes(source);
    const std::string before = R"("translation": [ 1, 0, 0 ])";
    ASSERT_NE(expected.find(before), std::string::npos);
    expected.replace(expected.find(before), before.size(), R"("translation":[6,0,0])");
    EXPECT_EQ(ReadBytes("moved.gltf"), expected);
    // As a .glb, the same text in its JSON chunk, except that the buffer's
    // data uri has become the BIN chunk.
    const std::size_t uri = expected.find(R"("uri": "data:)");
    ASSERT_NE(uri, std::string::npos);
    expected.erase(uri, expected.find(R"("byteLength")", uri) - uri);
    std::string chunk = JsonOf("moved.glb");
    for (std::string *text : {&chunk, &expected})
        while (!text->empty() && std::isspace(static_cast<unsigned char>(text->back())))
            text->pop_back();
    EXPECT_EQ(chunk, expected);
    const std::string glb = ReadBytes("moved.glb");
    EXPECT_EQ(glb.substr(glb.size() - 36 - 4, 4), std::string("BIN\0", 4));
}

// Axes so long that the square of their length overflows: a moved node is
// written as a matrix of finite numbers (never "inf"), and the saved file
// loads again with the same placement.
TEST_F(GltfFiles, AMovedNodeWithHugeAxesIsSavedAsFiniteNumbers) {
    {
        std::ofstream out("huge.gltf", std::ios::binary);
        out << R"({"asset":{"version":"2.0"},"scenes":[{"nodes":[0]}],)"
            << R"("nodes":[{"name":"huge","scale":[1e200,1e200,1e200]}]})";
    }
    const GltfFile file = GltfFile::Load("huge.gltf");
    std::vector<dg::DMat44> worlds = {file.Nodes()[0].world};
    worlds[0].m[3][0] += 1;
    file.Save("moved.gltf", worlds);
    const GltfFile again = GltfFile::Load("moved.gltf");
    ASSERT_EQ(again.Nodes().size(), 1u);
    EXPECT_EQ(again.Nodes()[0].world.m[0][0], 1e200);
    EXPECT_EQ(again.Nodes()[0].world.m[3][0], 1);
    EXPECT_EQ(JsonOf("moved.gltf").find("inf"), std::string::npos);
}

// Draco and meshopt files in the standard layout: nothing compressed is read,
// the bounds come from the accessors' min and max.
TEST_F(GltfFiles, CompressedGeometryIsHonouredByItsBounds) {
    for (const char *name : {"draco-layout.gltf", "meshopt-layout.gltf"}) {
        const GltfFile file = GltfFile::Load(kData + "/" + name);
        ASSERT_EQ(file.Nodes().size(), 1u) << name;
        EXPECT_TRUE(file.Nodes()[0].hasBounds) << name;
        EXPECT_EQ(file.Nodes()[0].low, dg::DVec3(-1, -2, -3)) << name;
        EXPECT_EQ(file.Nodes()[0].high, dg::DVec3(4, 5, 6)) << name;
    }
}

// A chain of nodes each the child of the one before, deeper than any stack:
// it loads, saves unmoved byte for byte, and goes through a script (the
// host's instances made and released) without recursion.
TEST_F(GltfFiles, AChainOfAMillionNodesLoadsSavesAndIsReleased) {
    const char *configured = std::getenv("QLAP_GLTF_CHAIN_NODES");
    const std::size_t count = configured ? std::stoul(configured) : 1000000;
    {
        std::ofstream out("chain.gltf", std::ios::binary);
        out << R"({"asset":{"version":"2.0"},"nodes":[)";
        for (std::size_t i = 0; i + 1 < count; ++i)
            out << R"({"children":[)" << i + 1 << "]},";
        out << R"({"name":"tip","translation":[1,2,3]}]})";
    }
    {
        const GltfFile file = GltfFile::Load("chain.gltf");
        ASSERT_EQ(file.Nodes().size(), count);
        EXPECT_EQ(file.Nodes().back().name, "tip");
        EXPECT_EQ(file.Nodes().back().parent, int(count) - 2);
        EXPECT_EQ(file.Nodes().back().world.m[3][2], 3);
        std::vector<dg::DMat44> worlds(count);
        for (std::size_t i = 0; i < count; ++i)
            worlds[i] = file.Nodes()[i].world;
        file.Save("again.gltf", worlds);
        EXPECT_EQ(ReadBytes("again.gltf"), ReadBytes("chain.gltf"));
    }
    const ScriptRun run = RunText("load chain.gltf\nsave through-script.gltf\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadBytes("through-script.gltf"), ReadBytes("chain.gltf"));
}

// Where a save may write: only the saved file and the files the glTF file
// names, inside the saved file's folder, never through a symbolic link, never
// into a folder the save did not make. Each case lays out a source folder
// (model.gltf naming sub/part.bin or part.bin) and an output folder, saves
// there, and checks the status, the message, and that a victim file outside
// is untouched and nothing else appeared.
struct WriteCase {
    const char *name;
    const char *buffer;                            // the buffer's uri in model.gltf
    std::function<void(const fs::path &)> prepare; // lays out the output folder
    int status;
    const char *words;
};

class SaveWrites : public GltfFiles, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(SaveWrites, OnlyInsideTheChosenFolder) {
    const WriteCase &c = GetParam();
    const fs::path source = directory / "source", target = directory / "target";
    fs::create_directories(source / "sub");
    fs::create_directories(target);
    {
        std::ofstream(source / c.buffer, std::ios::binary) << std::string(36, '\1');
        std::ofstream(source / "model.gltf")
            << R"({"asset":{"version":"2.0"},"nodes":[{"name":"part"}],"buffers":[{"uri":")"
            << c.buffer << R"(","byteLength":36}]})";
        std::ofstream(directory / "victim") << "left alone";
        std::ofstream(target / ".profile") << "the user's own";
    }
    c.prepare(target);
    std::set<std::string> before;
    for (const auto &entry : fs::recursive_directory_iterator(target))
        before.insert(entry.path().string());
    const ScriptRun run = RunText("load " + (source / "model.gltf").string() + "\nsave " +
                                  (target / "model.gltf").string() + "\n");
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.words), std::string::npos) << run.err;
    EXPECT_EQ(ReadBytes((directory / "victim").string()), "left alone");
    EXPECT_EQ(ReadBytes((target / ".profile").string()), "the user's own");
    if (c.status != 0) {
        std::set<std::string> after;
        for (const auto &entry : fs::recursive_directory_iterator(target))
            after.insert(entry.path().string());
        EXPECT_EQ(after, before);
    } else {
        EXPECT_EQ(ReadBytes((target / "model.gltf").string()),
                  ReadBytes((source / "model.gltf").string()));
        EXPECT_EQ(ReadBytes((target / c.buffer).string()), std::string(36, '\1'));
    }
}

INSTANTIATE_TEST_SUITE_P(
    GltfFiles, SaveWrites,
    ::testing::Values(
        WriteCase{"BufferCopiedBeside", "part.bin", [](const fs::path &) {}, 0, ""},
        WriteCase{"BufferInANewFolder", "sub/part.bin", [](const fs::path &) {}, 0, ""},
        WriteCase{
            "LinkInTheBuffersPlace", "part.bin",
            [](const fs::path &target) { fs::create_symlink("../victim", target / "part.bin"); }, 1,
            "a symbolic link is in its place"},
        WriteCase{
            "LinkInTheSavedFilesPlace", "part.bin",
            [](const fs::path &target) { fs::create_symlink("../victim", target / "model.gltf"); },
            1, "a symbolic link is in its place"},
        WriteCase{
            "LinkAsTheBuffersFolder", "sub/part.bin",
            [](const fs::path &target) { fs::create_directory_symlink("..", target / "sub"); }, 1,
            "a symbolic link is in its place (sub)"},
        WriteCase{"FolderTheSaveDidNotMake", "sub/part.bin",
                  [](const fs::path &target) { fs::create_directories(target / "sub"); }, 1,
                  "its folder sub is already there, not made by this save"}),
    [](const auto &info) { return std::string(info.param.name); });

// Files that are no files: a FIFO or a directory as the glTF file or its
// buffer is refused at once, never waited on or read for ever.
TEST_F(GltfFiles, SpecialFilesAreRefusedWithoutWaiting) {
    ASSERT_EQ(::mkfifo("pipe.gltf", 0600), 0);
    ASSERT_EQ(::mkfifo("pipe.bin", 0600), 0);
    std::ofstream("fed.gltf") << R"({"asset":{"version":"2.0"},"buffers":[{"uri":"pipe.bin",)"
                              << R"("byteLength":4}]})";
    const ScriptRun pipe = RunText("load pipe.gltf\n");
    EXPECT_EQ(pipe.status, 1);
    EXPECT_EQ(pipe.err, "line 1: load: cannot read 'pipe.gltf': not a regular file\n");
    const ScriptRun fed = RunText("load fed.gltf\n");
    EXPECT_EQ(fed.status, 2);
    EXPECT_EQ(fed.err, "line 1: load: 'fed.gltf': buffer 0: its file pipe.bin is not a regular "
                       "file\n");
}

// A symbolic link that stays inside the file's folder is an ordinary name.
TEST_F(GltfFiles, ALinkInsideTheFolderIsFollowed) {
    fs::create_directories("parts");
    std::ofstream("parts/real.bin", std::ios::binary) << std::string(36, '\0');
    fs::create_symlink("parts/real.bin", "linked.bin");
    std::ofstream("linked.gltf") << R"({"asset":{"version":"2.0"},"nodes":[{"name":"p"}],)"
                                 << R"("buffers":[{"uri":"linked.bin","byteLength":36}]})";
    EXPECT_EQ(GltfFile::Load("linked.gltf").Nodes().size(), 1u);
}

} // namespace
