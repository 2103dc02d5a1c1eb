// dentVertices: the dent rule over an array, four points at a time with SSE2.

#include "displace.h"

#include "displace_rule.h"
#include "unit_power.h"

#include <emmintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>

namespace dent {
namespace {

using rule::Dent;
using rule::dentOne;
using rule::validScalars;

// Four points at a time. Each lane repeats displaceValid's float operations in
// the same order (SSE arithmetic is the same IEEE arithmetic as the scalar
// code's), so each lane's bits are those of the scalar path. Lanes whose
// offset square is not finite (non-finite input, overflow) take the scalar
// path itself.

struct Four {
    __m128 x, y, z;
};

DENT_HOT_INLINE __m128 select(__m128 mask, __m128 ifSet, __m128 otherwise) {
    return _mm_or_ps(_mm_and_ps(mask, ifSet), _mm_andnot_ps(mask, otherwise));
}

// Four packed Vecs (x0 y0 z0 x1 | y1 z1 x2 y2 | z2 x3 y3 z3) into lanes.
DENT_HOT_INLINE Four loadFour(const Vec* v) {
    const float* f = &v->x;
    const __m128 a0 = _mm_loadu_ps(f), a1 = _mm_loadu_ps(f + 4), a2 = _mm_loadu_ps(f + 8);
    const __m128 x2y2x3y3 = _mm_shuffle_ps(a1, a2, _MM_SHUFFLE(2, 1, 3, 2));
    const __m128 y0z0y1z1 = _mm_shuffle_ps(a0, a1, _MM_SHUFFLE(1, 0, 2, 1));
    return {_mm_shuffle_ps(a0, x2y2x3y3, _MM_SHUFFLE(2, 0, 3, 0)),
            _mm_shuffle_ps(y0z0y1z1, x2y2x3y3, _MM_SHUFFLE(3, 1, 2, 0)),
            _mm_shuffle_ps(y0z0y1z1, a2, _MM_SHUFFLE(3, 0, 3, 1))};
}

DENT_HOT_INLINE void storeFour(Vec* v, Four p) {
    const __m128 xy01 = _mm_unpacklo_ps(p.x, p.y);
    const __m128 xy23 = _mm_unpackhi_ps(p.x, p.y);
    const __m128 z0z0x1x1 = _mm_shuffle_ps(p.z, p.x, _MM_SHUFFLE(1, 1, 0, 0));
    const __m128 y1y1z1z1 = _mm_shuffle_ps(p.y, p.z, _MM_SHUFFLE(1, 1, 1, 1));
    const __m128 z2z2x3x3 = _mm_shuffle_ps(p.z, xy23, _MM_SHUFFLE(2, 2, 2, 2));
    const __m128 y3y3z3z3 = _mm_shuffle_ps(xy23, p.z, _MM_SHUFFLE(3, 3, 3, 3));
    float* f = &v->x;
    _mm_storeu_ps(f, _mm_shuffle_ps(xy01, z0z0x1x1, _MM_SHUFFLE(2, 0, 1, 0)));
    _mm_storeu_ps(f + 4, _mm_shuffle_ps(y1y1z1z1, xy23, _MM_SHUFFLE(1, 0, 2, 0)));
    _mm_storeu_ps(f + 8, _mm_shuffle_ps(z2z2x3x3, y3y3z3z3, _MM_SHUFFLE(2, 0, 2, 0)));
}

// Smallest float not below v * v, and largest float not above it: a float
// square compares with them exactly as its double does with v * v.
float squareRoundedUp(float v) {
    const double square = double(v) * double(v);
    if (square > double(FLT_MAX)) return INFINITY;
    float f = float(square);
    if (double(f) < square) f = std::nextafter(f, INFINITY);
    return f;
}
float squareRoundedDown(float v) {
    const double square = double(v) * double(v);
    if (square >= double(FLT_MAX)) return FLT_MAX;
    float f = float(square);
    if (double(f) > square) f = std::nextafter(f, 0.0f);
    return f;
}

struct FourDent {
    Four contact, direction;
    __m128 depth, radius, previousDepth, previousRadius, maxTotal;
    // A point whose distance square reaches this is outside both bowls: its
    // root is at least either radius, so both falloffs are 0.
    __m128 reachSquared;
    __m128 maxTotalSquared; // rounded down; see squareRoundedDown
};

FourDent fourDent(const Dent& d) {
    float reach = squareRoundedUp(d.radius);
    if (d.previousRadius > 0.0f) reach = std::fmax(reach, squareRoundedUp(d.previousRadius));
    return {{_mm_set1_ps(d.contact.x), _mm_set1_ps(d.contact.y), _mm_set1_ps(d.contact.z)},
            {_mm_set1_ps(d.unitDirection.x), _mm_set1_ps(d.unitDirection.y),
             _mm_set1_ps(d.unitDirection.z)},
            _mm_set1_ps(d.depth),
            _mm_set1_ps(d.radius),
            _mm_set1_ps(d.previousDepth),
            _mm_set1_ps(d.previousRadius),
            _mm_set1_ps(d.maxTotal),
            _mm_set1_ps(reach),
            _mm_set1_ps(squareRoundedDown(d.maxTotal))};
}

// Steps 5 to 9 of the rule for four points whose step is known.
DENT_HOT_INLINE void moveFour(Four r, const Vec* rest, Vec* current, __m128 step, const FourDent& b,
                              const Dent& d) {
    const Four c = loadFour(current);
    Four offset{_mm_sub_ps(_mm_add_ps(c.x, _mm_mul_ps(b.direction.x, step)), r.x),
                _mm_sub_ps(_mm_add_ps(c.y, _mm_mul_ps(b.direction.y, step)), r.y),
                _mm_sub_ps(_mm_add_ps(c.z, _mm_mul_ps(b.direction.z, step)), r.z)};
    const __m128 offsetSquared =
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(offset.x, offset.x), _mm_mul_ps(offset.y, offset.y)),
                   _mm_mul_ps(offset.z, offset.z));
    const int finite = _mm_movemask_ps(_mm_cmple_ps(offsetSquared, _mm_set1_ps(FLT_MAX)));
    const __m128 over = _mm_cmpnle_ps(offsetSquared, b.maxTotalSquared);
    if (_mm_movemask_ps(over) & finite) {
        const __m128 length = _mm_sqrt_ps(offsetSquared);
        const __m128 shrink = _mm_and_ps(over, _mm_cmpgt_ps(length, b.maxTotal));
        const __m128 scale = _mm_div_ps(b.maxTotal, length);
        offset = {select(shrink, _mm_mul_ps(offset.x, scale), offset.x),
                  select(shrink, _mm_mul_ps(offset.y, scale), offset.y),
                  select(shrink, _mm_mul_ps(offset.z, scale), offset.z)};
    }
    const Four moved{_mm_add_ps(r.x, offset.x), _mm_add_ps(r.y, offset.y),
                     _mm_add_ps(r.z, offset.z)};
    if (finite == 15) {
        storeFour(current, moved);
        return;
    }
    // Copies first: rest may be the current array itself.
    Vec restBefore[4], currentBefore[4];
    for (int k = 0; k < 4; ++k) {
        restBefore[k] = rest[k];
        currentBefore[k] = current[k];
    }
    storeFour(current, moved);
    for (int k = 0; k < 4; ++k) {
        if (finite >> k & 1) continue;
        current[k] = currentBefore[k];
        dentOne(restBefore[k], current[k], d);
    }
}

