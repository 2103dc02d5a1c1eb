// Panel lighting over random lattices and deformations: a finite rest normal
// always comes back finite, and either unchanged, zero or of unit length.

#include "dent/panel_lattice.h"
#include "dent/panel_lighting.h"
#include "fuzz_input.h"

#include <cmath>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t mode = in.byte();
    const bool scaled = (mode & 1) != 0;

    dent::SpanFold span{};
    span.from = scaled ? in.scaled() : in.anyFloat();
    span.to = scaled ? in.scaled() : in.anyFloat();
    span.height = in.anyFloat();
    span.columns = in.below(14);
    dent::PanelShape shape{};
    shape.sign = (mode & 2) ? -1.0f : 1.0f;
    if (mode & 4) shape.sign = in.anyFloat();
    shape.start = scaled ? in.scaled() : in.anyFloat();
    shape.length = scaled ? in.scaled() : in.anyFloat();
    shape.crease = scaled ? float(in.below(101)) / 100.0f : in.anyFloat();

    dent::PanelLattice lattice;
    lattice.init(span, shape);
    std::vector<dent::Vec> positions = lattice.points;
    if (mode & 8) positions.resize(in.below(std::uint32_t(positions.size()) + 1));
    for (dent::Vec& p : positions) {
        const std::uint8_t what = in.byte();
        if (what % 4 == 1) p = p + in.anyVec();
        else if (what % 4 >= 2) p = p + in.scaledVec() * 0.01f;
    }
    if (mode & 16) lattice.keepOrdered(positions);

    const dent::PanelLighting lighting(lattice, positions, shape);
    FUZZ_CHECK(lighting.sides[0].size() == lattice.sheet.size());
    FUZZ_CHECK(lighting.sides[1].size() == lattice.sheet.size());

    for (int k = 0; k < 16 && !in.empty(); ++k) {
        const dent::Vec rest = (in.byte() & 1) ? in.scaledVec() : in.anyVec();
        dent::Vec restNormal = (in.byte() & 1) ? dent::normalized(in.scaledVec()) : in.anyVec();
        const int side = int(in.byte()) - 128;
        const dent::Vec n = lighting.normal(lattice, rest, restNormal, side);
        if (dent::isFinite(restNormal)) {
            FUZZ_CHECK(dent::isFinite(n));
            const float l = dent::length(n);
            FUZZ_CHECK(n == restNormal || l == 0.0f || std::fabs(l - 1.0f) <= 0.0001f);
        }
    }
    return 0;
}
