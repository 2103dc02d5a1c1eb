// The scenario reader: every kind of bad input stops at its line with what
// was expected; the settings overrides land where the plug-in reads them.

#include "lab/runner/scenario.h"
#include "lab/runner/settings_merge.h"

#include <gtest/gtest.h>

namespace {

const char* const kCar = "car player procedural\n";

struct BadInput {
    std::string text;
    std::string error;
};

std::string repeated(const std::string& line, int times) {
    std::string text;
    for (int i = 0; i < times; ++i)
        text += line;
    return text;
}

std::string snapshots(int count) {
    std::string text = kCar;
    for (int i = 0; i < count; ++i)
        text += "snapshot s" + std::to_string(i) + "\n";
    return text;
}

class BadScenario : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadScenario, StopsWithOneLineNamingWhatWasExpected) {
    lab::Scenario s;
    lab::ScenarioError e;
    EXPECT_FALSE(lab::parseScenario("t.scn", GetParam().text, s, e));
    EXPECT_EQ(e.text, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    EachKind, BadScenario,
    ::testing::Values(
        BadInput{"jump 3\n", "t.scn:1: expected a step (car, traffic, set, wait, strike, damage, "
                             "f7, repair, health, "
                             "restart or snapshot), not 'jump'"},
        BadInput{std::string(kCar) + "wait 0\n",
                 "t.scn:2: expected a number of frames (a whole number from 1 to 100000)"},
        BadInput{std::string(kCar) + "wait 2 ms 20000\n",
                 "t.scn:2: expected milliseconds per frame (a whole number from 1 to 10000)"},
        BadInput{std::string(kCar) + "strike player at 0 2 0 normal 0 -1 0 impulse -5\nwait 1\n",
                 "t.scn:2: expected an impulse (a number from 0.001 to 1e+06)"},
        BadInput{std::string(kCar) + "strike player at 0 2 nan normal 0 -1 0 impulse 5\nwait 1\n",
                 "t.scn:2: expected a body-frame point z (a number from -20 to 20)"},
        BadInput{std::string(kCar) + "strike player at 0 2 0 normal 0 0 0 impulse 5\nwait 1\n",
                 "t.scn:2: expected a normal of length 0.01 or more"},
        BadInput{std::string(kCar) + "strike van at 0 2 0 normal 0 -1 0 impulse 900\nwait 1\n",
                 "t.scn:2: expected a car declared above, not 'van'"},
        BadInput{std::string(kCar) +
                     "strike player at 0 2 0 normal 0 -1 0 impulse 9 by player\nwait 1\n",
                 "t.scn:2: expected another car after 'by'"},
        BadInput{std::string(kCar) + "strike traffic at 0 2 0 normal 0 -1 0 impulse 9\nwait 1\n",
                 "t.scn:2: expected a traffic line before striking traffic"},
        BadInput{std::string(kCar) + "damage player door 6\nwait 1\n",
                 "t.scn:2: expected a door index (a whole number from 0 to 5)"},
        BadInput{std::string(kCar) + "snapshot a\nwait 1\nsnapshot a\n",
                 "t.scn:4: expected a snapshot label not used before, not 'a'"},
        BadInput{std::string(kCar) + "snapshot Before\n",
                 "t.scn:2: expected a snapshot label of a-z, 0-9, '_' and '-' (at most 64), not "
                 "'Before'"},
        BadInput{std::string(kCar) + "car player procedural\n",
                 "t.scn:2: expected a car name not used before, not 'player'"},
        BadInput{"car truck procedural model 70000\n",
                 "t.scn:1: expected a model index (a whole number from 0 to 32767)"},
        BadInput{"car truck procedural colour red\n",
                 "t.scn:1: expected model, at, yaw, rearlight or detail, not 'colour'"},
        BadInput{"car truck mesh /nonexistent/truck.dff\n",
                 "t.scn:1: expected a car file (*.bwcar, from bw_carimport): cannot read "
                 "/nonexistent/truck.dff"},
        BadInput{"car a procedural model 91 rearlight 0.7 -2.1 0.3\n"
                 "car b procedural model 91 rearlight 0.6 -2.4 0.5\n",
                 "t.scn:2: expected the same rear light as the car of model 91 on line 1 (the "
                 "game keeps one per model), or another model"},
        BadInput{"car truck wireframe\n",
                 "t.scn:1: expected 'procedural' or 'mesh FILE', not 'wireframe'"},
        BadInput{"traffic 201\n",
                 "t.scn:1: expected a number of traffic cars (a whole number from 1 to 200)"},
        BadInput{std::string(kCar) + "set General.Nope 1\n",
                 "t.scn:2: expected a setting Section.Key of bucklewright.ini, not 'General.Nope'"},
        BadInput{std::string(kCar) + "wait 1 2\n",
                 "t.scn:2: expected the end of the line, not '2'"},
        BadInput{std::string(kCar) + "f7\nwait 1\nrepair player\nsnapshot end\n",
                 "t.scn:4: expected a 'wait' after this step to play it"},
        BadInput{"# nothing but a comment\nwait 1\n", "t.scn: expected at least one car"},
        // What a scenario may make the runner do and write is bounded.
        BadInput{snapshots(65), "t.scn:66: expected at most 64 snapshots"},
        BadInput{kCar + repeated("wait 100000\n", 11),
                 "t.scn:12: expected at most 1000000 frames in all"},
        // Words of the file are cut and made printable in the one line.
        BadInput{std::string(100000, 'x') + "\n",
                 "t.scn:1: expected a step (car, traffic, set, wait, strike, damage, f7, repair, "
                 "health, restart or snapshot), not '" +
                     std::string(40, 'x') + "...'"},
        BadInput{std::string(kCar) + "wait 1 \x1b[2J\n",
                 "t.scn:2: expected the end of the line, not '?[2J'"}));

TEST(Scenario, AByteOrderMarkBeforeTheFirstLineIsNotAWord) {
    lab::Scenario s;
    lab::ScenarioError e;
    EXPECT_TRUE(lab::parseScenario("t.scn", "\xEF\xBB\xBF" + std::string(kCar), s, e)) << e.text;
}

TEST(Scenario, MissingFileIsNamed) {
    lab::Scenario s;
    lab::ScenarioError e;
    EXPECT_FALSE(lab::readScenario("/nonexistent/x.scn", s, e));
    EXPECT_EQ(e.text, "/nonexistent/x.scn: expected a readable scenario file");
}

TEST(Scenario, CarFilesAreNamedFromTheScenariosFolder) {
    lab::Scenario s;
    lab::ScenarioError e;
    EXPECT_FALSE(
        lab::parseScenario("/nonexistent/real/t.scn", "car p mesh ../cars/p.bwcar\n", s, e));
    EXPECT_EQ(e.text, "/nonexistent/real/t.scn:1: expected a car file (*.bwcar, from "
                      "bw_carimport): cannot read /nonexistent/real/../cars/p.bwcar");
}

TEST(Scenario, ReadsCarsTrafficSettingsAndTimeline) {
    const std::string text = "# a comment line\r\n"
                             "car player procedural at 1 2 0 yaw 90   # trailing comment\r\n"
                             "traffic 3 at 0 10 0 step 0 5 0\n"
                             "set traffic.maxnpcperframe 4\n"
                             "strike traffic at 0 -2.2 0.3 normal 0 1 0 impulse 900\n"
                             "damage player panel 4\n"
                             "wait 2 ms 500\n"
                             "snapshot after\n";
    lab::Scenario s;
    lab::ScenarioError e;
    ASSERT_TRUE(lab::parseScenario("t.scn", text, s, e)) << e.text;
    ASSERT_EQ(s.cars.size(), 4u);
    EXPECT_EQ(s.cars[0].yawDegrees, 90.0f);
    EXPECT_EQ(s.cars[3].name, "traffic-3");
    EXPECT_TRUE(s.cars[3].traffic);
    EXPECT_EQ(s.cars[3].at.y, 20.0f);
    ASSERT_EQ(s.settings.size(), 1u);
    EXPECT_EQ(s.settings[0].section + "." + s.settings[0].key, "Traffic.MaxNPCPerFrame");
    ASSERT_EQ(s.steps.size(), 4u);
    EXPECT_EQ(s.steps[1].component, 16); // panels skip the host's code 15
    EXPECT_EQ(lab::componentName(s.steps[1].component), "panel 4");
    EXPECT_EQ(s.steps[2].frames, 2u);
    EXPECT_EQ(s.steps[2].frameMs, 500u);
    EXPECT_EQ(s.steps[3].line, 8);
}

TEST(SettingsMerge, OverridesReplaceJoinTheirSectionOrOpenOne) {
    const std::string base = "; tuning\n[General]\nLogHits = 1\n\n[Deformation]\nStrength=1\r\n\n"
                             "[Traffic]\nAffectNPCs=1\n";
    const std::string merged = lab::mergeSettings(base, {{"General", "LogHits", "1", 1},
                                                         {"Deformation", "Strength", "2", 1},
                                                         {"Traffic", "NPCRange", "50", 2},
                                                         {"Lights", "RearDamage", "0", 3},
                                                         {"Lights", "RearMinDepth", "0.2", 4}});
    EXPECT_EQ(
        merged,
        "; tuning\n[General]\nLogHits=1\n\n[Deformation]\nStrength=2\n\n[Traffic]\nAffectNPCs=1\n"
        "NPCRange=50\n[Lights]\nRearDamage=0\nRearMinDepth=0.2\n");
}

TEST(SettingsMerge, HitLoggingIsOnUnlessTheScenarioSaysOtherwise) {
    EXPECT_EQ(lab::mergeSettings("", {}), "[General]\nLogHits=1\n");
    EXPECT_EQ(lab::mergeSettings("[General]\nLogHits=0\n", {}), "[General]\nLogHits=1\n");
    EXPECT_EQ(lab::mergeSettings("[General]\nDiagnostics=1\n", {}),
              "[General]\nDiagnostics=1\nLogHits=1\n");
    EXPECT_EQ(lab::mergeSettings("[General]\nLogHits=1\n", {{"General", "LogHits", "0", 1}}),
              "[General]\nLogHits=0\n");
}

} // namespace
