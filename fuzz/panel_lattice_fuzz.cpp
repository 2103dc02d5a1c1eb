// The panel lattice on random and degenerate spans and shapes, fed rounds of
// hostile positions: keepOrdered() never lets an ordered lattice become
// disordered, sample() always answers valid indices and usable weights, and
// moving a lattice leaves the source empty.

#include "dent/panel_lattice.h"
#include "fuzz_input.h"

#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace {

void checkSample(const dent::PanelLattice& lattice, dent::Vec p, std::size_t near[2]) {
    const dent::LatticeSample s = lattice.sample(p);
    // Starting the search at the cell of the point before gives the same bits
    // on every lattice whose lines ascend.
    if (lattice.linesAscend()) {
        const dent::LatticeSample fromNear = lattice.sampleNear(p, near);
        FUZZ_CHECK(std::memcmp(&s, &fromNear, sizeof s) == 0);
    }
    float sum = 0.0f;
    for (int k = 0; k < 3; ++k) {
        FUZZ_CHECK(std::isfinite(s.weight[k]));
        FUZZ_CHECK(s.weight[k] >= -0.0001f && s.weight[k] <= 1.0001f);
        if (lattice.columnXs.size() >= 2 && lattice.rowYs.size() >= 2)
            FUZZ_CHECK(s.index[k] < lattice.sheet.size());
        sum += s.weight[k];
    }
    FUZZ_CHECK(std::fabs(sum - 1.0f) <= 0.0001f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t mode = in.byte();
    const bool scaled = (mode & 1) != 0;

    dent::SpanFold span{};
    span.from = scaled ? in.scaled() : in.anyFloat();
    span.to = scaled ? in.scaled() : in.anyFloat();
    span.height = scaled ? in.scaled() : in.anyFloat();
    span.columns = in.below(17);
    dent::PanelShape shape{};
    shape.sign = (mode & 2) ? -1.0f : 1.0f;
    if (mode & 4) shape.sign = in.anyFloat();
    shape.start = scaled ? in.scaled() : in.anyFloat();
    shape.length = scaled ? in.scaled() : in.anyFloat();
    shape.crease = scaled ? float(in.below(101)) / 100.0f : in.anyFloat();

    dent::PanelLattice lattice;
    lattice.init(span, shape);
    if (mode & 8) lattice.init(span, shape); // a second init starts over
    const std::size_t count = lattice.sheet.size();
    FUZZ_CHECK(count == lattice.columnXs.size() * lattice.rowYs.size());
    FUZZ_CHECK(lattice.points.size() == count);
    FUZZ_CHECK(lattice.columnXs.size() == std::size_t(span.columns > 0 ? span.columns : 1) + 1);
    for (std::size_t k = 1; k < lattice.rowYs.size(); ++k)
        FUZZ_CHECK(lattice.rowYs[k] - lattice.rowYs[k - 1] > 0.000001f);
    for (float y : lattice.rowYs) FUZZ_CHECK(std::isfinite(y));

    // Rounds of new positions: small moves, wild moves, wrong sizes.
    for (int round = 0; round < 4 && !in.empty(); ++round) {
        const bool orderedBefore = lattice.ordered(lattice.points);
        const std::vector<dent::Vec> before = lattice.points;
        std::vector<dent::Vec> positions = lattice.points;
        const std::uint8_t kind = in.byte();
        if (kind % 8 == 0) {
            positions.resize(in.below(3) == 0 ? 0 : count + 1 + in.below(4));
        }
        for (std::size_t k = 0; k < positions.size() && !in.empty(); ++k) {
            const std::uint8_t what = in.byte();
            if (what % 4 == 0) continue;
            const dent::Vec delta = (what % 4 == 1) ? in.anyVec() : in.scaledVec();
            positions[k] = positions[k] + delta;
        }
        const std::size_t sizeIn = positions.size();
        lattice.keepOrdered(positions);
        FUZZ_CHECK(positions.size() == count);
        FUZZ_CHECK(lattice.points.size() == count);
        for (std::size_t k = 0; k < count; ++k) FUZZ_CHECK(positions[k] == lattice.points[k] ||
                                                           !dent::isFinite(positions[k]));
        if (sizeIn != count) {
            for (std::size_t k = 0; k < count; ++k)
                FUZZ_CHECK(lattice.points[k] == before[k] || !dent::isFinite(before[k]));
        }
        if (orderedBefore) FUZZ_CHECK(lattice.ordered(lattice.points));
        if (lattice.ordered(lattice.points))
            for (const dent::Vec& p : lattice.points)
                if (lattice.columnXs.size() >= 2 && lattice.rowYs.size() >= 2) FUZZ_CHECK(dent::isFinite(p));
    }

    std::size_t near[2] = {in.below(14), in.below(14)};
    for (int k = 0; k < 8 && !in.empty(); ++k) checkSample(lattice, in.anyVec(), near);
    if (!lattice.columnXs.empty() && !lattice.rowYs.empty()) {
        checkSample(lattice, dent::Vec{lattice.columnXs.front(), lattice.rowYs.front(), 0.0f},
                    near);
        checkSample(lattice, dent::Vec{lattice.columnXs.back(), lattice.rowYs.back(), 0.0f}, near);
    }

    dent::PanelLattice moved(std::move(lattice));
    FUZZ_CHECK(lattice.columnXs.empty() && lattice.rowYs.empty() && lattice.sheet.empty() &&
               lattice.points.empty());
    FUZZ_CHECK(moved.sheet.size() == count);
    lattice = std::move(moved);
    FUZZ_CHECK(moved.sheet.empty() && lattice.sheet.size() == count);
    return 0;
}
