#include "orchestration/startup.h"

#include "platform/platform.h"
#include "plugin/log.h"
#include "plugin/settings.h"
#include "plugin/version.h"

#include <cstdio>
#include <cstring>

namespace orchestration {

using plugin::logLine;

namespace {

constexpr unsigned long kProcessAttach = 1;
constexpr std::uint8_t kNearCall = 0xE8;
constexpr std::size_t kCallSize = 5;
constexpr std::uint32_t kPageExecuteReadWrite = 0x40;

char g_settingsPath[260] = "";

std::uint8_t codeByte(std::uintptr_t at) {
    return *reinterpret_cast<const volatile std::uint8_t*>(at);
}

} // namespace

void siblingPath(const char* modulePath, const char* extension, char* out, std::size_t size) {
    if (out == nullptr || size == 0) return;
    if (modulePath == nullptr) modulePath = "";
    // The last '.' anywhere in the path, so a dotted folder with a dotless
    // file name is cut in the folder, as the loader's own naming would.
    const char* dot = std::strrchr(modulePath, '.');
    const int baseLength = dot != nullptr ? static_cast<int>(dot - modulePath)
                                          : static_cast<int>(std::strlen(modulePath));
    std::snprintf(out, size, "%.*s%s", baseLength, modulePath, extension != nullptr ? extension : "");
}

const char* settingsPath() { return g_settingsPath; }

bool patchCallSite(std::uintptr_t site, PlainCall detour, PlainCall* savedTarget) {
    if (codeByte(site) != kNearCall) return false;
    std::int32_t displacement = 0;
    std::memcpy(&displacement, reinterpret_cast<const void*>(site + 1), sizeof displacement);
    if (savedTarget != nullptr)
        *savedTarget = reinterpret_cast<PlainCall>(site + kCallSize + static_cast<std::uint32_t>(displacement));

    void* at = reinterpret_cast<void*>(site);
    std::uint32_t oldProtection = 0;
    if (!platform::protect(at, kCallSize, kPageExecuteReadWrite, &oldProtection)) return false;
    const std::uint32_t newDisplacement = static_cast<std::uint32_t>(
        reinterpret_cast<std::uintptr_t>(detour) - (site + kCallSize));
    std::memcpy(reinterpret_cast<void*>(site + 1), &newDisplacement, sizeof newDisplacement);
    std::uint32_t ignored = 0;
    platform::protect(at, kCallSize, oldProtection, &ignored);
    platform::flushInstructionCache(at, kCallSize);
    return true;
}

void processAttach(void* module, const StartupBindings& bindings) {
    platform::disableThreadNotifications(module);

    char modulePath[260];
    std::memset(modulePath, 0, sizeof modulePath);
    if (!platform::ownModulePath(modulePath, sizeof modulePath)) return;

    char logFile[260];
    siblingPath(modulePath, ".ini", g_settingsPath, sizeof g_settingsPath);
    siblingPath(modulePath, ".log", logFile, sizeof logFile);
    plugin::setLogPath(logFile);

    logLine("Bucklewright " BW_VERSION " experimental - two-sided panels sharing vertices and lighting");
    plugin::loadEarlySwitches(g_settingsPath);
    plugin::installExceptionReporter();
    // The hooks and the reporter are never taken out again, so their code
    // must stay mapped even should the loader unload the module.
    if (!platform::pinOwnModule())
        logLine("Could not pin module; an unload would leave hooks behind.");

    if (platform::executableBase() != game::addr::ImageBase) {
        logLine("Unsupported executable base; disabled.");
        return;
    }
    const void* signature = game::globalAddress(game::addr::Signature);
    const auto& expected = game::addr::SignatureBytes;
    if (bindings.readable == nullptr ||
        !bindings.readable(game::addr::Signature, sizeof expected) ||
        std::memcmp(signature, expected, sizeof expected) != 0) {
        logLine("Unsupported executable: requires classic GTA III PC 1.0 English; disabled.");
        return;
    }

    if (!plugin::enabledInSettings(g_settingsPath)) {
        logLine("Disabled in INI.");
        return;
    }
    plugin::loadSettings(g_settingsPath);

    for (std::uintptr_t site : kCallSitesInTestOrder) {
        if (codeByte(site) != kNearCall) {
            logLine("Hook sites changed by another mod; disabled.");
            return;
        }
    }

    // Before any patch: the shutdown detours may run as soon as they are in.
    // Without a registry no frame could ever dent, so the game stays stock.
    if (bindings.createRegistry == nullptr || !bindings.createRegistry()) {
        logLine("Could not create vehicle registry; disabled.");
        return;
    }

    for (const CallSitePatch& patch : bindings.patches) {
        if (!patchCallSite(patch.site, patch.detour, patch.savedTarget)) {
            logLine("Could not install process hook; no deformation enabled.");
            return;
        }
    }
    logLine("Active. Player first; nearby NPCs according to Traffic settings. F7 restores player "
            "geometry. Physical collision remains stock in this GTA III port.");
}

int moduleEntry(void* module, unsigned long reason, const StartupBindings& bindings) {
    if (reason == kProcessAttach) processAttach(module, bindings);
    return 1;
}

} // namespace orchestration
