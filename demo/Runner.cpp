#include "Runner.h"

#include <climits>
#include <cstddef>
#include <exception>
#include <istream>
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

// The longest line a script may hold: far beyond any command a person writes
// or a generator needs, and a bound on what a script without line breaks
// (a file of junk, an endless pipe) can make the demo hold.
constexpr std::size_t kLongestLine = std::size_t(1) << 20;

// std::getline, stopping at kLongestLine characters: answers false at the end
// of the input, and sets `tooLong` for a line that goes on past the bound.
bool ReadLine(std::istream &in, std::string &text, bool &tooLong) {
    text.clear();
    tooLong = false;
    char c = 0;
    bool any = false;
    while (in.get(c)) {
        any = true;
        if (c == '\n')
            return true;
        if (text.size() == kLongestLine) {
            tooLong = true;
            return true;
        }
        text += c;
    }
    return any;
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
    bool tooLong = false;
    while (ReadLine(in, text, tooLong)) {
        if (line == INT_MAX)
            return fail(EXIT_SCRIPT_ERROR, "the script goes on past this line");
        ++line;
        if (tooLong)
            return fail(EXIT_SCRIPT_ERROR, "longer than " + std::to_string(kLongestLine) +
                                               " characters; a script line is one command");
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
