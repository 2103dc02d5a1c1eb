// The pictures tell the truth: a change to a snapshot changes the drawn
// picture where the change is, and nowhere else.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "lab/report/render.h"
#include "synthetic_car.h"

namespace {

struct Region {
    float left = 1e9f, top = 1e9f, right = -1e9f, bottom = -1e9f;
};

// Where the triangles of `mesh` that touch a vertex for which `changed` holds
// are drawn, in `car`'s placement, before or after.
Region drawnRegion(const lab::Camera& cam, const lab::SnapshotCar& car,
                   const lab::SnapshotMesh& mesh, const std::vector<bool>& changed) {
    Region r;
    for (std::uint32_t t = 0; t < mesh.triangleCount(); ++t) {
        const std::uint16_t* c = &mesh.corners[3 * t];
        if (!changed[c[0]] && !changed[c[1]] && !changed[c[2]]) continue;
        for (int k = 0; k < 3; ++k) {
            float body[3], world[3], x, y;
            lab::transformPoint(mesh.toBody, &mesh.positions[3 * c[k]], body);
            lab::transformPoint(car.placement, body, world);
            if (!lab::projectToPixel(cam, world, x, y)) continue;
            r = {std::min(r.left, x), std::min(r.top, y), std::max(r.right, x),
                 std::max(r.bottom, y)};
        }
    }
    return r;
}

Region unite(Region a, Region b) {
    return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
            std::max(a.bottom, b.bottom)};
}

struct Difference {
    int inside = 0, outside = 0;
};

// Pixels that differ, counted inside and outside `region` (widened by the
// two pixels an averaged-down edge may bleed).
Difference compare(const lab::Image& a, const lab::Image& b, Region region) {
    Difference d;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x) {
            const std::size_t at = (static_cast<std::size_t>(y) * a.width + x) * 4;
            int delta = 0;
            for (int c = 0; c < 3; ++c)
                delta = std::max(delta, std::abs(a.rgba[at + c] - b.rgba[at + c]));
            if (delta <= 2) continue;
            const bool in = x >= region.left - 2 && x <= region.right + 2 && y >= region.top - 2 &&
                            y <= region.bottom + 2;
            ++(in ? d.inside : d.outside);
        }
    return d;
}

class PictureTest : public ::testing::Test {
  protected:
    lab::Image draw(const lab::Snapshot& s, const lab::Camera& cam, bool lightsBroken = false) {
        lab::Image image;
        std::string error;
        EXPECT_TRUE(renderer.draw(lab::buildScene(s, cars, lightsBroken), cam, image, error))
            << error;
        return image;
    }
    lab::OffscreenRenderer renderer;
    lab::Snapshot rest =
        labtest::syntheticSnapshot("before", {labtest::syntheticCar("player", 30.0f, 10.0f, 5.0f)});
    std::vector<lab::CarFacts> cars = {{"player", 90, false, {}, {2}}};
    lab::Camera front = lab::frameCamera(rest, lab::fixedViews()[0], 480, 300);
};

TEST_F(PictureTest, ADentChangesTheAfterPictureWhereTheDentIsAndNowhereElse) {
    lab::Snapshot after = rest;
    lab::SnapshotMesh& chassis = labtest::meshNamed(after.cars[0], "chassis_hi");
    const float corner[3] = {0.9f, 1.9f, 0.2f}, inward[3] = {1, 0, 0};
    ASSERT_GT(labtest::dent(chassis, corner, 0.35f, 0.12f, inward), 10);

    const lab::SnapshotMesh& restChassis = labtest::meshNamed(rest.cars[0], "chassis_hi");
    std::vector<bool> moved(chassis.vertexCount());
    for (std::size_t v = 0; v < moved.size(); ++v)
        for (int k = 0; k < 3; ++k)
            moved[v] = moved[v] || chassis.positions[3 * v + k] != restChassis.positions[3 * v + k];
    const Region region = unite(drawnRegion(front, rest.cars[0], restChassis, moved),
                                drawnRegion(front, after.cars[0], chassis, moved));

    const Difference d = compare(draw(rest, front), draw(after, front), region);
    EXPECT_GT(d.inside, 20);
    EXPECT_EQ(d.outside, 0);
}

TEST_F(PictureTest, RelitNormalsShowWithoutAnyVertexMoving) {
    // A crease relights the far half of the bonnet: same positions, tilted normals.
    lab::Snapshot after = rest;
    lab::SnapshotMesh& bonnet = labtest::meshNamed(after.cars[0], "bonnet_hi_ok");
    std::vector<bool> relit(bonnet.vertexCount());
    for (std::uint32_t v = 0; v < bonnet.vertexCount(); ++v) {
        if (bonnet.positions[3 * v + 1] <= 0.6f) continue;
        relit[v] = true;
        bonnet.normals[3 * v + 1] = 0.5f;
        bonnet.normals[3 * v + 2] = 0.866f;
    }
    const Region region = drawnRegion(front, after.cars[0], bonnet, relit);
    const Difference d = compare(draw(rest, front), draw(after, front), region);
    EXPECT_GT(d.inside, 100);
    EXPECT_EQ(d.outside, 0);
}

