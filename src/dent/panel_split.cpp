#include "panel_split.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace dent {
namespace {

// A triangle clipped by one half-plane has at most four corners: three when
// all corners are inside, otherwise the inside corners plus two crossings.
constexpr int kMaxPolygon = 4;

template <class V> struct Polygon {
    V v[kMaxPolygon];
    int count = 0;
};

inline float lerp(float a, float b, float t) {
    return (b - a) * t + a;
}

inline Vec lerp(const Vec& a, const Vec& b, float t) {
    return Vec{lerp(a.x, b.x, t), lerp(a.y, b.y, t), lerp(a.z, b.z, t)};
}

// All 26 interpolated floats of the point at t on the edge a -> b; `side`
// is taken from a.
PanelVertex interpolated(const PanelVertex& a, const PanelVertex& b, float t) {
    PanelVertex r;
    r.position = lerp(a.position, b.position, t);
    r.normal = lerp(a.normal, b.normal, t);
    for (int c = 0; c < 4; ++c)
        r.colour[c] = lerp(a.colour[c], b.colour[c], t);
    for (int s = 0; s < 8; ++s) {
        r.uv[s][0] = lerp(a.uv[s][0], b.uv[s][0], t);
        r.uv[s][1] = lerp(a.uv[s][1], b.uv[s][1], t);
    }
    r.side = a.side;
    return r;
}

PanelCutter::Corner interpolated(const PanelCutter::Corner& a, const PanelCutter::Corner& b,
                                 float t) {
    PanelCutter::Corner r;
    r.position = lerp(a.position, b.position, t);
    r.side = a.side;
    return r;
}

// A panel vertex of at most two texture-coordinate sets: the rebuild's
// usual case, cut at two thirds of the bytes and half the interpolations.
// The unused sets start equal (+0) and take the same interpolations, so one
// float carries them all, and widening the pieces again gives the same bits.
using CompactVertex = PanelCutter::CompactVertex;
using CompactTriangle = PanelCutter::CompactTriangle;

CompactVertex interpolated(const CompactVertex& a, const CompactVertex& b, float t) {
    CompactVertex r;
    r.position = lerp(a.position, b.position, t);
    r.normal = lerp(a.normal, b.normal, t);
    for (int c = 0; c < 4; ++c)
        r.colour[c] = lerp(a.colour[c], b.colour[c], t);
    for (int s = 0; s < 2; ++s) {
        r.uv[s][0] = lerp(a.uv[s][0], b.uv[s][0], t);
        r.uv[s][1] = lerp(a.uv[s][1], b.uv[s][1], t);
    }
    r.unused = lerp(a.unused, b.unused, t);
    r.side = a.side;
    return r;
}

// True when sets 2 .. 7 of every corner are +0 (bit for bit).
bool compactable(const PanelTriangle& t) {
    for (const PanelVertex& v : t.vertices)
        for (int s = 2; s < 8; ++s)
            for (int k = 0; k < 2; ++k) {
                std::uint32_t bits;
                std::memcpy(&bits, &v.uv[s][k], sizeof bits);
                if (bits != 0) return false;
            }
    return true;
}

CompactTriangle compact(const PanelTriangle& t) {
    CompactTriangle c;
    for (int j = 0; j < 3; ++j) {
        const PanelVertex& v = t.vertices[j];
        CompactVertex& w = c.vertices[j];
        w.position = v.position;
        w.normal = v.normal;
        std::memcpy(w.colour, v.colour, sizeof w.colour);
        std::memcpy(w.uv, v.uv, sizeof w.uv);
        w.unused = 0.0f;
        w.side = v.side;
    }
    c.material = t.material;
    return c;
}

PanelTriangle widened(const CompactTriangle& c) {
    PanelTriangle t{};
    for (int j = 0; j < 3; ++j) {
        const CompactVertex& w = c.vertices[j];
        PanelVertex& v = t.vertices[j];
        v.position = w.position;
        v.normal = w.normal;
        std::memcpy(v.colour, w.colour, sizeof w.colour);
        std::memcpy(v.uv, w.uv, sizeof w.uv);
        for (int s = 2; s < 8; ++s)
            v.uv[s][0] = v.uv[s][1] = w.unused;
        v.side = w.side;
    }
    t.material = c.material;
    return t;
}

// Signed distances of the corners, one per cut family; every cut works on
// full panel vertices and on bare corners alike.
struct WidthCut {
    float w;
    template <class V> float distance(const V& v) const { return v.position.x - w; }
    template <class V> V crossing(const V& a, const V& b, float t) const {
        V r = interpolated(a, b, t);
        r.position.x = w;
        return r;
    }
};

// A cut along y = w. Identical, bit for bit, to exchanging x and y, cutting
// with WidthCut and exchanging back: the same distances, the same
// interpolations, and an area test that only sums the same squares.
struct RowCut {
    float w;
    template <class V> float distance(const V& v) const { return v.position.y - w; }
    template <class V> V crossing(const V& a, const V& b, float t) const {
        V r = interpolated(a, b, t);
        r.position.y = w;
        return r;
    }
};

struct CreaseCut {
    float p;
    float q;
    template <class V> float distance(const V& v) const { return v.position.y * p - q; }
    template <class V> V crossing(const V& a, const V& b, float t) const {
        V r = interpolated(a, b, t);
        r.position.y = q / p;
        r.side = 0;
        return r;
    }
};

struct DiagonalCut {
    float x0;
    float y0;
    float width;
    float height;
    template <class V> float distance(const V& v) const {
        return (v.position.x - x0) / width - (v.position.y - y0) / height;
    }
    template <class V> V crossing(const V& a, const V& b, float t) const {
        return interpolated(a, b, t);
    }
};

template <class T, class Cut> void distances(const T& triangle, const Cut& cut, float d[3]) {
    for (int k = 0; k < 3; ++k)
        d[k] = cut.distance(triangle.vertices[k]);
}

// Walks the edges 0->1, 1->2, 2->0 keeping the inside corners and adding a
// crossing where exactly one end is inside. Each crossing is computed from
// the edge in its own direction, so both sides of a cut get the same bits.
template <class T, class V, class Cut>
void clipInto(const T& triangle, const Cut& cut, const float d[3], bool keepPositive,
              Polygon<V>& out) {
    out.count = 0;
    for (int e = 0; e < 3; ++e) {
        const int f = e == 2 ? 0 : e + 1;
        const V& a = triangle.vertices[e];
        const V& b = triangle.vertices[f];
        const bool aInside = keepPositive ? d[e] >= 0.0f : d[e] <= 0.0f;
        const bool bInside = keepPositive ? d[f] >= 0.0f : d[f] <= 0.0f;
        if (aInside) out.v[out.count++] = a;
        if (aInside != bInside)
            out.v[out.count++] = cut.template crossing<V>(a, b, d[e] / (d[e] - d[f]));
    }
}

// Twice the area, squared, over four: (|c| / 2)^2 with c the cross product.
bool largeEnough(const Vec& p0, const Vec& p1, const Vec& p2) {
    const Vec u = p1 - p0;
    const Vec v = p2 - p0;
    const Vec c{u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
    return 0.25f * dot(c, c) > 1e-12f;
}

// Fan (p0, p[i-1], p[i]) of the polygon, keeping pieces above 1e-6 square
// units; a `side` of 0 or more overrides the corners' sides.
template <class T, class V>
void appendFan(const Polygon<V>& polygon, std::int32_t material, int side, std::vector<T>& out) {
    for (int i = 2; i < polygon.count; ++i) {
        T t;
        t.vertices[0] = polygon.v[0];
        t.vertices[1] = polygon.v[i - 1];
        t.vertices[2] = polygon.v[i];
        t.material = material;
        if (side >= 0)
            for (V& v : t.vertices)
                v.side = side;
        if (largeEnough(t.vertices[0].position, t.vertices[1].position, t.vertices[2].position))
            out.push_back(t);
    }
}

bool crosses(const float d[3]) {
    const bool allNonNegative = d[0] >= 0.0f && d[1] >= 0.0f && d[2] >= 0.0f;
    const bool anyPositive = d[0] > 0.0f || d[1] > 0.0f || d[2] > 0.0f;
    return !allNonNegative && anyPositive;
}

template <class T>
using VertexOf = std::remove_reference_t<decltype(std::declval<T&>().vertices[0])>;

// The two-sided split shared by the width, row and diagonal cuts: the d <= 0
// pieces first, then the d >= 0 ones.
template <class T, class Cut>
void appendSplit(const T& triangle, const Cut& cut, std::vector<T>& out) {
    float d[3];
    distances(triangle, cut, d);
    if (!crosses(d)) {
        out.push_back(triangle);
        return;
    }
    Polygon<VertexOf<T>> polygon;
    clipInto(triangle, cut, d, false, polygon);
    appendFan(polygon, triangle.material, -1, out);
    clipInto(triangle, cut, d, true, polygon);
    appendFan(polygon, triangle.material, -1, out);
}

template <class T>
void appendCreaseSplit(const T& triangle, float p, float q, std::vector<T>& out) {
    const CreaseCut cut{p, q};
    float d[3];
    distances(triangle, cut, d);
    if (!crosses(d)) {
        const bool beyond = d[0] > 0.0f || d[1] > 0.0f || d[2] > 0.0f;
        out.push_back(triangle);
        for (auto& v : out.back().vertices)
            v.side = beyond ? 1 : 0;
        return;
    }
    Polygon<VertexOf<T>> polygon;
    clipInto(triangle, cut, d, false, polygon);
    appendFan(polygon, triangle.material, 0, out);
    clipInto(triangle, cut, d, true, polygon);
    appendFan(polygon, triangle.material, 1, out);
}

template <class Cut>
std::vector<PanelVertex> clipToVector(const PanelTriangle& triangle, const Cut& cut,
                                      bool keepPositive) {
    float d[3];
    distances(triangle, cut, d);
    Polygon<PanelVertex> polygon;
    clipInto(triangle, cut, d, keepPositive, polygon);
    return std::vector<PanelVertex>(polygon.v, polygon.v + polygon.count);
}

// Replaces `list` by its pieces cut with `cut`, in list order; `scratch` is
// reused storage. Most lines miss a small triangle altogether: such a cut
// would copy every piece unchanged, so it is skipped.
template <class T, class Cut>
void cutAll(std::vector<T>& list, std::vector<T>& scratch, const Cut& cut) {
    bool any = false;
    for (const T& t : list) {
        float d[3];
        distances(t, cut, d);
        if (crosses(d)) {
            any = true;
            break;
        }
    }
    if (!any) return;
    scratch.clear();
    for (const T& t : list)
        appendSplit(t, cut, scratch);
    list.swap(scratch);
}

template <class T>
void surfaceInto(const T& triangle, const PanelShape& shape, float columnStart, float columnEnd,
                 unsigned columns, std::vector<T>& list, std::vector<T>& scratch) {
    list.clear();
    appendCreaseSplit(triangle, shape.sign, shape.length * shape.crease + shape.start, list);

    const unsigned count = std::min(12u, std::max(2u, columns));
    const float span = columnEnd - columnStart;
    if (span > 0.001f) {
        for (unsigned k = 1; k < count; ++k)
            cutAll(list, scratch, WidthCut{(float(k) * span) / float(count) + columnStart});
    }
    for (int k = 1; k <= 5; ++k)
        cutAll(list, scratch,
               RowCut{((float(k) * shape.length) / 6.0f + shape.start) * shape.sign});
}

// Index of the cell of `lines` that holds the centroid coordinate c.
std::size_t cellIndex(const std::vector<float>& lines, float c) {
    const std::size_t j =
        std::size_t(std::upper_bound(lines.begin(), lines.end(), c) - lines.begin());
    const std::size_t i = std::max<std::size_t>(j, 1) - 1;
    return std::min(i, lines.size() - 2);
}

// splitPanelLattice() appending to `out`; `pieces` and `scratch` are reused.
template <class T>
void latticeInto(const T& triangle, const PanelShape& shape, const SpanFold& span,
                 const PanelLattice& lattice, std::vector<T>& pieces, std::vector<T>& scratch,
                 std::vector<T>& out) {
    surfaceInto(triangle, shape, span.from, span.to, span.columns, pieces, scratch);
    const std::vector<float>& xs = lattice.columnXs;
    const std::vector<float>& ys = lattice.rowYs;
    if (xs.size() < 2 || ys.size() < 2) {
        out.insert(out.end(), pieces.begin(), pieces.end());
        return;
    }
    for (const T& piece : pieces) {
        const auto* v = piece.vertices;
        const float cx = ((v[0].position.x + v[1].position.x) + v[2].position.x) * 0.33333334f;
        const float cy = ((v[0].position.y + v[1].position.y) + v[2].position.y) * 0.33333334f;
        const std::size_t i = cellIndex(xs, cx);
        const std::size_t r = cellIndex(ys, cy);
        appendSplit(piece, DiagonalCut{xs[i], ys[r], xs[i + 1] - xs[i], ys[r + 1] - ys[r]}, out);
    }
}

} // namespace

std::vector<PanelVertex> clipWidth(const PanelTriangle& triangle, float w, bool keepPositive) {
    return clipToVector(triangle, WidthCut{w}, keepPositive);
}

std::vector<PanelVertex> clipCrease(const PanelTriangle& triangle, float p, float q,
                                    bool keepPositive) {
    return clipToVector(triangle, CreaseCut{p, q}, keepPositive);
}

std::vector<PanelTriangle> splitWidth(const PanelTriangle& triangle, float w) {
    std::vector<PanelTriangle> out;
    out.reserve(3);
    appendSplit(triangle, WidthCut{w}, out);
    return out;
}

std::vector<PanelTriangle> splitCrease(const PanelTriangle& triangle, float p, float q) {
    std::vector<PanelTriangle> out;
    out.reserve(3);
    appendCreaseSplit(triangle, p, q, out);
    return out;
}

std::vector<PanelTriangle> splitLatticeDiagonal(const PanelTriangle& triangle, float x0, float y0,
                                                float width, float height) {
    std::vector<PanelTriangle> out;
    out.reserve(3);
    appendSplit(triangle, DiagonalCut{x0, y0, width, height}, out);
    return out;
}

std::vector<PanelTriangle> splitPanelSurface(const PanelTriangle& triangle, const PanelShape& shape,
                                             float columnStart, float columnEnd, unsigned columns) {
    std::vector<PanelTriangle> list;
    std::vector<PanelTriangle> scratch;
    list.reserve(16);
    scratch.reserve(16);
    surfaceInto(triangle, shape, columnStart, columnEnd, columns, list, scratch);
    return list;
}

std::vector<PanelTriangle> splitPanelLattice(const PanelTriangle& triangle, const PanelShape& shape,
                                             const SpanFold& span, const PanelLattice& lattice) {
    std::vector<PanelTriangle> pieces;
    std::vector<PanelTriangle> scratch;
    std::vector<PanelTriangle> out;
    pieces.reserve(16);
    scratch.reserve(16);
    out.reserve(32);
    latticeInto(triangle, shape, span, lattice, pieces, scratch, out);
    return out;
}

PanelCutter::PanelCutter(const PanelShape& shape, const SpanFold& span, const PanelLattice& lattice)
    : shape_(shape), span_(span), lattice_(lattice) {}

PanelCutter::~PanelCutter() = default;

void PanelCutter::cut(const PanelTriangle& triangle, std::vector<PanelTriangle>& out) {
    if (!compactable(triangle)) {
        latticeInto(triangle, shape_, span_, lattice_, pieces_, scratch_, out);
        return;
    }
    compactOut_.clear();
    latticeInto(compact(triangle), shape_, span_, lattice_, compactPieces_, compactScratch_,
                compactOut_);
    for (const CompactTriangle& c : compactOut_)
        out.push_back(widened(c));
}

std::size_t PanelCutter::count(Vec a, Vec b, Vec c) {
    CornerTriangle t{};
    t.vertices[0].position = a;
    t.vertices[1].position = b;
    t.vertices[2].position = c;
    cornerOut_.clear();
    latticeInto(t, shape_, span_, lattice_, cornerPieces_, cornerScratch_, cornerOut_);
    return cornerOut_.size();
}

} // namespace dent
