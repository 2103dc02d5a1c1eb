// Random settings files against the settings loader and the POSIX profile
// reader: binary bytes, long lines, duplicate keys and sections, odd line
// ends and hostile numbers. Every stored field ends within its range or at
// its default, a value read into a buffer never overruns it, and a clean key
// planted at the top of the garbage still reads back exactly.

#include "platform/platform.h"
#include "plugin/log.h"
#include "plugin/settings.h"
#include "plugin/settings_table.h"
#include "scratch_dir.h"
#include "seeded.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

using fuzzdrive::Random;

const char* const kHostileNumbers[] = {
    "nan", "-nan", "NaN", "inf", "-inf", "INF", "infinity", "1e39", "-1e39", "1e-46", "-0", "0",
    "0x7fffffff", "0xffffffff", "0x", "0b101", "0o777", "99999999999999999999", "-2147483648",
    "4294967296", "18446744073709551616", "1.", ".5", "5.", "+", "-", "e5", "1e", "1e+",
    "0.5.5", "1,5", "1_000", " 7 ", "\"3\"", "'0.2'", "\"", "''", "=", "==1", "[1]", ";1",
    "#1", "1;2", "0x1p3", "1e308", "3.4028236e38", "1.17549435e-38", "-0.0", "00000000001",
    "1 2", "\t0.3\t", "２", "\xc2\xa0" "1"};

std::string randomNumberText(Random& r) {
    char text[64];
    switch (r.below(5)) {
    case 0: {
        const std::uint32_t bits = r.u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        std::snprintf(text, sizeof text, "%.9g", static_cast<double>(f));
        break;
    }
    case 1:
        std::snprintf(text, sizeof text, "%d", static_cast<int>(r.u32()));
        break;
    case 2:
        std::snprintf(text, sizeof text, "0x%x", r.u32());
        break;
    case 3:
        std::snprintf(text, sizeof text, "%.6f", static_cast<double>(r.below(20000)) / 100.0 - 50.0);
        break;
    default:
        std::snprintf(text, sizeof text, "%u", r.below(2000000));
        break;
    }
    return text;
}

