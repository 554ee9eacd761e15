// Placement checks shared by the coordinate systems, the preview widgets and
// the alignment run. A placement that is not finite must never reach the
// scene, neither as a part's location nor as a widget's.
#pragma once

#include <cmath>

#include <dg/Geometry.h>
#include <du/SmartPtr.h>
#include <moduleutils/DerivedCSys.h>

namespace qlalignparts {
namespace placements {

inline bool IsFinite(const dg::DVec3 &v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// Once per moved instance: the checks are combined without a branch per value.
inline bool IsFinite(const dg::Location &location) {
    bool finite = true;
    for (const auto &row : location.mat.m)
        for (float value : row)
            finite &= std::isfinite(value);
    finite &= std::isfinite(location.pos.x);
    finite &= std::isfinite(location.pos.y);
    finite &= std::isfinite(location.pos.z);
    return finite;
}

inline bool IsFinite(const dg::DMat44 &m) {
    for (const auto &row : m.m)
        for (double value : row)
            if (!std::isfinite(value))
                return false;
    return true;
}

// The placement of a host-derived coordinate system, when it has one: the
// system exists, says it is valid, and its placement is finite. A null system
// counts as undefined rather than as a caller's crash.
inline bool GetCustomPlacement(const du::SmartPtr<moduleutils::DerivedCSys> &csys,
                               dg::Location &location) {
    if (!csys || !csys->IsValid())
        return false;
    dg::Location candidate = csys->GetLocation();
    if (!placements::IsFinite(candidate))
        return false;
    location = candidate;
    return true;
}

} // namespace placements
} // namespace qlalignparts