// Points go in chunks. Blocks of four points outside both bowls move at once;
// the others wait while the falloffs of their points near a bowl are taken
// four such points at a time. Raising only the points that need it, and many
// at once, is what makes the array form fast.
constexpr int kChunk = 128; // points; a multiple of 4

struct Chunk {
    // Falloff of each waiting point: w at [point], wPrevious at [kChunk + point].
    alignas(16) float weight[2 * kChunk];
    // Points near a bowl: distance squared, index in the chunk, falloffs.
    alignas(16) float distanceSquared[kChunk];
    alignas(16) float w[kChunk];
    alignas(16) float wPrevious[kChunk];
    std::uint16_t point[kChunk];
    int nearCount = 0;
    std::uint16_t waiting[kChunk / 4]; // first points of the waiting blocks
    int waitingCount = 0;
};

DENT_HOT_INLINE __m128 falloffFour(__m128 distance, __m128 radius, float power) {
    const __m128 inside = _mm_cmplt_ps(distance, radius);
    const __m128 one = _mm_set1_ps(1.0f);
    __m128 s = _mm_sub_ps(one, _mm_div_ps(distance, radius));
    s = _mm_andnot_ps(_mm_cmplt_ps(s, _mm_setzero_ps()), s);
    s = select(_mm_cmpgt_ps(s, one), one, s);
    const __m128 t = _mm_mul_ps(_mm_mul_ps(s, s),
                                _mm_sub_ps(_mm_set1_ps(3.0f), _mm_mul_ps(_mm_set1_ps(2.0f), s)));
    // Lanes outside raise 1 instead, which is cheap and certain, and give 0.
    return _mm_and_ps(inside, unit_power::power4(select(inside, t, one), power));
}

