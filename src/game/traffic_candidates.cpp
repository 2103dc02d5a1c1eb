#include "game/traffic_candidates.h"

#include "dent/impact.h"
#include "game/contact_capture.h"
#include "game/handled_vehicle.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "game/readable_range.h"
#include "plugin/log.h"

#include <algorithm>
#include <cstdint>

namespace game {

namespace {

constexpr std::int32_t kMaxPoolSlots = 10000;
constexpr std::size_t kPoolFieldsSpan = PoolSize + sizeof(std::int32_t);

// The entity that the player's vehicle references at 0x110, or null.
const void* playerLink(const void* playerVehicle) {
    if (playerVehicle == nullptr ||
        !readableRange(playerVehicle, VehicleEntityRef + sizeof(std::uint32_t)))
        return nullptr;
    return vehicleEntityRef(playerVehicle);
}

void collect(std::vector<dent::TrafficCandidate>& out, dent::Vec reference,
             const void* playerVehicle, const plugin::Settings& s) {
    const void* pool = vehiclePool();
    if (pool == nullptr || !readableRange(pool, kPoolFieldsSpan)) return;
    const std::uint8_t* flags = poolFlags(pool);
    const std::int32_t count = poolSize(pool);
    if (flags == nullptr || count < 1 || count > kMaxPoolSlots) return;
    if (!readableRange(flags, static_cast<std::size_t>(count))) return;
    if (contactQueue.count == 0) return; // no vehicle was struck this frame

    const void* linked = playerLink(playerVehicle);
    for (std::int32_t i = 0; i < count; ++i) {
        const auto flag = static_cast<std::int8_t>(flags[i]);
        if (flag < 0) continue; // free slot
        const std::int32_t handle = i * 256 + flag;
        void* v = game::vehicleByRef(handle);
        if (v == nullptr || v == playerVehicle) continue;
        // Vehicles not struck this frame cost no host read at all.
        if (!contactQueue.holds(v) || !handledVehicle(v)) continue;
        void* ro = renderObject(v);
        const dent::Vec position = entityPosition(v);
        if (!dent::isFinite(position) || !dent::inTrafficRange(position, reference, s.npcRange))
            continue;
        const dent::Contact* c = contactQueue.find(v, handle, ro);
        if (c == nullptr) continue;
        if (!(c->response.depth > 0.0f)) continue;
        const dent::Vec d = position - reference;
        out.push_back({v, dent::dot(d, d), v == linked, handle});
    }
}

} // namespace

std::vector<dent::TrafficCandidate> buildTrafficCandidates(dent::Vec reference,
                                                           const void* playerVehicle,
                                                           const plugin::Settings& settings) {
    std::vector<dent::TrafficCandidate> list;
    try {
        list.reserve(16);
        collect(list, reference, playerVehicle, settings);
    } catch (...) {
        plugin::logLine("Traffic selection could not grow its list; serving what was found.");
    }
    std::sort(list.begin(), list.end(), dent::trafficPriority);
    return list;
}

bool trafficStruck(const void* playerVehicle) {
    constexpr std::uint32_t capacity = sizeof contactQueue.entries / sizeof contactQueue.entries[0];
    const std::uint32_t used = std::min(contactQueue.count, capacity);
    for (std::uint32_t i = 0; i < used; ++i)
        if (contactQueue.entries[i].vehicle != playerVehicle) return true;
    return false;
}

} // namespace game
