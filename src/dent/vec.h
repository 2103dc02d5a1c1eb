#pragma once

#include <cmath>

namespace dent {

// Three 32-bit floats. In a vehicle's body frame x points right, y forward and
// z up; everything is in the host's world units.
struct Vec {
    float x;
    float y;
    float z;
};
static_assert(sizeof(Vec) == 3 * sizeof(float), "Vec is three packed floats");

inline Vec operator+(Vec a, Vec b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec operator-(Vec a, Vec b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vec operator*(Vec v, float s) {
    return {v.x * s, v.y * s, v.z * s};
}

inline float dot(Vec a, Vec b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline Vec cross(Vec a, Vec b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float length(Vec v) {
    return std::sqrt(dot(v, v));
}

inline bool isFinite(float f) {
    return std::isfinite(f);
}
inline bool isFinite(Vec v) {
    return isFinite(v.x) && isFinite(v.y) && isFinite(v.z);
}

// Finite and greater than 0; positive subnormals pass.
inline bool isPositiveFinite(float f) {
    return isFinite(f) && f > 0.0f;
}

// Direction of v: multiplied by 1 / length, or the zero vector when the
// length is 0.00001 or less (callers reject short vectors before this).
inline Vec normalized(Vec v) {
    const float len = length(v);
    if (!(len > 0.00001f)) return {0.0f, 0.0f, 0.0f};
    return v * (1.0f / len);
}

inline bool operator==(Vec a, Vec b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}
inline bool operator!=(Vec a, Vec b) {
    return !(a == b);
}

} // namespace dent
