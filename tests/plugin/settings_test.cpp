// Reading the settings file into the record: parsing, clamping, the two
// dependent bounds, and garbage that must never leave a field out of range.

#include "plugin/log.h"
#include "plugin/settings.h"
#include "plugin/settings_table.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using plugin::settings;

double valueOf(const char* section, const char* key) {
    const plugin::SettingRow* row = plugin::findSetting(section, key);
    EXPECT_NE(row, nullptr) << section << "/" << key;
    return row != nullptr ? plugin::settingValue(settings(), *row) : -1;
}

void loadText(const std::string& text) {
    bwtest::ScratchDir dir;
    std::string path = dir.write("b.ini", text);
    plugin::resetSettingsForTesting();
    plugin::loadEarlySwitches(path.c_str());
    plugin::loadSettings(path.c_str());
}

TEST(Settings, EmptyFileGivesTheDefaults) {
    loadText("");
    EXPECT_FALSE(plugin::diagnostics());
    // Every stored value is its row's default, as the record's type holds it.
    for (const plugin::SettingRow& row : plugin::kSettingRows) {
        if (row.field.size == 0) continue;
        const double expected = row.kind == plugin::SettingKind::Float || row.kind == plugin::SettingKind::Whole
                                    ? static_cast<double>(row.defaultValue)
                                    : static_cast<double>(static_cast<std::uint32_t>(row.defaultValue));
        EXPECT_EQ(plugin::settingValue(settings(), row), expected) << row.key;
    }
    // The record's static initial values are the same defaults.
    plugin::Settings fresh = plugin::defaultSettings();
    for (const plugin::SettingRow& row : plugin::kSettingRows)
        EXPECT_EQ(plugin::settingValue(fresh, row), plugin::settingValue(settings(), row)) << row.key;
    EXPECT_EQ(static_cast<const void*>(&settings()), static_cast<const void*>(&settings().impact));
}

