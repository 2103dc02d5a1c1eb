// The sample settings file the build writes from the table must say what the
// table says: every key, in its section, at its default, with its range and
// description in the comment above it, and nothing else.

#include "plugin/settings.h"
#include "plugin/settings_table.h"
#include "plugin/log.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
    }
    return out;
}

// "<number>" at the start of `text`, advancing it; false when none.
bool takeNumber(const char*& text, float* value) {
    char* end = nullptr;
    *value = std::strtof(text, &end);
    if (end == text) return false;
    text = end;
    return true;
}

bool takeWord(const char*& text, const char* word) {
    std::size_t n = std::strlen(word);
    if (std::strncmp(text, word, n) != 0) return false;
    text += n;
    return true;
}

// Checks the "(default d, range r)" tail of a comment line against the row.
void checkComment(const std::string& comment, const plugin::SettingRow& row) {
    std::string expectedStart = std::string("; ") + row.description + " (default ";
    ASSERT_EQ(comment.compare(0, expectedStart.size(), expectedStart), 0) << comment;
    const char* p = comment.c_str() + expectedStart.size();
    float v = 0;
    ASSERT_TRUE(takeNumber(p, &v)) << comment;
    EXPECT_EQ(v, row.defaultValue);
    ASSERT_TRUE(takeWord(p, ", range ")) << comment;
    if (row.kind == plugin::SettingKind::Flag) {
        EXPECT_STREQ(p, "0 or 1)");
        return;
    }
    if (row.lowAbove != nullptr) {
        ASSERT_TRUE(takeWord(p, row.lowAbove)) << comment;
        if (takeWord(p, " + ")) {
            ASSERT_TRUE(takeNumber(p, &v));
            EXPECT_EQ(v, row.low);
        } else {
            EXPECT_EQ(row.low, 0.0f);
        }
    } else {
        ASSERT_TRUE(takeNumber(p, &v)) << comment;
        EXPECT_EQ(v, row.low);
    }
    ASSERT_TRUE(takeWord(p, " to ")) << comment;
    ASSERT_TRUE(takeNumber(p, &v)) << comment;
    EXPECT_EQ(v, row.high);
    const bool whole =
        row.kind == plugin::SettingKind::Whole || row.kind == plugin::SettingKind::Count;
    EXPECT_STREQ(p, whole ? ", whole numbers)" : ")");
}

TEST(SampleIni, AgreesWithTheTable) {
    const std::string text = bwtest::readFile(BW_SAMPLE_INI);
    ASSERT_FALSE(text.empty()) << BW_SAMPLE_INI;
    const std::vector<std::string> all = lines(text);

    std::size_t keyLines = 0;
    std::string section;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::string& line = all[i];
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        std::size_t eq = line.find('=');
        ASSERT_NE(eq, std::string::npos) << line;
        const std::string key = line.substr(0, eq);
        const plugin::SettingRow* row = plugin::findSetting(section.c_str(), key.c_str());
        ASSERT_NE(row, nullptr) << "key not in the table: [" << section << "] " << key;
        ASSERT_GT(i, 0u);
        SCOPED_TRACE(key);
        checkComment(all[i - 1], *row);
        ++keyLines;
    }
    EXPECT_EQ(keyLines, plugin::kSettingCount);

    // Read back through the loader, the sample gives exactly the defaults.
    plugin::Settings defaults = plugin::defaultSettings();
    plugin::mutableSettingsForTesting() = plugin::Settings{};
    plugin::setDiagnostics(true);
    plugin::loadEarlySwitches(BW_SAMPLE_INI);
    plugin::loadSettings(BW_SAMPLE_INI);
    EXPECT_FALSE(plugin::diagnostics());
    EXPECT_TRUE(plugin::enabledInSettings(BW_SAMPLE_INI));
    for (const plugin::SettingRow& row : plugin::kSettingRows)
        EXPECT_EQ(plugin::settingValue(plugin::settings(), row), plugin::settingValue(defaults, row)) << row.key;
    plugin::resetSettingsForTesting();
}

} // namespace
