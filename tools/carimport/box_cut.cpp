#include "carimport/box_cut.h"

#include <algorithm>
#include <cmath>

namespace carimport {

namespace {

// Pieces whose cross product is shorter than this have no area worth a
// triangle (a corner repeated where the cut passes through it): a hole of
// at most this size is far below a millimetre squared.
constexpr float kMinCrossLength = 1e-9f;

float coordinate(dent::Vec p, int axis) {
    return axis == 0 ? p.x : axis == 1 ? p.y : p.z;
}

void setCoordinate(dent::Vec& p, int axis, float v) {
    (axis == 0 ? p.x : axis == 1 ? p.y : p.z) = v;
}

// The order in which an edge's ends are taken, the same from either triangle.
bool comesFirst(const CutVertex& a, std::uint32_t ia, const CutVertex& b, std::uint32_t ib) {
    for (int k = 0; k < 3; ++k) {
        const float pa = coordinate(a.position, k), pb = coordinate(b.position, k);
        if (pa != pb) return pa < pb;
    }
    return ia < ib;
}

float lerp(float from, float to, float t) {
    return (to - from) * t + from;
}

} // namespace

bool centroidInBox(const Box& box, dent::Vec a, dent::Vec b, dent::Vec c) {
    const dent::Vec centre{(a.x + b.x + c.x) / 3, (a.y + b.y + c.y) / 3, (a.z + b.z + c.z) / 3};
    for (int k = 0; k < 3; ++k) {
        const float v = coordinate(centre, k);
        if (!(v >= box.lo[k] && v <= box.hi[k])) return false;
    }
    return true;
}

float BoxCutter::beyond(std::uint32_t v, int face) const {
    const int axis = face / 2;
    const float p = coordinate(vertices_[v].position, axis);
    return face % 2 == 0 ? box_.lo[axis] - p : p - box_.hi[axis];
}

std::uint32_t BoxCutter::crossing(std::uint32_t a, std::uint32_t b, int face) {
    const auto key = std::make_tuple(std::min(a, b), std::max(a, b), face);
    const auto found = crossings_.find(key);
    if (found != crossings_.end()) return found->second;
    if (!comesFirst(vertices_[a], a, vertices_[b], b)) std::swap(a, b);
    const CutVertex from = vertices_[a], to = vertices_[b];
    const float da = beyond(a, face), db = beyond(b, face);
    const float t = da / (da - db);
    CutVertex v;
    v.position = {lerp(from.position.x, to.position.x, t), lerp(from.position.y, to.position.y, t),
                  lerp(from.position.z, to.position.z, t)};
    const int axis = face / 2;
    setCoordinate(v.position, axis, face % 2 == 0 ? box_.lo[axis] : box_.hi[axis]);
    const dent::Vec n{lerp(from.normal.x, to.normal.x, t), lerp(from.normal.y, to.normal.y, t),
                      lerp(from.normal.z, to.normal.z, t)};
    const float length = std::sqrt(dent::dot(n, n));
    v.normal = length > 1e-6f && std::isfinite(length) ? n * (1.0f / length) : from.normal;
    for (int s = 0; s < 2; ++s)
        for (int k = 0; k < 2; ++k)
            v.uv[s][k] = lerp(from.uv[s][k], to.uv[s][k], t);
    for (int k = 0; k < 4; ++k)
        v.colour[k] = lerp(from.colour[k], to.colour[k], t);
    const auto index = static_cast<std::uint32_t>(vertices_.size());
    vertices_.push_back(v);
    crossings_.emplace(key, index);
    return index;
}

// Adds to `out`, in order from u to v, the corners made on the edge u-v:
// where a later face cut the inside piece's side of an outside piece.
void BoxCutter::cornersOn(std::uint32_t u, std::uint32_t v, std::vector<std::uint32_t>& out) const {
    const auto first = crossings_.lower_bound(std::make_tuple(std::min(u, v), std::max(u, v), 0));
    if (first == crossings_.end() || std::get<0>(first->first) != std::min(u, v) ||
        std::get<1>(first->first) != std::max(u, v))
        return;
    const std::uint32_t p = first->second;
    cornersOn(u, p, out);
    out.push_back(p);
    cornersOn(p, v, out);
}

void BoxCutter::triangulate(const std::vector<std::uint32_t>& p, std::vector<CutTriangle>& out) {
    // A piece whose sides carry extra corners is fanned from a new corner at
    // its centre, so that every corner is used and no triangle is flat.
    std::vector<std::uint32_t> ring;
    for (std::size_t i = 0; i < p.size(); ++i) {
        ring.push_back(p[i]);
        cornersOn(p[i], p[(i + 1) % p.size()], ring);
    }
    auto keep = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c) {
        const dent::Vec o = vertices_[a].position;
        const dent::Vec n = dent::cross(vertices_[b].position - o, vertices_[c].position - o);
        if (dent::dot(n, n) > kMinCrossLength * kMinCrossLength) out.push_back({a, b, c});
    };
    if (ring.size() == p.size()) {
        for (std::size_t i = 2; i < p.size(); ++i)
            keep(p[0], p[i - 1], p[i]);
        return;
    }
    CutVertex centre{};
    const float share = 1.0f / static_cast<float>(ring.size());
    dent::Vec n{0, 0, 0};
    for (std::uint32_t i : ring) {
        const CutVertex& v = vertices_[i];
        centre.position = centre.position + v.position * share;
        n = n + v.normal;
        for (int s = 0; s < 2; ++s)
            for (int k = 0; k < 2; ++k)
                centre.uv[s][k] += v.uv[s][k] * share;
        for (int k = 0; k < 4; ++k)
            centre.colour[k] += v.colour[k] * share;
    }
    const float length = std::sqrt(dent::dot(n, n));
    centre.normal =
        length > 1e-6f && std::isfinite(length) ? n * (1.0f / length) : vertices_[ring[0]].normal;
    const auto c = static_cast<std::uint32_t>(vertices_.size());
    vertices_.push_back(centre);
    for (std::size_t i = 0; i < ring.size(); ++i)
        keep(c, ring[i], ring[(i + 1) % ring.size()]);
}

