#include "panel_lattice.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace dent {
namespace {

// Index of the cell whose low line is the last one at or before v, limited to
// the existing cells; `lines` has at least two entries.
inline std::size_t cellOf(const float* lines, std::size_t n, float v) {
    // The first line above v (an upper bound), found by walking: a panel's
    // lattice has at most 13 lines, fewer than a binary search's overhead.
    std::size_t u = 0;
    while (u < n && !(v < lines[u]))
        ++u;
    const std::size_t i = u > 0 ? u - 1 : 0;
    return i < n - 2 ? i : n - 2;
}

// Clamp to 0 .. 1; NaN becomes 0 so that the weights stay usable.
float unitClamp(float f) {
    if (!(f > 0.0f)) return 0.0f;
    return f < 1.0f ? f : 1.0f;
}

void interpolate(std::vector<Vec>& out, const std::vector<Vec>& from, const std::vector<Vec>& to,
                 float t) {
    for (std::size_t k = 0; k < out.size(); ++k)
        out[k] = from[k] + (to[k] - from[k]) * t;
}

} // namespace

PanelLattice::PanelLattice(PanelLattice&& other) noexcept
    : columnXs(std::move(other.columnXs)), rowYs(std::move(other.rowYs)),
      sheet(std::move(other.sheet)), points(std::move(other.points)) {
    // Make the emptiness of the source explicit rather than a library detail.
    other.columnXs.clear();
    other.rowYs.clear();
    other.sheet.clear();
    other.points.clear();
}

PanelLattice& PanelLattice::operator=(PanelLattice&& other) noexcept {
    if (this == &other) return *this;
    std::vector<float>().swap(columnXs);
    std::vector<float>().swap(rowYs);
    std::vector<SheetPoint>().swap(sheet);
    std::vector<Vec>().swap(points);
    columnXs.swap(other.columnXs);
    rowYs.swap(other.rowYs);
    sheet.swap(other.sheet);
    points.swap(other.points);
    return *this;
}

void PanelLattice::init(const SpanFold& span, const PanelShape& shape) {
    // Appending to a filled lattice would break its index layout: start over.
    columnXs.clear();
    rowYs.clear();
    sheet.clear();
    points.clear();

    const std::uint32_t columns = span.columns > 0 ? span.columns : 1;
    const float width = span.to - span.from;
    columnXs.reserve(std::size_t(columns) + 1);
    for (std::uint32_t i = 0; i <= columns; ++i)
        columnXs.push_back((float(i) * width) / float(columns) + span.from);

    const float creaseY = (shape.length * shape.crease + shape.start) * shape.sign;
    float candidates[8];
    for (int k = 0; k <= 6; ++k)
        candidates[k] = ((shape.length * float(k)) / 6.0f + shape.start) * shape.sign;
    candidates[7] = creaseY;
    // Ascending insertion sort of the finite candidates: a NaN has no place
    // in an order and an infinite row no use.
    float sorted[8];
    int count = 0;
    for (const float v : candidates) {
        if (!std::isfinite(v)) continue;
        int at = count++;
        for (; at > 0 && sorted[at - 1] > v; --at)
            sorted[at] = sorted[at - 1];
        sorted[at] = v;
    }
    rowYs.reserve(8);
    for (int k = 0; k < count; ++k)
        if (rowYs.empty() || !(sorted[k] - rowYs.back() <= 0.000001f)) rowYs.push_back(sorted[k]);

    sheet.reserve(rowYs.size() * columnXs.size());
    points.reserve(rowYs.size() * columnXs.size());
    const float z = span.height;
    for (const float y : rowYs) {
        // A length stencil never reaches across the crease line.
        float low;
        float high;
        if (y < creaseY || (y == creaseY && shape.sign > 0.0f)) {
            low = y - 0.002f;
            high = std::min(creaseY, y + 0.002f);
        } else {
            low = std::max(creaseY, y - 0.002f);
            high = y + 0.002f;
        }
        for (const float x : columnXs) {
            SheetPoint p;
            p.rest = Vec{x, y, z};
            p.restSpanLow = Vec{x - 0.002f, y, z};
            p.restSpanHigh = Vec{x + 0.002f, y, z};
            p.restLengthLow = Vec{x, low, z};
            p.restLengthHigh = Vec{x, high, z};
            p.current = p.rest;
            p.currentSpanLow = p.restSpanLow;
            p.currentSpanHigh = p.restSpanHigh;
            p.currentLengthLow = p.restLengthLow;
            p.currentLengthHigh = p.restLengthHigh;
            p.spanStep = 0.004f;
            p.lengthStep = high - low;
            sheet.push_back(p);
            points.push_back(p.rest);
        }
    }
}

