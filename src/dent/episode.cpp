#include "episode.h"

#include <cstdint>

namespace dent {
namespace {

constexpr float kMinNormalLength = 0.001f;
constexpr float kSameSpotDistance = 0.85f;
constexpr float kSameDirectionDot = 0.65f; // about 49.5 degrees
constexpr float kGrowthEpsilon = 0.00001f;

float greater(float a, float b) {
    return b > a ? b : a;
}

} // namespace

bool Episode::observe(Vec contactPoint, Vec contactNormal, const Response& response,
                      std::uint32_t now, std::uint32_t gapMs) {
    if (!isFinite(contactPoint) || !isFinite(contactNormal)) return false;
    const float normalLength = length(contactNormal);
    // An overflowing length would normalise to the zero vector and leave the
    // dent without a direction.
    if (!(normalLength >= kMinNormalLength) || !isFinite(normalLength)) return false;
    if (!isPositiveFinite(response.depth) || !isPositiveFinite(response.radius)) return false;

    const Vec unitNormal = normalized(contactNormal);

    const bool continues = open && static_cast<std::uint32_t>(now - lastMs) <= gapMs &&
                           length(contactPoint - point) <= kSameSpotDistance &&
                           dot(unitNormal, normal) >= kSameDirectionDot;
    if (continues) {
        lastMs = now;
        const bool grew =
            response.depth > depth + kGrowthEpsilon || response.radius > radius + kGrowthEpsilon;
        depth = greater(depth, response.depth);
        radius = greater(radius, response.radius);
        return grew;
    }

    point = contactPoint;
    normal = unitNormal;
    lastMs = now;
    // Serial 0 means "no dent yet" to the meshes, so a wrapped counter skips it.
    serial = serial == UINT32_MAX ? 1u : serial + 1u;
    open = true;
    depth = response.depth;
    radius = response.radius;
    return depth > kGrowthEpsilon || radius > kGrowthEpsilon;
}

} // namespace dent
