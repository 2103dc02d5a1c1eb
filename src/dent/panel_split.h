#pragma once

#include "api.h"
#include "panel_lattice.h"
#include "vec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dent {

// One corner of a panel triangle. The 26 floats from `position` to `uv` are
// interpolated where a cut crosses an edge; `side` never is.
struct PanelVertex {
    Vec position;
    Vec normal;        // as read, not normalised; zero without source normals
    float colour[4];   // prelit colour bytes in memory order, as 0 .. 255
    float uv[8][2];    // texture-coordinate sets; unused sets stay zero
    std::int32_t side; // crease side: 0 near, 1 far
};
static_assert(sizeof(PanelVertex) == 27 * 4, "PanelVertex is 26 floats and the side");

struct PanelTriangle {
    PanelVertex vertices[3]; // in the source triangle's winding
    std::int32_t material;   // source material index, sign-extended
};

// All cuts are vertical planes: only x and y decide the side of a vertex. A
// vertex on a cut line belongs to both sides; there is no tolerance band.
// Preconditions (met by the panel rebuild): finite positions, p != 0 for the
// crease, non-zero cell sizes for the diagonal.

// Polygon (input winding, possibly with repeated points) of the part with
// x <= w, or x >= w when `keepPositive`. Crossing vertices lie exactly on
// x = w and take `side` from the edge's first vertex.
DENT_API std::vector<PanelVertex> clipWidth(const PanelTriangle& triangle, float w,
                                            bool keepPositive);

// Polygon of the part with p*y - q <= 0, or >= 0 when `keepPositive`.
// Crossing vertices lie exactly on y = q / p, with `side` 0.
DENT_API std::vector<PanelVertex> clipCrease(const PanelTriangle& triangle, float p, float q,
                                             bool keepPositive);

// The triangle cut along x = w: the pieces with x <= w first. A triangle that
// does not cross the line comes back alone and unchanged; pieces of area
// 1e-6 or less are dropped.
DENT_API std::vector<PanelTriangle> splitWidth(const PanelTriangle& triangle, float w);

// The triangle cut along p*y = q, with `side` 0 on the near pieces
// (p*y - q <= 0, listed first) and 1 on the far ones. An uncut triangle comes
// back alone with side 1 when some vertex is strictly beyond the line, else 0.
DENT_API std::vector<PanelTriangle> splitCrease(const PanelTriangle& triangle, float p, float q);

// The triangle cut along the diagonal from (x0, y0) to (x0 + width,
// y0 + height); crossing vertices interpolate all 26 floats.
DENT_API std::vector<PanelTriangle> splitLatticeDiagonal(const PanelTriangle& triangle, float x0,
                                                         float y0, float width, float height);

// The triangle cut along the crease, along `columns` (clamped to 2 .. 12)
// equal columns between columnStart and columnEnd (none when that span is
// 0.001 or less) and along the five inner lines of six equal rows.
DENT_API std::vector<PanelTriangle> splitPanelSurface(const PanelTriangle& triangle,
                                                      const PanelShape& shape, float columnStart,
                                                      float columnEnd, unsigned columns);

// The whole panel subdivision: splitPanelSurface() over the span, then every
// piece cut along the diagonal of the lattice cell its centroid falls in, so
// that each result lies in one interpolation triangle of the lattice. A
// lattice without cells makes no diagonal cut.
DENT_API std::vector<PanelTriangle> splitPanelLattice(const PanelTriangle& triangle,
                                                      const PanelShape& shape, const SpanFold& span,
                                                      const PanelLattice& lattice);

// splitPanelLattice() for the many triangles of one panel, reusing its working
// lists between triangles. The shape and span are copied; the lattice must
// outlive the cutter.
class PanelCutter {
  public:
    DENT_API PanelCutter(const PanelShape& shape, const SpanFold& span,
                         const PanelLattice& lattice);
    DENT_API ~PanelCutter();
    PanelCutter(const PanelCutter&) = delete;
    PanelCutter& operator=(const PanelCutter&) = delete;

    // Appends to `out` exactly the pieces splitPanelLattice() returns.
    DENT_API void cut(const PanelTriangle& triangle, std::vector<PanelTriangle>& out);

    // How many pieces cut() would append for a triangle with these corner
    // positions. Every cut decision depends on positions alone, so the count
    // is exact; it costs a fraction of the cut.
    DENT_API std::size_t count(Vec a, Vec b, Vec c);

    // A corner as count() cuts it: the position and the crease side only.
    struct Corner {
        Vec position;
        std::int32_t side;
    };
    struct CornerTriangle {
        Corner vertices[3];
        std::int32_t material;
    };
    // A vertex of at most two texture-coordinate sets, as cut() cuts the
    // usual triangle: fewer bytes to carry through the cuts, the same bits.
    // The unused sets all start as +0 and take the same interpolations, so
    // one float stands for all of them.
    struct CompactVertex {
        Vec position;
        Vec normal;
        float colour[4];
        float uv[2][2];
        float unused;
        std::int32_t side;
    };
    struct CompactTriangle {
        CompactVertex vertices[3];
        std::int32_t material;
    };

  private:
    PanelShape shape_;
    SpanFold span_;
    const PanelLattice& lattice_;
    std::vector<PanelTriangle> pieces_, scratch_;
    std::vector<CompactTriangle> compactPieces_, compactScratch_, compactOut_;
    std::vector<CornerTriangle> cornerPieces_, cornerScratch_, cornerOut_;
};

} // namespace dent
