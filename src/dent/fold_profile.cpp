#include "fold_profile.h"

#include "vec.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace dent {
namespace {

// The lesser of 0.65 and v, raised to 0.35; NaN lands on 0.65.
float clampCrease(float v) {
    float k = v < 0.65f ? v : 0.65f;
    if (k < 0.35f) k = 0.35f;
    return k;
}

bool usable(float length, float crease, float compression) {
    return isFinite(length) && isFinite(crease) && isFinite(compression) && !(length < 0.05f);
}

// foldFor() for inputs already known to be usable.
FoldProfile foldOf(float length, float crease, float compression) {
    const float k = clampCrease(crease);
    const float maxCompression = 0.45f * length;
    float s = maxCompression < compression ? maxCompression : compression;
    if (s < 0.0f) s = 0.0f;
    const float a = length * k;
    const float b = length - a;
    const float p = length - s;
    // Foot of the apex of the triangle with sides a, b over the base p.
    const float x = (p * p + a * a - b * b) / (2.0f * p);
    const float h = a * a - x * x;
    const FoldProfile result{length, k, s, x, p - x, std::sqrt(h > 0.0f ? h : 0.0f)};
    // Lengths near the float range overflow the squares; no fold then.
    if (!isFinite(result.nearReach) || !isFinite(result.farReach) || !isFinite(result.lift))
        return FoldProfile{};
    return result;
}

} // namespace

FoldProfile foldFor(float length, float crease, float compression) {
    if (!usable(length, crease, compression)) return FoldProfile{};
    return foldOf(length, crease, compression);
}

FoldProfile limitedFold(float length, float crease, float compression, float maxLift) {
    if (!usable(length, crease, compression) || std::isnan(maxLift)) return FoldProfile{};
    const FoldProfile candidate = foldOf(length, crease, compression);
    if (!(candidate.lift > maxLift)) return candidate;
    // The lift grows with the compression, so bisect for the largest one
    // within the limit; lo always names an acceptable fold.
    float lo = 0.0f;
    float hi = candidate.compression;
    for (int step = 0; step < 24; ++step) {
        const float mid = (lo + hi) * 0.5f;
        if (foldOf(length, crease, mid).lift > maxLift)
            hi = mid;
        else
            lo = mid;
    }
    return foldOf(length, crease, lo);
}

Vec foldPoint(Vec rest, Vec current, const PanelShape& shape, const FoldProfile& profile) {
    Vec f = current;
    if (!(profile.compression > 0.0f && profile.length > 0.0f)) return f;
    const float u = std::clamp(shape.sign * rest.y - shape.start, 0.0f, profile.length);
    const float split = profile.crease * profile.length;
    float along;
    float rise;
    if (u <= split) {
        const float t = u / split;
        along = profile.nearReach * t;
        rise = t * profile.lift;
    } else {
        const float t = (u - split) / (profile.length - split);
        along = profile.nearReach + t * profile.farReach;
        rise = (1.0f - t) * profile.lift;
    }
    f.y += shape.sign * (along - u);
    f.z += rise;
    return f;
}

float variedCrease(unsigned seed, unsigned kind, float base, float randomness) {
    std::uint32_t h = (std::uint32_t(kind) * 0x9E3779B9u) ^ std::uint32_t(seed);
    h = (h ^ (h >> 16)) * 0x7FEB352Du;
    h = (h ^ (h >> 15)) * 0x846CA68Bu;
    const std::uint32_t r = (h & 0xFFFFFFu) ^ (h >> 16);
    const float u = float(r) / 16777215.0f;
    return clampCrease((u + u - 1.0f) * randomness + base);
}

} // namespace dent
