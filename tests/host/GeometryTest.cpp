// The dg convention: row vectors multiplied on the right, DMat44(a, b) = a·b,
// rows 0 to 2 the axes and row 3 the position. Every expectation below is
// worked out by hand.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include <dg/Geometry.h>

namespace {

constexpr double kQuarterTurn = 1.5707963267948966;
constexpr double kTol = 1e-12;

void ExpectVec(const dg::DVec3 &actual, double x, double y, double z, double tol = kTol) {
    EXPECT_NEAR(actual.x, x, tol);
    EXPECT_NEAR(actual.y, y, tol);
    EXPECT_NEAR(actual.z, z, tol);
}

void ExpectRows(const dg::FMat33 &actual, const float (&rows)[3][3]) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(actual.m[r][c], rows[r][c], 1e-6) << "row " << r << " column " << c;
}

struct TurnCase {
    const char *name;
    dg::DMat44 (*rotation)(double);
    dg::DVec3 from;
    dg::DVec3 to; // where a positive quarter turn takes `from`
};

class RightHandRule : public ::testing::TestWithParam<TurnCase> {};

TEST_P(RightHandRule, PositiveQuarterTurnTakesOneAxisToTheNext) {
    const TurnCase &c = GetParam();
    ExpectVec(c.from * c.rotation(kQuarterTurn), c.to.x, c.to.y, c.to.z);
    ExpectVec(c.to * c.rotation(-kQuarterTurn), c.from.x, c.from.y, c.from.z);
}

INSTANTIATE_TEST_SUITE_P(
    Rotations, RightHandRule,
    ::testing::Values(TurnCase{"ZTurnsXTowardsY", dg::DMat44::RotationZ, {1, 0, 0}, {0, 1, 0}},
                      TurnCase{"XTurnsYTowardsZ", dg::DMat44::RotationX, {0, 1, 0}, {0, 0, 1}},
                      TurnCase{"YTurnsZTowardsX", dg::DMat44::RotationY, {0, 0, 1}, {1, 0, 0}}),
    [](const ::testing::TestParamInfo<TurnCase> &info) { return std::string(info.param.name); });

TEST(Geometry, RotationZRowsAreCosSinThenMinusSinCos) {
    const double a = 0.3;
    const dg::DMat44 r = dg::DMat44::RotationZ(a);
    const double expected[4][4] = {{std::cos(a), std::sin(a), 0, 0},
                                   {-std::sin(a), std::cos(a), 0, 0},
                                   {0, 0, 1, 0},
                                   {0, 0, 0, 1}};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(r.m[i][j], expected[i][j], kTol);
}

TEST(Geometry, ProductAppliesTheLeftMatrixFirst) {
    // X quarter turn first: (0,1,0) -> (0,0,1), which Z leaves alone. Z first
    // would give (-1,0,0) instead.
    const dg::DMat44 xThenZ(dg::DMat44::RotationX(kQuarterTurn),
                            dg::DMat44::RotationZ(kQuarterTurn));
    ExpectVec(dg::DVec3(0, 1, 0) * xThenZ, 0, 0, 1);

    // Turn (1,0,0) to (0,1,0), then shift by (1,2,3).
    const dg::DMat44 turnThenShift(dg::DMat44::RotationZ(kQuarterTurn),
                                   dg::DMat44::Translation(dg::DVec3(1, 2, 3)));
    ExpectVec(dg::DPoint3D(1, 0, 0) * turnThenShift, 1, 3, 3);
    // Shift to (2,2,3) first, then turn: (x, y) -> (-y, x).
    const dg::DMat44 shiftThenTurn(dg::DMat44::Translation(dg::DVec3(1, 2, 3)),
                                   dg::DMat44::RotationZ(kQuarterTurn));
    ExpectVec(dg::DPoint3D(1, 0, 0) * shiftThenTurn, -2, 2, 3);
}

TEST(Geometry, DirectionsIgnoreTheTranslationRow) {
    const dg::DMat44 turnThenShift(dg::DMat44::RotationZ(kQuarterTurn),
                                   dg::DMat44::Translation(dg::DVec3(1, 2, 3)));
    ExpectVec(dg::DVec3(1, 0, 0) * turnThenShift, 0, 1, 0);
}

TEST(Geometry, LocationTimesMatrixTurnsAxesAndMovesPosition) {
    // Axes of a quarter turn about X: X stays, Y becomes Z, Z becomes -Y.
    dg::Location location(dg::FMat33(1, 0, 0, 0, 0, 1, 0, -1, 0), dg::DPoint3D(1, 2, 3));
    location *= dg::DMat44(dg::DMat44::RotationZ(kQuarterTurn),
                           dg::DMat44::Translation(dg::DVec3(10, 20, 30)));
    // Each axis turned by Z: (1,0,0)->(0,1,0), (0,0,1) stays, (0,-1,0)->(1,0,0).
    ExpectRows(location.mat, {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}});
    // (1,2,3) turned is (-2,1,3), then shifted.
    ExpectVec(location.pos, 8, 21, 33);
}

