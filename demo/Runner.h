// Runs a demo script: one command a line, `#` starts a comment, blank lines are
// skipped. The first faulty line ends the run; nothing after it runs.
//
// Besides the playground's commands, `trace on|off` switches the echo of each
// command (as "> command ...") before its output.
//
// Typical use:
//   std::ifstream script("examples/basic.script");
//   return RunScript(script, std::cout, std::cerr);
#pragma once

#include <istream>
#include <ostream>

namespace alignpartsdemo {

// Exit statuses of the demo.
enum ExitStatus {
    EXIT_OK = 0,
    EXIT_IO_ERROR = 1,     // a file could not be read or written, or the host failed
    EXIT_SCRIPT_ERROR = 2, // the script (or the command line) is wrong
};

// Runs the script read from `in`, writing its output to `out` and a message
// naming the faulty line to `err`. Answers the exit status.
int RunScript(std::istream &in, std::ostream &out, std::ostream &err);

// The built-in sample: a complete script.
const char *SampleScript();

} // namespace alignpartsdemo
