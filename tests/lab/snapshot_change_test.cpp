// Snapshots as the runner wrote them. The demo: the parked car is drawn
// exactly as before, and of the struck car only dentable parts changed, each
// now drawn from the plug-in's copy. F7, the game's repair and a restart each
// put the player's car back on its own geometry.

#include "lab/snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
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

lab::Snapshot load(const std::string& run, const std::string& label) {
    lab::Snapshot s;
    std::string error;
    const std::string path =
        std::string(BW_LAB_OUT) + "/" + run + "/snapshots/" + label + ".bwsnap";
    EXPECT_TRUE(lab::readSnapshot(path, s, error)) << error;
    // What bounds a run's snapshots is their size known before writing.
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    EXPECT_EQ(static_cast<std::uint64_t>(file.tellg()), lab::snapshotFileBytes(s));
    return s;
}

// True when every mesh of the car is drawn from the game's own geometry,
// exactly as in `reference`.
bool asBuilt(const lab::SnapshotCar& car, const lab::SnapshotCar& reference) {
    if (car.meshes.size() != reference.meshes.size()) return false;
    for (std::size_t m = 0; m < car.meshes.size(); ++m)
        if (!car.meshes[m].drawsSource || !sameDrawing(car.meshes[m], reference.meshes[m]))
            return false;
    return true;
}

TEST(Snapshots, OnlyTheStruckCarsDentablePartsChange) {
    const lab::Snapshot before = load("demo", "before"), after = load("demo", "after");
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
            // The game lights the copy with what it lit the part with.
            EXPECT_TRUE(ma.hasSurface && mb.hasSurface) << ma.frame;
            EXPECT_TRUE(std::equal(ma.surface, ma.surface + 3, mb.surface)) << ma.frame;
        }
    }
    // Body, bonnet (both variants), boot, doors: several parts took the three hits.
    EXPECT_GE(changed, 5);
}

TEST(Snapshots, ResetRepairAndRestartGiveTheGeometryBack) {
    const lab::Snapshot before = load("reset", "before");
    ASSERT_EQ(before.cars.size(), 2u);
    const lab::Snapshot dented = load("reset", "dented");
    const lab::Snapshot f7 = load("reset", "after-f7");
    const lab::Snapshot repaired = load("reset", "repaired");
    const lab::Snapshot restarted = load("reset", "restarted");
    for (const lab::Snapshot* s : {&dented, &f7, &repaired, &restarted})
        ASSERT_EQ(s->cars.size(), 2u);
    EXPECT_FALSE(asBuilt(dented.cars[0], before.cars[0]));
    EXPECT_FALSE(asBuilt(dented.cars[1], before.cars[1]));
    EXPECT_TRUE(asBuilt(f7.cars[0], before.cars[0])) << "F7 restores the player's car";
    EXPECT_FALSE(asBuilt(f7.cars[1], before.cars[1])) << "F7 leaves other cars dented";
    EXPECT_TRUE(asBuilt(repaired.cars[0], before.cars[0])) << "the game's repair restores the car";
    EXPECT_TRUE(asBuilt(restarted.cars[0], before.cars[0]));
    EXPECT_TRUE(asBuilt(restarted.cars[1], before.cars[1]));
}

} // namespace
