#include "traffic.h"

#include <cmath>

namespace dent {

bool inTrafficRange(Vec a, Vec b, float range) {
    if (!isFinite(a) || !isFinite(b) || !isPositiveFinite(range)) return false;
    const float dx = a.x - b.x;
    const float dy = a.y - b.y;
    const float dz = a.z - b.z;
    return range * range >= dx * dx + dy * dy + dz * dz;
}

bool trafficPriority(const TrafficCandidate& a, const TrafficCandidate& b) {
    if (a.playerLinked != b.playerLinked) return a.playerLinked;
    // A NaN compares unequal to everything and less than nothing, which would
    // hand the sort an inconsistent order; rank it after all numbers instead.
    const bool aNaN = std::isnan(a.distanceSq);
    const bool bNaN = std::isnan(b.distanceSq);
    if (aNaN != bNaN) return bNaN;
    if (!aNaN && a.distanceSq != b.distanceSq) return a.distanceSq < b.distanceSq;
    return a.handle < b.handle;
}

} // namespace dent
