// The demo as its users meet it: the shipped scripts against outputs reviewed
// by hand, faulty scripts stopped at their line with status 2, and numbers
// written so that outputs compare as text.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "Format.h"
#include "Runner.h"

namespace {

namespace fs = std::filesystem;
using alignpartsdemo::RunScript;

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ScriptRun {
    int status;
    std::string out;
    std::string err;
};

ScriptRun RunText(const std::string &script) {
    std::istringstream in(script);
    std::ostringstream out, err;
    const int status = RunScript(in, out, err);
    return {status, out.str(), err.str()};
}

// The lines a run printed, padded so that a test can index the ones it expects.
std::vector<std::string> OutputLines(const std::string &out, std::size_t atLeast) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    if (lines.size() < atLeast)
        lines.resize(atLeast);
    return lines;
}

// Each test runs in a directory of its own: scripts write their pictures
// into the current directory.
class DemoScripts : public ::testing::Test {
protected:
    void SetUp() override {
        previous = fs::current_path();
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        directory = fs::temp_directory_path() /
                    (std::string("qlap-demo-") + info->name() + "-" + std::to_string(::getpid()));
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

// --- The shipped scripts ---------------------------------------------------

class ShippedScripts : public DemoScripts, public ::testing::WithParamInterface<const char *> {};

TEST_P(ShippedScripts, PrintWhatWasReviewed) {
    const fs::path examples(QLAP_EXAMPLES_DIR);
    const std::string name = GetParam();
    const ScriptRun run = RunText(ReadFile(examples / (name + ".script")));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    // A difference shows as a diff of two long strings; rerun the script to see it whole.
    EXPECT_EQ(run.out, ReadFile(examples / (name + ".expected"))) << name << ".script";
}

INSTANTIATE_TEST_SUITE_P(Examples, ShippedScripts,
                         ::testing::Values("sample", "modes", "membership"));

TEST_F(DemoScripts, TheBuiltInSampleIsTheShippedOne) {
    EXPECT_EQ(alignpartsdemo::SampleScript(),
              ReadFile(fs::path(QLAP_EXAMPLES_DIR) / "sample.script"));
}

TEST_F(DemoScripts, TheSampleDrawsBothViewsTheWidgetsAndTheState) {
    ASSERT_EQ(RunText(alignpartsdemo::SampleScript()).status, 0);
    const std::string svg = ReadFile("alignment.svg");
    ASSERT_FALSE(svg.empty());
    EXPECT_EQ(svg.rfind("<svg", 0) == 0 || svg.rfind("<?xml", 0) == 0, true);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    for (const char *text : {"Top view", "Front view", "Origin", "Target", "motor", "bolt2",
                             "state: parts 0 assemblies 1 collections 1"})
        EXPECT_NE(svg.find(text), std::string::npos) << text;
}

TEST_F(DemoScripts, AnAnimationIsSeenHalfWayAndAtItsEnd) {
    const ScriptRun run = RunText("instance a at 0 0 0\n"
                                  "new\n"
                                  "select part:a\n"
                                  "add\n"
                                  "origin world\n"
                                  "target custom 10 0 0 0 0 0\n"
                                  "wait 500\n"
                                  "locations\n"
                                  "wait\n"
                                  "locations\n");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = OutputLines(run.out, 4);
    const std::string &halfWay = lines[0], &end = lines[3];
    EXPECT_EQ(halfWay.rfind("a ", 0), 0u);
    EXPECT_NE(halfWay, "a 0.000000 0.000000 0.000000 1.000000 0.000000 0.000000 0.000000 "
                       "1.000000 0.000000 0.000000 0.000000 1.000000");
    EXPECT_EQ(end, "a 10.000000 0.000000 0.000000 1.000000 0.000000 0.000000 0.000000 "
                   "1.000000 0.000000 0.000000 0.000000 1.000000");
}

TEST_F(DemoScripts, AnAssemblyTreatedAsAPartIsRemovedAsOne) {
    const ScriptRun run = RunText("instance tp at 5 0 0 as-part\n"
                                  "instance tpc in tp at 5 1 0\n"
                                  "new\n"
                                  "origin world\n"
                                  "target custom 0 0 3 0 0 0\n"
                                  "select assembly:tp\n"
                                  "add\n"
                                  "state\n"
                                  "remove\n"
                                  "wait\n"
                                  "state\n"
                                  "locations\n");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = OutputLines(run.out, 4);
    const std::string &added = lines[0], &removed = lines[1], &tp = lines[2], &tpc = lines[3];
    EXPECT_EQ(added.rfind("parts 1 assemblies 0 collections 0 selection 1 ", 0), 0u) << added;
    EXPECT_EQ(removed.rfind("parts 0 assemblies 0 collections 0 selection 0 ", 0), 0u) << removed;
    EXPECT_EQ(tp.rfind("tp 5.000000 0.000000 0.000000 ", 0), 0u) << tp;
    EXPECT_EQ(tpc.rfind("tpc 5.000000 1.000000 0.000000 ", 0), 0u) << tpc;
}

// --- Faulty scripts --------------------------------------------------------

struct FaultyScript {
    const char *name;
    const char *faultyLine; // placed on line 3, after two good ones
    const char *message;    // what follows "line 3: "
};

void PrintTo(const FaultyScript &c, std::ostream *os) {
    *os << c.name;
}

class FaultyScripts : public DemoScripts, public ::testing::WithParamInterface<FaultyScript> {};

TEST_P(FaultyScripts, StopAtTheirLineWithStatusTwo) {
    const FaultyScript &c = GetParam();
    const ScriptRun run = RunText(std::string("instance base at 0 0 0\n"
                                              "echo before\n") +
                                  c.faultyLine + "\necho after\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, std::string("line 3: ") + c.message + "\n");
    // What came before ran; nothing after the faulty line did.
    EXPECT_EQ(run.out, "before\n");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultyScripts,
    ::testing::Values(
        FaultyScript{"UnknownCommand", "explode all", "unknown command 'explode'"},
        FaultyScript{"MissingName", "instance", "instance: missing NAME"},
        FaultyScript{"MissingCoordinate", "instance a at 1 2", "instance: missing Z"},
        FaultyScript{"NameUsedTwice", "instance base",
                     "instance: name 'base' is already used (line 1)"},
        FaultyScript{"UnknownParent", "instance a in nowhere",
                     "instance: unknown parent 'nowhere'"},
        FaultyScript{"NotANumber", "instance a at 1 two 3", "instance: 'two' is not a number (Y)"},
        FaultyScript{"NotFinite", "instance a at 1 inf 3", "instance: 'inf' is not a number (Y)"},
        FaultyScript{"TrailingWord", "instance a no-shape extra",
                     "instance: unknown option 'extra'"},
        FaultyScript{"NoAlignmentYet", "state",
                     "state: there is no alignment yet (make one with 'new')"},
        FaultyScript{"UnknownItem", "collection c part:ghost",
                     "collection: unknown instance 'ghost'"},
        FaultyScript{"BadOnOff", "trace maybe", "trace: 'maybe' is neither on nor off"},
        FaultyScript{"NegativeWait", "wait -1",
                     "wait: '-1' is not a whole number from 0 to 1099511627776 (MS)"}),
    [](const ::testing::TestParamInfo<FaultyScript> &info) { return info.param.name; });

TEST_F(DemoScripts, CommentsAndBlankLinesCountAsLines) {
    const ScriptRun run = RunText("# a comment\n\n   \ninstance a # trailing comment\nbogus\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "line 5: unknown command 'bogus'\n");
}

TEST_F(DemoScripts, AnUnwritablePictureIsNotTheScriptsFault) {
    const ScriptRun run = RunText("instance a\nsvg no/such/directory/picture.svg\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("line 2: svg: cannot write"), std::string::npos) << run.err;
}

// --- Numbers ---------------------------------------------------------------

TEST(DemoFormat, SixDecimalsAndNoNegativeZero) {
    using alignpartsdemo::FormatNumber;
    EXPECT_EQ(FormatNumber(1.5), "1.500000");
    EXPECT_EQ(FormatNumber(-2.25), "-2.250000");
    EXPECT_EQ(FormatNumber(-0.0), "0.000000");
    EXPECT_EQ(FormatNumber(-4e-7), "0.000000");
    EXPECT_EQ(FormatNumber(-6e-7), "-0.000001");
    EXPECT_EQ(FormatNumber(0.7071067811865476), "0.707107");
    EXPECT_EQ(FormatNumber(std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(FormatNumber(-std::numeric_limits<double>::infinity()), "-inf");
}

} // namespace
