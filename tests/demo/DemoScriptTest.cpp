// The demo as its users meet it: every script under examples/ and
// tests/demo/cases/ that has one against the output reviewed by hand beside it
// (numbers with six decimals and no negative zero). A faulty script
// (cases/faulty/) stops at its line with its status and one-line message,
// having written nothing.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "Runner.h"
#include "ScriptRun.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs in a directory of its own (scripts write their pictures into the
// current one); answers the run and whether it wrote nothing there.
std::pair<qltest::ScriptRun, bool> RunInADirectory(const std::string &script) {
    const fs::path previous = fs::current_path();
    const fs::path directory =
        fs::temp_directory_path() / ("qlap-demo-" + std::to_string(::getpid()));
    fs::create_directories(directory);
    fs::current_path(directory);
    const qltest::ScriptRun run = qltest::RunText(script);
    fs::current_path(previous);
    const bool wroteNothing = fs::is_empty(directory);
    fs::remove_all(directory);
    return {run, wroteNothing};
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
        for (const auto &entry : fs::recursive_directory_iterator(directory))
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
    const auto [run, wroteNothing] = RunInADirectory(Placed(ReadFile(script)));
    std::string transcript = run.out;
    if (run.status != 0 || !run.err.empty())
        transcript += "exit " + std::to_string(run.status) + ": " + run.err;
    // A difference shows as a diff of two long strings; rerun the script to see it whole.
    EXPECT_EQ(transcript, Placed(ReadFile(fs::path(script).replace_extension(".expected"))))
        << script;
    EXPECT_TRUE(run.status == 0 || wroteNothing) << script;
}

INSTANTIATE_TEST_SUITE_P(Shipped, Scripts, ::testing::ValuesIn(AllScripts()),
                         [](const auto &info) {
                             std::string name = fs::path(info.param).stem().string();
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// A chain of instances as deep as a product tree in a file may go: its
// listing stays a few dozen characters a line, where two spaces a level made
// a chain of 20,000 instances print 400 MB.
TEST(DemoScripts, TreeOfAThousandLevelsIsListedInLinesOfBoundedWidth) {
    const int depth = 1000;
    std::string script = "instance n0 no-shape\n";
    std::string expected = "n0\n";
    for (int i = 1; i <= depth; ++i) {
        const std::string name = "n" + std::to_string(i);
        script += "instance " + name + " in n" + std::to_string(i - 1) + " no-shape\n";
        expected += i <= 32 ? std::string(std::size_t(2 * i), ' ') + name + '\n'
                            : std::string(64, ' ') + '[' + std::to_string(i) + "] " + name + '\n';
    }
    const qltest::ScriptRun run = qltest::RunText(script + "tree\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, expected);
}

// A script that never ends its line (a file of junk, an endless pipe) is
// refused at a bound instead of being held whole.
TEST(DemoScripts, ALineLongerThanAMegabyteIsRefusedWithoutRunningIt) {
    const std::string script = "echo first\necho " + std::string(std::size_t(3) << 20, 'x');
    const qltest::ScriptRun run = qltest::RunText(script);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "first\n");
    EXPECT_EQ(run.err, "line 2: longer than 1048576 characters; a script line is one command\n");
}

TEST(DemoScripts, TheBuiltInSampleIsTheShippedOne) {
    EXPECT_EQ(alignpartsdemo::SampleScript(),
              ReadFile(fs::path(QLAP_EXAMPLES_DIR) / "sample.script"));
}

} // namespace
