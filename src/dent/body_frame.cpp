#include "body_frame.h"

#include <cmath>

namespace dent {
namespace {

constexpr float kAxisTolerance = 0.02f;

bool isUnitAxis(Vec axis) {
    return std::fabs(dot(axis, axis) - 1.0f) < kAxisTolerance;
}
bool isOrthogonal(Vec a, Vec b) {
    return std::fabs(dot(a, b)) < kAxisTolerance;
}

} // namespace

bool isSaneMatrix(const BodyMatrix& m) {
    if (!isFinite(m.right) || !isFinite(m.forward) || !isFinite(m.up) || !isFinite(m.position))
        return false;
    return isUnitAxis(m.right) && isUnitAxis(m.forward) && isUnitAxis(m.up) &&
           isOrthogonal(m.right, m.forward) && isOrthogonal(m.right, m.up) &&
           isOrthogonal(m.forward, m.up);
}

Vec toBodyFrame(const BodyMatrix& m, Vec worldPoint) {
    return toBodyDirection(m, worldPoint - m.position);
}

Vec toBodyDirection(const BodyMatrix& m, Vec worldDirection) {
    return {dot(worldDirection, m.right), dot(worldDirection, m.forward),
            dot(worldDirection, m.up)};
}

Vec toWorldPoint(const BodyMatrix& m, Vec bodyPoint) {
    return toWorldDirection(m, bodyPoint) + m.position;
}

Vec toWorldDirection(const BodyMatrix& m, Vec bodyDirection) {
    return m.right * bodyDirection.x + m.forward * bodyDirection.y + m.up * bodyDirection.z;
}

} // namespace dent
