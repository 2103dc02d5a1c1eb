#pragma once

// The process-wide settings record: every tuning value, read once from the
// settings file at process attach and only read afterwards.

#include "dent/impact.h"

#include <cstddef>
#include <cstdint>

namespace plugin {

struct Settings {
    // MinImpact, ReferenceImpact, Strength, ImpactExponent, MaxDentPerHit,
    // MinRadius, MaxRadius: the head of the record, passed to dent::response.
    dent::ImpactConfig impact;
    float maxTotalDisplacement;
    float falloffPower;
    std::uint32_t contactGapMs;
    std::uint8_t logHits;
    std::uint8_t panelBending;
    float panelStrength;
    float panelCrease;
    float panelMaxCompression;
    float panelMaxLift;
    float panelMinDepth;
    float panelCreaseRandomness;
    std::uint8_t panelFollowBody;
    std::uint8_t rearDamage;
    float rearMinDepth;
    std::uint8_t affectNPCs;
    float npcRange;
    std::uint32_t maxTrackedVehicles;
    std::uint32_t maxNPCPerFrame;
    std::uint32_t maxTotalVertices;
    std::uint32_t maxDentWorkPerFrame;
    std::uint8_t partRetentionEnabled; // [PartRetention] Enabled
    std::uint32_t attemptsPerStage;
};
static_assert(offsetof(Settings, impact) == 0, "the impact configuration heads the record");

// The record every Part reads. Holds the defaults until loadSettings() runs.
const Settings& settings();

// Fills the record from the settings file at `path` (missing file, section,
// key or unusable value: the default). Called once, at process attach.
void loadSettings(const char* path);

// The two early switches, read before the executable check: Diagnostics
// (kept with the log state) and LogHits (stored in the record).
void loadEarlySwitches(const char* path);

// General/Enabled, tested once by start-up after the executable check; not
// stored. False only when the file sets it to zero.
bool enabledInSettings(const char* path);

// Tests only: puts the record back to its defaults.
void resetSettingsForTesting();
Settings& mutableSettingsForTesting();

} // namespace plugin
