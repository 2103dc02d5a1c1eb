#include "impact.h"

#include <cmath>

namespace dent {
namespace {

float clampUnit(float v) {
    if (v > 1.0f) return 1.0f;
    if (v < 0.0f) return 0.0f;
    return v;
}

} // namespace

Response response(float impulse, float mass, const ImpactConfig& config) {
    if (!isFinite(impulse) || !isFinite(mass) || impulse <= 0.0f || mass <= 1.0f) return {};
    const float impact = impulse / mass;
    if (!isFinite(impact)) return {};
    if (impact <= config.minImpact) return {};
    // An empty or inverted impact range dents nothing.
    if (config.minImpact >= config.referenceImpact) return {};

    const float t =
        clampUnit((impact - config.minImpact) / (config.referenceImpact - config.minImpact));
    const float shaped = static_cast<float>(
        std::pow(static_cast<double>(t), static_cast<double>(config.impactExponent)));
    const float s = clampUnit(config.strength * shaped);

    Response r;
    r.impact = impact;
    r.depth = config.maxDentPerHit * s;
    r.radius = config.minRadius + (config.maxRadius - config.minRadius) * std::sqrt(s);
    return r;
}

} // namespace dent
