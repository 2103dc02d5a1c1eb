#include "game/rear_lights.h"

#include "dent/displace.h"
#include "dent/vec.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "game/readable_range.h"
#include "plugin/log.h"
#include "plugin/settings.h"

#include <cmath>
#include <cstdint>

namespace game {

namespace {

// A light position not clearly behind the origin, or farther than any car
// reaches, is not a rear light of this model.
constexpr float kMaxBehindOrigin = -0.1f;
constexpr float kMaxLightDistance = 12.0f;
// How far forward of the lights a dent may lie and still reach them.
constexpr float kReachForward = 1.25f;

constexpr std::size_t kModelIndexSpan = EntityModelIndex + sizeof(std::int16_t);

enum class Lookup { Found, None, Unreadable };

// The model's rear-light position from the host's model-info table: none
// when the model, the table or its entry is missing, unreadable when a
// record that is there could not be read.
Lookup rearLightPosition(int model, dent::Vec* out) {
    if (model < FirstHandledModel || model > LastHandledModel) return Lookup::None;
    const unsigned char* table = static_cast<const unsigned char*>(modelInfoTable());
    if (table == nullptr) return Lookup::None;
    const std::uint32_t offset = 4u * static_cast<std::uint32_t>(model);
    if (!readableRange(table + offset, sizeof(std::uint32_t))) return Lookup::Unreadable;
    const void* info = pointerField(table, offset);
    if (info == nullptr) return Lookup::None;
    if (!readableRange(bytesAt(info, ModelInfoRearLight), sizeof(dent::Vec)))
        return Lookup::Unreadable;
    *out = modelInfoRearLight(info);
    return Lookup::Found;
}

// A dent at the back whose lights could not be judged leaves a line where
// hits are logged.
void lightsSkipped(bool isPlayer) {
    plugin::logLoss(isPlayer
                        ? "Rear lights skipped: actor=player; the car's records could not be read."
                        : "Rear lights skipped: actor=npc; the car's records could not be read.");
}

bool usableDent(const dent::Episode& e) {
    return dent::isFinite(e.point) && std::isfinite(e.depth) && e.depth > 0.0f &&
           std::isfinite(e.radius) && e.radius > 0.0f;
}

} // namespace

void rearLights(void* vehicle, const dent::Episode& episode, bool isPlayer) {
    const plugin::Settings& s = plugin::settings();
    if (!s.rearDamage) return;
    if (!(episode.point.y < 0.0f)) return;
    if (vehicle == nullptr) return;
    if (!readableRange(vehicle, kModelIndexSpan)) return lightsSkipped(isPlayer);

    const int model = modelIndex(vehicle);
    dent::Vec light{};
    const Lookup found = rearLightPosition(model, &light);
    if (found == Lookup::Unreadable) return lightsSkipped(isPlayer);
    if (found == Lookup::None) return;
    if (!dent::isFinite(light) || !(light.y < kMaxBehindOrigin) ||
        !(dent::length(light) <= kMaxLightDistance))
        return;

    void* damage = vehicleDamage(vehicle);
    if (!readableRange(damage, DamageRecordSize)) return lightsSkipped(isPlayer);

    const struct {
        std::int32_t light;
        const char* side;
        float x;
    } lights[] = {{2, "left", -std::fabs(light.x)}, {3, "right", std::fabs(light.x)}};

    for (const auto& l : lights) {
        if (game::getLightStatus(damage, l.light) != 0) continue;
        if (!usableDent(episode)) continue;
        if (!(episode.point.y < 0.0f && episode.point.y <= light.y + kReachForward)) continue;
        const dent::Vec at{l.x, light.y, light.z};
        const float factor =
            dent::falloff(dent::length(episode.point - at), episode.radius, s.falloffPower);
        if (!(episode.depth * factor >= s.rearMinDepth)) continue;

        const std::uint32_t shift = 2u * static_cast<std::uint32_t>(l.light);
        const std::uint32_t word = damageLightStatus(damage);
        setDamageLightStatus(damage, (word & ~(3u << shift)) | (1u << shift));
        if (s.logHits)
            plugin::logFormat(130, "RearLight: actor=%s side=%s model=%d smashed",
                              isPlayer ? "player" : "npc", l.side, model);
    }
}

} // namespace game
