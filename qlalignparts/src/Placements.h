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

inline bool IsFinite(const dg::FVec3 &v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// Once per moved instance: the checks are combined without a branch per axis.
// The matrix is read through its axes, on a copy since the host's axis getters
// are not declared const.
inline bool IsFinite(const dg::Location &location) {
    dg::FMat33 matrix = location.mat;
    bool finite = IsFinite(matrix.GetU());
    finite &= IsFinite(matrix.GetV());
    finite &= IsFinite(matrix.GetW());
    finite &= IsFinite(location.pos);
    return finite;
}

// Whether a transform carries a placement to a finite one: the scene's own
// frame, turned by it, must stay finite in the precision a placement keeps.
inline bool IsFinite(const dg::DMat44 &transform) {
    dg::Location probe;
    probe *= transform;
    return placements::IsFinite(probe);
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
