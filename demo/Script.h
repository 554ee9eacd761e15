// Reading one line of a demo script: its words, and the arguments of its command.
//
// A line is split into words at blanks; `#` starts a comment that runs to the end
// of the line. Arguments walks the words after the command name and turns them
// into names, keywords and numbers, throwing a ScriptError that names the
// problem (the runner adds the line number).
//
// Typical use:
//   Arguments args("offsets", {"0", "2", "0", "0", "0", "90"});
//   dg::DVec3 t = args.Vector("TX TY TZ");
//   dg::DVec3 r = args.Vector("RX RY RZ");
//   args.ExpectEnd();
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <dg/Geometry.h>

namespace alignpartsdemo {

// A fault of the script: an unknown command, a bad or missing argument, a name
// that is unknown or used twice. Ends the run with exit status 2.
class ScriptError : public std::runtime_error {
public:
    explicit ScriptError(const std::string &message) : std::runtime_error(message) {}
};

// A fault of the machine rather than of the script: a file that cannot be
// written. Ends the run with exit status 1.
class OutputError : public std::runtime_error {
public:
    explicit OutputError(const std::string &message) : std::runtime_error(message) {}
};

// The words of `line` before any `#`, split at blanks (spaces and tabs; a
// carriage return may end the line). Throws ScriptError for any other control
// character anywhere in the line: a NUL would cut a file name short where it is
// handed to the system, and the others hide what a reader of the script sees.
std::vector<std::string> SplitWords(const std::string &line);

// A finite decimal number ("12", "-0.5", "1e3"), or false. Hexadecimal numbers,
// "inf" and "nan" are refused, and so is anything that overflows.
bool ParseNumber(const std::string &word, double &value);

// A decimal integer within [min, max], or false.
bool ParseInteger(const std::string &word, long long min, long long max, long long &value);

// The words after a command's name, consumed from the front.
class Arguments {
public:
    Arguments(std::string command, std::vector<std::string> words);

    const std::string &Command() const { return command_; }
    bool AtEnd() const { return next_ >= words_.size(); }
    // The next word without consuming it; empty at the end.
    const std::string &Peek() const;
    // Consumes the next word if it equals `keyword`.
    bool Accept(const char *keyword);

    // The next word; `what` names it in the error when there is none.
    std::string Word(const char *what);
    double Number(const char *what);
    long long Integer(const char *what, long long min, long long max);
    // Three numbers; `what` names them, e.g. "X Y Z".
    dg::DVec3 Vector(const char *what);
    // Throws unless every word has been consumed.
    void ExpectEnd() const;

    // An error about this command: "COMMAND: message".
    ScriptError Error(const std::string &message) const;

private:
    std::string command_;
    std::vector<std::string> words_;
    std::size_t next_ = 0;
};

} // namespace alignpartsdemo
