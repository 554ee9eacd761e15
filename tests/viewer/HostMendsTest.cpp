// The two mends of the stand-in host the viewer makes visible: an animated
// move turns a part as a rigid body, and a coordinate system derived from a
// picked face stands where the face's geometry says and follows its part.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dg/Geometry.h>
#include <moduleutils/PickedFaceCSys.h>
#include <qlk/Kernel.h>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kHalf = 0.70710678118654752;

dg::Location Turned(const dg::DMat44 &turn, double scale, const dg::DVec3 &at) {
    dg::Location location;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            location.mat.m[r][c] = static_cast<float>(turn.m[r][c] * scale);
    location.pos = dg::DPoint3D(at);
    return location;
}

void ExpectRow(const dg::Location &location, int row, double x, double y, double z) {
    EXPECT_NEAR(location.mat.m[row][0], x, 1e-6) << "row " << row;
    EXPECT_NEAR(location.mat.m[row][1], y, 1e-6) << "row " << row;
    EXPECT_NEAR(location.mat.m[row][2], z, 1e-6) << "row " << row;
}

struct Move {
    const char *what;
    dg::Location from, to;
    double scale; // each axis's length half-way
    // The rows expected half-way, hand-derived (unit length; times `scale`).
    double rows[3][3];
    dg::DVec3 position;
};

TEST(AnimatedMove, HalfWayIsTheHalfTurnOfARigidBody) {
    const dg::Location identity = dg::Location::IDENTITY;
    const Move moves[] = {
        {"a quarter turn about Z, moving 10 along X",
         identity,
         Turned(dg::DMat44::RotationZ(kPi / 2), 1, dg::DVec3(10, 0, 0)),
         1,
         {{kHalf, kHalf, 0}, {-kHalf, kHalf, 0}, {0, 0, 1}},
         dg::DVec3(5, 0, 0)},
        {"a half turn about X (the two ends' rotations are opposite quaternions' neighbours)",
         identity,
         Turned(dg::DMat44::RotationX(kPi), 1, dg::DVec3(0, 0, 0)),
         1,
         {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}},
         dg::DVec3(0, 0, 0)},
        {"a part twice its size, a quarter turn about Y",
         Turned(dg::DMat44::IDENTITY, 2, dg::DVec3(0, 0, 0)),
         Turned(dg::DMat44::RotationY(kPi / 2), 2, dg::DVec3(0, 4, 0)),
         2,
         {{kHalf, 0, -kHalf}, {0, 1, 0}, {kHalf, 0, kHalf}},
         dg::DVec3(0, 2, 0)},
        {"from 80 degrees to -80 about Z, through the start rather than the long way round",
         Turned(dg::DMat44::RotationZ(80 * kPi / 180), 1, dg::DVec3(0, 0, 0)),
         Turned(dg::DMat44::RotationZ(-80 * kPi / 180), 1, dg::DVec3(0, 0, 0)),
         1,
         {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
         dg::DVec3(0, 0, 0)},
    };
    for (const Move &move : moves) {
        SCOPED_TRACE(move.what);
        const du::SmartPtr<qlk::ShapeScene> scene(new qlk::ShapeScene);
        const du::SmartPtr<qlk::Instance> instance(new qlk::Instance("part"));
        const du::SmartPtr<qlk::ShapeInstance> shape =
            scene->CreateShapeInstance(instance, move.from);
        shape->MoveTo(move.to, 1000);
        scene->AdvanceClock(500);
        dg::Location halfway;
        shape->GetLocation(halfway);
        // The half turn about X has two rigid half-way placements; the one
        // through +Z is what the shortest path from the identity gives either way
        // up to the sign of the axis, so it is checked as rigid only.
        if (std::string(move.what).rfind("a half turn", 0) == 0) {
            ExpectRow(halfway, 0, 1, 0, 0);
            EXPECT_NEAR(std::fabs(halfway.mat.m[1][2]), 1, 1e-6);
            EXPECT_NEAR(std::fabs(halfway.mat.m[2][1]), 1, 1e-6);
        } else {
            for (int r = 0; r < 3; ++r)
                ExpectRow(halfway, r, move.rows[r][0] * move.scale, move.rows[r][1] * move.scale,
                          move.rows[r][2] * move.scale);
        }
        for (int r = 0; r < 3; ++r) {
            const dg::FVec3 axis(halfway.mat.m[r][0], halfway.mat.m[r][1], halfway.mat.m[r][2]);
            EXPECT_NEAR(std::sqrt(axis.x * axis.x + axis.y * axis.y + axis.z * axis.z), move.scale,
                        1e-6);
        }
        EXPECT_NEAR(halfway.pos.x, move.position.x, 1e-9);
        EXPECT_NEAR(halfway.pos.y, move.position.y, 1e-9);
        EXPECT_NEAR(halfway.pos.z, move.position.z, 1e-9);
        // The end stands exactly where it was sent.
        scene->FinishAnimations();
        dg::Location end;
        shape->GetLocation(end);
        EXPECT_EQ(end, move.to);
    }
}

