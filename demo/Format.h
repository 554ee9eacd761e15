// How the demo writes numbers and placements.
//
// Every number has six decimals; a value that rounds to zero is written
// "0.000000", never "-0.000000", so that outputs compare as text.
//
// Typical use:
//   out << FormatNumber(-1e-9);          // 0.000000
//   out << FormatLocation(location);     // X Y Z M00 M01 M02 M10 M11 M12 M20 M21 M22
#pragma once

#include <string>

#include <dg/Geometry.h>

namespace alignpartsdemo {

// Six decimals; no negative zero; "nan" and "inf"/"-inf" for what is not finite.
std::string FormatNumber(double value);
// The position, then the rotation matrix row by row, separated by single spaces.
std::string FormatLocation(const dg::Location &location);
const char *FormatBool(bool value);

} // namespace alignpartsdemo
