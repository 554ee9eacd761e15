// du::Localizer: localised texts from one of the host's string bundles.
//
// Typical use:
//   du::Localizer strings("qlbase:qlmodulesStrings");
//   std::string label = strings.LocalizeMessage("ALIGNPARTS_ORIGIN", du::Localizer::RETURN_KEY);
#pragma once

#include <string>

namespace du {

class Localizer {
public:
    // What LocalizeMessage answers for a key the bundle does not have. The host
    // publishes the values, not these names (see QLHOST_PUBLISHED_ONLY in dg/Geometry.h).
#ifndef QLHOST_PUBLISHED_ONLY
    enum ActionOnFailure {
        RETURN_KEY = 0,   // the key itself
        RETURN_EMPTY = 1, // an empty string
    };
#else
    enum ActionOnFailure : int {};
#endif

    explicit Localizer(const char *bundle); // an unknown bundle has no keys
    ~Localizer();

    std::string LocalizeMessage(const char *key, ActionOnFailure action) const;

    // Host side: a host installed without its string bundles finds no key.
    static void SetBundlesInstalled(bool installed);

private:
    std::string bundle_;
};

} // namespace du
