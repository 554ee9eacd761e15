#include <moduleutils/PickedFaceCSys.h>

#include <algorithm>
#include <cmath>

namespace moduleutils {

namespace {

double Dot(const dg::DVec3 &a, const dg::DVec3 &b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

dg::DVec3 Cross(const dg::DVec3 &a, const dg::DVec3 &b) {
    return dg::DVec3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
}

double Length(const dg::DVec3 &v) {
    return std::sqrt(Dot(v, v));
}

bool Finite(const dg::DVec3 &v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// Distance from `point` to the segment from `a` to `b`.
double SegmentDistance(const dg::DVec3 &point, const dg::DVec3 &a, const dg::DVec3 &b) {
    const dg::DVec3 edge = b - a;
    const double along = std::clamp(Dot(point - a, edge) / Dot(edge, edge), 0.0, 1.0);
    return Length(point - (a + along * edge));
}

dg::Location ToLocation(const dg::DMat44 &matrix) {
    dg::Location location;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            location.mat.m[r][c] = static_cast<float>(matrix.m[r][c]);
    location.pos = dg::DPoint3D(matrix.m[3][0], matrix.m[3][1], matrix.m[3][2]);
    return location;
}

bool Fail(std::string *why, const char *message) {
    if (why)
        *why = message;
    return false;
}

} // namespace

PickedFaceCSys::PickedFaceCSys(const du::SmartPtr<qlk::ShapeInstance> &part,
                               const dg::DMat44 &local)
    : DerivedCSys(dg::Location::IDENTITY, true), part_(part), local_(local) {}

du::SmartPtr<PickedFaceCSys> PickedFaceCSys::Derive(const du::SmartPtr<qlk::ShapeInstance> &part,
                                                    const dg::DVec3 &point,
                                                    const dg::DVec3 (&corners)[3],
                                                    std::string *why) {
    return Derive(part, point, corners, {}, why);
}

du::SmartPtr<PickedFaceCSys> PickedFaceCSys::Derive(const du::SmartPtr<qlk::ShapeInstance> &part,
                                                    const dg::DVec3 &point,
                                                    const dg::DVec3 (&corners)[3],
                                                    const std::vector<Edge> &edges,
                                                    std::string *why) {
    if (!part || !part->IsAttached())
        return Fail(why, "the picked part is not in the scene"), nullptr;
    if (!Finite(point) || !Finite(corners[0]) || !Finite(corners[1]) || !Finite(corners[2]))
        return Fail(why, "the pick has numbers that are not finite"), nullptr;
    for (const Edge &edge : edges)
        if (!Finite(edge[0]) || !Finite(edge[1]))
            return Fail(why, "the face's outline has numbers that are not finite"), nullptr;
    const dg::DVec3 normal = Cross(corners[1] - corners[0], corners[2] - corners[0]);
    double size = 0;
    for (int i = 0; i < 3; ++i)
        size = std::max(size, Length(corners[(i + 1) % 3] - corners[i]));
    // A sliver whose area is lost in rounding has no normal worth the name.
    if (!(Length(normal) > 1e-12 * size * size) || !(size > 0))
        return Fail(why, "the picked triangle has no area"), nullptr;
    const dg::DVec3 z = (1 / Length(normal)) * normal;
    if (std::fabs(Dot(point - corners[0], z)) > 1e-3 * size)
        return Fail(why, "the picked point is not on the picked triangle"), nullptr;

    // The nearest usable edge gives X: first of the face's outline, else of
    // the triangle. An edge standing (nearly) along Z has no direction in the
    // face's plane worth following.
    const auto nearestAlong = [&](const std::vector<Edge> &candidates, dg::DVec3 *x) {
        double best = HUGE_VAL;
        for (const Edge &edge : candidates) {
            const dg::DVec3 span = edge[1] - edge[0];
            const double length = Length(span);
            const dg::DVec3 along = span - Dot(span, z) * z;
            if (!(length > 0) || !(Length(along) > 1e-3 * length))
                continue;
            const double distance = SegmentDistance(point, edge[0], edge[1]);
            if (distance < best) {
                best = distance;
                *x = (1 / Length(along)) * along;
            }
        }
        return best < HUGE_VAL;
    };
    dg::DVec3 x;
    if (!nearestAlong(edges, &x) &&
        !nearestAlong(
            {{corners[0], corners[1]}, {corners[1], corners[2]}, {corners[2], corners[0]}}, &x))
        return Fail(why, "the picked triangle has no edge to follow"), nullptr;
    const dg::DVec3 y = Cross(z, x);

    dg::DMat44 world;
    const dg::DVec3 *rows[4] = {&x, &y, &z, &point};
    for (int r = 0; r < 4; ++r) {
        world.m[r][0] = rows[r]->x;
        world.m[r][1] = rows[r]->y;
        world.m[r][2] = rows[r]->z;
        world.m[r][3] = r == 3 ? 1 : 0;
    }
    // Kept in the part's own frame, so that it follows the part wherever it goes.
    dg::Location placed;
    part->GetLocation(placed);
    dg::DMat44 toPart = placed.ToMatrix();
    if (!toPart.Invert())
        return Fail(why, "the picked part is flattened to nothing"), nullptr;
    return du::SmartPtr<PickedFaceCSys>(new PickedFaceCSys(part, dg::DMat44(world, toPart)));
}

bool PickedFaceCSys::IsValid() const {
    return part_->IsAttached();
}

dg::Location PickedFaceCSys::GetLocation() const {
    dg::Location placed;
    part_->GetLocation(placed);
    return ToLocation(dg::DMat44(local_, placed.ToMatrix()));
}

} // namespace moduleutils
