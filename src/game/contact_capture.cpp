#include "game/contact_capture.h"

#include "dent/body_frame.h"
#include "dent/impact.h"
#include "game/frame_state.h"
#include "game/handled_vehicle.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "game/readable_range.h"
#include "plugin/log.h"
#include "plugin/settings.h"

#include <cmath>
#include <cstring>

namespace game {

dent::ContactQueue<256> contactQueue;
PairContactFn pairContactOriginal = nullptr;
SingleContactFn singleContactOriginal = nullptr;

namespace {

constexpr float kMaxContactDistance = 12.0f;
constexpr float kMinNormalLength = 0.01f;
constexpr float kUnderbodyHeight = -0.15f;
constexpr float kUnderbodyVertical = 0.75f;

// Copies the host's collision point record before the host runs; an
// implausible pointer leaves the copy zeroed (and the capture then finds a
// zero normal and records nothing).
void copyCollisionPoint(const void* source, unsigned char (&copy)[ColPointSize]) {
    std::memset(copy, 0, sizeof copy);
    if (readableRange(source, sizeof copy)) std::memcpy(copy, source, sizeof copy);
}

// Reads a float the host wrote through a reference argument.
bool readImpulse(const float* impulse, float* out) {
    if (!readableRange(impulse, sizeof(float))) return false;
    std::memcpy(out, impulse, sizeof(float));
    return true;
}

dent::BodyMatrix placementMatrix(const void* entity) {
    dent::BodyMatrix m{};
    m.right = entityMatrixRow(entity, 0);
    m.forward = entityMatrixRow(entity, 1);
    m.up = entityMatrixRow(entity, 2);
    m.position = entityMatrixRow(entity, 3);
    return m;
}

// A contact refused because a record could not be read, not for what it
// says, is a hit lost to a failure. `failed` counts the queries that failed
// in the detour's own work (the copy before the host's call, the captures
// after it), whatever ran inside the host's call.
void noteLostContact(std::uint32_t failed) {
    if (failed != 0 && captureOpen && !shuttingDown)
        plugin::logLoss("Hit dropped: a collision could not be read.");
}

} // namespace

void captureContact(void* entity, const unsigned char* collisionPoint, bool secondBody,
                    float impulse) {
    if (entity == nullptr || collisionPoint == nullptr) return;
    if (shuttingDown || !captureOpen) return;
    if (vehiclePool() == nullptr) return;
    // Any entity may collide; the check's readable range covers the type
    // byte and every field read below.
    if (!handledVehicle(entity) || entityType(entity) != EntityTypeVehicle) return;
    void* const object = renderObject(entity);

    if (!dent::isPositiveFinite(impulse)) return;
    // Sized once, here: weak contacts are dropped before any matrix work, and
    // hit processing and traffic selection use the same response later.
    const dent::Response response =
        dent::response(impulse, vehicleMass(entity), plugin::settings().impact);
    if (!(response.depth > 0.0f)) return;

    const dent::BodyMatrix m = placementMatrix(entity);
    if (!dent::isSaneMatrix(m)) return;

    const dent::Vec worldPoint = vecField(collisionPoint, ColPointPosition);
    dent::Vec worldNormal = vecField(collisionPoint, ColPointNormal);
    if (!dent::isFinite(worldPoint) || !dent::isFinite(worldNormal)) return;

    const dent::Vec p = dent::toBodyFrame(m, worldPoint);
    if (dent::length(p) > kMaxContactDistance) return;

    if (secondBody) worldNormal = worldNormal * -1.0f;
    dent::Vec n = dent::toBodyDirection(m, worldNormal);
    if (!(dent::length(n) >= kMinNormalLength)) return;
    n = dent::normalized(n);
    // The stored normal never points away from the body's origin.
    if (dent::dot(p, n) > 0.0f) n = n * -1.0f;

    // Low under the body with a mostly vertical normal: the car resting on or
    // scraping the ground, which leaves no dent.
    if (p.z < kUnderbodyHeight && std::fabs(n.z) > kUnderbodyVertical) return;

    const std::int32_t handle = game::vehicleRef(entity);
    if (game::vehicleByRef(handle) != entity) return;

    const std::uint8_t piece =
        collisionPoint[secondBody ? ColPointPieceB : ColPointPieceA];
    const dent::Contact contact{entity, handle, object, p, n, impulse, piece, response};
    contactQueue.add(contact);
}

bool BW_THISCALL pairContactDetour(void* self, void* other, void* collisionPoint,
                                   float* impulseSelf, float* impulseOther) {
    // Outside the game's processing nothing is recorded, so the copy (and
    // its readability query) is skipped; captureContact refuses it anyway.
    unsigned char copy[ColPointSize] = {};
    std::uint32_t failed = memoryQueryFailures();
    if (captureOpen && !shuttingDown) copyCollisionPoint(collisionPoint, copy);
    failed = memoryQueryFailures() - failed;
    const PairContactFn original = pairContactOriginal;
    if (original == nullptr) return false;
    const bool result = original(self, other, collisionPoint, impulseSelf, impulseOther);
    if (!result) return false;

    const std::uint32_t before = memoryQueryFailures();
    float impulse = 0.0f;
    if (readImpulse(impulseSelf, &impulse)) captureContact(self, copy, false, impulse);
    if (readImpulse(impulseOther, &impulse)) captureContact(other, copy, true, impulse);
    noteLostContact(failed + memoryQueryFailures() - before);
    return result;
}

bool BW_THISCALL singleContactDetour(void* self, void* other, void* collisionPoint,
                                     float* impulse, void* moveSpeed, void* turnSpeed) {
    // Outside the game's processing nothing is recorded, so the copy (and
    // its readability query) is skipped; captureContact refuses it anyway.
    unsigned char copy[ColPointSize] = {};
    std::uint32_t failed = memoryQueryFailures();
    if (captureOpen && !shuttingDown) copyCollisionPoint(collisionPoint, copy);
    failed = memoryQueryFailures() - failed;
    const SingleContactFn original = singleContactOriginal;
    if (original == nullptr) return false;
    const bool result = original(self, other, collisionPoint, impulse, moveSpeed, turnSpeed);
    if (!result) return false;

    const std::uint32_t before = memoryQueryFailures();
    float value = 0.0f;
    if (readImpulse(impulse, &value)) captureContact(self, copy, false, value);
    noteLostContact(failed + memoryQueryFailures() - before);
    return result;
}

} // namespace game
