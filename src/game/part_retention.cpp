#include "game/part_retention.h"

#include "game/frame_state.h"
#include "game/host_layout.h"
#include "game/readable_range.h"
#include "platform/platform.h"
#include "plugin/log.h"
#include "plugin/settings.h"

#include <cstring>

namespace game {

ComponentDamageFn componentDamageOriginal = nullptr;
DamageResetFn damageResetOriginal = nullptr;

namespace {

constexpr int kSlotCount = 256;
constexpr int kPartsPerRecord = 12;
// Calls less than this far apart belong to one attempt: a steady scrape
// counts once however long it lasts.
constexpr std::uint32_t kSeparateAttemptMs = 751;

struct RetentionRecord {
    std::uint32_t attempts; // separate attempts counted at the current stage
    std::uint32_t lastTick; // tick count of the last stage-step call
    std::uint32_t stage;    // the status being held
    bool active;            // an attempt was counted since the record was cleared
};

struct Slot {
    void* owner; // the damage record served; null when free
    std::uint64_t stamp;
    RetentionRecord records[kPartsPerRecord];
};

Slot g_table[kSlotCount];
std::uint64_t g_useCounter = 0;

struct Part {
    int index; // record within the slot; for a door also its door index
    bool door;
    std::uint32_t shift; // panel: first bit of its 4-bit field
};

bool partOf(std::int32_t code, Part* part) {
    if (code >= 5 && code <= 10) {
        *part = Part{code - 5, true, 0};
        return true;
    }
    if ((code >= 11 && code <= 14) || code == 16 || code == 17) {
        const int index = code <= 14 ? code - 5 : code - 6;
        *part = Part{index, false, static_cast<std::uint32_t>(4 * code - 44)};
        return true;
    }
    return false;
}

std::uint32_t statusOf(void* damage, const Part& part) {
    if (part.door) return game::getDoorStatus(damage, part.index);
    return (damagePanelStatus(damage) >> part.shift) & 0xFu;
}

void putBack(void* damage, const Part& part, std::uint32_t status) {
    if (part.door) {
        game::setDoorStatus(damage, part.index, status);
        return;
    }
    const std::uint32_t mask = 0xFu << part.shift;
    const std::uint32_t word = damagePanelStatus(damage);
    setDamagePanelStatus(damage, (word & ~mask) | ((status << part.shift) & mask));
}

bool isStageStep(const Part& part, std::uint32_t before, std::uint32_t after) {
    if (part.door) return (before == 1 || before == 2) && after == before + 1;
    return before == 2 && after == 3;
}

// The damage record's slot, taken over from the least recently used one when
// the record has none; either way it becomes the most recent.
Slot& slotFor(void* damage) {
    Slot* slot = nullptr;
    for (Slot& s : g_table)
        if (s.owner == damage) {
            slot = &s;
            break;
        }
    if (slot == nullptr) {
        slot = &g_table[0];
        for (Slot& s : g_table)
            if (s.stamp < slot->stamp) slot = &s;
        std::memset(slot, 0, sizeof *slot);
        slot->owner = damage;
    }
    slot->stamp = ++g_useCounter;
    return *slot;
}

} // namespace

bool BW_THISCALL componentDamageDetour(void* damage, std::int32_t component, float a, float b) {
    const ComponentDamageFn original = componentDamageOriginal;
    if (original == nullptr) return false;

    const plugin::Settings& s = plugin::settings();
    Part part{};
    if (!partOf(component, &part) || shuttingDown || !s.partRetentionEnabled)
        return original(damage, component, a, b);
    const std::uint32_t failures = memoryQueryFailures();
    if (!readableRange(damage, DamageRecordSize)) {
        if (memoryQueryFailures() != failures)
            plugin::logLoss("Part retention skipped: a damage record could not be read.");
        return original(damage, component, a, b);
    }

    const std::uint32_t before = statusOf(damage, part);
    const bool result = original(damage, component, a, b);
    const std::uint32_t after = statusOf(damage, part);

    RetentionRecord& r = slotFor(damage).records[part.index];
    const std::uint32_t oldAttempts = r.attempts;
    const std::uint32_t now = platform::tickCount();
    int held = 0;

    if (before == 0) {
        // Intact before this call: nothing to hold, and earlier counting is
        // forgotten.
        r = RetentionRecord{};
    } else if (isStageStep(part, before, after) && s.attemptsPerStage >= 2) {
        if (r.stage != before) {
            r.stage = before;
            r.attempts = 0;
        }
        if (!r.active || now - r.lastTick >= kSeparateAttemptMs) ++r.attempts;
        r.active = true;
        r.lastTick = now;
        if (r.attempts < s.attemptsPerStage) {
            putBack(damage, part, before);
            held = 1;
        }
    }

    if (s.logHits && after > before && r.attempts != oldAttempts)
        plugin::logFormat(160, "PartRetention: component=%d stage=%u->%u attempt=%u/%u held=%d",
                          static_cast<int>(component), static_cast<unsigned>(before),
                          static_cast<unsigned>(after), static_cast<unsigned>(r.attempts),
                          static_cast<unsigned>(s.attemptsPerStage), held);
    return result;
}

std::uint32_t BW_THISCALL damageResetDetour(void* damage) {
    if (damage != nullptr)
        for (Slot& s : g_table)
            if (s.owner == damage) std::memset(&s, 0, sizeof s);
    const DamageResetFn original = damageResetOriginal;
    return original != nullptr ? original(damage) : 0;
}

void clearPartRetention() {
    std::memset(g_table, 0, sizeof g_table);
    g_useCounter = 0;
}

} // namespace game