namespace {

// True when cellOf(lines, n, v) is `cell`, for ascending lines: at or above
// its low line (the first cell reaches down without end) and below its high
// line (the last reaches up without end). A NaN lies in the last cell only,
// as in cellOf.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline bool inCell(const float* lines, std::size_t n, float v, std::size_t cell) {
    return (cell == 0 || !(v < lines[cell])) && (cell + 2 == n || v < lines[cell + 1]);
}

// The sample of p in the cell of column i and row j (both below their last
// line).
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline LatticeSample sampleIn(const PanelLattice& l, Vec p, std::size_t i, std::size_t j) {
    const float* xs = l.columnXs.data();
    const float* ys = l.rowYs.data();
    const float fx = unitClamp((p.x - xs[i]) / (xs[i + 1] - xs[i]));
    const float fy = unitClamp((p.y - ys[j]) / (ys[j + 1] - ys[j]));
    const std::uint32_t n = std::uint32_t(l.columnXs.size());
    const std::uint32_t base = std::uint32_t(j) * n + std::uint32_t(i);
    if (fx >= fy) return LatticeSample{{base, base + 1, base + n + 1}, {1.0f - fx, fx - fy, fy}};
    return LatticeSample{{base, base + n + 1, base + n}, {1.0f - fy, fx, fy - fx}};
}

} // namespace

LatticeSample PanelLattice::sample(Vec p) const {
    if (columnXs.size() < 2 || rowYs.size() < 2)
        return LatticeSample{{0, 0, 0}, {1.0f, 0.0f, 0.0f}};
    return sampleIn(*this, p, cellOf(columnXs.data(), columnXs.size(), p.x),
                    cellOf(rowYs.data(), rowYs.size(), p.y));
}

LatticeSample PanelLattice::sampleNear(Vec p, std::size_t near[2]) const {
    if (columnXs.size() < 2 || rowYs.size() < 2)
        return LatticeSample{{0, 0, 0}, {1.0f, 0.0f, 0.0f}};
    const float* xs = columnXs.data();
    const float* ys = rowYs.data();
    const std::size_t columns = columnXs.size();
    const std::size_t rows = rowYs.size();
    near[0] = near[0] + 2 <= columns && inCell(xs, columns, p.x, near[0])
                  ? near[0]
                  : cellOf(xs, columns, p.x);
    near[1] = near[1] + 2 <= rows && inCell(ys, rows, p.y, near[1]) ? near[1]
                                                                   : cellOf(ys, rows, p.y);
    return sampleIn(*this, p, near[0], near[1]);
}

bool PanelLattice::linesAscend() const {
    for (const std::vector<float>* lines : {&columnXs, &rowYs}) {
        for (std::size_t k = 0; k < lines->size(); ++k)
            if (!((*lines)[k] == (*lines)[k]) || (k > 0 && !((*lines)[k - 1] <= (*lines)[k])))
                return false;
    }
    return true;
}

bool PanelLattice::ordered(const std::vector<Vec>& positions) const {
    const std::size_t n = columnXs.size();
    const std::size_t rows = rowYs.size();
    if (rows < 2 || n < 2) return true;
    if (positions.size() < rows * n) return false;
    for (std::size_t j = 1; j < rows; ++j) {
        const float rowStep = rowYs[j] - rowYs[j - 1];
        for (std::size_t i = 0; i + 1 < n; ++i) {
            const Vec a = positions[(j - 1) * n + i];
            const Vec b = positions[(j - 1) * n + i + 1];
            const Vec d = positions[j * n + i];
            const Vec e = positions[j * n + i + 1];
            if (!isFinite(a) || !isFinite(b) || !isFinite(d) || !isFinite(e)) return false;
            const float threshold = 0.1f * (columnXs[i + 1] - columnXs[i]) * rowStep;
            const float cross1 = (b.x - a.x) * (e.y - a.y) - (b.y - a.y) * (e.x - a.x);
            if (threshold > cross1) return false;
            const float cross2 = (e.x - a.x) * (d.y - a.y) - (e.y - a.y) * (d.x - a.x);
            if (threshold > cross2) return false;
        }
    }
    return true;
}

void PanelLattice::keepOrdered(std::vector<Vec>& positions) {
    if (&positions == &points) {
        // Nothing to step back to but the list itself.
        return;
    }
    if (positions.size() != points.size()) {
        positions = points;
        return;
    }
    if (!ordered(positions)) {
        const std::vector<Vec> target = positions;
        const std::vector<Vec>& previous = points;
        float low = 0.0f;
        float high = 1.0f;
        for (int step = 0; step < 16; ++step) {
            const float t = (low + high) * 0.5f;
            interpolate(positions, previous, target, t);
            if (ordered(positions))
                low = t;
            else
                high = t;
        }
        interpolate(positions, previous, target, low);
        if (!ordered(positions)) positions = previous;
    }
    points = positions;
}

} // namespace dent