TEST(AnimatedMove, AMirroredPlacementStillMovesToItsEnd) {
    const du::SmartPtr<qlk::ShapeScene> scene(new qlk::ShapeScene);
    const du::SmartPtr<qlk::Instance> instance(new qlk::Instance("mirrored"));
    const du::SmartPtr<qlk::ShapeInstance> shape =
        scene->CreateShapeInstance(instance, dg::Location::IDENTITY);
    dg::Location mirrored;
    mirrored.mat = dg::FMat33(-1, 0, 0, 0, 1, 0, 0, 0, 1);
    shape->MoveTo(mirrored, 1000);
    scene->AdvanceClock(250);
    dg::Location quarter;
    shape->GetLocation(quarter);
    EXPECT_TRUE(dg::IsFinite(quarter));
    EXPECT_NEAR(quarter.mat.m[0][0], 0.5, 1e-6); // blended entry by entry: no turn exists
}

// ---------------------------------------------------------------------------

struct Pick {
    const char *what;
    dg::DVec3 corners[3];
    dg::DVec3 point;
    // Hand-derived: the frame's axes.
    dg::DVec3 x, y, z;
};

void ExpectAxis(const dg::Location &location, int row, const dg::DVec3 &axis) {
    ExpectRow(location, row, axis.x, axis.y, axis.z);
}

TEST(PickedFace, TheFrameStandsOnThePointAlongTheNormalAndTheNearestEdge) {
    const double r = 1 / std::sqrt(2.0);
    const double l = 1 / std::sqrt(14.0 * 14.0 + 8.0 * 8.0);
    const Pick picks[] = {
        {"the top of a plate, near its front edge",
         {dg::DVec3(-6, -4, 0), dg::DVec3(8, -4, 0), dg::DVec3(8, 4, 0)},
         dg::DVec3(7, -3.5, 0),
         dg::DVec3(1, 0, 0),
         dg::DVec3(0, 1, 0),
         dg::DVec3(0, 0, 1)},
        {"the same triangle, near its long side",
         {dg::DVec3(-6, -4, 0), dg::DVec3(8, -4, 0), dg::DVec3(8, 4, 0)},
         dg::DVec3(1, -0.2, 0),
         dg::DVec3(-14 * l, -8 * l, 0),
         dg::DVec3(8 * l, -14 * l, 0),
         dg::DVec3(0, 0, 1)},
        {"the underside (wound the other way): Z points down",
         {dg::DVec3(-6, -4, 0), dg::DVec3(8, 4, 0), dg::DVec3(8, -4, 0)},
         dg::DVec3(7, -3.5, 0),
         dg::DVec3(-1, 0, 0),
         dg::DVec3(0, 1, 0),
         dg::DVec3(0, 0, -1)},
        {"a face tilted at 45 degrees",
         {dg::DVec3(0, 0, 0), dg::DVec3(0, 1, 1), dg::DVec3(1, 0, 0)},
         dg::DVec3(0.5, 0.05, 0.05),
         dg::DVec3(-1, 0, 0),
         dg::DVec3(0, r, r),
         dg::DVec3(0, r, -r)},
    };
    for (const Pick &pick : picks) {
        SCOPED_TRACE(pick.what);
        const du::SmartPtr<qlk::ShapeScene> scene(new qlk::ShapeScene);
        const du::SmartPtr<qlk::Instance> instance(new qlk::Instance("plate"));
        // The part stands turned and moved: the frame is still given and
        // answered in world coordinates.
        const du::SmartPtr<qlk::ShapeInstance> shape = scene->CreateShapeInstance(
            instance, Turned(dg::DMat44::RotationZ(0.3), 1, dg::DVec3(1, 2, 3)));
        std::string why;
        const du::SmartPtr<moduleutils::PickedFaceCSys> csys =
            moduleutils::PickedFaceCSys::Derive(shape, pick.point, pick.corners, &why);
        ASSERT_TRUE(csys) << why;
        EXPECT_TRUE(csys->IsValid());
        const dg::Location frame = csys->GetLocation();
        ExpectAxis(frame, 0, pick.x);
        ExpectAxis(frame, 1, pick.y);
        ExpectAxis(frame, 2, pick.z);
        EXPECT_NEAR(frame.pos.x, pick.point.x, 1e-9);
        EXPECT_NEAR(frame.pos.y, pick.point.y, 1e-9);
        EXPECT_NEAR(frame.pos.z, pick.point.z, 1e-9);
    }
}

