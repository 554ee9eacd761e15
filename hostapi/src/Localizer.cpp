#include <du/Localizer.h>

#include <cstring>

namespace du {

namespace {

struct Entry {
    const char *bundle;
    const char *key;
    const char *text;
};

// The stand-in host ships English texts only.
const Entry kStrings[] = {
    {"qlbase:qlmodulesStrings", "ALIGNPARTS_TARGET", "Target"},
    {"qlbase:qlmodulesStrings", "ALIGNPARTS_ORIGIN", "Origin"},
};

bool bundlesInstalled = true;

} // namespace

void Localizer::SetBundlesInstalled(bool installed) {
    bundlesInstalled = installed;
}

Localizer::Localizer(const char *bundle) : bundle_(bundle ? bundle : "") {}

Localizer::~Localizer() = default;

std::string Localizer::LocalizeMessage(const char *key, ActionOnFailure action) const {
    if (key && bundlesInstalled) {
        for (const Entry &entry : kStrings)
            if (bundle_ == entry.bundle && std::strcmp(key, entry.key) == 0)
                return entry.text;
    }
    if (action == RETURN_EMPTY || !key)
        return std::string();
    return key;
}

} // namespace du
