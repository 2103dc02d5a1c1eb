#include "orchestration/hook_installation.h"

#include "game/contact_capture.h"
#include "game/frame_state.h"
#include "game/host_layout.h"
#include "game/part_retention.h"
#include "game/readable_range.h"
#include "game/registry.h"
#include "hook/MinHook.h"
#include "orchestration/frame_hook.h"
#include "orchestration/lifecycle.h"
#include "plugin/log.h"
#include "plugin/settings.h"

namespace orchestration {

namespace {

constexpr std::uint8_t kNearJump = 0xE9;

std::uint8_t contactInstallTried = 0;
std::uint8_t retentionInstallTried = 0;

template <class Fn>
void* code(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

template <class Fn>
void** slot(Fn* trampoline) {
    return reinterpret_cast<void**>(trampoline);
}

void* at(std::uintptr_t address) { return reinterpret_cast<void*>(address); }

bool initialized(MH_STATUS status) {
    return status == MH_OK || status == MH_ERROR_ALREADY_INITIALIZED;
}

const HookRow kRows[kContactHookRows] = {
    {game::addr::PairContact, code(&game::pairContactDetour), slot(&game::pairContactOriginal)},
    {game::addr::SingleContact, code(&game::singleContactDetour), slot(&game::singleContactOriginal)},
    {game::addr::GameShutdown, code(&gameShutdownDetour), slot(&gameShutdownOriginal)},
    {game::addr::ShutDownForRestart, code(&shutDownForRestartDetour), slot(&shutDownForRestartOriginal)},
};

void installContactHooks() {
    if (!initialized(MH_Initialize())) {
        plugin::logLine("Contact hooks: initialization failed; disabled.");
        return;
    }
    for (int k = 0; k < kContactHookRows; ++k) {
        const MH_STATUS status = MH_CreateHook(at(kRows[k].target), kRows[k].detour, kRows[k].trampoline);
        if (status != MH_OK) {
            plugin::logFormat(128, "Contact hook %08lX failed: %s; deformation disabled.",
                              static_cast<unsigned long>(kRows[k].target), MH_StatusToString(status));
            for (int j = 0; j < k; ++j) MH_RemoveHook(at(kRows[j].target));
            return;
        }
    }
    for (int k = 0; k < kContactHookRows; ++k) {
        if (MH_EnableHook(at(kRows[k].target)) != MH_OK) {
            for (int j = 0; j < kContactHookRows; ++j) {
                MH_DisableHook(at(kRows[j].target));
                MH_RemoveHook(at(kRows[j].target));
            }
            plugin::logLine("Contact hook activation failed; deformation disabled.");
            return;
        }
    }
    game::hooksActive = 1;
    plugin::logLine("Lifecycle hooks active: cleanup before CGame::Shutdown and ShutDownForRestart.");
    plugin::logLine("Contact hooks active: GTA III pair and alternate/static paths; original physics preserved.");
}

bool jumpAlreadyAt(std::uintptr_t address) {
    return *reinterpret_cast<const volatile std::uint8_t*>(address) == kNearJump;
}

void installPartRetentionHooks() {
    const plugin::Settings& s = plugin::settings();
    if (!s.partRetentionEnabled || s.attemptsPerStage < 2) return;
    if (!initialized(MH_Initialize())) return;

    void* damage = at(game::addr::ComponentDamage);
    void* reset = at(game::addr::DamageReset);
    if (jumpAlreadyAt(game::addr::ComponentDamage) ||
        MH_CreateHook(damage, code(&game::componentDamageDetour), slot(&game::componentDamageOriginal)) != MH_OK) {
        plugin::logLine("Part retention: hook conflict/failure; stock detachment retained.");
        return;
    }
    if (jumpAlreadyAt(game::addr::DamageReset) ||
        MH_CreateHook(reset, code(&game::damageResetDetour), slot(&game::damageResetOriginal)) != MH_OK) {
        MH_RemoveHook(damage);
        plugin::logLine("Part retention: hook conflict/failure; stock detachment retained.");
        return;
    }
    if (MH_EnableHook(damage) != MH_OK || MH_EnableHook(reset) != MH_OK) {
        MH_DisableHook(damage);
        MH_RemoveHook(damage);
        MH_DisableHook(reset);
        MH_RemoveHook(reset);
        plugin::logLine("Part retention: activation failed; stock detachment retained.");
        return;
    }
    plugin::logFormat(160, "Part retention active: %u separate attempts per delayed stage; 750 ms contact gap.",
                      static_cast<unsigned>(s.attemptsPerStage));
}

// The one test that decides the whole session: a query the system could not
// answer is asked once more before the executable is called unsupported.
bool readableForStartup(std::uintptr_t address, std::size_t size) {
    const std::uint32_t failures = game::memoryQueryFailures();
    if (game::readableRange(address, size)) return true;
    return game::memoryQueryFailures() != failures && game::readableRange(address, size);
}

} // namespace

const HookRow* contactHookRows() { return kRows; }

void installHooks() {
    if (!contactInstallTried) {
        contactInstallTried = 1;
        installContactHooks();
    }
    if (!retentionInstallTried) {
        retentionInstallTried = 1;
        installPartRetentionHooks();
    }
}

StartupBindings startupBindings() {
    StartupBindings b{};
    b.readable = &readableForStartup;
    b.createRegistry = &game::createRegistry;
    b.patches[0] = {game::addr::RwShutdownCall, &renderWareShutdownDetour, &renderWareShutdownTarget};
    b.patches[1] = {game::addr::PoolsShutdownCall, &poolsShutdownDetour, &poolsShutdownTarget};
    b.patches[2] = {game::addr::ProcessCall, &frameHook, &processTarget};
    return b;
}

} // namespace orchestration
