#include "Runner.h"

#include <exception>
#include <string>
#include <vector>

#include "Playground.h"
#include "Script.h"

namespace alignpartsdemo {

namespace {

std::string Join(const std::vector<std::string> &words) {
    std::string text;
    for (const std::string &word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

} // namespace

int RunScript(std::istream &in, std::ostream &out, std::ostream &err) {
    Playground playground(out);
    bool trace = false;
    std::string text;
    int line = 0;
    // Output so far goes out before a message, so that a terminal shows both in order.
    auto fail = [&](int status, const std::string &message) {
        out.flush();
        err << "line " << line << ": " << message << '\n';
        return status;
    };
    while (std::getline(in, text)) {
        ++line;
        try {
            std::vector<std::string> words = SplitWords(text);
            if (words.empty())
                continue;
            if (trace && words.front() != "trace")
                out << "> " << Join(words) << '\n';
            const std::string command = words.front();
            words.erase(words.begin());
            Arguments args(command, std::move(words));
            if (command == "trace") {
                const std::string value = args.Word("on|off");
                if (value != "on" && value != "off")
                    throw args.Error("'" + value + "' is neither on nor off");
                args.ExpectEnd();
                trace = value == "on";
                continue;
            }
            playground.Execute(args, line);
        } catch (const ScriptError &error) {
            return fail(EXIT_SCRIPT_ERROR, error.what());
        } catch (const OutputError &error) {
            return fail(EXIT_IO_ERROR, error.what());
        } catch (const std::exception &error) {
            // Not the script's fault: the host or the library gave up.
            return fail(EXIT_IO_ERROR, std::string("failed: ") + error.what());
        }
    }
    if (in.bad()) {
        out.flush();
        err << "cannot read the script after line " << line << '\n';
        return EXIT_IO_ERROR;
    }
    out.flush();
    if (!out) {
        err << "cannot write the output\n";
        return EXIT_IO_ERROR;
    }
    return EXIT_OK;
}

} // namespace alignpartsdemo
