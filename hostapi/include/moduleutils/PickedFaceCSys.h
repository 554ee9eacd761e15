// moduleutils::PickedFaceCSys: the coordinate system the host derives from a
// face the user picked on a part. Its origin is the picked point, its Z axis
// the face's normal (by the triangle's winding), its X axis the edge of the
// face's outline nearest the point (of the triangle's edges when no outline is
// given), made perpendicular to Z. It is attached to the part: it
// moves with it, and it is valid while the part's shape stays in its scene.
//
// Typical use:
//   dg::DVec3 corners[3] = {...};  // the picked triangle, in world coordinates
//   du::SmartPtr<moduleutils::PickedFaceCSys> csys =
//       moduleutils::PickedFaceCSys::Derive(shape, point, corners);
//   if (csys) alignment->SetCSys(Alignment::CSYS_TARGET, Alignment::CSYS_CUSTOM, csys);
#pragma once

#include <array>
#include <string>
#include <vector>

#include <dg/Geometry.h>
#include <du/SmartPtr.h>
#include <moduleutils/DerivedCSys.h>
#include <qlk/Kernel.h>

namespace moduleutils {

class PickedFaceCSys : public DerivedCSys {
public:
    using Edge = std::array<dg::DVec3, 2>;

    // Derives the frame from `corners` (a triangle of the part's face) and
    // `point` on it, both where the part stands now. Null, with `why` set, for
    // a missing part, a degenerate triangle, numbers that are not finite or a
    // point off the triangle's plane.
    static du::SmartPtr<PickedFaceCSys> Derive(const du::SmartPtr<qlk::ShapeInstance> &part,
                                               const dg::DVec3 &point,
                                               const dg::DVec3 (&corners)[3],
                                               std::string *why = nullptr);
    // As above, with the outline of the whole face (a box side is two
    // triangles; X runs along a side of the box, not along their diagonal).
    // Edges that are of no length, or (nearly) along the normal, are passed
    // over; when none is left, X follows the triangle's edges.
    static du::SmartPtr<PickedFaceCSys> Derive(const du::SmartPtr<qlk::ShapeInstance> &part,
                                               const dg::DVec3 &point,
                                               const dg::DVec3 (&corners)[3],
                                               const std::vector<Edge> &edges,
                                               std::string *why = nullptr);

    bool IsValid() const override;
    dg::Location GetLocation() const override;

    // Host side: the frame in the part's own coordinates.
    const dg::DMat44 &GetLocalFrame() const { return local_; }

private:
    PickedFaceCSys(const du::SmartPtr<qlk::ShapeInstance> &part, const dg::DMat44 &local);

    du::SmartPtr<qlk::ShapeInstance> part_;
    dg::DMat44 local_;
};

} // namespace moduleutils
