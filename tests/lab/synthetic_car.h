#pragma once

// A small car for the lab's tests, built straight as a snapshot: a gridded
// chassis box, a bonnet sheet on its own frame (with a hidden damaged
// variant) and a low-detail stand-in, all red paint over grey prelit light.
// Every sheet has texture coordinates; the chassis's material names the
// texture "paint" (drawn only where a run has it).

#include "lab/snapshot.h"

namespace labtest {

// `name` placed at `position`, turned by `yawDegrees` about the up axis.
lab::SnapshotCar syntheticCar(const std::string& name, float yawDegrees, float x, float y);
lab::Snapshot syntheticSnapshot(const std::string& label, std::vector<lab::SnapshotCar> cars);

lab::SnapshotMesh& meshNamed(lab::SnapshotCar& car, const std::string& frame);

// Pushes the mesh's vertices within `radius` of `centre` (mesh space) by up
// to `depth` along -`normal`; returns how many moved.
int dent(lab::SnapshotMesh& mesh, const float centre[3], float radius, float depth,
         const float normal[3]);

// A bonnet rebuilt as the plug-in rebuilds one: a finer grid (new vertex
// count) on the same sheet, its far part lifted by `lift` along a crease.
void rebuildBonnet(lab::SnapshotMesh& bonnet, float lift);

} // namespace labtest
