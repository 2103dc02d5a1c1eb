// Start-up in a process that holds the substitute host; the log goes beside
// this test program, as the plug-in's goes beside its module.
#include "orchestration/startup.h"

#include "../game/sim_fixture.h"
#include "game/host_layout.h"
#include "orchestration/hook_installation.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

class Startup : public guardtest::SimTest {};

std::vector<unsigned char> codeAt(game::Address at) {
    const auto* p = reinterpret_cast<const unsigned char*>(static_cast<std::uintptr_t>(at));
    return std::vector<unsigned char>(p, p + 5);
}

TEST(SiblingPath, ReplacesOnlyTheFileNamesOwnExtension) {
    const struct {
        const char* module;
        const char* want;
    } cases[] = {
        {"C:\\Games\\GTA3\\plugin.asi", "C:\\Games\\GTA3\\plugin.log"},
        {"C:\\Games\\GTA3\\plugin", "C:\\Games\\GTA3\\plugin.log"},
        {"C:\\x.y\\plugin", "C:\\x.y\\plugin.log"},
        {"/tmp/x.y/clone/tests/startup_test", "/tmp/x.y/clone/tests/startup_test.log"},
        {"C:\\x.y/a.b.asi", "C:\\x.y/a.b.log"},
        {"plugin", "plugin.log"},
    };
    for (const auto& c : cases) {
        char out[260];
        orchestration::siblingPath(c.module, ".log", out, sizeof out);
        EXPECT_STREQ(out, c.want) << c.module;
    }
    char small[8];
    orchestration::siblingPath("C:\\long\\plugin.asi", ".ini", small, sizeof small);
    EXPECT_STREQ(small, "C:\\long") << "cut to the bound, never overflowed";
}

TEST_F(Startup, WithoutARegistryNothingIsPatched) {
    char module[260] = "", logFile[260] = "";
    ASSERT_TRUE(platform::ownModulePath(module, sizeof module));
    orchestration::siblingPath(module, ".log", logFile, sizeof logFile);
    std::remove(logFile);
    const game::Address sites[] = {game::addr::ProcessCall, game::addr::RwShutdownCall,
                                   game::addr::PoolsShutdownCall};
    std::vector<std::vector<unsigned char>> before;
    for (game::Address s : sites)
        before.push_back(codeAt(s));

    orchestration::StartupBindings b = orchestration::startupBindings();
    b.createRegistry = [] { return false; };
    orchestration::processAttach(nullptr, b);

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(codeAt(sites[i]), before[i]) << i;
    std::vector<std::string> lines;
    if (std::FILE* f = std::fopen(logFile, "rb")) {
        char line[512];
        while (std::fgets(line, sizeof line, f))
            lines.push_back(line);
        std::fclose(f);
    }
    std::remove(logFile);
    ASSERT_EQ(lines.size(), 2u) << "the banner and one line";
    EXPECT_EQ(lines[1], "Could not create vehicle registry; disabled.\r\n");
}

} // namespace
