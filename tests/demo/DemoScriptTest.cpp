// The demo as its users meet it: every script under examples/ and
// tests/demo/cases/ that has one against the output reviewed by hand beside it (numbers
// with six decimals and no negative zero; a refused script's status and message),
// and faulty scripts stopped at their line with status 2.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "Runner.h"

namespace {

namespace fs = std::filesystem;

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
    bool wroteNothing;
};

// Runs in a directory of its own: scripts write their pictures into the current one.
ScriptRun RunText(const std::string &script) {
    const fs::path previous = fs::current_path();
    const fs::path directory =
        fs::temp_directory_path() / ("qlap-demo-" + std::to_string(::getpid()));
    fs::create_directories(directory);
    fs::current_path(directory);
    std::istringstream in(script);
    std::ostringstream out, err;
    const int status = alignpartsdemo::RunScript(in, out, err);
    fs::current_path(previous);
    const bool wroteNothing = fs::is_empty(directory);
    fs::remove_all(directory);
    return {status, out.str(), err.str(), wroteNothing};
}

// Scripts name the glTF files they load by @DATA@ (ours) and @MODELS@ (the
// Khronos samples), as their expected output does.
std::string Placed(std::string text) {
    for (const auto &[mark, path] : {std::pair<std::string, std::string>{"@DATA@", QLAP_GLTF_DATA},
                                     {"@MODELS@", QLAP_GLTF_MODELS}})
        for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, mark.size(), path);
    return text;
}

std::vector<std::string> AllScripts() {
    std::vector<std::string> scripts;
    for (const char *directory : {QLAP_EXAMPLES_DIR, QLAP_CASES_DIR})
        for (const auto &entry : fs::directory_iterator(directory))
            if (entry.path().extension() == ".script" &&
                fs::exists(fs::path(entry.path()).replace_extension(".expected")))
                scripts.push_back(entry.path().string());
    return scripts;
}

class Scripts : public ::testing::TestWithParam<std::string> {};

// What a script prints, then, if it fails, its status and its one-line
// message; a failed script writes nothing.
TEST_P(Scripts, PrintWhatWasReviewed) {
    const fs::path script = GetParam();
    const ScriptRun run = RunText(Placed(ReadFile(script)));
    std::string transcript = run.out;
    if (run.status != 0 || !run.err.empty())
        transcript += "exit " + std::to_string(run.status) + ": " + run.err;
    // A difference shows as a diff of two long strings; rerun the script to see it whole.
    EXPECT_EQ(transcript, Placed(ReadFile(fs::path(script).replace_extension(".expected"))))
        << script;
    EXPECT_TRUE(run.status == 0 || run.wroteNothing) << script;
}

INSTANTIATE_TEST_SUITE_P(Shipped, Scripts, ::testing::ValuesIn(AllScripts()),
                         [](const auto &info) {
                             std::string name = fs::path(info.param).stem().string();
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(DemoScripts, TheBuiltInSampleIsTheShippedOne) {
    EXPECT_EQ(alignpartsdemo::SampleScript(),
              ReadFile(fs::path(QLAP_EXAMPLES_DIR) / "sample.script"));
}

// A faulty line (line 3 after two good ones) stops the run with its message.
TEST(DemoScripts, AFaultyLineStopsTheRunThereWithStatusTwo) {
    const std::pair<const char *, const char *> faults[] = {
        {"explode all", "unknown command 'explode'"},
        {"instance", "instance: missing NAME"},
        {"instance a at 1 2", "instance: missing Z"},
        {"instance base", "instance: name 'base' is already used (line 1)"},
        {"instance a in nowhere", "instance: unknown parent 'nowhere'"},
        {"instance a at 1 inf 3", "instance: 'inf' is not a number (Y)"},
        {"instance a no-shape extra", "instance: unknown option 'extra'"},
        {"state", "state: there is no alignment yet (make one with 'new')"},
        {"collection c part:ghost", "collection: unknown instance 'ghost'"},
        {"trace maybe", "trace: 'maybe' is neither on nor off"},
        {"wait -1", "wait: '-1' is not a whole number from 0 to 1099511627776 (MS)"}};
    for (const auto &[line, message] : faults) {
        const ScriptRun run = RunText(std::string("instance base # placed at the origin\n\n") +
                                      line + "\necho after\n");
        EXPECT_EQ(run.status, 2) << line;
        EXPECT_EQ(run.err, std::string("line 3: ") + message + "\n");
        EXPECT_EQ(run.out, "") << "nothing after the faulty line runs";
    }
    const ScriptRun unwritable = RunText("instance a\nsvg no/such/directory/picture.svg\n");
    EXPECT_EQ(unwritable.status, 1) << "not the script's fault";
    EXPECT_NE(unwritable.err.find("line 2: svg: cannot write"), std::string::npos);
}

} // namespace
