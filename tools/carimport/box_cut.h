#pragma once

// Cutting a mesh's triangles at the faces of a box: the piece of a triangle
// inside the box goes to the part that the box cuts out, the pieces outside
// stay with what is left. A triangle is clipped against the six faces in
// turn (x low, x high, y low, y high, z low, z high); each face splits off
// what lies beyond it, and the polygons are fanned into triangles again.
//
// Both sides of a cut share their new corners: a corner where an edge crosses
// a face is made once per edge and face and interpolated from the edge's ends
// in one order whichever triangle asks, so the two sides meet without a crack,
// also where the source splits a corner (a texture seam) into two vertices.
// Where a later face cuts the side that an outside piece shares with the
// inside, the outside piece takes that corner too, so that no corner of one
// side sits in the middle of an edge of the other.

#include "carimport/part_map.h"
#include "dent/vec.h"

#include <array>
#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

namespace carimport {

// One vertex with everything that is interpolated along a cut edge.
struct CutVertex {
    dent::Vec position{}, normal{}; // normal: unit length
    float uv[2][2] = {};            // two texture coordinate sets (u, v)
    float colour[4] = {};           // the source's vertex colour, 0..1, when it has one
};

using CutTriangle = std::array<std::uint32_t, 3>; // vertex indices, source winding

struct BoxPieces {
    std::vector<CutTriangle> inside, outside; // in the input's winding
};

class BoxCutter {
  public:
    // Crossing vertices are appended to `vertices`, which must outlive the cutter.
    BoxCutter(const Box& box, std::vector<CutVertex>& vertices) : box_(box), vertices_(vertices) {}

    // A triangle wholly inside (corners on a face count as inside) comes back
    // alone in `inside`, one wholly outside alone in `outside`; pieces of no
    // area (where a corner lies on a face) are dropped.
    BoxPieces cut(const CutTriangle& triangle);

  private:
    std::uint32_t crossing(std::uint32_t a, std::uint32_t b, int face);
    float beyond(std::uint32_t v, int face) const; // > 0: outside that face
    void cornersOn(std::uint32_t u, std::uint32_t v, std::vector<std::uint32_t>& out) const;
    void triangulate(const std::vector<std::uint32_t>& polygon, std::vector<CutTriangle>& out);

    Box box_;
    std::vector<CutVertex>& vertices_;
    std::map<std::tuple<std::uint32_t, std::uint32_t, int>, std::uint32_t> crossings_;
};

// The old rule: whether a triangle's centroid lies in the box.
bool centroidInBox(const Box& box, dent::Vec a, dent::Vec b, dent::Vec c);

} // namespace carimport
