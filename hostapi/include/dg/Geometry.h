// dg: the host's geometry types.
//
// Convention: points and directions are row vectors multiplied on the right by
// a matrix (p' = p·M), so a later transform S composes as M·S, and
// DMat44(a, b) is the product a·b. Rows 0 to 2 of a placement matrix are its X,
// Y and Z axes, row 3 its position. RotationX/Y/Z take radians and follow the
// right-hand rule: RotationZ(a) turns the X axis towards the Y axis; its rows
// are (cos a, sin a, 0), (-sin a, cos a, 0), (0, 0, 1).
//
// The host publishes less than this stand-in declares. Compiled with
// QLHOST_PUBLISHED_ONLY defined, these headers hide what only the stand-in has
// (its named enumerators, binary vector arithmetic, inequality operators, the
// storage of a rotation matrix...), so that code meant for the host's own
// headers fails to build where it leans on a stand-in extra.
//
// Typical use:
//   dg::Location placed;                      // identity
//   placed.SetPos(dg::DPoint3D(dg::DVec3(1, 2, 3)));
//   placed *= dg::DMat44::RotationZ(M_PI / 2); // turns matrix and position
#pragma once

#include <cmath>

namespace dg {

struct FVec3 {
    float x = 0, y = 0, z = 0;
    FVec3() = default;
    FVec3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}
#ifndef QLHOST_PUBLISHED_ONLY
    float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    friend bool operator==(const FVec3 &a, const FVec3 &b) {
        return a.x == b.x && a.y == b.y && a.z == b.z;
    }
    friend bool operator!=(const FVec3 &a, const FVec3 &b) { return !(a == b); }
#endif
};

struct DVec3 {
    double x = 0, y = 0, z = 0;
    DVec3() = default;
    DVec3(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}

    void Set(const FVec3 &v) {
        x = v.x;
        y = v.y;
        z = v.z;
    }
#ifndef QLHOST_PUBLISHED_ONLY
    void Set(double x_, double y_, double z_) {
        x = x_;
        y = y_;
        z = z_;
    }
#endif
    DVec3 &operator+=(const DVec3 &v) {
        x += v.x;
        y += v.y;
        z += v.z;
        return *this;
    }
    DVec3 &operator-=(const DVec3 &v) {
        x -= v.x;
        y -= v.y;
        z -= v.z;
        return *this;
    }
#ifndef QLHOST_PUBLISHED_ONLY
    double operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    double &operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
    friend DVec3 operator+(DVec3 a, const DVec3 &b) { return a += b; }
    friend DVec3 operator-(DVec3 a, const DVec3 &b) { return a -= b; }
    friend DVec3 operator*(double s, const DVec3 &v) { return DVec3(s * v.x, s * v.y, s * v.z); }
    friend bool operator==(const DVec3 &a, const DVec3 &b) {
        return a.x == b.x && a.y == b.y && a.z == b.z;
    }
    friend bool operator!=(const DVec3 &a, const DVec3 &b) { return !(a == b); }
#endif

    static const DVec3 ZERO;
};

// A point: a DVec3 read as a position (transformed with the matrix's last row).
struct DPoint3D : DVec3 {
    DPoint3D() = default;
    DPoint3D(double x_, double y_, double z_) : DVec3(x_, y_, z_) {}
    explicit DPoint3D(const DVec3 &v) : DVec3(v) {}

    static const DPoint3D ORIGIN;
};

// 3x3 float matrix: rotation, possibly with scale. Rows are the axes.
struct FMat33 {
#ifdef QLHOST_PUBLISHED_ONLY
  private: // the host publishes the axes, not the storage
#endif
    float m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
#ifdef QLHOST_PUBLISHED_ONLY
  public:
#endif

    FMat33() = default;
    FMat33(float m00, float m01, float m02, float m10, float m11, float m12, float m20, float m21,
           float m22)
        : m{{m00, m01, m02}, {m10, m11, m12}, {m20, m21, m22}} {}

    FVec3 GetU() const { return FVec3(m[0][0], m[0][1], m[0][2]); }
    FVec3 GetV() const { return FVec3(m[1][0], m[1][1], m[1][2]); }
    FVec3 GetW() const { return FVec3(m[2][0], m[2][1], m[2][2]); }
    // Length of each axis (row).
    FVec3 GetScale() const;

    static FMat33 Scale(float sx, float sy, float sz) {
        return FMat33(sx, 0, 0, 0, sy, 0, 0, 0, sz);
    }

    friend bool operator==(const FMat33 &a, const FMat33 &b);
#ifndef QLHOST_PUBLISHED_ONLY
    friend bool operator!=(const FMat33 &a, const FMat33 &b) { return !(a == b); }
#endif

    static const FMat33 IDENTITY;
};

// Product a·b.
FMat33 operator*(const FMat33 &a, const FMat33 &b);

// 4x4 double matrix, stored as four rows of four doubles.
struct DMat44 {
    double m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

    DMat44() = default;
    DMat44(const DMat44 &a, const DMat44 &b); // the product a·b
    DMat44(const DMat44 &) = default;
    DMat44 &operator=(const DMat44 &) = default;

    // Inverts in place. Answers false, leaving the matrix unchanged, when it is singular
    // or its inverse would not be finite.
    bool Invert();

    static DMat44 RotationX(double radians);
    static DMat44 RotationY(double radians);
    static DMat44 RotationZ(double radians);
#ifndef QLHOST_PUBLISHED_ONLY
    static DMat44 Translation(const DVec3 &t);

    friend bool operator==(const DMat44 &a, const DMat44 &b);
#endif

    static const DMat44 IDENTITY;
};

// A direction times a matrix (the last row, the translation, does not apply).
DVec3 operator*(const DVec3 &v, const DMat44 &m);
#ifndef QLHOST_PUBLISHED_ONLY
// A point times a matrix (the translation applies).
DPoint3D operator*(const DPoint3D &p, const DMat44 &m);
#endif

// A placement: a rotation (possibly scaled) matrix followed by a position.
struct Location {
    FMat33 mat;
    DPoint3D pos;

    Location() = default;
#ifndef QLHOST_PUBLISHED_ONLY
    Location(const FMat33 &m, const DPoint3D &p) : mat(m), pos(p) {}
#endif

    void SetPos(const DPoint3D &p) { pos = p; }
    void SetMat(const FMat33 &m) { mat = m; }
#ifndef QLHOST_PUBLISHED_ONLY
    const DPoint3D &GetPos() const { return pos; }
    const FMat33 &GetMat() const { return mat; }
#endif

    // Turns both the matrix and the position by `m`: mat := mat·m (upper 3x3),
    // pos := pos·m (as a point).
    Location &operator*=(const DMat44 &m);

#ifndef QLHOST_PUBLISHED_ONLY
    // The placement as a 4x4 matrix (rows: axes, then position).
    DMat44 ToMatrix() const;

    friend bool operator==(const Location &a, const Location &b) {
        return a.mat == b.mat && a.pos == b.pos;
    }
    friend bool operator!=(const Location &a, const Location &b) { return !(a == b); }
#endif

    static const Location IDENTITY;
};

struct Color {
    float r = 0, g = 0, b = 0, a = 1;
    Color() = default;
    Color(float r_, float g_, float b_, float a_) : r(r_), g(g_), b(b_), a(a_) {}
    friend bool operator==(const Color &x, const Color &y) {
        return x.r == y.r && x.g == y.g && x.b == y.b && x.a == y.a;
    }
};

#ifndef QLHOST_PUBLISHED_ONLY
// True when every component is a finite number.
bool IsFinite(const Location &location);
#endif

} // namespace dg
