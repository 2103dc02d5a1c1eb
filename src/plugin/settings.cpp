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

constexpr bool hasRow(const char* section, const char* key) {
    for (const SettingRow& row : kSettingRows)
        if (sameText(row.section, section) && sameText(row.key, key)) return true;
    return false;
}

constexpr std::size_t sizeFor(SettingKind kind) {
    return kind == SettingKind::Flag ? 1 : 4;
}

// The stored rows cover the record exactly: sorted by offset, each field
// starts where the one before ends (rounded up to its own alignment, which is
// its size), and the last ends the record. A record field with no row, or two
// rows on one field, leaves a gap or an overlap.
constexpr bool rowsCoverTheRecord() {
    SettingField fields[kSettingCount] = {};
    std::size_t n = 0;
    for (const SettingRow& row : kSettingRows) {
        if (row.field.size == 0) continue;
        std::size_t i = n++;
        for (; i > 0 && fields[i - 1].offset > row.field.offset; --i) fields[i] = fields[i - 1];
        fields[i] = row.field;
    }
    std::size_t end = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t align = fields[i].size;
        if ((end + align - 1) / align * align != fields[i].offset) return false;
        end = fields[i].offset + fields[i].size;
    }
    return (end + alignof(Settings) - 1) / alignof(Settings) * alignof(Settings) == sizeof(Settings);
}

constexpr bool tableIsSound() {
    for (const SettingRow& row : kSettingRows) {
        if (row.field.size != 0 && row.field.size != sizeFor(row.kind)) return false;
        if (row.lowAbove != nullptr && !hasRow(row.section, row.lowAbove)) return false;
        for (const char* c = row.description; *c != '\0'; ++c)
            if (*c == ';' || *c == '"' || *c == '=') return false;
    }
    return rowsCoverTheRecord();
}
static_assert(tableIsSound(), "every stored row matches its field, the rows cover the record, and "
                              "descriptions stay plain text");
static_assert(offsetof(Settings, impact.minImpact) == 0 && offsetof(Settings, impact.maxRadius) == 6 * sizeof(float),
              "the seven impact values head the record, in order");

constexpr Settings defaultsFromTable() {
    Settings s{};
    for (const SettingRow& row : kSettingRows)
        if (row.field.size != 0) row.field.set(s, row.defaultValue);
    return s;
}
constexpr Settings kDefaults = defaultsFromTable();

// Constant-initialised: holds the defaults before any code runs.
Settings g_settings = kDefaults;

void store(Settings& record, const SettingRow& row, double value) {
    if (row.field.size != 0) row.field.set(record, value);
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
        store(record, row, v);
        break;
    }
    case SettingKind::Millis: {
        float v = 0;
        std::uint32_t ms = static_cast<std::uint32_t>(row.defaultValue);
        if (readFloat(row, path, &v)) ms = static_cast<std::uint32_t>(clamped(v, low, row.high));
        store(record, row, ms);
        break;
    }
    case SettingKind::Flag: {
        std::uint8_t on = readFlag(row, path) ? 1 : 0;
        store(record, row, on);
        break;
    }
    case SettingKind::Count:
    case SettingKind::Whole: {
        std::uint32_t r = platform::profileInt(row.section, row.key, static_cast<int>(row.defaultValue), path);
        r = clamped(r, static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(row.high));
        if (row.kind == SettingKind::Count) {
            store(record, row, r);
        } else {
            float v = static_cast<float>(r);
            store(record, row, v);
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
    return row.field.size != 0 ? row.field.get(record) : 0;
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
