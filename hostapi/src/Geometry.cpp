#include <dg/Geometry.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

namespace dg {

const DVec3 DVec3::ZERO(0, 0, 0);
const DPoint3D DPoint3D::ORIGIN(0, 0, 0);
const FMat33 FMat33::IDENTITY;
const DMat44 DMat44::IDENTITY;
const Location Location::IDENTITY;

FVec3 FMat33::GetScale() const {
    FVec3 scale;
    float *out[3] = {&scale.x, &scale.y, &scale.z};
    for (int r = 0; r < 3; ++r)
        *out[r] = std::sqrt(m[r][0] * m[r][0] + m[r][1] * m[r][1] + m[r][2] * m[r][2]);
    return scale;
}

bool operator==(const FMat33 &a, const FMat33 &b) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (a.m[r][c] != b.m[r][c])
                return false;
    return true;
}

FMat33 operator*(const FMat33 &a, const FMat33 &b) {
    FMat33 product;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            product.m[r][c] = a.m[r][0] * b.m[0][c] + a.m[r][1] * b.m[1][c] + a.m[r][2] * b.m[2][c];
    return product;
}

DMat44::DMat44(const DMat44 &a, const DMat44 &b) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            double sum = 0;
            for (int k = 0; k < 4; ++k)
                sum += a.m[r][k] * b.m[k][c];
            m[r][c] = sum;
        }
}

bool DMat44::Invert() {
    // Gauss-Jordan elimination with partial pivoting on a copy, so that a
    // failure leaves the matrix as it was.
    double work[4][4];
    double inverse[4][4];
    double largest = 0;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            work[r][c] = m[r][c];
            inverse[r][c] = r == c ? 1 : 0;
            if (!std::isfinite(m[r][c]))
                return false;
            largest = std::fmax(largest, std::fabs(m[r][c]));
        }
    if (largest == 0)
        return false;
    // Pivots this small against the matrix's own scale mean the rows are
    // dependent up to rounding.
    const double tiny = largest * 1e-12;

    for (int col = 0; col < 4; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 4; ++r)
            if (std::fabs(work[r][col]) > std::fabs(work[pivot][col]))
                pivot = r;
        if (!(std::fabs(work[pivot][col]) > tiny))
            return false;
        if (pivot != col)
            for (int c = 0; c < 4; ++c) {
                std::swap(work[pivot][c], work[col][c]);
                std::swap(inverse[pivot][c], inverse[col][c]);
            }
        const double scale = 1.0 / work[col][col];
        for (int c = 0; c < 4; ++c) {
            work[col][c] *= scale;
            inverse[col][c] *= scale;
        }
        for (int r = 0; r < 4; ++r) {
            if (r == col || work[r][col] == 0)
                continue;
            const double factor = work[r][col];
            for (int c = 0; c < 4; ++c) {
                work[r][c] -= factor * work[col][c];
                inverse[r][c] -= factor * inverse[col][c];
            }
        }
    }
    for (auto &row : inverse)
        for (double value : row)
            if (!std::isfinite(value))
                return false;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m[r][c] = inverse[r][c];
    return true;
}

DMat44 DMat44::RotationX(double radians) {
    const double c = std::cos(radians);
    const double s = std::sin(radians);
    DMat44 rotation;
    rotation.m[1][1] = c;
    rotation.m[1][2] = s;
    rotation.m[2][1] = -s;
    rotation.m[2][2] = c;
    return rotation;
}

DMat44 DMat44::RotationY(double radians) {
    const double c = std::cos(radians);
    const double s = std::sin(radians);
    DMat44 rotation;
    rotation.m[0][0] = c;
    rotation.m[0][2] = -s;
    rotation.m[2][0] = s;
    rotation.m[2][2] = c;
    return rotation;
}

DMat44 DMat44::RotationZ(double radians) {
    const double c = std::cos(radians);
    const double s = std::sin(radians);
    DMat44 rotation;
    rotation.m[0][0] = c;
    rotation.m[0][1] = s;
    rotation.m[1][0] = -s;
    rotation.m[1][1] = c;
    return rotation;
}

DMat44 DMat44::Translation(const DVec3 &t) {
    DMat44 translation;
    translation.m[3][0] = t.x;
    translation.m[3][1] = t.y;
    translation.m[3][2] = t.z;
    return translation;
}

bool operator==(const DMat44 &a, const DMat44 &b) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (a.m[r][c] != b.m[r][c])
                return false;
    return true;
}

DVec3 operator*(const DVec3 &v, const DMat44 &m) {
    DVec3 result;
    for (int c = 0; c < 3; ++c)
        result[c] = v.x * m.m[0][c] + v.y * m.m[1][c] + v.z * m.m[2][c];
    return result;
}

DPoint3D operator*(const DPoint3D &p, const DMat44 &m) {
    DPoint3D result;
    for (int c = 0; c < 3; ++c)
        result[c] = p.x * m.m[0][c] + p.y * m.m[1][c] + p.z * m.m[2][c] + m.m[3][c];
    return result;
}

Location &Location::operator*=(const DMat44 &m) {
    // The product is formed in double and rounded once into the float matrix.
    FMat33 turned;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            turned.m[r][c] = static_cast<float>(static_cast<double>(mat.m[r][0]) * m.m[0][c] +
                                                static_cast<double>(mat.m[r][1]) * m.m[1][c] +
                                                static_cast<double>(mat.m[r][2]) * m.m[2][c]);
    mat = turned;
    pos = pos * m;
    return *this;
}

DMat44 Location::ToMatrix() const {
    DMat44 matrix;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            matrix.m[r][c] = mat.m[r][c];
    for (int c = 0; c < 3; ++c)
        matrix.m[3][c] = pos[c];
    return matrix;
}

bool IsFinite(const Location &location) {
    // Every placement handed to the scene is checked, so this runs once per
    // moved instance. A value is an infinity or a NaN exactly when its exponent
    // bits are all set; testing the bits with integer operations lets the
    // twelve matrix values be checked side by side instead of one after another.
    std::uint32_t matrix = 0;
    for (const auto &row : location.mat.m)
        for (float value : row) {
            std::uint32_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            matrix |= static_cast<std::uint32_t>((bits & 0x7f800000u) == 0x7f800000u);
        }
    std::uint64_t position = 0;
    for (double value : {location.pos.x, location.pos.y, location.pos.z}) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        position |= static_cast<std::uint64_t>((bits & 0x7ff0000000000000u) == 0x7ff0000000000000u);
    }
    return (matrix | position) == 0;
}

} // namespace dg
