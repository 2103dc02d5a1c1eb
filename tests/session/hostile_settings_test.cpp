// Settings files a player might write by hand, or break: each one gives the
// same log and the same settings record wherever the plug-in runs. One table
// of cases and outcomes, checked on the shared library and on the product
// DLL in the Windows model (linux32), and in the substitute game under Wine,
// where Windows' own profile functions read the file.

#include "session_fixture.h"

#include "plugin/settings.h"
#include "plugin/settings_table.h"

#include <utility>

namespace {

using namespace bwsession;

struct Value {
    const char* section;
    const char* key;
    double value;
};

struct HostileCase {
    const char* name;
    std::string ini;       // the settings file's bytes
    bool file;             // false: no settings file at all
    const char* retention; // the part-retention line's count, or null for none
    bool disabled;         // "Disabled in INI." stops start-up
    std::vector<Value> record;
};

const std::string kLongJunk = std::string(20000, 'x');

// clang-format off
const HostileCase kCases[] = {
    {"MissingFile", "", false, "2", false,
     {{"PartRetention", "AttemptsPerStage", 2}, {"Deformation", "Strength", 1.0}}},
    {"NotNumbers",
     "[PartRetention]\nAttemptsPerStage=abc\n[Deformation]\nStrength=strong\n[Traffic]\nNPCRange="
     "far\n",
     true, "2", false,
     {{"PartRetention", "AttemptsPerStage", 2},
      {"Deformation", "Strength", 1.0},
      {"Traffic", "NPCRange", 100}}},
    {"Negative",
     "[PartRetention]\nAttemptsPerStage=-1\n[Deformation]\nStrength=-2\n[Traffic]\n"
     "MaxTrackedVehicles=-5\n",
     true, nullptr, false,
     {{"PartRetention", "AttemptsPerStage", 1},
      {"Deformation", "Strength", 0.1},
      {"Traffic", "MaxTrackedVehicles", 16}}},
    {"Huge",
     "[PartRetention]\nAttemptsPerStage=99999999999\n[Deformation]\nStrength=1e9\n[Traffic]\n"
     "MaxTotalVertices=99999999999\n",
     true, "12", false,
     {{"PartRetention", "AttemptsPerStage", 12},
      {"Deformation", "Strength", 3.0},
      {"Traffic", "MaxTotalVertices", 1000000}}},
    {"Quoted", "[PartRetention]\nAttemptsPerStage=\"3\"\n[Deformation]\nStrength='2.5'\n", true,
     "3", false,
     {{"PartRetention", "AttemptsPerStage", 3}, {"Deformation", "Strength", 2.5}}},
    {"DuplicatedKeysAndSections",
     "[PartRetention]\nAttemptsPerStage=3\nAttemptsPerStage=5\n[Traffic]\nNPCRange=50\n"
     "[PartRetention]\nEnabled=0\n",
     true, "3", false,
     {{"PartRetention", "AttemptsPerStage", 3},
      {"PartRetention", "Enabled", 1},
      {"Traffic", "NPCRange", 50}}},
    {"VeryLongLines",
     "[Deformation]\nJunk=" + kLongJunk + "\nStrength=2\nMinImpact=0.1" + std::string(200, '0') +
         "9\n[PartRetention]\nAttemptsPerStage=4\n",
     true, "4", false,
     {{"Deformation", "Strength", 2.0},
      {"Deformation", "MinImpact", 0.1},
      {"PartRetention", "AttemptsPerStage", 4}}},
    {"BlanksInSectionName", "[ PartRetention ]\nAttemptsPerStage=6\n", true, "6", false,
     {{"PartRetention", "AttemptsPerStage", 6}}},
    {"CommentAfterValue",
     "[PartRetention]\nAttemptsPerStage=3 ; three\n[Deformation]\nStrength=2 ; two\n", true,
     "2", false,
     {{"PartRetention", "AttemptsPerStage", 2}, {"Deformation", "Strength", 1.0}}},
    {"SwitchedOffInWords", "[General]\nEnabled=no\n", true, nullptr, true, {}},
    {"SwitchedInWords", "[General]\nEnabled=Yes\n[PartRetention]\nEnabled=off\n", true, nullptr,
     false, {{"PartRetention", "Enabled", 0}}},
};
// clang-format on

class HostileSettings : public Session, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileSettings, SameLogAndRecordEverywhere) {
    const HostileCase& c = GetParam();
    attach(c.ini, c.file);
    host.step();
    host.endSession();
    Lines want{kBanner};
    if (c.disabled) {
        want.push_back("Disabled in INI.");
    } else {
        want.insert(want.end(), {kActive, kLifecycleHooks, kContactHooks});
        if (c.retention != nullptr)
            want.push_back(std::string("Part retention active: ") + c.retention +
                           " separate attempts per delayed stage; 750 ms contact gap.");
        want.push_back(kProbe);
        want += gameShutdown(0);
    }
    expectLog(want);

    // The record as this system's profile reads fill it from the same file.
    plugin::loadSettings(dir.file("bucklewright.ini").c_str());
    for (const Value& v : c.record) {
        const plugin::SettingRow* row = plugin::findSetting(v.section, v.key);
        ASSERT_NE(row, nullptr) << v.key;
        EXPECT_FLOAT_EQ(static_cast<float>(plugin::settingValue(plugin::settings(), *row)),
                        static_cast<float>(v.value))
            << v.section << "/" << v.key;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileSettings, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
