// A script run in this process as the demo program runs it: its status and
// what it printed on each stream.
#pragma once

#include <sstream>
#include <string>

#include "Runner.h"

namespace qltest {

struct ScriptRun {
    int status;
    std::string out;
    std::string err;
};

inline ScriptRun RunText(const std::string &script) {
    std::istringstream in(script);
    std::ostringstream out, err;
    const int status = alignpartsdemo::RunScript(in, out, err);
    return {status, out.str(), err.str()};
}

} // namespace qltest
