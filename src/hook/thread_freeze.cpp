#include "hook/thread_freeze.h"

namespace hook {

std::uintptr_t ipAfterEnable(const HookEntry& hook, std::uintptr_t ip) {
    const auto target = reinterpret_cast<std::uintptr_t>(hook.target);
    const auto trampoline = reinterpret_cast<std::uintptr_t>(hook.trampoline);
    for (unsigned i = 1; i < hook.layout.count; ++i) {
        if (ip == target + hook.layout.oldOffsets[i]) return trampoline + hook.layout.newOffsets[i];
    }
    return ip;
}

std::uintptr_t ipAfterDisable(const HookEntry& hook, std::uintptr_t ip) {
    const auto target = reinterpret_cast<std::uintptr_t>(hook.target);
    const auto trampoline = reinterpret_cast<std::uintptr_t>(hook.trampoline);
    for (unsigned i = 0; i < hook.layout.count; ++i) {
        if (ip == trampoline + hook.layout.newOffsets[i]) return target + hook.layout.oldOffsets[i];
    }
    if (hook.layout.jumpsBack && ip == trampoline + hook.layout.size - patchSize) {
        return target + hook.layout.copiedSize;
    }
    return ip;
}

namespace {

std::uintptr_t afterEnable(std::uintptr_t ip, void* context) {
    return ipAfterEnable(*static_cast<const HookEntry*>(context), ip);
}

std::uintptr_t afterDisable(std::uintptr_t ip, void* context) {
    return ipAfterDisable(*static_cast<const HookEntry*>(context), ip);
}

} // namespace

bool moveThreadsAfterEnable(platform::OtherThreads& threads, const HookEntry& hook) {
    return threads.moveInstructionPointers(afterEnable, const_cast<HookEntry*>(&hook));
}

bool moveThreadsAfterDisable(platform::OtherThreads& threads, const HookEntry& hook) {
    return threads.moveInstructionPointers(afterDisable, const_cast<HookEntry*>(&hook));
}

} // namespace hook