TEST(PickedFace, XRunsAlongTheNearestEdgeOfTheWholeFace) {
    // A square face (0..2 on X and Y) drawn as two triangles; the point, near
    // its centre, is nearer their diagonal than any side of the square, and of
    // the sides nearest the right one.
    using Edge = moduleutils::PickedFaceCSys::Edge;
    const double r = 1 / std::sqrt(2.0);
    const dg::DVec3 corners[3] = {dg::DVec3(0, 0, 0), dg::DVec3(2, 0, 0), dg::DVec3(2, 2, 0)};
    const dg::DVec3 point(1.1, 0.95, 0);
    const std::vector<Edge> square = {{dg::DVec3(0, 0, 0), dg::DVec3(2, 0, 0)},
                                      {dg::DVec3(2, 0, 0), dg::DVec3(2, 2, 0)},
                                      {dg::DVec3(2, 2, 0), dg::DVec3(0, 2, 0)},
                                      {dg::DVec3(0, 2, 0), dg::DVec3(0, 0, 0)}};
    std::vector<Edge> withUnusable = square;
    withUnusable.push_back({point, point + dg::DVec3(0, 0, 3)});    // along the normal
    withUnusable.push_back({point, point + dg::DVec3(1e-6, 0, 3)}); // nearly so
    withUnusable.push_back({point, point});                         // no length
    const std::vector<Edge> noneUsable(withUnusable.begin() + 4, withUnusable.end());
    const struct {
        const char *what;
        std::vector<Edge> edges;
        dg::DVec3 x, y;
    } cases[] = {
        {"the square's outline: along its right side", square, dg::DVec3(0, 1, 0),
         dg::DVec3(-1, 0, 0)},
        {"edges along the normal or of no length are passed over", withUnusable, dg::DVec3(0, 1, 0),
         dg::DVec3(-1, 0, 0)},
        {"with no usable edge, the triangle's nearest", noneUsable, dg::DVec3(-r, -r, 0),
         dg::DVec3(r, -r, 0)},
        {"with no outline, the triangle's nearest", {}, dg::DVec3(-r, -r, 0), dg::DVec3(r, -r, 0)},
    };
    for (const auto &pick : cases) {
        SCOPED_TRACE(pick.what);
        const du::SmartPtr<qlk::ShapeScene> scene(new qlk::ShapeScene);
        const du::SmartPtr<qlk::Instance> instance(new qlk::Instance("plate"));
        const du::SmartPtr<qlk::ShapeInstance> shape = scene->CreateShapeInstance(
            instance, Turned(dg::DMat44::RotationZ(0.3), 1, dg::DVec3(1, 2, 3)));
        std::string why;
        const du::SmartPtr<moduleutils::PickedFaceCSys> csys =
            moduleutils::PickedFaceCSys::Derive(shape, point, corners, pick.edges, &why);
        ASSERT_TRUE(csys) << why;
        const dg::Location frame = csys->GetLocation();
        ExpectAxis(frame, 0, pick.x);
        ExpectAxis(frame, 1, pick.y);
        ExpectAxis(frame, 2, dg::DVec3(0, 0, 1));
        EXPECT_NEAR(frame.pos.x, point.x, 1e-9);
        EXPECT_NEAR(frame.pos.y, point.y, 1e-9);
    }

    // An outline with a number that is not finite is refused, not passed over.
    const du::SmartPtr<qlk::ShapeScene> scene(new qlk::ShapeScene);
    const du::SmartPtr<qlk::Instance> instance(new qlk::Instance("plate"));
    const du::SmartPtr<qlk::ShapeInstance> shape =
        scene->CreateShapeInstance(instance, dg::Location::IDENTITY);
    std::vector<Edge> endless = square;
    endless.push_back({dg::DVec3(0, 0, 0), dg::DVec3(std::nan(""), 0, 0)});
    std::string why;
    EXPECT_FALSE(moduleutils::PickedFaceCSys::Derive(shape, point, corners, endless, &why));
    EXPECT_FALSE(why.empty());
}

