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

// The key's text, trimmed by the profile read; empty when the key is missing.
void readText(const SettingRow& row, const char* path, char (&text)[80]) {
    std::memset(text, 0, sizeof text);
    platform::profileString(row.section, row.key, "", text, sizeof text, path);
}

// The float rule: strtof must consume the whole (non-empty) text and give a
// finite number.
bool parseFloat(const char* text, float* value) {
    char* end = nullptr;
    float v = std::strtof(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool readFloat(const SettingRow& row, const char* path, float* value) {
    char text[80];
    readText(row, path, text);
    return parseFloat(text, value);
}

// A whole number as the system writes one: an optional sign, then decimal
// digits or digits after a 0x, 0o or 0b prefix, and nothing else. Any length:
// a number too large for the record still reads as too large (it saturates).
bool parseWhole(const char* text, double* value) {
    const char* p = text;
    const bool minus = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        base = 16;
    else if (p[0] == '0' && (p[1] == 'o' || p[1] == 'O'))
        base = 8;
    else if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B'))
        base = 2;
    if (base != 10) p += 2;
    constexpr double kSaturated = 1e18; // far beyond every bound
    double v = 0;
    const char* digits = p;
    for (; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        unsigned digit = 16;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10u;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10u;
        if (digit >= base) return false;
        v = v < kSaturated ? v * base + digit : kSaturated;
    }
    if (p == digits) return false;
    *value = minus ? -v : v;
    return true;
}

// A number for a count or a switch: a whole number, or failing that a float
// text read whole (a fraction is cut off by the caller).
bool parseNumber(const char* text, double* value) {
    if (parseWhole(text, value)) return true;
    float f = 0;
    if (!parseFloat(text, &f)) return false;
    *value = f;
    return true;
}

bool sameWord(const char* text, const char* word) {
    for (; *word != '\0'; ++text, ++word) {
        const char c = (*text >= 'A' && *text <= 'Z') ? static_cast<char>(*text + 32) : *text;
        if (c != *word) return false;
    }
    return *text == '\0';
}

float clamped(float v, float low, float high) {
    if (v < low) return low;
    return v < high ? v : high;
}

double clamped(double v, double low, double high) {
    if (v < low) return low;
    return v < high ? v : high;
}

// A switch: true/yes/on or false/no/off in any case, or a number (any
// non-zero one means on); anything else keeps the row's default.
bool readFlag(const SettingRow& row, const char* path) {
    char text[80];
    readText(row, path, text);
    if (sameWord(text, "true") || sameWord(text, "yes") || sameWord(text, "on")) return true;
    if (sameWord(text, "false") || sameWord(text, "no") || sameWord(text, "off")) return false;
    double v = 0;
    if (!parseNumber(text, &v)) return row.defaultValue != 0;
    return v != 0;
}

// A count: not a number keeps the default; out of range, negatives
// included, gives the nearest end; a fraction is cut off.
std::uint32_t readCount(const SettingRow& row, const char* path, float low) {
    char text[80];
    readText(row, path, text);
    double v = 0;
    if (!parseNumber(text, &v)) return static_cast<std::uint32_t>(row.defaultValue);
    return static_cast<std::uint32_t>(
        clamped(v, static_cast<double>(low), static_cast<double>(row.high)));
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
        const std::uint32_t r = readCount(row, path, low);
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
