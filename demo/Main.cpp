// alignparts-demo: plays the host around one Alignment, driven by a script.
//
//   alignparts-demo          runs the built-in sample and writes alignment.svg
//   alignparts-demo FILE     runs the script FILE
//   alignparts-demo -        runs the script read from standard input
//
// Exit status: 0 success, 1 a file could not be read or written, 2 a faulty
// script (the message names the line) or a wrong command line.
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "Runner.h"

namespace {

const char *const kUsage =
    "usage: alignparts-demo [FILE | -]\n"
    "  without an argument, runs the built-in sample and writes alignment.svg here;\n"
    "  with FILE, runs that script; with -, runs the script read from standard input.\n";

int Run(int argc, char **argv) {
    using namespace alignpartsdemo;
    if (argc > 2) {
        std::cerr << kUsage;
        return EXIT_SCRIPT_ERROR;
    }
    if (argc == 1) {
        std::istringstream sample(SampleScript());
        return RunScript(sample, std::cout, std::cerr);
    }
    const std::string path = argv[1];
    if (path == "-h" || path == "--help") {
        std::cout << kUsage;
        return EXIT_OK;
    }
    if (path == "-")
        return RunScript(std::cin, std::cout, std::cerr);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        std::cerr << "alignparts-demo: cannot read '" << path << "': it is a directory\n";
        return EXIT_IO_ERROR;
    }
    std::ifstream script(path);
    if (!script) {
        std::cerr << "alignparts-demo: cannot open '" << path << "': " << std::strerror(errno)
                  << '\n';
        return EXIT_IO_ERROR;
    }
    return RunScript(script, std::cout, std::cerr);
}

} // namespace

int main(int argc, char **argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception &error) {
        std::cerr << "alignparts-demo: " << error.what() << '\n';
        return alignpartsdemo::EXIT_IO_ERROR;
    }
}