TEST(Settings, ValuesAreParsedAndClamped) {
    struct Case {
        const char* ini;
        const char* section;
        const char* key;
        double expected;
    } cases[] = {
        {"[Deformation]\nStrength=1e9\n", "Deformation", "Strength", 3.0f},
        {"[Deformation]\nStrength=-2\n", "Deformation", "Strength", 0.1f},
        {"[Deformation]\nStrength=inf\n", "Deformation", "Strength", 1.0f},
        {"[Deformation]\nStrength=nan\n", "Deformation", "Strength", 1.0f},
        {"[Deformation]\nStrength=1e99\n", "Deformation", "Strength", 1.0f},
        {"[Deformation]\nStrength=0x1\n", "Deformation", "Strength", 1.0f},
        {"[Deformation]\nStrength=0x1.8\n", "Deformation", "Strength", 1.5f},
        {"[Deformation]\nStrength=\"2.5\"\n", "Deformation", "Strength", 2.5f},
        {"[Deformation]\nMinImpact=0.2x\n", "Deformation", "MinImpact", 0.04f},
        {"[Deformation]\nMinImpact=0.2 ; comment\n", "Deformation", "MinImpact", 0.04f},
        {"[Deformation]\nMinImpact=0.2 0.3\n", "Deformation", "MinImpact", 0.04f},
        {"[Deformation]\nMinImpact=0.2\n", "Deformation", "MinImpact", 0.2f},
        {"[Deformation]\nMinImpact=0.3\nReferenceImpact=0.1\n", "Deformation", "ReferenceImpact", 0.3f + 0.01f},
        {"[Deformation]\nMinImpact=0.3\n", "Deformation", "ReferenceImpact", 0.65f},
        {"[Deformation]\nMinImpact=0.3\nReferenceImpact=junk\n", "Deformation", "ReferenceImpact", 0.65f},
        {"[Deformation]\nMinRadius=2.0\nMaxRadius=1.0\n", "Deformation", "MaxRadius", 2.0f},
        {"[Deformation]\nMinRadius=2.0\n", "Deformation", "MaxRadius", 2.25f},
        {"[Deformation]\nMinRadius=9\nMaxRadius=1.0\n", "Deformation", "MaxRadius", 2.0f},
        {"[Deformation]\nPanelMinDepth=-1\n", "Deformation", "PanelMinDepth", 0.0f},
        {"[Deformation]\nPanelCreaseRandomness=-1\n", "Deformation", "PanelCreaseRandomness", 0.0f},
        {"[Deformation]\nContactGapMs=10\n", "Deformation", "ContactGapMs", 50},
        {"[Deformation]\nContactGapMs=999.9\n", "Deformation", "ContactGapMs", 999},
        {"[Deformation]\nContactGapMs=abc\n", "Deformation", "ContactGapMs", 180},
        {"[Deformation]\nContactGapMs=1e9\n", "Deformation", "ContactGapMs", 1000},
        {"[Traffic]\nNPCRange=5\n", "Traffic", "NPCRange", 20},
        {"[Traffic]\nNPCRange=500\n", "Traffic", "NPCRange", 200},
        {"[Traffic]\nNPCRange=-1\n", "Traffic", "NPCRange", 20},
        {"[Traffic]\nNPCRange=150.7\n", "Traffic", "NPCRange", 150},
        {"[Traffic]\nMaxNPCPerFrame=0\n", "Traffic", "MaxNPCPerFrame", 1},
        {"[Traffic]\nMaxNPCPerFrame=65\n", "Traffic", "MaxNPCPerFrame", 64},
        {"[PartRetention]\nAttemptsPerStage=0\n", "PartRetention", "AttemptsPerStage", 1},
        {"[PartRetention]\nAttemptsPerStage=100\n", "PartRetention", "AttemptsPerStage", 12},
        {"[PartRetention]\nAttemptsPerStage=-1\n", "PartRetention", "AttemptsPerStage", 1},
        {"[Traffic]\nMaxTotalVertices=1\n", "Traffic", "MaxTotalVertices", 50000},
        {"[Traffic]\nMaxTotalVertices=0x10\n", "Traffic", "MaxTotalVertices", 50000},
        {"[Traffic]\nMaxTrackedVehicles=1000\n", "Traffic", "MaxTrackedVehicles", 128},
        {"[Traffic]\nMaxTrackedVehicles=20\n", "Traffic", "MaxTrackedVehicles", 20},
        {"[General]\nLogHits=-5\n", "General", "LogHits", 1},
        {"[General]\nLogHits=0\n", "General", "LogHits", 0},
        {"[Lights]\nRearDamage=abc\n", "Lights", "RearDamage", 1},
        {"[Lights]\nRearDamage=\n", "Lights", "RearDamage", 1},
        {"[PartRetention]\nEnabled=0\n[General]\nEnabled=1\n", "PartRetention", "Enabled", 0},
        {"[Deformation]\nStrength=2\nStrength=0.5\n", "Deformation", "Strength", 2.0f},
        // Counts: not a number keeps the default, out of range (negatives
        // included) gives the nearest end, a fraction is cut off.
        {"[Traffic]\nMaxTrackedVehicles=abc\n", "Traffic", "MaxTrackedVehicles", 64},
        {"[Traffic]\nMaxTrackedVehicles=12abc\n", "Traffic", "MaxTrackedVehicles", 64},
        {"[Traffic]\nMaxTrackedVehicles=20 ; twenty\n", "Traffic", "MaxTrackedVehicles", 64},
        {"[Traffic]\nMaxTrackedVehicles=-1\n", "Traffic", "MaxTrackedVehicles", 16},
        {"[Traffic]\nMaxTrackedVehicles=99999999999999999999999\n", "Traffic", "MaxTrackedVehicles",
         128},
        {"[Traffic]\nMaxTrackedVehicles=0x20\n", "Traffic", "MaxTrackedVehicles", 32},
        {"[Traffic]\nMaxTrackedVehicles=+40\n", "Traffic", "MaxTrackedVehicles", 40},
        {"[Traffic]\nMaxTotalVertices=-1\n", "Traffic", "MaxTotalVertices", 50000},
        {"[Traffic]\nMaxNPCPerFrame=2.9\n", "Traffic", "MaxNPCPerFrame", 2},
        {"[Traffic]\nMaxNPCPerFrame=nan\n", "Traffic", "MaxNPCPerFrame", 32},
        {"[Traffic]\nNPCRange=1e3\n", "Traffic", "NPCRange", 200},
        // Switches: the words in any case, or any number (non-zero is on).
        {"[Traffic]\nAffectNPCs=yes\n", "Traffic", "AffectNPCs", 1},
        {"[Traffic]\nAffectNPCs=No\n", "Traffic", "AffectNPCs", 0},
        {"[Traffic]\nAffectNPCs=OFF\n", "Traffic", "AffectNPCs", 0},
        {"[Lights]\nRearDamage=False\n", "Lights", "RearDamage", 0},
        {"[Lights]\nRearDamage=0.0\n", "Lights", "RearDamage", 0},
        {"[Lights]\nRearDamage=0x0\n", "Lights", "RearDamage", 0},
        {"[Lights]\nRearDamage=nope\n", "Lights", "RearDamage", 1},
        {"[Lights]\nRearDamage=0 ; off\n", "Lights", "RearDamage", 1},
        {"[Deformation]\nPanelBending=on\n", "Deformation", "PanelBending", 1},
        {"[Deformation]\nPanelBending=onn\n", "Deformation", "PanelBending", 1},
        {"[General]\nLogHits=TRUE\n", "General", "LogHits", 1},
        {"[General]\nLogHits=off\n", "General", "LogHits", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        loadText(c.ini);
        EXPECT_EQ(valueOf(c.section, c.key), c.expected);
    }
}

TEST(Settings, EarlySwitchesAndTheEnabledKey) {
    bwtest::ScratchDir dir;
    std::string path = dir.write("b.ini", "[General]\nDiagnostics=2\nLogHits=0\nEnabled=0\n[Deformation]\nStrength=2\n");
    plugin::resetSettingsForTesting();
    plugin::setDiagnostics(false);
    plugin::loadEarlySwitches(path.c_str());
    EXPECT_TRUE(plugin::diagnostics());
    EXPECT_EQ(settings().logHits, 0);
    EXPECT_EQ(settings().impact.strength, 1.0f); // only the early switches so far
    EXPECT_FALSE(plugin::enabledInSettings(path.c_str()));
    EXPECT_TRUE(plugin::enabledInSettings(dir.file("absent.ini").c_str()));
    plugin::loadSettings(path.c_str());
    EXPECT_EQ(settings().impact.strength, 2.0f);
    plugin::setDiagnostics(false);
}

TEST(Settings, TheSwitchesSayWhatTheFileSays) {
    bwtest::ScratchDir dir;
    const struct {
        const char* value;
        bool enabled;
    } cases[] = {{"true", true}, {"Yes", true},    {"ON", true},  {"1", true},
                 {"-3", true},   {"false", false}, {"no", false}, {"Off", false},
                 {"0", false},   {"maybe", true},  {"", true},    {"0x", true}};
    for (const auto& c : cases) {
        const std::string path = dir.write("b.ini", std::string("[General]\nEnabled=") + c.value +
                                                        "\nDiagnostics=" + c.value + "\n");
        EXPECT_EQ(plugin::enabledInSettings(path.c_str()), c.enabled) << c.value;
        plugin::setDiagnostics(false);
        plugin::loadEarlySwitches(path.c_str());
        // Diagnostics is off by default, so only a word or number that says
        // on turns it on.
        const bool saysOn = c.enabled && std::string(c.value) != "maybe" && *c.value != '\0' &&
                            std::string(c.value) != "0x";
        EXPECT_EQ(plugin::diagnostics(), saysOn) << c.value;
    }
    plugin::setDiagnostics(false);
}

// Deterministic garbage: every field must end within its range (or at its
// default), and nothing may crash.
TEST(Settings, GarbageNeverLeavesAFieldOutOfRange) {
    const char* values[] = {"1e9", "-2", "inf", "-inf", "nan", "0x10", "0.2x", "", "\"", "'1'", "99999999999",
                            "-2147483648", "4294967295", "0.0001", "1e-40", "  7  ", "abc", "\x01\xff", "3;4",
                            "[x]", "=", "0x", "-0", "2e", ".", "+"};
    const std::size_t valueCount = sizeof values / sizeof values[0];
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int round = 0; round < 60; ++round) {
        std::string text;
        const char* section = nullptr;
        for (const plugin::SettingRow& row : plugin::kSettingRows) {
            if (next() % 4 == 0) continue; // missing key
            if (section == nullptr || std::string(section) != row.section || next() % 7 == 0) {
                section = row.section;
                text += std::string("[") + section + "]\n";
            }
            if (next() % 9 == 0) text += std::string(next() % 3000, static_cast<char>('0' + next() % 60)) + "\n";
            if (next() % 11 == 0) text += std::string("\0\x02\xfe", 3);
            text += std::string(row.key) + (next() % 2 ? " = " : "=") + values[next() % valueCount] + "\n";
        }
        SCOPED_TRACE(round);
        loadText(text);
        for (const plugin::SettingRow& row : plugin::kSettingRows) {
            if (row.field.size == 0) continue;
            double v = plugin::settingValue(settings(), row);
            double low = row.low;
            if (row.lowAbove != nullptr)
                low = static_cast<float>(valueOf(row.section, row.lowAbove)) + row.low;
            bool inRange = v >= static_cast<float>(low) && v <= row.high;
            EXPECT_TRUE(inRange || v == row.defaultValue) << row.key << " = " << v;
        }
    }
}

} // namespace
