#include "Format.h"

#include <cmath>
#include <cstdio>

namespace alignpartsdemo {

std::string FormatNumber(double value) {
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    char text[400]; // the widest finite double in %.6f has 309 digits before the point
    std::snprintf(text, sizeof text, "%.6f", value);
    std::string formatted(text);
    // A tiny negative value (a rounding residue such as -6e-17) prints as
    // "-0.000000"; the sign carries no information then.
    if (formatted.find_first_not_of("-0.") == std::string::npos)
        return "0.000000";
    return formatted;
}

std::string FormatLocation(const dg::Location &location) {
    std::string text = FormatNumber(location.pos.x) + ' ' + FormatNumber(location.pos.y) + ' ' +
                       FormatNumber(location.pos.z);
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column)
            text += ' ' + FormatNumber(location.mat.m[row][column]);
    return text;
}

const char *FormatBool(bool value) {
    return value ? "true" : "false";
}

} // namespace alignpartsdemo
