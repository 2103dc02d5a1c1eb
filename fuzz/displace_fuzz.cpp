// The dent rule on random points and dents: for finite input a point never
// ends farther than maxTotal from its rest position nor goes non-finite,
// invalid dents change nothing, and the array form matches the single form
// bit for bit.

#include "dent/displace.h"
#include "fuzz_input.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

float scalar(fuzz::Input& in, bool scaled) {
    return scaled ? std::fabs(in.scaled()) : in.anyFloat();
}

bool sameBits(dent::Vec a, dent::Vec b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t mode = in.byte();
    const bool scaled = (mode & 1) != 0;
    const dent::Vec contact = scaled ? in.scaledVec() : in.anyVec();
    const dent::Vec direction = (mode & 2) ? in.anyVec() : in.scaledVec();
    const float depth = scalar(in, scaled);
    const float radius = scalar(in, scaled);
    const float previousDepth = (mode & 4) ? scalar(in, scaled) : 0.0f;
    const float previousRadius = (mode & 4) ? scalar(in, scaled) : 0.0f;
    const float maxTotal = scalar(in, scaled);
    const float power = scalar(in, scaled);
    const bool dentValid = dent::isFinite(contact) && dent::isFinite(direction) &&
                           std::isfinite(depth) && std::isfinite(radius) &&
                           std::isfinite(previousDepth) && std::isfinite(previousRadius) &&
                           std::isfinite(maxTotal) && std::isfinite(power) && depth > 0.0f &&
                           radius > 0.0f && maxTotal > 0.0f && power > 0.0f;

    std::vector<dent::Vec> rest, current;
    while (!in.empty() && rest.size() < 64) {
        const std::uint8_t what = in.byte();
        const dent::Vec r = (what & 1) ? in.anyVec() : in.scaledVec();
        dent::Vec c = r;
        if (what & 2) c = c + ((what & 4) ? in.anyVec() : in.scaledVec() * 0.01f);
        if (what & 8) c = in.anyVec();
        rest.push_back(r);
        current.push_back(c);
    }

    std::vector<dent::Vec> batch = current;
    dent::dentVertices(rest.data(), batch.data(), batch.size(), contact, direction, depth, radius,
                       previousDepth, previousRadius, maxTotal, power);
    for (std::size_t k = 0; k < rest.size(); ++k) {
        const dent::Vec single = dent::displaceImpact(rest[k], current[k], contact, direction, depth,
                                                      radius, previousDepth, previousRadius,
                                                      maxTotal, power);
        FUZZ_CHECK(sameBits(single, batch[k]));
        const bool pointFinite = dent::isFinite(rest[k]) && dent::isFinite(current[k]);
        if (!dentValid || !pointFinite) {
            FUZZ_CHECK(sameBits(single, current[k]));
            continue;
        }

        // Rounding of rest + offset is the only slack beyond maxTotal, apart
        // from offsets below about 1e-19, whose squares underflow.
        const double dx = double(single.x) - rest[k].x, dy = double(single.y) - rest[k].y,
                     dz = double(single.z) - rest[k].z;
        const double scale = std::fabs(double(rest[k].x)) + std::fabs(double(rest[k].y)) +
                             std::fabs(double(rest[k].z));
        const double moved = std::sqrt(dx * dx + dy * dy + dz * dz);
        if (!dent::isFinite(single) || !(moved <= double(maxTotal) * (1.0 + 1e-5) + scale * 1e-6 + 1e-18)) {
            std::fprintf(stderr,
                         "rest %.9g %.9g %.9g current %.9g %.9g %.9g result %.9g %.9g %.9g\n"
                         "contact %.9g %.9g %.9g direction %.9g %.9g %.9g depth %.9g radius %.9g "
                         "previous %.9g %.9g maxTotal %.9g power %.9g moved %.9g\n",
                         rest[k].x, rest[k].y, rest[k].z, current[k].x, current[k].y,
                         current[k].z, single.x, single.y, single.z, contact.x, contact.y,
                         contact.z, direction.x, direction.y, direction.z, depth, radius,
                         previousDepth, previousRadius, maxTotal, power, moved);
            FUZZ_CHECK(!"non-finite or farther than maxTotal from rest");
        }
    }
    return 0;
}
