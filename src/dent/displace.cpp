#include "displace.h"

#include "displace_rule.h"

#include <cfloat>
#include <cmath>

namespace dent {
namespace rule {

Vec clampOverflowed(Vec rest, Vec current, const Dent& d, float step) {
    // An infinite step times a zero component of the direction would be NaN.
    if (step > FLT_MAX) step = FLT_MAX;
    const double o[3] = {double(current.x) + double(d.unitDirection.x) * step - rest.x,
                         double(current.y) + double(d.unitDirection.y) * step - rest.y,
                         double(current.z) + double(d.unitDirection.z) * step - rest.z};
    const double len = std::sqrt(o[0] * o[0] + o[1] * o[1] + o[2] * o[2]);
    const double s = len > double(d.maxTotal) ? double(d.maxTotal) / len : 1.0;
    // The point itself may still lie beyond the float range; pulling a
    // coordinate back to the limit only moves it toward the rest position.
    const auto toFloat = [](double v) {
        return float(v > double(FLT_MAX)    ? double(FLT_MAX)
                     : v < -double(FLT_MAX) ? -double(FLT_MAX)
                                            : v);
    };
    return Vec{toFloat(rest.x + o[0] * s), toFloat(rest.y + o[1] * s), toFloat(rest.z + o[2] * s)};
}

} // namespace rule

using rule::Dent;
using rule::displaceValid;
using rule::falloffOf;
using rule::validScalars;

float falloff(float distance, float radius, float power) {
    return falloffOf(distance, radius, power);
}

float greatestFalloff(const Vec* points, std::size_t count, Vec centre, float radius, float power) {
    if (!(radius > 0.0f)) return 0.0f;
    // power() is float(pow(t, p)), which never falls as t rises: the greatest
    // share is the power of the greatest base, taken once.
    bool inside = false;
    float greatest = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
        float t = 0.0f;
        if (!rule::bowlBase(length(points[i] - centre), radius, t)) continue;
        if (!inside || t > greatest) greatest = t;
        inside = true;
    }
    return inside ? unit_power::power(greatest, power) : 0.0f;
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

} // namespace dent