TEST(PickedFace, TheFrameFollowsItsPartAndLapsesWithIt) {
    const du::SmartPtr<qlk::ShapeScene> scene(new qlk::ShapeScene);
    const du::SmartPtr<qlk::Instance> instance(new qlk::Instance("plate"));
    const du::SmartPtr<qlk::ShapeInstance> shape =
        scene->CreateShapeInstance(instance, Turned(dg::DMat44::IDENTITY, 1, dg::DVec3(1, 0, 0)));
    const dg::DVec3 corners[3] = {dg::DVec3(0, 0, 0), dg::DVec3(2, 0, 0), dg::DVec3(2, 2, 0)};
    const du::SmartPtr<moduleutils::PickedFaceCSys> csys =
        moduleutils::PickedFaceCSys::Derive(shape, dg::DVec3(1.5, 0.5, 0), corners);
    ASSERT_TRUE(csys);

    // A quarter turn about Z at the part's origin (1, 0, 0), then 5 up: the
    // point (1.5, 0.5, 0) goes to (0.5, 0.5, 5), X (1, 0, 0) to (0, 1, 0).
    shape->SetLocation(Turned(dg::DMat44::RotationZ(kPi / 2), 1, dg::DVec3(1, 0, 5)));
    const dg::Location moved = csys->GetLocation();
    EXPECT_NEAR(moved.pos.x, 0.5, 1e-9);
    EXPECT_NEAR(moved.pos.y, 0.5, 1e-9);
    EXPECT_NEAR(moved.pos.z, 5, 1e-9);
    ExpectAxis(moved, 0, dg::DVec3(0, 1, 0));
    ExpectAxis(moved, 2, dg::DVec3(0, 0, 1));

    scene->RemoveShapeInstance(instance.get());
    EXPECT_FALSE(csys->IsValid());
}

TEST(PickedFace, APickWithoutAFaceIsRefused) {
    const du::SmartPtr<qlk::ShapeScene> scene(new qlk::ShapeScene);
    const du::SmartPtr<qlk::Instance> instance(new qlk::Instance("plate"));
    const du::SmartPtr<qlk::ShapeInstance> shape =
        scene->CreateShapeInstance(instance, dg::Location::IDENTITY);
    const double inf = HUGE_VAL;
    struct Refused {
        const char *what;
        dg::DVec3 corners[3];
        dg::DVec3 point;
    } refused[] = {
        {"corners on one line",
         {dg::DVec3(0, 0, 0), dg::DVec3(1, 1, 1), dg::DVec3(2, 2, 2)},
         dg::DVec3(1, 1, 1)},
        {"one corner thrice",
         {dg::DVec3(1, 0, 0), dg::DVec3(1, 0, 0), dg::DVec3(1, 0, 0)},
         dg::DVec3(1, 0, 0)},
        {"a point off the face",
         {dg::DVec3(0, 0, 0), dg::DVec3(1, 0, 0), dg::DVec3(0, 1, 0)},
         dg::DVec3(0.2, 0.2, 0.5)},
        {"an endless corner",
         {dg::DVec3(0, 0, 0), dg::DVec3(inf, 0, 0), dg::DVec3(0, 1, 0)},
         dg::DVec3(0, 0, 0)},
    };
    for (const Refused &pick : refused) {
        std::string why;
        EXPECT_FALSE(moduleutils::PickedFaceCSys::Derive(shape, pick.point, pick.corners, &why))
            << pick.what;
        EXPECT_FALSE(why.empty()) << pick.what;
    }
    const dg::DVec3 corners[3] = {dg::DVec3(0, 0, 0), dg::DVec3(1, 0, 0), dg::DVec3(0, 1, 0)};
    EXPECT_FALSE(moduleutils::PickedFaceCSys::Derive(nullptr, dg::DVec3(0.1, 0.1, 0), corners));
}

} // namespace
