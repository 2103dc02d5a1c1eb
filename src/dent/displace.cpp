#include "displace.h"

#include <cfloat>
#include <cmath>

namespace dent {
namespace {

#if defined(__GNUC__)
#define DENT_HOT_INLINE inline __attribute__((always_inline))
#else
#define DENT_HOT_INLINE inline
#endif

DENT_HOT_INLINE float falloffOf(float distance, float radius, float power) {
    if (!(distance < radius)) return 0.0f;
    float s = 1.0f - distance / radius;
    if (s < 0.0f) s = 0.0f;
    if (s > 1.0f) s = 1.0f;
    const float t = s * s * (3.0f - 2.0f * s);
    return static_cast<float>(std::pow(static_cast<double>(t), static_cast<double>(power)));
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

bool validScalars(float depth, float radius, float previousDepth, float previousRadius,
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

// Positions near the float limit overflow the offset: clamp it in double
// instead, so that the point stays finite and within maxTotal. Kept out of
// line so the hot loop stays small.
#if defined(__GNUC__)
__attribute__((noinline, cold))
#endif
Vec clampOverflowed(Vec rest, Vec current, const Dent& d, float step) {
    const double o[3] = {double(current.x) + double(d.unitDirection.x) * step - rest.x,
                         double(current.y) + double(d.unitDirection.y) * step - rest.y,
                         double(current.z) + double(d.unitDirection.z) * step - rest.z};
    const double len = std::sqrt(o[0] * o[0] + o[1] * o[1] + o[2] * o[2]);
    const double s = len > double(d.maxTotal) ? double(d.maxTotal) / len : 1.0;
    // The point itself may still lie beyond the float range; pulling a
    // coordinate back to the limit only moves it toward the rest position.
    const auto toFloat = [](double v) {
        return float(v > double(FLT_MAX) ? double(FLT_MAX) : v < -double(FLT_MAX) ? -double(FLT_MAX) : v);
    };
    return Vec{toFloat(rest.x + o[0] * s), toFloat(rest.y + o[1] * s), toFloat(rest.z + o[2] * s)};
}

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
    // Depths near the float limit overflow the step; an infinite step times a
    // zero component of the direction would be NaN.
    else if (step > FLT_MAX) step = FLT_MAX;

    const Vec moved = current + d.unitDirection * step;
    Vec offset = moved - rest;
    const float offsetSquared = dot(offset, offset);
    // offsetSquared <= maxTotal^2 exactly means the rounded length cannot exceed
    // maxTotal. An overflowed offset has components of infinity (rest, current
    // and the step are finite, so never NaN) and its square is infinite: it
    // takes this branch too.
    if (double(offsetSquared) > double(d.maxTotal) * double(d.maxTotal)) {
        if (!isFinite(offset)) return clampOverflowed(rest, current, d, step);
        const float offsetLength = std::sqrt(offsetSquared);
        if (offsetLength > d.maxTotal) offset = offset * (d.maxTotal / offsetLength);
    }
    return rest + offset;
}

} // namespace

float falloff(float distance, float radius, float power) {
    return falloffOf(distance, radius, power);
}

Vec displaceImpact(Vec rest, Vec current, Vec contact, Vec direction, float depth, float radius,
                   float previousDepth, float previousRadius, float maxTotal, float falloffPower) {
    if (!isFinite(rest) || !isFinite(current) || !isFinite(contact) || !isFinite(direction))
        return current;
    if (!validScalars(depth, radius, previousDepth, previousRadius, maxTotal, falloffPower))
        return current;
    const Dent d{contact,       normalized(direction), depth,    radius,
                 previousDepth, previousRadius,        maxTotal, falloffPower};
    return displaceValid(rest, current, d);
}

void dentVertices(const Vec* rest, Vec* current, std::size_t count, Vec contact, Vec direction,
                  float depth, float radius, float previousDepth, float previousRadius,
                  float maxTotal, float falloffPower) {
    if (rest == nullptr || current == nullptr) return;
    // Everything that does not depend on the point is checked and derived once.
    if (!isFinite(contact) || !isFinite(direction)) return;
    if (!validScalars(depth, radius, previousDepth, previousRadius, maxTotal, falloffPower)) return;
    const Dent d{contact,       normalized(direction), depth,    radius,
                 previousDepth, previousRadius,        maxTotal, falloffPower};
    for (std::size_t i = 0; i < count; ++i) {
        // x - x is 0 for a finite x and NaN otherwise: one test covers all six.
        const Vec r = rest[i], c = current[i];
        const float probe =
            (r.x - r.x) + (r.y - r.y) + (r.z - r.z) + (c.x - c.x) + (c.y - c.y) + (c.z - c.z);
        if (probe != 0.0f) continue;
        current[i] = displaceValid(rest[i], current[i], d);
    }
}

} // namespace dent
