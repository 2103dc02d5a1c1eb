#pragma once

// The dent rule for one point, shared by displaceImpact and the array form,
// which must agree bit for bit. Internal to the core.

#include "unit_power.h"
#include "vec.h"

#include <cfloat>
#include <cmath>

#if defined(__GNUC__)
#define DENT_HOT_INLINE inline __attribute__((always_inline))
#else
#define DENT_HOT_INLINE inline
#endif

namespace dent {
namespace rule {

// The smoothstep base of the bowl at `distance`; false at and beyond `radius`
// (and for a NaN distance), where the falloff is 0.
DENT_HOT_INLINE bool bowlBase(float distance, float radius, float& t) {
    if (!(distance < radius)) return false;
    float s = 1.0f - distance / radius;
    if (s < 0.0f) s = 0.0f;
    if (s > 1.0f) s = 1.0f;
    t = s * s * (3.0f - 2.0f * s);
    return true;
}

DENT_HOT_INLINE float falloffOf(float distance, float radius, float power) {
    float t = 0.0f;
    if (!bowlBase(distance, radius, t)) return 0.0f;
    return unit_power::power(t, power);
}

struct Dent {
    Vec contact;
    Vec unitDirection;
    float depth;
    float radius;
    float previousDepth;
    float previousRadius;
    float maxTotal;
    float falloffPower;
};

inline bool validScalars(float depth, float radius, float previousDepth, float previousRadius,
                         float maxTotal, float falloffPower) {
    if (!isFinite(depth) || !isFinite(radius) || !isFinite(previousDepth) ||
        !isFinite(previousRadius) || !isFinite(maxTotal) || !isFinite(falloffPower))
        return false;
    return depth > 0.0f && radius > 0.0f && maxTotal > 0.0f && falloffPower > 0.0f;
}

// True when sqrt(squared), rounded to float, is certainly not less than
// `bound`: squared >= bound^2 in exact arithmetic (a float product is exact in
// double). Lets the hot loop skip square roots without changing any result.
DENT_HOT_INLINE bool rootNotBelow(float squared, float bound) {
    return double(squared) >= double(bound) * double(bound);
}

// Positions near the float limit overflow the offset or its square, and
// depths near it overflow the step: clamp in double instead, so that the point
// stays finite and within maxTotal. Kept out of line so the hot loop stays
// small.
#if defined(__GNUC__)
__attribute__((noinline, cold))
#endif
Vec clampOverflowed(Vec rest, Vec current, const Dent& d, float step);

// Steps 2 to 9 of the dent rule for a point whose inputs are known finite.
DENT_HOT_INLINE Vec displaceValid(Vec rest, Vec current, const Dent& d) {
    const Vec fromContact = rest - d.contact;
    const float distanceSquared = dot(fromContact, fromContact);
    float w = 0.0f;
    float wPrevious = 0.0f;
    const bool insideCurrent = !rootNotBelow(distanceSquared, d.radius);
    const bool insidePrevious =
        d.previousRadius > 0.0f && !rootNotBelow(distanceSquared, d.previousRadius);
    if (insideCurrent || insidePrevious) {
        const float distance = std::sqrt(distanceSquared);
        w = falloffOf(distance, d.radius, d.falloffPower);
        if (d.previousRadius > 0.0f)
            wPrevious = falloffOf(distance, d.previousRadius, d.falloffPower);
    }
    float step = d.depth * w - d.previousDepth * wPrevious;
    if (!(step > 0.0f)) step = 0.0f; // a dent never pulls a point back

    const Vec moved = current + d.unitDirection * step;
    Vec offset = moved - rest;
    const float offsetSquared = dot(offset, offset);
    // offsetSquared <= maxTotal^2 exactly means the rounded length cannot exceed
    // maxTotal. Every overflow ends here too: an overflowed step or offset
    // makes the square infinite or NaN, and so does an offset too long to
    // square, whose scale below would otherwise be 0 and drop the point back
    // to rest.
    if (!(double(offsetSquared) <= double(d.maxTotal) * double(d.maxTotal))) {
        if (!isFinite(offsetSquared)) return clampOverflowed(rest, current, d, step);
        const float offsetLength = std::sqrt(offsetSquared);
        if (offsetLength > d.maxTotal) offset = offset * (d.maxTotal / offsetLength);
    }
    return rest + offset;
}

// x - x is 0 for a finite x and NaN otherwise: one test covers all six.
DENT_HOT_INLINE void dentOne(Vec rest, Vec& current, const Dent& d) {
    const Vec r = rest, c = current;
    const float probe =
        (r.x - r.x) + (r.y - r.y) + (r.z - r.z) + (c.x - c.x) + (c.y - c.y) + (c.z - c.z);
    if (probe == 0.0f) current = displaceValid(r, c, d);
}

} // namespace rule
} // namespace dent