TEST(Geometry, LocationAsMatrixHasAxesThenPosition) {
    const dg::Location location(dg::FMat33(0, 1, 0, -1, 0, 0, 0, 0, 1), dg::DPoint3D(4, 5, 6));
    const dg::DMat44 m = location.ToMatrix();
    const double expected[4][4] = {{0, 1, 0, 0}, {-1, 0, 0, 0}, {0, 0, 1, 0}, {4, 5, 6, 1}};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(m.m[i][j], expected[i][j]);
}

TEST(Geometry, InvertUndoesATurnAndAShift) {
    dg::DMat44 m(dg::DMat44::RotationZ(kQuarterTurn), dg::DMat44::Translation(dg::DVec3(1, 2, 3)));
    ASSERT_TRUE(m.Invert());
    // The inverse shifts back by (-1,-2,-3) and turns by -90 degrees: its upper
    // block has rows (0,-1,0), (1,0,0), (0,0,1) and its last row is (-2,1,-3).
    const double expected[4][4] = {{0, -1, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}, {-2, 1, -3, 1}};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(m.m[i][j], expected[i][j], kTol) << i << "," << j;
    ExpectVec(dg::DPoint3D(1, 3, 3) * m, 1, 0, 0);
}

TEST(Geometry, InvertScalesByTheReciprocals) {
    dg::DMat44 m;
    m.m[0][0] = 2;
    m.m[1][1] = 4;
    m.m[2][2] = 0.5;
    m.m[3][0] = 6; // shift along X after scaling
    ASSERT_TRUE(m.Invert());
    EXPECT_NEAR(m.m[0][0], 0.5, kTol);
    EXPECT_NEAR(m.m[1][1], 0.25, kTol);
    EXPECT_NEAR(m.m[2][2], 2, kTol);
    EXPECT_NEAR(m.m[3][0], -3, kTol);
}

struct SingularCase {
    const char *name;
    double rows[4][4];
};

class InvertRefuses : public ::testing::TestWithParam<SingularCase> {};

TEST_P(InvertRefuses, AndLeavesTheMatrixAsItWas) {
    dg::DMat44 m;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            m.m[i][j] = GetParam().rows[i][j];
    const dg::DMat44 before = m;
    EXPECT_FALSE(m.Invert());
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_TRUE(std::isnan(before.m[i][j]) ? std::isnan(m.m[i][j])
                                                   : m.m[i][j] == before.m[i][j]);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTiny = 1e-310; // its reciprocal overflows

INSTANTIATE_TEST_SUITE_P(
    Degenerate, InvertRefuses,
    ::testing::Values(
        SingularCase{"ZeroAxis", {{1, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 1, 0}, {5, 6, 7, 1}}},
        SingularCase{"DependentAxes", {{1, 2, 3, 0}, {2, 4, 6, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}},
        SingularCase{"AllZero", {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}},
        SingularCase{"NotANumber", {{1, 0, 0, 0}, {0, kNaN, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}},
        SingularCase{"InverseOverflows",
                     {{kTiny, 0, 0, 0}, {0, kTiny, 0, 0}, {0, 0, kTiny, 0}, {0, 0, 0, kTiny}}}),
    [](const ::testing::TestParamInfo<SingularCase> &info) {
        return std::string(info.param.name);
    });

TEST(Geometry, FloatProductAndScale) {
    // Scale X by 2, then a quarter turn about Z.
    const dg::FMat33 turn(0, 1, 0, -1, 0, 0, 0, 0, 1);
    ExpectRows(dg::FMat33::Scale(2, 1, 1) * turn, {{0, 2, 0}, {-1, 0, 0}, {0, 0, 1}});
    ExpectRows(turn * dg::FMat33::Scale(2, 1, 1), {{0, 1, 0}, {-2, 0, 0}, {0, 0, 1}});

    const dg::FVec3 scale = dg::FMat33(3, 4, 0, 0, 0, 2, 1, 1, 1).GetScale();
    EXPECT_FLOAT_EQ(scale.x, 5);
    EXPECT_FLOAT_EQ(scale.y, 2);
    EXPECT_FLOAT_EQ(scale.z, std::sqrt(3.0f));
}

TEST(Geometry, FinitenessLooksAtEveryComponent) {
    EXPECT_TRUE(dg::IsFinite(dg::Location::IDENTITY));
    dg::Location extremes;
    extremes.mat.m[0][0] = std::numeric_limits<float>::max();
    extremes.mat.m[1][2] = -std::numeric_limits<float>::denorm_min();
    extremes.pos.x = -std::numeric_limits<double>::max();
    extremes.pos.y = std::numeric_limits<double>::denorm_min();
    EXPECT_TRUE(dg::IsFinite(extremes));

    const double bad[] = {kNaN, std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (double value : bad) {
        for (int i = 0; i < 12; ++i) {
            dg::Location location;
            location.mat.m[i / 3 % 3][i % 3] = static_cast<float>(value);
            if (i >= 9) {
                location.mat = dg::FMat33::IDENTITY;
                location.pos[i - 9] = value;
            }
            EXPECT_FALSE(dg::IsFinite(location)) << "component " << i << " = " << value;
        }
    }
}

} // namespace