std::string randomCase(Random& r, const char* name) {
    std::string s = name;
    for (char& c : s) {
        if (r.chance(3) && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        else if (r.chance(3) && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return s;
}

std::string blanks(Random& r) {
    static const char* const kinds[] = {"", " ", "\t", "  \t ", "\x1a", "\v"};
    return kinds[r.below(6)];
}

std::string lineEnd(Random& r) {
    static const char* const kinds[] = {"\n", "\r\n", "\r", "\n\n", "\r\r\n"};
    return kinds[r.below(5)];
}

std::string garbageBytes(Random& r, std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(r.below(256));
    return s;
}

// One hostile settings file; `probe` lines, when given, come first.
std::string randomFile(Random& r, const std::string& probe) {
    std::string text;
    if (r.chance(6)) text += "\xEF\xBB\xBF";
    text += probe;
    const std::uint32_t lines = r.below(120);
    for (std::uint32_t i = 0; i < lines; ++i) {
        const plugin::SettingRow& row = plugin::kSettingRows[r.below(plugin::kSettingCount)];
        switch (r.below(12)) {
        case 0:
        case 1:
            text += blanks(r) + "[" + randomCase(r, row.section) + "]" + blanks(r);
            break;
        case 2:
            text += "[k" + std::to_string(r.below(50)) + (r.chance(4) ? "" : "]");
            break;
        case 3:
            text += garbageBytes(r, r.below(80));
            break;
        case 4:
            // Long lines: far beyond any buffer the reader might keep.
            text += std::string(1 + r.below(r.chance(8) ? 70000 : 3000),
                                static_cast<char>(r.chance(2) ? '=' + r.below(60) : r.below(256)));
            break;
        case 5:
            text += blanks(r) + "k" + std::to_string(r.below(50)) + "=" + randomNumberText(r);
            break;
        case 6:
            text += blanks(r) + randomCase(r, row.key) + blanks(r); // a key without '='
            break;
        case 7:
            text += "; " + std::string(row.key) + "=" + randomNumberText(r);
            break;
        default: {
            const std::string value = r.chance(2)
                                          ? std::string(kHostileNumbers[r.below(
                                                sizeof kHostileNumbers / sizeof kHostileNumbers[0])])
                                          : randomNumberText(r);
            text += blanks(r) + randomCase(r, row.key) + blanks(r) + "=" + blanks(r) + value +
                    blanks(r);
            if (r.chance(10)) text += std::string(1, '\0') + garbageBytes(r, 4);
            break;
        }
        }
        text += lineEnd(r);
    }
    if (r.chance(5) && !text.empty()) text.pop_back(); // no final line end
    return text;
}

std::string alnum(Random& r, std::size_t n) {
    static const char chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += chars[r.below(sizeof chars - 1)];
    return s;
}

TEST(SettingsFuzz, EveryFieldEndsInRangeOrAtItsDefault) {
    Random r = Random::fromEnvironment("settings", 20240611);
    const std::uint64_t rounds = fuzzdrive::iterations(40);
    bwtest::ScratchDir dir;
    for (std::uint64_t round = 0; round < rounds; ++round) {
        const std::string path = dir.write("b.ini", randomFile(r, ""));
        plugin::resetSettingsForTesting();
        plugin::loadEarlySwitches(path.c_str());
        plugin::loadSettings(path.c_str());
        (void)plugin::enabledInSettings(path.c_str());
        const plugin::Settings& s = plugin::settings();
        for (const plugin::SettingRow& row : plugin::kSettingRows) {
            if (row.field.size == 0) continue;
            const double v = plugin::settingValue(s, row);
            float low = row.low;
            if (row.lowAbove != nullptr) {
                const plugin::SettingRow* above = plugin::findSetting(row.section, row.lowAbove);
                ASSERT_NE(above, nullptr);
                low = static_cast<float>(plugin::settingValue(s, *above)) + row.low;
            }
            const bool inRange = v >= low && v <= row.high;
            ASSERT_TRUE(inRange || v == row.defaultValue)
                << "round " << round << ": " << row.section << "/" << row.key << " = " << v;
        }
    }
    plugin::resetSettingsForTesting();
    plugin::setDiagnostics(false);
}

TEST(SettingsFuzz, ProfileReaderNeverOverrunsAndFindsACleanKey) {
    Random r = Random::fromEnvironment("profile", 7340033);
    const std::uint64_t rounds = fuzzdrive::iterations(40);
    bwtest::ScratchDir dir;
    for (std::uint64_t round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        const std::string value = alnum(r, 1 + r.below(20));
        const std::uint32_t number = r.u32();
        const std::string probe = "[Probe]" + lineEnd(r) + "Value" + blanks(r) + "=" + blanks(r) +
                                  value + lineEnd(r) + "Number=" + std::to_string(number) +
                                  lineEnd(r);
        const std::string path = dir.write("p.ini", randomFile(r, probe));

        char out[160];
        platform::profileString("Probe", "Value", "", out, sizeof out, path.c_str());
        ASSERT_EQ(std::string(out), value);
        ASSERT_EQ(platform::profileInt("probe", "NUMBER", 5, path.c_str()), number);

        for (int query = 0; query < 12; ++query) {
            const plugin::SettingRow& row = plugin::kSettingRows[r.below(plugin::kSettingCount)];
            const std::string section = r.chance(4) ? "k" + std::to_string(r.below(50)) : row.section;
            const std::string key = r.chance(4) ? "k" + std::to_string(r.below(50)) : row.key;
            const std::size_t size = r.below(64);
            std::memset(out, 0x5A, sizeof out);
            platform::profileString(section.c_str(), key.c_str(), "default value  ", out, size,
                                    path.c_str());
            if (size > 0) {
                ASSERT_LT(std::strlen(out), size) << section << "/" << key;
            }
            for (std::size_t k = size; k < sizeof out; ++k)
                ASSERT_EQ(out[k], 0x5A) << "byte " << k << " written, size " << size;
            (void)platform::profileInt(section.c_str(), key.c_str(), -1, path.c_str());
        }
    }
}

} // namespace
