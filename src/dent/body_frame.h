#pragma once

#include "api.h"
#include "vec.h"

namespace dent {

// Host placement matrix: four rows of four 32-bit words (right, forward, up,
// position); the fourth word of each row is never read.
struct BodyMatrix {
    Vec right;
    float rightPad;
    Vec forward;
    float forwardPad;
    Vec up;
    float upPad;
    Vec position;
    float positionPad;
};
static_assert(sizeof(BodyMatrix) == 64, "BodyMatrix mirrors the host's 4x4 word layout");

// True when the twelve read components are finite, each axis has a squared
// length within 0.02 of 1 and each pair of axes a |dot| below 0.02. A matrix
// that fails is not used for any transform: the host can hand out scaled,
// sheared or half-written matrices.
DENT_API bool isSaneMatrix(const BodyMatrix& m);

// World point into the matrix's frame: (d.right, d.forward, d.up) with
// d = worldPoint - position. Assumes an orthonormal matrix (isSaneMatrix).
DENT_API Vec toBodyFrame(const BodyMatrix& m, Vec worldPoint);

// World direction into the matrix's frame: (v.right, v.forward, v.up); the
// position is ignored and the result is not renormalised.
DENT_API Vec toBodyDirection(const BodyMatrix& m, Vec worldDirection);

// Frame point back into world space:
// p.x*right + p.y*forward + p.z*up + position, summed in that order.
DENT_API Vec toWorldPoint(const BodyMatrix& m, Vec bodyPoint);

// Frame direction into world space: v.x*right + v.y*forward + v.z*up; not
// renormalised.
DENT_API Vec toWorldDirection(const BodyMatrix& m, Vec bodyDirection);

} // namespace dent
