#pragma once

// Every key of the settings file in one table: section, key, type, default,
// accepted range, where the value lives and what it does. The loader walks
// it in order (the order of reads matters for the two bounds that depend on
// other keys), and the build writes the sample settings file from it
// (write_sample_ini.cmake reads the rows below as text: keep each row on
// one line, in this exact form, with no ';' or '"' inside a description).

#include "plugin/settings.h"

#include <cstddef>
#include <utility>

namespace plugin {

enum class SettingStage : unsigned char {
    Early,  // read right after the banner line, before the executable check
    Switch, // General/Enabled: tested once by start-up, never stored
    Main,   // read by loadSettings(), in table order
};

enum class SettingKind : unsigned char {
    Float,  // text parsed as a float; unusable text keeps the default; clamped
    Millis, // like Float, then cut to whole milliseconds (unsigned 32-bit)
    Flag,   // switch: true/yes/on, false/no/off (any case) or a number, non-zero
            // meaning on; anything else keeps the default (one byte)
    Count,  // a number (whole, or a fraction cut off) clamped, negatives to the
            // low end; not a number keeps the default (unsigned 32-bit)
    Whole,  // like Count, stored as a float
};

// Where a value lives in the record; size 0: not in the record (and no `set`
// or `get`). `set` and `get` reach the member itself, so the defaults can be
// built from this table at compile time.
struct SettingField {
    std::size_t offset;
    std::size_t size;
    void (*set)(Settings&, double);
    double (*get)(const Settings&);
};

struct SettingRow {
    const char* section;
    const char* key;
    SettingStage stage;
    SettingKind kind;
    float defaultValue;
    float low;
    float high;
    // When set, the lower bound is that key's final value plus `low`.
    const char* lowAbove;
    SettingField field;
    const char* description; // one line, for the sample settings file
};

#define BW_FIELD(member)                                                                   \
    SettingField {                                                                         \
        offsetof(Settings, member), sizeof(std::declval<Settings&>().member),              \
            [](Settings& s, double v) { s.member = static_cast<decltype(s.member)>(v); }, \
            [](const Settings& s) { return static_cast<double>(s.member); }                \
    }
#define BW_NOT_STORED \
    SettingField { 0, 0, nullptr, nullptr }

// clang-format off
inline constexpr SettingRow kSettingRows[] = {
    {"General", "Diagnostics", SettingStage::Early, SettingKind::Flag, 0, 0, 1, nullptr, BW_NOT_STORED, "1 writes every step the mod takes to the log. Only needed for bug reports."},
    {"General", "LogHits", SettingStage::Early, SettingKind::Flag, 1, 0, 1, nullptr, BW_FIELD(logHits), "1 writes a log line for every dent, broken light and part kept on."},
    {"General", "Enabled", SettingStage::Switch, SettingKind::Flag, 1, 0, 1, nullptr, BW_NOT_STORED, "0 switches the mod off and the game runs unchanged."},
    {"Deformation", "MinImpact", SettingStage::Main, SettingKind::Float, 0.04f, 0.005f, 0.3f, nullptr, BW_FIELD(impact.minImpact), "Hits this soft or softer leave no dent. Raise it to ignore light bumps."},
    {"Deformation", "ReferenceImpact", SettingStage::Main, SettingKind::Float, 0.65f, 0.01f, 3.0f, "MinImpact", BW_FIELD(impact.referenceImpact), "How hard a hit must be for a full-size dent. Lower it for deep dents from smaller hits."},
    {"Deformation", "Strength", SettingStage::Main, SettingKind::Float, 1.0f, 0.1f, 3.0f, nullptr, BW_FIELD(impact.strength), "Overall multiplier on how deep dents are."},
    {"Deformation", "ImpactExponent", SettingStage::Main, SettingKind::Float, 1.15f, 0.5f, 2.0f, nullptr, BW_FIELD(impact.impactExponent), "How dent depth grows with hit strength. Above 1 spares light hits more and below 1 less."},
    {"Deformation", "MaxDentPerHit", SettingStage::Main, SettingKind::Float, 0.65f, 0.05f, 1.2f, nullptr, BW_FIELD(impact.maxDentPerHit), "Deepest dent one full-strength hit makes, in game units (about a metre each)."},
    {"Deformation", "MinRadius", SettingStage::Main, SettingKind::Float, 1.1f, 0.3f, 2.0f, nullptr, BW_FIELD(impact.minRadius), "Size of the dent from the lightest hit that dents, in game units."},
    {"Deformation", "MaxRadius", SettingStage::Main, SettingKind::Float, 2.25f, 0.0f, 3.5f, "MinRadius", BW_FIELD(impact.maxRadius), "Size of the dent from a full-strength hit, in game units."},
    {"Deformation", "MaxTotalDisplacement", SettingStage::Main, SettingKind::Float, 1.05f, 0.1f, 1.6f, nullptr, BW_FIELD(maxTotalDisplacement), "Furthest any point of the body can be pushed in over all hits together, in game units."},
    {"Deformation", "FalloffPower", SettingStage::Main, SettingKind::Float, 0.65f, 0.35f, 2.0f, nullptr, BW_FIELD(falloffPower), "Shape of a dent's edge. Lower values give broad soft dents and higher values sharp ones."},
    {"Deformation", "ContactGapMs", SettingStage::Main, SettingKind::Millis, 180, 50, 1000, nullptr, BW_FIELD(contactGapMs), "Hits on one car less than this many milliseconds apart count as one crash."},
    {"Deformation", "PanelBending", SettingStage::Main, SettingKind::Flag, 1, 0, 1, nullptr, BW_FIELD(panelBending), "1 lets bonnets and boot lids fold along a crease when pushed from the front or back."},
    {"Deformation", "PanelStrength", SettingStage::Main, SettingKind::Float, 1.0f, 0.1f, 2.0f, nullptr, BW_FIELD(panelStrength), "How readily bonnets and boot lids fold. Higher folds more per hit."},
    {"Deformation", "PanelCrease", SettingStage::Main, SettingKind::Float, 0.5f, 0.35f, 0.65f, nullptr, BW_FIELD(panelCrease), "Where the crease runs across a bonnet or boot lid, as a share of its length."},
    {"Deformation", "PanelMaxCompression", SettingStage::Main, SettingKind::Float, 0.4f, 0.05f, 0.45f, nullptr, BW_FIELD(panelMaxCompression), "The most a bonnet or boot lid can be shortened by folding, as a share of its length."},
    {"Deformation", "PanelMaxLift", SettingStage::Main, SettingKind::Float, 0.55f, 0.05f, 0.9f, nullptr, BW_FIELD(panelMaxLift), "The highest a folded bonnet or boot lid can rise at its crease, in game units."},
    {"Deformation", "PanelMinDepth", SettingStage::Main, SettingKind::Float, 0.06f, 0.0f, 0.2f, nullptr, BW_FIELD(panelMinDepth), "Dents shallower than this never fold a bonnet or boot lid, in game units."},
    {"Deformation", "PanelFollowBody", SettingStage::Main, SettingKind::Flag, 1, 0, 1, nullptr, BW_FIELD(panelFollowBody), "1 dents a folding bonnet or boot lid where it was hit as well as folding it."},
    {"Deformation", "PanelCreaseRandomness", SettingStage::Main, SettingKind::Float, 0.12f, 0.0f, 0.15f, nullptr, BW_FIELD(panelCreaseRandomness), "How far each car's crease may lie from PanelCrease, so that no two cars fold alike."},
    {"Deformation", "MaxDentWorkPerFrame", SettingStage::Main, SettingKind::Count, 10000, 5000, 1000000, nullptr, BW_FIELD(maxDentWorkPerFrame), "How much new dent building a frame may start once two cars have been dented in it, counted in mesh points. The rest of a bigger pile-up is finished over the next frames so that the game keeps its pace. Raise it to see every dent of a pile-up at once."},
    {"Lights", "RearDamage", SettingStage::Main, SettingKind::Flag, 1, 0, 1, nullptr, BW_FIELD(rearDamage), "1 breaks a rear light when a dent at the back reaches it."},
    {"PartRetention", "Enabled", SettingStage::Main, SettingKind::Flag, 1, 0, 1, nullptr, BW_FIELD(partRetentionEnabled), "1 keeps doors and panels on for a few hits before the game may loosen them."},
    {"PartRetention", "AttemptsPerStage", SettingStage::Main, SettingKind::Count, 2, 1, 12, nullptr, BW_FIELD(attemptsPerStage), "How many separate hits a door or panel takes before it moves on one damage stage."},
    {"Lights", "RearMinDepth", SettingStage::Main, SettingKind::Float, 0.08f, 0.01f, 0.5f, nullptr, BW_FIELD(rearMinDepth), "How deep a dent must still be at a rear light to break it, in game units."},
    {"Traffic", "AffectNPCs", SettingStage::Main, SettingKind::Flag, 1, 0, 1, nullptr, BW_FIELD(affectNPCs), "1 also dents other cars hit near you. 0 dents only your own car."},
    {"Traffic", "NPCRange", SettingStage::Main, SettingKind::Whole, 100, 20, 200, nullptr, BW_FIELD(npcRange), "How far from you other cars are still dented, in game units."},
    {"Traffic", "MaxTrackedVehicles", SettingStage::Main, SettingKind::Count, 64, 16, 128, nullptr, BW_FIELD(maxTrackedVehicles), "How many cars can carry dents at once. When full the car hit longest ago is restored."},
    {"Traffic", "MaxNPCPerFrame", SettingStage::Main, SettingKind::Count, 32, 1, 64, nullptr, BW_FIELD(maxNPCPerFrame), "The most other cars dented in a single frame."},
    {"Traffic", "MaxTotalVertices", SettingStage::Main, SettingKind::Count, 400000, 50000, 1000000, nullptr, BW_FIELD(maxTotalVertices), "Memory limit for all dented cars together, counted in mesh points."},
};
// clang-format on

#undef BW_FIELD
#undef BW_NOT_STORED

inline constexpr std::size_t kSettingCount = sizeof kSettingRows / sizeof kSettingRows[0];

// The row of `key` in `section` (both as spelled in the table), or null.
const SettingRow* findSetting(const char* section, const char* key);

// The row's value in `record`, widened to double (0 for rows not stored).
double settingValue(const Settings& record, const SettingRow& row);

// The record as it is before anything is read: every stored field at its
// table default.
Settings defaultSettings();

} // namespace plugin