// The falloffs of the points near a bowl, into their weight slots.
void weighNearPoints(const FourDent& b, const Dent& d, Chunk& c) {
    const int count = c.nearCount;
    for (int k = count; k % 4 != 0; ++k)
        c.distanceSquared[k] = 0.0f; // padding, never scattered
    const bool previous = d.previousRadius > 0.0f;
    for (int k = 0; k < count; k += 4) {
        const __m128 distance = _mm_sqrt_ps(_mm_load_ps(c.distanceSquared + k));
        _mm_store_ps(c.w + k, falloffFour(distance, b.radius, d.falloffPower));
        if (previous)
            _mm_store_ps(c.wPrevious + k, falloffFour(distance, b.previousRadius, d.falloffPower));
    }
    for (int k = 0; k < count; ++k) {
        c.weight[c.point[k]] = c.w[k];
        if (previous) c.weight[kChunk + c.point[k]] = c.wPrevious[k];
    }
}

// `n` points, a multiple of 4.
void dentChunk(const Vec* rest, Vec* current, int n, const FourDent& b, const Dent& d) {
    Chunk c;
    const __m128 zero = _mm_setzero_ps();
    for (int o = 0; o < n; o += 4) {
        const Four r = loadFour(rest + o);
        const __m128 fx = _mm_sub_ps(r.x, b.contact.x), fy = _mm_sub_ps(r.y, b.contact.y),
                     fz = _mm_sub_ps(r.z, b.contact.z);
        const __m128 distanceSquared =
            _mm_add_ps(_mm_add_ps(_mm_mul_ps(fx, fx), _mm_mul_ps(fy, fy)), _mm_mul_ps(fz, fz));
        const int near = _mm_movemask_ps(_mm_cmpnge_ps(distanceSquared, b.reachSquared));
        if (near == 0) {
            moveFour(r, rest + o, current + o, zero, b, d);
            continue;
        }
        c.waiting[c.waitingCount++] = std::uint16_t(o);
        _mm_store_ps(c.weight + o, zero);
        _mm_store_ps(c.weight + kChunk + o, zero);
        alignas(16) float lanes[4];
        _mm_store_ps(lanes, distanceSquared);
        for (int k = 0; k < 4; ++k) { // written always, kept when near
            c.distanceSquared[c.nearCount] = lanes[k];
            c.point[c.nearCount] = std::uint16_t(o + k);
            c.nearCount += near >> k & 1;
        }
    }
    if (c.waitingCount == 0) return;
    weighNearPoints(b, d, c);
    for (int k = 0; k < c.waitingCount; ++k) {
        const int o = c.waiting[k];
        const __m128 step =
            _mm_sub_ps(_mm_mul_ps(b.depth, _mm_load_ps(c.weight + o)),
                       _mm_mul_ps(b.previousDepth, _mm_load_ps(c.weight + kChunk + o)));
        moveFour(loadFour(rest + o), rest + o, current + o,
                 _mm_and_ps(_mm_cmpgt_ps(step, zero), step), b, d);
    }
}

// Arrays that overlap at different starts would feed one point's result into
// another's input; blocks read four points before writing them, so such
// arrays go one point at a time, in order.
bool overlapShifted(const Vec* rest, const Vec* current, std::size_t count) {
    const auto r = reinterpret_cast<std::uintptr_t>(rest);
    const auto c = reinterpret_cast<std::uintptr_t>(current);
    const std::uintptr_t bytes = count * sizeof(Vec);
    return r != c && r < c + bytes && c < r + bytes;
}

} // namespace

void dentVertices(const Vec* rest, Vec* current, std::size_t count, Vec contact, Vec direction,
                  float depth, float radius, float previousDepth, float previousRadius,
                  float maxTotal, float falloffPower) {
    if (rest == nullptr || current == nullptr) return;
    // Everything that does not depend on the point is checked and derived once.
    if (!isFinite(contact) || !isFinite(direction)) return;
    if (!validScalars(depth, radius, previousDepth, previousRadius, maxTotal, falloffPower)) return;
    const Dent d{contact,       normalized(direction), depth,    radius,
                 previousDepth, previousRadius,        maxTotal, falloffPower};
    std::size_t i = 0;
    if (!overlapShifted(rest, current, count)) {
        const FourDent b = fourDent(d);
        for (std::size_t n; (n = std::min<std::size_t>(count - i, kChunk) & ~std::size_t(3)) > 0;
             i += n)
            dentChunk(rest + i, current + i, int(n), b, d);
    }
    for (; i < count; ++i)
        dentOne(rest[i], current[i], d);
}

} // namespace dent
