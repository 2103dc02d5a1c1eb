#pragma once

// The traffic vehicles struck hard enough in this frame near the player, in
// the order in which they get their hits.

#include "dent/traffic.h"
#include "dent/vec.h"
#include "plugin/settings.h"

#include <vector>

namespace game {

// Walks the vehicle pool once: handled vehicles (game::handledVehicle) within
// NPCRange of `reference` that have a contact in this frame's queue strong
// enough to dent, never `playerVehicle`; sorted by dent::trafficPriority.
// Empty for a pool that looks wrong. Never throws: a list that cannot grow
// ends the walk and what was found is returned.
std::vector<dent::TrafficCandidate> buildTrafficCandidates(dent::Vec reference,
                                                           const void* playerVehicle,
                                                           const plugin::Settings& settings);

// True when this frame's queue holds a contact on a vehicle other than
// `playerVehicle`: traffic was struck (no host read).
bool trafficStruck(const void* playerVehicle);

} // namespace game
