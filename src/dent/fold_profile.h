#pragma once

#include "api.h"
#include "panel_lattice.h"
#include "vec.h"

namespace dent {

// Length-wise section of a panel folded like a roof: a near strip (start to
// crease) and a far strip (crease to end), both rigid, hinged at the crease.
// The all-zero profile means no fold.
struct FoldProfile {
    float length;      // panel length along its axis
    float crease;      // crease position as a fraction of length, 0.35 .. 0.65
    float compression; // how much shorter the panel became, 0 .. 0.45 x length
    float nearReach;   // axis length covered by the near strip after folding
    float farReach;    // axis length covered by the far strip after folding
    float lift;        // height of the crease above the flat panel
};
static_assert(sizeof(FoldProfile) == 6 * sizeof(float), "FoldProfile is six packed floats");

// The roof that a panel of `length` with its crease at the fraction `crease`
// forms when shortened by `compression` (both clamped, see FoldProfile). All
// zero for a non-finite length, crease or compression, or a length below 0.05.
DENT_API FoldProfile foldFor(float length, float crease, float compression);

// The fold with the largest compression, not above the one asked for, whose
// lift stays within `maxLift` (world units); found by 24 bisection steps.
// A negative `maxLift` allows no compression; a NaN one gives the zero profile.
DENT_API FoldProfile limitedFold(float length, float crease, float compression, float maxLift);

// A sheet point of a panel of `shape` moved by the roof of `profile`: at its
// distance u along the axis from the start (sign x rest.y - start, clamped to
// the profile's length), the near part (u up to the crease) rises from the
// start to the crease, the far part falls from the crease to the end, and the
// point moves along the axis by the shortening. The move is added to
// `current`; without compression or length `current` comes back unchanged.
DENT_API Vec foldPoint(Vec rest, Vec current, const PanelShape& shape, const FoldProfile& profile);

// A crease fraction near `base` (within +-`randomness`) that is fixed for one
// vehicle `seed` and panel `kind`, clamped to 0.35 .. 0.65 (a non-finite
// result clamps to 0.65).
DENT_API float variedCrease(unsigned seed, unsigned kind, float base, float randomness);

} // namespace dent
