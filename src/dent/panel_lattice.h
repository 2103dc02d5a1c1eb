#pragma once

#include "api.h"
#include "vec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dent {

// Where a bonnet or boot lies along the vehicle. The signed length coordinate
// of a point is s = sign * y; the crease line lies at
// y = (start + length * crease) * sign.
struct PanelShape {
    float sign;   // +1 bonnet, -1 boot
    float start;  // smallest s of the panel
    float length; // extent along s
    float crease; // crease position as a fraction of length from start
};
static_assert(sizeof(PanelShape) == 4 * sizeof(float), "PanelShape is four packed floats");

// The panel's span across x. Only from, to, height and columns are read by
// the lattice and the cutting; the edge points and spares are carried along.
struct SpanFold {
    float from;            // lowest x
    float to;              // highest x
    float height;          // z of the lattice
    std::uint32_t columns; // column intervals, at least 1
    Vec nearEdge[13];
    Vec farEdge[13];
    float spare[13];
};
static_assert(sizeof(SpanFold) == (4 + 13 * 3 * 2 + 13) * 4, "SpanFold is packed 32-bit fields");

// One lattice point with its two rest stencils (across and along the panel)
// and their current copies. Only `rest` and `current` are read elsewhere.
struct SheetPoint {
    Vec rest;
    Vec restSpanLow;    // rest - 0.002 in x
    Vec restSpanHigh;   // rest + 0.002 in x
    Vec restLengthLow;  // rest with y at the row's low stencil value
    Vec restLengthHigh; // rest with y at the row's high stencil value
    Vec current;        // where the accumulated dents moved the point
    Vec currentSpanLow;
    Vec currentSpanHigh;
    Vec currentLengthLow;
    Vec currentLengthHigh;
    float spanStep;   // 0.004
    float lengthStep; // high - low stencil value of the row
};
static_assert(sizeof(SheetPoint) == 32 * sizeof(float), "SheetPoint is 32 packed floats");

// A point of the lattice as three lattice point indices and weights summing
// to 1: the corners of the interpolation triangle that holds it.
struct LatticeSample {
    std::uint32_t index[3];
    float weight[3];
};

// Coarse grid of sheet points laid flat over a panel: columns across x, rows
// along y with one row on the crease line. Each cell is split along its
// diagonal from (column i, row j) to (column i + 1, row j + 1).
struct PanelLattice {
    std::vector<float> columnXs;   // ascending
    std::vector<float> rowYs;      // ascending, no two within 0.000001
    std::vector<SheetPoint> sheet; // row by row: row j, column i at j * columns + i
    std::vector<Vec> points;       // last positions accepted by keepOrdered()

    PanelLattice() = default;
    PanelLattice(const PanelLattice&) = default;
    PanelLattice& operator=(const PanelLattice&) = default;
    // Takes the source's lists and leaves it with four empty ones.
    DENT_API PanelLattice(PanelLattice&& other) noexcept;
    // Releases this lattice's lists, takes the source's and leaves it with
    // four empty ones.
    DENT_API PanelLattice& operator=(PanelLattice&& other) noexcept;

    // Lays the lattice over `span` and `shape`: span.columns + 1 columns
    // (a column count of 0 is taken as 1), the six bands of the shape's length
    // plus the crease row. Any previous content is replaced.
    DENT_API void init(const SpanFold& span, const PanelShape& shape);

    // Interpolation triangle holding (p.x, p.y); points outside the lattice
    // are projected onto its border cell. Weights are finite and sum to 1
    // (a NaN coordinate counts as the cell's low edge). A lattice with fewer
    // than two columns or rows answers index 0 with weight 1.
    DENT_API LatticeSample sample(Vec p) const;

    // sample(p), the same bits, for a caller that samples neighbouring points
    // one after another: the cell in `near` (column, row) is tried first, and
    // `near` becomes p's cell. Only for a lattice whose lines ascend
    // (linesAscend()), as init() lays them out for a span whose `to` is not
    // below its `from`; elsewhere a cell's bounds do not decide its points.
    DENT_API LatticeSample sampleNear(Vec p, std::size_t near[2]) const;

    // True when the columns and the rows each ascend (equal neighbours allowed,
    // no NaN).
    DENT_API bool linesAscend() const;

    // True when every cell, split like sample() splits it, keeps both of its
    // triangles' orientation in the x-y plane with at least a tenth of their
    // rest area, and no position of a cell is non-finite. A list shorter than
    // the lattice is not ordered; a lattice without cells always is.
    DENT_API bool ordered(const std::vector<Vec>& positions) const;

    // Accepts `positions` when ordered; otherwise moves them back along the
    // straight way from `points` to the largest fraction (16 bisection steps)
    // that is ordered, or to `points` itself. The result is stored in `points`.
    // A list whose size differs from `points` is replaced by `points`.
    DENT_API void keepOrdered(std::vector<Vec>& positions);
};

} // namespace dent
