#pragma once

// What the game would draw of one car at this moment, read straight from the
// host records: every atomic's current geometry (the game's own or the
// plug-in's copy) with its positions, normals, prelit colours, texture
// coordinates, triangles and material colours, and where the atomic sits in
// the car's body frame.

#include <map>
#include <string>

#include "lab/snapshot.h"
#include "sim/host.h"

namespace lab {

// `sources` maps each atomic of the car to the geometry it was built with.
SnapshotCar readCar(sim::Host& host, const std::string& name, void* vehicle,
                    const std::map<void*, void*>& sources);

// The name of a frame as the game keeps it (bounded).
std::string frameName(const void* frame);

// The highest point of `geometry` in the car's body frame, drawn by `atomic`
// (0 for a geometry without positions): how far a panel rose.
float highestBodyZ(void* atomic, void* geometry);

} // namespace lab
