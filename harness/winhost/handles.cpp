#include "winhost/handles.h"

#include <unistd.h>

#include <cstdint>

namespace winhost {
namespace {

constexpr std::size_t kSlots = 256;
KernelObject g_objects[kSlots];

// Handles are multiples of 4 from 4, as Windows hands them out.
std::size_t slotOf(HANDLE handle) {
    const auto v = reinterpret_cast<std::uintptr_t>(handle);
    if (v == 0 || v % 4 != 0 || v / 4 > kSlots) return kSlots;
    return v / 4 - 1;
}

} // namespace

HANDLE newHandle(const KernelObject& object) {
    for (std::size_t i = 0; i < kSlots; ++i)
        if (g_objects[i].kind == HandleKind::None) {
            g_objects[i] = object;
            return reinterpret_cast<HANDLE>((i + 1) * 4);
        }
    return nullptr;
}

KernelObject* objectOf(HANDLE handle, HandleKind kind) {
    const std::size_t slot = slotOf(handle);
    if (slot >= kSlots || g_objects[slot].kind != kind || kind == HandleKind::None) return nullptr;
    return &g_objects[slot];
}

bool closeHandle(HANDLE handle) {
    const std::size_t slot = slotOf(handle);
    if (slot >= kSlots || g_objects[slot].kind == HandleKind::None) return false;
    if (g_objects[slot].kind == HandleKind::File) ::close(g_objects[slot].fd);
    g_objects[slot] = KernelObject{};
    return true;
}

std::size_t openHandles(HandleKind kind) {
    std::size_t n = 0;
    for (const KernelObject& o : g_objects)
        n += o.kind == kind;
    return n;
}

} // namespace winhost
