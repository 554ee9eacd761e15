#include <du/Symbol.h>

#include <unordered_set>

namespace du {

namespace {

// The symbol table. Entries are never removed and the table is never destroyed,
// so symbols stay valid in late static destructors; the node-based set keeps
// every entry's address stable.
const std::string *Intern(const std::string &text) {
    static auto *table = new std::unordered_set<std::string>;
    return &*table->insert(text).first;
}

} // namespace

const Symbol Symbol::EMPTY;

Symbol::Symbol() : text_(Intern(std::string())) {}

Symbol::Symbol(const char *text) : text_(Intern(text ? std::string(text) : std::string())) {}

Symbol::Symbol(const std::string &text) : text_(Intern(text)) {}

} // namespace du
