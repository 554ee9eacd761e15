#include "Script.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace alignpartsdemo {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Accepts [+-]digits[.digits][e[+-]digits], with digits on at least one side of
// the point: the decimal forms a person types. strtod alone would also take
// "inf", "nan", hexadecimal numbers and leading blanks.
bool IsDecimal(const std::string &word) {
    std::size_t i = 0;
    const std::size_t n = word.size();
    if (i < n && (word[i] == '+' || word[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < n && IsDigit(word[i]))
        ++i, ++digits;
    if (i < n && word[i] == '.') {
        ++i;
        while (i < n && IsDigit(word[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < n && (word[i] == 'e' || word[i] == 'E')) {
        ++i;
        if (i < n && (word[i] == '+' || word[i] == '-'))
            ++i;
        std::size_t exponentDigits = 0;
        while (i < n && IsDigit(word[i]))
            ++i, ++exponentDigits;
        if (exponentDigits == 0)
            return false;
    }
    return i == n;
}

} // namespace

std::vector<std::string> SplitWords(const std::string &line) {
    // A script written on Windows ends each line with a carriage return.
    const std::size_t length = !line.empty() && line.back() == '\r' ? line.size() - 1 : line.size();
    for (std::size_t i = 0; i < length; ++i)
        if (IsControl(line[i]) && line[i] != '\t') {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02x", static_cast<unsigned char>(line[i]));
            throw ScriptError(std::string("control character ") + code + " at column " +
                              std::to_string(i + 1) +
                              ": a script line holds printable text, blanks and tabs only");
        }
    std::vector<std::string> words;
    std::string word;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = line[i];
        if (c == '#')
            break;
        if (IsBlank(c)) {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(std::move(word));
    return words;
}

bool ParseNumber(const std::string &word, double &value) {
    if (!IsDecimal(word))
        return false;
    errno = 0;
    char *end = nullptr;
    const double parsed = std::strtod(word.c_str(), &end);
    // ERANGE also flags underflow to a denormal or zero, which is harmless; only
    // an overflow to infinity is refused.
    if (end != word.c_str() + word.size() || !std::isfinite(parsed))
        return false;
    value = parsed;
    return true;
}

bool ParseInteger(const std::string &word, long long min, long long max, long long &value) {
    std::size_t i = 0;
    if (i < word.size() && (word[i] == '+' || word[i] == '-'))
        ++i;
    if (i == word.size())
        return false;
    for (std::size_t k = i; k < word.size(); ++k)
        if (!IsDigit(word[k]))
            return false;
    errno = 0;
    char *end = nullptr;
    const long long parsed = std::strtoll(word.c_str(), &end, 10);
    if (errno == ERANGE || end != word.c_str() + word.size() || parsed < min || parsed > max)
        return false;
    value = parsed;
    return true;
}

Arguments::Arguments(std::string command, std::vector<std::string> words)
    : command_(std::move(command)), words_(std::move(words)) {}

const std::string &Arguments::Peek() const {
    static const std::string none;
    return AtEnd() ? none : words_[next_];
}

bool Arguments::Accept(const char *keyword) {
    if (AtEnd() || words_[next_] != keyword)
        return false;
    ++next_;
    return true;
}

std::string Arguments::Word(const char *what) {
    if (AtEnd())
        throw Error(std::string("missing ") + what);
    return words_[next_++];
}

double Arguments::Number(const char *what) {
    const std::string word = Word(what);
    double value = 0;
    if (!ParseNumber(word, value))
        throw Error("'" + word + "' is not a number (" + what + ")");
    return value;
}

long long Arguments::Integer(const char *what, long long min, long long max) {
    const std::string word = Word(what);
    long long value = 0;
    if (!ParseInteger(word, min, max, value)) {
        std::ostringstream message;
        message << "'" << word << "' is not a whole number from " << min << " to " << max << " ("
                << what << ")";
        throw Error(message.str());
    }
    return value;
}

dg::DVec3 Arguments::Vector(const char *what) {
    std::istringstream names(what);
    std::string name[3];
    names >> name[0] >> name[1] >> name[2];
    dg::DVec3 vector;
    for (int i = 0; i < 3; ++i)
        vector[i] = Number(name[i].c_str());
    return vector;
}

void Arguments::ExpectEnd() const {
    if (!AtEnd())
        throw Error("unexpected '" + words_[next_] + "'");
}

ScriptError Arguments::Error(const std::string &message) const {
    return ScriptError(command_ + ": " + message);
}

} // namespace alignpartsdemo
