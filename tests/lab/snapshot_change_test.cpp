// The demo's before and after snapshots, as the runner wrote them: the parked
// car is drawn exactly as before, and of the struck car only dentable parts
// changed, each now drawn from the plug-in's copy.

#include "lab/snapshot.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool sameDrawing(const lab::SnapshotMesh& a, const lab::SnapshotMesh& b) {
    return a.positions == b.positions && a.normals == b.normals && a.prelit == b.prelit &&
           a.corners == b.corners && a.triangleMaterial == b.triangleMaterial &&
           a.materialColours == b.materialColours;
}

bool excludedPart(const std::string& frame) {
    for (const char* word : {"wheel", "exhaust", "chassis_vlo"})
        if (frame.find(word) != std::string::npos) return true;
    return false;
}

TEST(DemoSnapshots, OnlyTheStruckCarsDentablePartsChange) {
    lab::Snapshot before, after;
    std::string error;
    ASSERT_TRUE(lab::readSnapshot(BW_LAB_DEMO_OUT "/snapshots/before.bwsnap", before, error))
        << error;
    ASSERT_TRUE(lab::readSnapshot(BW_LAB_DEMO_OUT "/snapshots/after.bwsnap", after, error))
        << error;
    ASSERT_EQ(before.cars.size(), 2u);
    ASSERT_EQ(after.cars.size(), 2u);
    EXPECT_LT(before.frame, after.frame);

    int changed = 0;
    for (std::size_t c = 0; c < 2; ++c) {
        const lab::SnapshotCar& b = before.cars[c];
        const lab::SnapshotCar& a = after.cars[c];
        ASSERT_EQ(a.name, b.name);
        ASSERT_EQ(a.meshes.size(), b.meshes.size());
        for (std::size_t m = 0; m < a.meshes.size(); ++m) {
            const lab::SnapshotMesh& mb = b.meshes[m];
            const lab::SnapshotMesh& ma = a.meshes[m];
            ASSERT_EQ(ma.frame, mb.frame);
            EXPECT_TRUE(mb.drawsSource) << mb.frame << " dented before the first strike";
            EXPECT_FALSE(mb.materialColours.empty());
            if (sameDrawing(ma, mb)) {
                EXPECT_TRUE(ma.drawsSource)
                    << a.name << " " << ma.frame << " draws an unchanged copy";
                continue;
            }
            ++changed;
            EXPECT_EQ(a.name, "player") << ma.frame << " of a car never struck changed";
            EXPECT_FALSE(ma.drawsSource) << ma.frame << " changed the game's own geometry";
            EXPECT_FALSE(excludedPart(ma.frame)) << ma.frame << " is never dented";
        }
    }
    // Body, bonnet (both variants), boot, doors: several parts took the three hits.
    EXPECT_GE(changed, 5);
}

} // namespace
