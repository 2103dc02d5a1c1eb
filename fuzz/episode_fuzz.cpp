// Dent episodes fed random contact sequences: invalid contacts change
// nothing, an open episode's serial is never 0 and only moves on by one,
// depth and radius stay positive, finite and never shrink within an episode,
// and "grew" is reported exactly when they grew.

#include "dent/episode.h"
#include "dent/impact.h"
#include "fuzz_input.h"

#include <cmath>
#include <cstring>

namespace {

bool sameBits(const void* a, const void* b, std::size_t n) {
    return std::memcmp(a, b, n) == 0;
}

// Field by field: the record's padding is not part of its state.
bool same(const dent::Episode& a, const dent::Episode& b) {
    return sameBits(&a.point, &b.point, sizeof a.point) &&
           sameBits(&a.normal, &b.normal, sizeof a.normal) &&
           sameBits(&a.depth, &b.depth, sizeof a.depth) &&
           sameBits(&a.radius, &b.radius, sizeof a.radius) && a.serial == b.serial &&
           a.lastMs == b.lastMs && a.open == b.open;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    dent::Episode e{};
    if (in.byte() & 1) e.serial = UINT32_MAX - in.below(2); // about to wrap
    std::uint32_t now = in.u32();
    const dent::ImpactConfig config{0.04f, 0.65f, 1.0f, 1.15f, 0.65f, 1.1f, 2.25f};
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        const dent::Vec point = (op & 1) ? in.anyVec() : in.scaledVec() * 0.05f;
        const dent::Vec normal = (op & 2) ? in.anyVec() : in.scaledVec();
        dent::Response r{};
        if (op & 4) {
            r = dent::response(in.anyFloat(), in.anyFloat(), config);
            FUZZ_CHECK(std::isfinite(r.depth) && std::isfinite(r.radius) && r.depth >= 0.0f &&
                       r.radius >= 0.0f);
        } else {
            r.depth = in.anyFloat();
            r.radius = in.anyFloat();
        }
        now += (op & 8) ? in.u32() : in.below(250);
        const std::uint32_t gap = 50 + in.below(200) * 5;

        const dent::Episode before = e;
        const bool grew = e.observe(point, normal, r, now, gap);
        const bool usable = dent::isFinite(point) && dent::isFinite(normal) &&
                            std::isfinite(dent::length(normal)) && dent::length(normal) >= 0.001f &&
                            std::isfinite(r.depth) && r.depth > 0.0f && std::isfinite(r.radius) &&
                            r.radius > 0.0f;
        if (!usable) {
            FUZZ_CHECK(!grew);
            FUZZ_CHECK(same(before, e));
            continue;
        }
        FUZZ_CHECK(e.open && e.serial != 0 && e.lastMs == now);
        FUZZ_CHECK(std::isfinite(e.depth) && std::isfinite(e.radius) && e.depth > 0.0f &&
                   e.radius > 0.0f);
        FUZZ_CHECK(std::fabs(dent::length(e.normal) - 1.0f) <= 0.001f);
        if (e.serial == before.serial && before.open) {
            FUZZ_CHECK(e.depth >= before.depth && e.radius >= before.radius);
            FUZZ_CHECK(grew == (e.depth > before.depth + 0.00001f || e.radius > before.radius + 0.00001f));
            FUZZ_CHECK(e.point == before.point);
        } else {
            FUZZ_CHECK(e.serial == (before.serial == UINT32_MAX ? 1u : before.serial + 1u));
            FUZZ_CHECK(e.point == point && e.depth == r.depth && e.radius == r.radius);
        }
    }
    return 0;
}