TEST_F(PictureTest, ABrokenRearLightShowsFromBehindOnly) {
    const lab::Camera rear = lab::frameCamera(rest, lab::fixedViews()[1], 320, 200);
    const Difference behind = compare(draw(rest, rear, false), draw(rest, rear, true), {});
    EXPECT_GT(behind.outside, 20); // the empty region: every changed pixel counts as outside
    const Difference ahead = compare(draw(rest, front, false), draw(rest, front, true), {});
    EXPECT_EQ(ahead.outside, 0);
}

// Pixels whose green stands out: the test texture's colour, which the red
// paint does not have.
int greenPixels(const lab::Image& image) {
    int n = 0;
    for (std::size_t at = 0; at < image.rgba.size(); at += 4)
        n += image.rgba[at + 1] > image.rgba[at] + 40 &&
             image.rgba[at + 1] > image.rgba[at + 2] + 40;
    return n;
}

TEST_F(PictureTest, AMaterialsTextureIsDrawnWhereTheRunHasIt) {
    // White paint, so that the texture alone colours the chassis.
    labtest::meshNamed(rest.cars[0], "chassis_hi").materialColours = {255, 255, 255, 255};
    lab::RunTexture paint;
    paint.name = "paint";
    paint.width = paint.height = 2;
    for (int i = 0; i < 4; ++i)
        paint.rgba.insert(paint.rgba.end(), {40, 220, 60, 255});
    const std::vector<lab::RunTexture> textures = {paint};
    lab::Image plain, textured, heat;
    std::string error;
    ASSERT_TRUE(renderer.draw(lab::buildScene(rest, cars, false), front, plain, error)) << error;
    ASSERT_TRUE(renderer.draw(lab::buildScene(rest, cars, false, nullptr, 1.0f, &textures), front,
                              textured, error))
        << error;
    lab::Displacement none;
    ASSERT_TRUE(renderer.draw(lab::buildScene(rest, cars, false, &none, 1.0f, &textures), front,
                              heat, error))
        << error;
    EXPECT_EQ(greenPixels(plain), 0);
    EXPECT_GT(greenPixels(textured), 5000) << "the chassis is drawn in its texture's colour";
    EXPECT_EQ(greenPixels(heat), 0) << "the heat map colours by displacement alone";
}

TEST(HeatMap, MeasuresVertexByVertexOrAgainstTheRestSurfaceOfARebuiltPanel) {
    const lab::Snapshot rest =
        labtest::syntheticSnapshot("before", {labtest::syntheticCar("player", 0, 0, 0)});
    lab::Snapshot after = rest;
    lab::SnapshotMesh& chassis = labtest::meshNamed(after.cars[0], "chassis_hi");
    const float corner[3] = {0.9f, 1.9f, 0.2f}, inward[3] = {1, 0, 0};
    const int moved = labtest::dent(chassis, corner, 0.35f, 0.12f, inward);
    labtest::rebuildBonnet(labtest::meshNamed(after.cars[0], "bonnet_hi_ok"), 0.15f);

    const lab::Displacement d = lab::measureDisplacement(rest, after);
    const lab::MeshDisplacement& c = d.cars[0][0];
    EXPECT_TRUE(c.sameVertices);
    EXPECT_NEAR(c.largest, 0.12f, 0.01f);
    EXPECT_LE(c.displaced, static_cast<std::uint32_t>(moved));
    EXPECT_GT(c.displaced, 0u);

    // The rebuilt bonnet has other vertices: those still on the rest sheet
    // (its start and its end) measure zero, the crease its lift.
    const lab::MeshDisplacement& b = d.cars[0][1];
    const lab::SnapshotMesh& rebuilt = after.cars[0].meshes[1];
    ASSERT_FALSE(b.sameVertices);
    ASSERT_TRUE(b.matched);
    for (std::uint32_t v = 0; v < rebuilt.vertexCount(); ++v) {
        const float y = rebuilt.positions[3 * v + 1];
        if (y < 1e-4f || y > 1.2f - 1e-4f) {
            EXPECT_LT(b.distance[v], 1e-4f) << v;
        } else if (std::fabs(y - 0.6f) < 1e-4f) {
            EXPECT_NEAR(b.distance[v], 0.15f, 1e-3f) << v;
        }
    }
    EXPECT_EQ(d.dentedMeshes, 2u); // the hidden damaged variant and the low-detail box do not count
    EXPECT_EQ(d.largestFrame, "bonnet_hi_ok");
}

} // namespace
