#include "plugin/settings.h"

#include "plugin/log.h"
#include "plugin/settings_table.h"
#include "platform/platform.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace plugin {
namespace {

constexpr bool sameText(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Not constexpr: naming a key the table lacks stops the compile.
const SettingRow& missingSettingRow() { return kSettingRows[0]; }

constexpr const SettingRow& rowOf(const char* section, const char* key) {
    for (const SettingRow& row : kSettingRows)
        if (sameText(row.section, section) && sameText(row.key, key)) return row;
    return missingSettingRow();
}

constexpr float defaultOf(const char* section, const char* key) { return rowOf(section, key).defaultValue; }

constexpr bool hasRow(const char* section, const char* key) {
    for (const SettingRow& row : kSettingRows)
        if (sameText(row.section, section) && sameText(row.key, key)) return true;
    return false;
}

constexpr std::size_t sizeFor(SettingKind kind) {
    return kind == SettingKind::Flag ? 1 : 4;
}

constexpr bool tableIsSound() {
    std::size_t stored = 0;
    std::size_t storedBytes = 0;
    for (const SettingRow& row : kSettingRows) {
        if (row.field.size != 0) {
            if (row.field.size != sizeFor(row.kind)) return false;
            ++stored;
            storedBytes += row.field.size;
        }
        if (row.lowAbove != nullptr && !hasRow(row.section, row.lowAbove)) return false;
        for (const char* c = row.description; *c != '\0'; ++c)
            if (*c == ';' || *c == '"' || *c == '=') return false;
    }
    // Twenty-eight stored values; the record has no other fields.
    return stored == 28 && storedBytes == 22 * 4 + 6;
}
static_assert(tableIsSound(), "every stored row matches its field, and descriptions stay plain text");
static_assert(offsetof(Settings, impact.minImpact) == 0 && offsetof(Settings, impact.maxRadius) == 6 * sizeof(float),
              "the seven impact values head the record, in order");

#define BW_D(section, key) defaultOf(section, key)
constexpr Settings kDefaults = {
    {BW_D("Deformation", "MinImpact"), BW_D("Deformation", "ReferenceImpact"), BW_D("Deformation", "Strength"),
     BW_D("Deformation", "ImpactExponent"), BW_D("Deformation", "MaxDentPerHit"), BW_D("Deformation", "MinRadius"),
     BW_D("Deformation", "MaxRadius")},
    BW_D("Deformation", "MaxTotalDisplacement"),
    BW_D("Deformation", "FalloffPower"),
    static_cast<std::uint32_t>(BW_D("Deformation", "ContactGapMs")),
    static_cast<std::uint8_t>(BW_D("General", "LogHits")),
    static_cast<std::uint8_t>(BW_D("Deformation", "PanelBending")),
    BW_D("Deformation", "PanelStrength"),
    BW_D("Deformation", "PanelCrease"),
    BW_D("Deformation", "PanelMaxCompression"),
    BW_D("Deformation", "PanelMaxLift"),
    BW_D("Deformation", "PanelMinDepth"),
    BW_D("Deformation", "PanelCreaseRandomness"),
    static_cast<std::uint8_t>(BW_D("Deformation", "PanelFollowBody")),
    static_cast<std::uint8_t>(BW_D("Lights", "RearDamage")),
    BW_D("Lights", "RearMinDepth"),
    static_cast<std::uint8_t>(BW_D("Traffic", "AffectNPCs")),
    BW_D("Traffic", "NPCRange"),
    static_cast<std::uint32_t>(BW_D("Traffic", "MaxTrackedVehicles")),
    static_cast<std::uint32_t>(BW_D("Traffic", "MaxNPCPerFrame")),
    static_cast<std::uint32_t>(BW_D("Traffic", "MaxTotalVertices")),
    static_cast<std::uint8_t>(BW_D("PartRetention", "Enabled")),
    static_cast<std::uint32_t>(BW_D("PartRetention", "AttemptsPerStage")),
};
#undef BW_D

// Constant-initialised: holds the defaults before any code runs.
Settings g_settings = kDefaults;

void store(Settings& record, const SettingRow& row, const void* value) {
    if (row.field.size != 0)
        std::memcpy(reinterpret_cast<unsigned char*>(&record) + row.field.offset, value, row.field.size);
}

// The float rule: strtof must consume the whole (non-empty) text and give a
// finite number.
bool readFloat(const SettingRow& row, const char* path, float* value) {
    char text[80] = {};
    platform::profileString(row.section, row.key, "", text, sizeof text, path);
    char* end = nullptr;
    float v = std::strtof(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

float clamped(float v, float low, float high) {
    if (v < low) return low;
    return v < high ? v : high;
}

std::uint32_t clamped(std::uint32_t v, std::uint32_t low, std::uint32_t high) {
    if (v < low) return low;
    return v < high ? v : high;
}

bool readFlag(const SettingRow& row, const char* path) {
    return platform::profileInt(row.section, row.key, static_cast<int>(row.defaultValue), path) != 0;
}

void readRow(Settings& record, const SettingRow& row, const char* path) {
    float low = row.low;
    if (row.lowAbove != nullptr) {
        if (const SettingRow* base = findSetting(row.section, row.lowAbove))
            low = static_cast<float>(settingValue(record, *base)) + row.low;
    }
    switch (row.kind) {
    case SettingKind::Float: {
        float v = row.defaultValue; // a default is never clamped
        if (readFloat(row, path, &v)) v = clamped(v, low, row.high);
        store(record, row, &v);
        break;
    }
    case SettingKind::Millis: {
        float v = 0;
        std::uint32_t ms = static_cast<std::uint32_t>(row.defaultValue);
        if (readFloat(row, path, &v)) ms = static_cast<std::uint32_t>(clamped(v, low, row.high));
        store(record, row, &ms);
        break;
    }
    case SettingKind::Flag: {
        std::uint8_t on = readFlag(row, path) ? 1 : 0;
        store(record, row, &on);
        break;
    }
    case SettingKind::Count:
    case SettingKind::Whole: {
        std::uint32_t r = platform::profileInt(row.section, row.key, static_cast<int>(row.defaultValue), path);
        r = clamped(r, static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(row.high));
        if (row.kind == SettingKind::Count) {
            store(record, row, &r);
        } else {
            float v = static_cast<float>(r);
            store(record, row, &v);
        }
        break;
    }
    }
}

} // namespace

const SettingRow* findSetting(const char* section, const char* key) {
    if (section == nullptr || key == nullptr) return nullptr;
    for (const SettingRow& row : kSettingRows)
        if (std::strcmp(row.section, section) == 0 && std::strcmp(row.key, key) == 0) return &row;
    return nullptr;
}

double settingValue(const Settings& record, const SettingRow& row) {
    const unsigned char* at = reinterpret_cast<const unsigned char*>(&record) + row.field.offset;
    if (row.field.size == 0) return 0;
    switch (row.kind) {
    case SettingKind::Float:
    case SettingKind::Whole: {
        float v;
        std::memcpy(&v, at, sizeof v);
        return v;
    }
    case SettingKind::Millis:
    case SettingKind::Count: {
        std::uint32_t v;
        std::memcpy(&v, at, sizeof v);
        return v;
    }
    case SettingKind::Flag:
        return *at;
    }
    return 0;
}

Settings defaultSettings() { return kDefaults; }

const Settings& settings() { return g_settings; }

void loadEarlySwitches(const char* path) {
    if (path == nullptr) return;
    for (const SettingRow& row : kSettingRows) {
        if (row.stage != SettingStage::Early) continue;
        if (row.field.size == 0) setDiagnostics(readFlag(row, path)); // Diagnostics lives with the log
        else readRow(g_settings, row, path);
    }
}

bool enabledInSettings(const char* path) {
    const SettingRow* row = findSetting("General", "Enabled");
    if (path == nullptr || row == nullptr) return true;
    return readFlag(*row, path);
}

void loadSettings(const char* path) {
    if (path == nullptr) return;
    for (const SettingRow& row : kSettingRows)
        if (row.stage == SettingStage::Main) readRow(g_settings, row, path);
}

void resetSettingsForTesting() { g_settings = kDefaults; }

Settings& mutableSettingsForTesting() { return g_settings; }

} // namespace plugin