BoxPieces BoxCutter::cut(const CutTriangle& triangle) {
    BoxPieces pieces;
    std::vector<std::uint32_t> polygon(triangle.begin(), triangle.end());
    std::vector<std::vector<std::uint32_t>> outside;
    bool cut = false;
    for (int face = 0; face < 6 && !polygon.empty(); ++face) {
        bool anyOut = false, anyIn = false;
        for (std::uint32_t v : polygon) {
            const float d = beyond(v, face);
            anyOut = anyOut || d > 0;
            anyIn = anyIn || d < 0;
        }
        if (!anyOut) continue;
        if (!anyIn) {
            outside.push_back(std::move(polygon));
            polygon.clear();
            break;
        }
        std::vector<std::uint32_t> in, out;
        for (std::size_t i = 0; i < polygon.size(); ++i) {
            const std::uint32_t a = polygon[i], b = polygon[(i + 1) % polygon.size()];
            const float da = beyond(a, face), db = beyond(b, face);
            if (da <= 0) in.push_back(a);
            if (da >= 0) out.push_back(a);
            if ((da < 0 && db > 0) || (da > 0 && db < 0)) {
                const std::uint32_t x = crossing(a, b, face);
                in.push_back(x);
                out.push_back(x);
            }
        }
        cut = true;
        outside.push_back(std::move(out));
        polygon = std::move(in);
    }
    if (!cut) {
        (polygon.empty() ? pieces.outside : pieces.inside).push_back(triangle);
        return pieces;
    }
    // The inside piece's sides are never cut after it is made; the outside
    // pieces' sides along the box may be, by the faces that came later.
    for (std::size_t i = 2; i < polygon.size(); ++i) {
        const dent::Vec a = vertices_[polygon[0]].position;
        const dent::Vec n =
            dent::cross(vertices_[polygon[i - 1]].position - a, vertices_[polygon[i]].position - a);
        if (dent::dot(n, n) > kMinCrossLength * kMinCrossLength)
            pieces.inside.push_back({polygon[0], polygon[i - 1], polygon[i]});
    }
    for (const std::vector<std::uint32_t>& piece : outside)
        triangulate(piece, pieces.outside);
    return pieces;
}

} // namespace carimport
