// The panel cutting on random and degenerate triangles, shapes and lattices:
// pieces keep the material, the winding and (for ordinary numbers) the area
// and the bounding box of the triangle, and every piece of the full
// subdivision lies on one side of the diagonal of the cell it belongs to.

#include "dent/panel_lattice.h"
#include "dent/panel_split.h"
#include "fuzz_input.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <vector>

namespace {

using dent::PanelTriangle;
using dent::PanelVertex;
using dent::Vec;

double area3(const PanelTriangle& t) {
    const Vec a = t.vertices[0].position, b = t.vertices[1].position, c = t.vertices[2].position;
    const double ux = double(b.x) - a.x, uy = double(b.y) - a.y, uz = double(b.z) - a.z;
    const double vx = double(c.x) - a.x, vy = double(c.y) - a.y, vz = double(c.z) - a.z;
    const double cx = uy * vz - uz * vy, cy = uz * vx - ux * vz, cz = ux * vy - uy * vx;
    return 0.5 * std::sqrt(cx * cx + cy * cy + cz * cz);
}

double signedAreaXY(const PanelTriangle& t) {
    const Vec a = t.vertices[0].position, b = t.vertices[1].position, c = t.vertices[2].position;
    return 0.5 * ((double(b.x) - a.x) * (double(c.y) - a.y) - (double(b.y) - a.y) * (double(c.x) - a.x));
}

bool allFinite(const PanelTriangle& t) {
    for (const PanelVertex& v : t.vertices)
        if (!dent::isFinite(v.position)) return false;
    return true;
}

float largest(const PanelTriangle& t) {
    float m = 0.0f;
    for (const PanelVertex& v : t.vertices)
        m = std::max({m, std::fabs(v.position.x), std::fabs(v.position.y), std::fabs(v.position.z)});
    return m;
}

// What every cut must keep: the material, the sides 0 and 1, finite
// corners for finite ordinary input and, when `wellScaled`, the area, the
// orientation in the x-y plane and the bounding box.
void checkPieces(const PanelTriangle& source, const std::vector<PanelTriangle>& pieces,
                 bool finiteInput, bool wellScaled) {
    for (const PanelTriangle& p : pieces) {
        FUZZ_CHECK(p.material == source.material);
        for (const PanelVertex& v : p.vertices) FUZZ_CHECK(v.side == 0 || v.side == 1);
        if (finiteInput) FUZZ_CHECK(allFinite(p));
    }
    if (!wellScaled) return;

    float lo[2] = {source.vertices[0].position.x, source.vertices[0].position.y};
    float hi[2] = {lo[0], lo[1]};
    for (const PanelVertex& v : source.vertices) {
        lo[0] = std::min(lo[0], v.position.x);
        hi[0] = std::max(hi[0], v.position.x);
        lo[1] = std::min(lo[1], v.position.y);
        hi[1] = std::max(hi[1], v.position.y);
    }
    const double scale = std::max(1.0, double(largest(source)));
    const double boxTolerance = 1e-5 * scale;
    const double sourceArea = area3(source);
    const double sourceXY = signedAreaXY(source);
    double sum = 0.0;
    for (const PanelTriangle& p : pieces) {
        sum += area3(p);
        for (const PanelVertex& v : p.vertices) {
            FUZZ_CHECK(v.position.x >= lo[0] - boxTolerance && v.position.x <= hi[0] + boxTolerance);
            FUZZ_CHECK(v.position.y >= lo[1] - boxTolerance && v.position.y <= hi[1] + boxTolerance);
        }
        // A piece never turns over against its triangle. A corner on a cut
        // line is repeated by the crossing arithmetic with rounding error, so
        // slivers of about ulp(scale) * scale may come out either way round.
        const double pieceXY = signedAreaXY(p);
        if (std::fabs(pieceXY) > 1e-5 * scale * scale && !(pieceXY * sourceXY > 0.0)) {
            for (const PanelTriangle* t : {&source, &p})
                std::fprintf(stderr, "(%.9g %.9g %.9g) (%.9g %.9g %.9g) (%.9g %.9g %.9g)\n",
                             t->vertices[0].position.x, t->vertices[0].position.y,
                             t->vertices[0].position.z, t->vertices[1].position.x,
                             t->vertices[1].position.y, t->vertices[1].position.z,
                             t->vertices[2].position.x, t->vertices[2].position.y,
                             t->vertices[2].position.z);
            FUZZ_CHECK(!"a piece turned over");
        }
    }
    // Pieces of 1e-6 or less are dropped on purpose. A crossing is off by
    // the rounding of the coordinates, so each piece may gain or lose a
    // sliver of about that times its extent (it matters for thin triangles).
    const double n = double(pieces.size());
    const double tolerance =
        1e-4 * sourceArea + 1e-6 * 2.0 * (n + 64.0) + 1e-6 * scale * scale * (n + 1.0);
    if (!(std::fabs(sum - sourceArea) <= tolerance)) {
        std::fprintf(stderr, "area %.9g of %zu pieces, triangle %.9g, tolerance %.9g\n", sum,
                     pieces.size(), sourceArea, tolerance);
        for (const PanelTriangle* t : {&source})
            std::fprintf(stderr, "(%.9g %.9g %.9g) (%.9g %.9g %.9g) (%.9g %.9g %.9g)\n",
                         t->vertices[0].position.x, t->vertices[0].position.y,
                         t->vertices[0].position.z, t->vertices[1].position.x,
                         t->vertices[1].position.y, t->vertices[1].position.z,
                         t->vertices[2].position.x, t->vertices[2].position.y,
                         t->vertices[2].position.z);
        FUZZ_CHECK(!"area not conserved");
    }
}

PanelVertex vertex(fuzz::Input& in, bool scaled) {
    PanelVertex v{};
    v.position = scaled ? in.scaledVec() : in.anyVec();
    v.normal = in.anyVec();
    v.colour[0] = in.anyFloat();
    v.uv[0][0] = in.anyFloat();
    v.uv[7][1] = in.anyFloat();
    v.side = std::int32_t(in.below(2));
    return v;
}

// Signed distance of p from the diagonal of cell (i, r), in cell units.
double diagonalSide(const dent::PanelLattice& l, std::size_t i, std::size_t r, Vec p) {
    const double x0 = l.columnXs[i], y0 = l.rowYs[r];
    const double w = double(l.columnXs[i + 1]) - x0, h = double(l.rowYs[r + 1]) - y0;
    return (p.x - x0) / w - (p.y - y0) / h;
}

std::size_t cellOfLine(const std::vector<float>& lines, double c) {
    std::size_t i = 0;
    while (i + 2 < lines.size() && double(lines[i + 1]) <= c) ++i;
    return i;
}

// True when the three corners lie in cell (i, r) (border cells reach out)
// on one side of its diagonal, within rounding.
bool inCellTriangle(const dent::PanelLattice& lattice, std::size_t i, std::size_t r,
                    const PanelVertex* v, double scale) {
    const auto& xs = lattice.columnXs;
    const auto& ys = lattice.rowYs;
    // Crossings carry the rounding of the coordinates of the whole edge they
    // were cut from, so the slack grows with the piece's extent and the
    // coordinates' size, in cell units.
    double reach = 0.0;
    for (int k = 0; k < 3; ++k) {
        const Vec q = v[k].position;
        reach = std::max(reach, std::fabs((double(q.x) - xs[i]) / (double(xs[i + 1]) - xs[i])) +
                                    std::fabs((double(q.y) - ys[r]) / (double(ys[r + 1]) - ys[r])));
    }
    const double cell = std::min(double(xs[i + 1]) - xs[i], double(ys[r + 1]) - ys[r]);
    const double tolerance = 1e-4 + 1e-5 * reach + 1e-5 * scale / cell;
    bool below = true, above = true;
    for (int k = 0; k < 3; ++k) {
        const Vec q = v[k].position;
        const double t = 1e-5 * std::max(1.0, double(std::fabs(q.x)) + std::fabs(q.y));
        if (i > 0 && !(q.x >= xs[i] - t)) return false;
        if (i + 2 < xs.size() && !(q.x <= xs[i + 1] + t)) return false;
        if (r > 0 && !(q.y >= ys[r] - t)) return false;
        if (r + 2 < ys.size() && !(q.y <= ys[r + 1] + t)) return false;
        const double s = diagonalSide(lattice, i, r, q);
        below = below && s <= tolerance;
        above = above && s >= -tolerance;
    }
    return below || above;
}

// Each piece of the full subdivision lies in one interpolation triangle of
// the lattice built from the same span and shape (border cells reach out).
void checkLatticePieces(const dent::PanelLattice& lattice, const std::vector<PanelTriangle>& pieces,
                        double scale) {
    const auto& xs = lattice.columnXs;
    const auto& ys = lattice.rowYs;
    if (xs.size() < 2 || ys.size() < 2) return;
    for (std::size_t k = 0; k + 1 < xs.size(); ++k)
        if (!(xs[k + 1] - xs[k] >= 0.01f)) return;
    for (std::size_t k = 0; k + 1 < ys.size(); ++k)
        if (!(ys[k + 1] - ys[k] >= 0.01f)) return;
    for (const PanelTriangle& p : pieces) {
        const PanelVertex* v = p.vertices;
        const double cx = (double(v[0].position.x) + v[1].position.x + v[2].position.x) / 3.0;
        const double cy = (double(v[0].position.y) + v[1].position.y + v[2].position.y) / 3.0;
        const std::size_t i = cellOfLine(xs, cx);
        const std::size_t r = cellOfLine(ys, cy);
        // A sliver along a lattice line may belong to either neighbour: the
        // cut rounds its centroid in float.
        bool fits = false;
        for (std::size_t ci = i > 0 ? i - 1 : 0; !fits && ci <= i + 1 && ci + 1 < xs.size(); ++ci)
            for (std::size_t cr = r > 0 ? r - 1 : 0; !fits && cr <= r + 1 && cr + 1 < ys.size(); ++cr)
                fits = inCellTriangle(lattice, ci, cr, v, scale);
        if (!fits) {
            std::fprintf(stderr, "cell %zu %zu of %zu x %zu:", i, r, xs.size(), ys.size());
            for (float x : xs) std::fprintf(stderr, " x %.9g", x);
            for (float y : ys) std::fprintf(stderr, " y %.9g", y);
            std::fprintf(stderr, "\n");
            for (int k = 0; k < 3; ++k)
                std::fprintf(stderr, "(%.9g %.9g)\n", v[k].position.x, v[k].position.y);
            FUZZ_CHECK(!"a piece outside its lattice triangle");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t mode = in.byte();
    const bool scaled = (mode & 1) != 0;

    PanelTriangle t{};
    for (PanelVertex& v : t.vertices) v = vertex(in, scaled);
    t.material = std::int32_t(in.u32());
    switch ((mode >> 1) & 3) {
    case 1: // two corners on one point
        t.vertices[1].position = t.vertices[0].position;
        break;
    case 2: // three corners on one line
        t.vertices[2].position = Vec{(t.vertices[0].position.x + t.vertices[1].position.x) * 0.5f,
                                     (t.vertices[0].position.y + t.vertices[1].position.y) * 0.5f,
                                     (t.vertices[0].position.z + t.vertices[1].position.z) * 0.5f};
        break;
    default:
        break;
    }

    dent::PanelShape shape{};
    shape.sign = (mode & 8) ? -1.0f : 1.0f;
    if (mode & 16) shape.sign = in.anyFloat();
    shape.start = scaled ? in.scaled() : in.anyFloat();
    shape.length = scaled ? in.scaled() : in.anyFloat();
    shape.crease = (mode & 32) ? in.anyFloat() : 0.35f + float(in.below(31)) / 100.0f;

    dent::SpanFold span{};
    span.from = scaled ? in.scaled() : in.anyFloat();
    span.to = scaled ? in.scaled() : in.anyFloat();
    span.height = in.anyFloat();
    span.columns = in.below(17);

    const float w = scaled ? in.scaled() : in.anyFloat();
    const float p = (mode & 64) ? in.anyFloat() : shape.sign;
    const float q = scaled ? in.scaled() : in.anyFloat();
    const float dx0 = in.scaled(), dy0 = in.scaled(), dw = in.anyFloat(), dh = in.anyFloat();

    const bool finiteTriangle = allFinite(t) && largest(t) <= 1e15f;
    const bool ordinary = scaled && finiteTriangle;

    checkPieces(t, dent::splitWidth(t, w), finiteTriangle && std::isfinite(w) && std::fabs(w) <= 1e15f,
                ordinary);
    const bool creaseUsable = std::isfinite(p) && std::isfinite(q) && std::fabs(p) >= 0.001f &&
                              std::fabs(p) <= 1e3f && std::fabs(q) <= 1e6f;
    checkPieces(t, dent::splitCrease(t, p, q), finiteTriangle && creaseUsable,
                ordinary && creaseUsable);
    const bool diagonalUsable = std::isfinite(dw) && std::isfinite(dh) && std::fabs(dw) >= 0.01f &&
                                std::fabs(dh) >= 0.01f && std::fabs(dw) <= 1e6f &&
                                std::fabs(dh) <= 1e6f;
    checkPieces(t, dent::splitLatticeDiagonal(t, dx0, dy0, dw, dh), finiteTriangle && diagonalUsable,
                ordinary && diagonalUsable);

    const bool shapeUsable = (shape.sign == 1.0f || shape.sign == -1.0f) &&
                             std::isfinite(shape.start) && std::isfinite(shape.length) &&
                             std::isfinite(shape.crease) && std::fabs(shape.crease) <= 2.0f &&
                             std::isfinite(span.from) && std::isfinite(span.to);
    checkPieces(t, dent::splitPanelSurface(t, shape, span.from, span.to, span.columns),
                finiteTriangle && shapeUsable, ordinary && shapeUsable);

    dent::PanelLattice lattice;
    lattice.init(span, shape);
    FUZZ_CHECK(lattice.sheet.size() == lattice.columnXs.size() * lattice.rowYs.size());
    FUZZ_CHECK(lattice.points.size() == lattice.sheet.size());
    FUZZ_CHECK(lattice.rowYs.size() <= 8);
    for (std::size_t k = 1; k < lattice.rowYs.size(); ++k)
        FUZZ_CHECK(lattice.rowYs[k] - lattice.rowYs[k - 1] > 0.000001f);

    bool cellsUsable = lattice.columnXs.size() >= 2 && lattice.rowYs.size() >= 2;
    for (std::size_t k = 0; cellsUsable && k + 1 < lattice.columnXs.size(); ++k)
        cellsUsable = lattice.columnXs[k + 1] - lattice.columnXs[k] >= 0.01f;
    for (std::size_t k = 0; cellsUsable && k + 1 < lattice.rowYs.size(); ++k)
        cellsUsable = lattice.rowYs[k + 1] - lattice.rowYs[k] >= 0.01f;
    const std::vector<PanelTriangle> pieces = dent::splitPanelLattice(t, shape, span, lattice);
    checkPieces(t, pieces, finiteTriangle && shapeUsable && cellsUsable,
                ordinary && shapeUsable && cellsUsable);
    // The cutter appends the same pieces (narrower corners when the texture
    // sets past the second are +0) and counts them from the positions alone.
    dent::PanelCutter cutter(shape, span, lattice);
    std::vector<PanelTriangle> cut;
    cutter.cut(t, cut);
    FUZZ_CHECK(cut.size() == pieces.size());
    FUZZ_CHECK(cut.empty() || std::memcmp(cut.data(), pieces.data(),
                                          cut.size() * sizeof(PanelTriangle)) == 0);
    FUZZ_CHECK(cutter.count(t.vertices[0].position, t.vertices[1].position,
                            t.vertices[2].position) == pieces.size());
    // The cuts only follow the lattice's lines when the crease lies on the
    // panel (the only creases the settings allow) and the column counts agree.
    if (ordinary && shapeUsable && shape.crease >= 0.0f && shape.crease <= 1.0f &&
        span.columns >= 2 && span.columns <= 12 && span.to - span.from > 0.001f)
        checkLatticePieces(lattice, pieces, std::max(1.0, double(largest(t))));
    return 0;
}
