// The soak's proof that sources stay untouched: any byte the plug-in could
// write, in either of two sources built alike, is noticed.

#include "source_images.h"

#include "game/host_layout.h"
#include "sim/host.h"

#include <gtest/gtest.h>

namespace {

void* builtAlike(sim::Host& host) {
    void* g = host.createGeometry(4, 2, game::FormatPositions | game::FormatNormals);
    auto* p = static_cast<float*>(game::morphPositions(game::morphTarget(g, host.morphOffset())));
    for (int i = 0; i < 12; ++i) p[i] = 0.25f * static_cast<float>(i);
    auto* t = static_cast<game::Triangle*>(game::triangles(g));
    t[0] = {{0, 1, 2}, 0};
    t[1] = {{0, 2, 3}, 0};
    return g;
}

TEST(SourceImages, NoticesAnyChangeToASourceOfEitherCar) {
    sim::Host host;
    ASSERT_TRUE(host.ok());
    void* a = builtAlike(host);
    void* b = builtAlike(host);
    soak::SourceImages images;
    images.remember(a);
    images.remember(b); // shares a's image
    void* morph = game::morphTarget(b, host.morphOffset());
    auto bytes = [&](int which) -> unsigned char* {
        if (which == 0) return static_cast<unsigned char*>(game::morphPositions(morph)) + 47;
        if (which == 1) return static_cast<unsigned char*>(game::morphNormals(morph));
        if (which == 2) return game::bytesAt(b, game::GeometrySurfaceProperties) + 11;
        return static_cast<unsigned char*>(game::triangles(b)) + 15;
    };
    for (int which = 0; which < 4; ++which) {
        SCOPED_TRACE(which);
        *bytes(which) ^= 1;
        EXPECT_FALSE(images.unchanged(b));
        EXPECT_TRUE(images.unchanged(a));
        *bytes(which) ^= 1;
        EXPECT_TRUE(images.unchanged(b));
    }
    game::setField<std::int32_t>(b, game::GeometryVertexCount, 3);
    EXPECT_FALSE(images.unchanged(b));
    game::setField<std::int32_t>(b, game::GeometryVertexCount, 4);
    EXPECT_TRUE(images.forget(b));
    EXPECT_FALSE(images.forget(b));
    *bytes(0) ^= 1;
    EXPECT_TRUE(images.unchanged(b)); // no longer watched
    host.releaseGeometry(a);
    host.releaseGeometry(b);
}

} // namespace
