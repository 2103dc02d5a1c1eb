#include "orchestration/hit_processing.h"

#include "dent/body_frame.h"
#include "dent/impact.h"
#include "game/contact_capture.h"
#include "game/handled_vehicle.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "game/readable_range.h"
#include "game/rear_lights.h"
#include "game/registry.h"
#include "mesh/deform_atomic.h"
#include "mesh/hit_context.h"
#include "plugin/log.h"
#include "plugin/settings.h"

#include <cmath>
#include <cstring>

namespace orchestration {

namespace {

constexpr std::size_t kRenderObjectFieldsSpan = game::RenderObjectFrame + sizeof(std::uint32_t);

void logHit(const game::TrackedVehicle& record, const void* vehicle, bool isPlayer,
            const dent::Contact& contact, const dent::Response& response, float healthDrop,
            const mesh::HitContext& hit) {
    plugin::logFormat(320,
                      "Hit: actor=%s handle=%d model=%d episode=%u impact=%.4f impulse=%.1f "
                      "mass=%.1f speedAfter=%.4f healthLoss=%.1f depth=%.3f radius=%.3f "
                      "piece=%u meshes=%u visited=%u",
                      isPlayer ? "player" : "npc", static_cast<int>(record.handle),
                      game::modelIndex(vehicle), static_cast<unsigned>(record.episode.serial),
                      static_cast<double>(response.impact), static_cast<double>(contact.impulse),
                      static_cast<double>(game::vehicleMass(vehicle)),
                      static_cast<double>(dent::length(game::vehicleMoveSpeed(vehicle))),
                      static_cast<double>(healthDrop), static_cast<double>(hit.depth),
                      static_cast<double>(hit.radius), static_cast<unsigned>(contact.piece),
                      static_cast<unsigned>(hit.meshes), static_cast<unsigned>(hit.visited));
}

void hit(void* vehicle, bool isPlayer, bool resetRequested, void* playerVehicle) {
    game::Registry* reg = game::registry();
    if (reg == nullptr || !game::handledVehicle(vehicle)) return;
    void* ro = game::renderObject(vehicle);
    if (!game::readableRange(ro, kRenderObjectFieldsSpan)) return;
    game::TrackedVehicle* record = game::findRecord(*reg, vehicle);
    if (record != nullptr && resetRequested) {
        game::resetRecord(*record);
        plugin::logLine("Player deformation reset.");
        return;
    }

    const float healthDrop = record != nullptr ? record->healthDrop : 0.0f;
    const float health = game::vehicleHealth(vehicle);
    // A wrecked car gets no dents.
    if (!std::isfinite(health) || !std::isfinite(healthDrop) || !(health > 0.0f)) return;
    // The game takes no damage from collisions on such a car; no dents either.
    if (game::collisionProof(vehicle)) return;

    const std::int32_t handle = game::vehicleRef(vehicle);
    const dent::Contact* queued = game::contactQueue.find(vehicle, handle, ro);
    if (queued == nullptr) return;
    const dent::Contact contact = *queued;
    const plugin::Settings& s = plugin::settings();
    // Sized at capture, with this frame's mass.
    const dent::Response response = contact.response;
    if (!(response.depth > 0.0f)) return;

    // The contact was stored in the body frame; the dent lands where the body
    // was struck, wherever the car has moved since.
    void* frame = game::renderObjectFrame(ro);
    if (frame == nullptr) return;
    const void* ltm = game::frameLTM(frame);
    if (ltm == nullptr) return;
    dent::BodyMatrix m;
    std::memcpy(&m, ltm, sizeof m);
    if (!dent::isSaneMatrix(m)) return;

    const std::uint32_t now = game::hostClock();
    if (record == nullptr) {
        if (!game::makeRoom(*reg, playerVehicle, now)) return;
        record = game::createRecord(*reg, vehicle, now);
        if (record == nullptr) return;
    }
    record->lastHitTime = now;
    if (!record->episode.observe(contact.point, contact.normal, response, now, s.contactGapMs))
        return;

    // Rear lights that the dent reaches are judged here, before the meshes.
    game::rearLights(vehicle, record->episode, isPlayer);

    const dent::Episode& e = record->episode;
    mesh::HitContext context{};
    context.record = record;
    context.worldPoint = dent::toWorldPoint(m, e.point);
    context.worldNormal = dent::toWorldDirection(m, e.normal);
    context.depth = e.depth;
    context.radius = e.radius;
    context.serial = e.serial;

    plugin::phase("hit: enumerate atomics");
    game::atomics(record->renderObject, &mesh::deformAtomic, &context);
    if (context.visited == 0)
        plugin::logLine("Geometry traversal returned no atomics; no visual deformation applied.");
    plugin::phase("hit: complete; returning to game");

    if (s.logHits) logHit(*record, vehicle, isPlayer, contact, response, healthDrop, context);
}

} // namespace

void processHit(void* vehicle, bool isPlayer, bool resetRequested, void* playerVehicle) {
    try {
        hit(vehicle, isPlayer, resetRequested, playerVehicle);
    } catch (...) {
        // Never unwind into the frame hook; the record keeps whatever its
        // owners completed.
        plugin::logFormat(256, "Hit processing failed during \"%s\"; vehicle skipped.",
                          plugin::currentPhase());
    }
}

} // namespace orchestration
