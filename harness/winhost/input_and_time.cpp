// The clock and the keyboard come from the platform layer's test state, the
// same that drives the shared-library build: the substitute host sets both.

#include "platform/platform.h"
#include "winhost/call_counts.h"
#include "winhost/stand_ins.h"
#include "winhost/win32_types.h"

namespace winhost {
namespace {

bool g_wasDown[256];
DWORD g_tickOffset = 0;

// The count cannot fail, but it wraps to 0 every 49.7 days: failing a use
// makes the wrap come 16 ms after it.
DWORD WINHOST_API GetTickCount() {
    static CallCounter calls("GetTickCount");
    if (calls.failsNow()) g_tickOffset = 0xFFFFFFF0u - platform::tickCount();
    return platform::tickCount() + g_tickOffset;
}

// High bit: down now; low bit: went down since the previous query. A failed
// query (another desktop is active) reads 0.
std::int16_t WINHOST_API GetAsyncKeyState(int key) {
    static CallCounter calls("GetAsyncKeyState");
    if (calls.failsNow()) return 0;
    if (key < 0 || key >= 256) return 0;
    const bool down = platform::keyDown(key);
    const bool pressed = down && !g_wasDown[key];
    g_wasDown[key] = down;
    return static_cast<std::int16_t>((down ? 0x8000 : 0) | (pressed ? 1 : 0));
}

// One thread: there is nothing to wait for.
void WINHOST_API Sleep(DWORD) {
    static CallCounter calls("Sleep", Failure::None);
    calls.failsNow();
}

const StandIn kKernel32[] = {
    {"GetTickCount", reinterpret_cast<void*>(&GetTickCount)},
    {"Sleep", reinterpret_cast<void*>(&Sleep)},
};
const StandIn kUser32[] = {
    {"GetAsyncKeyState", reinterpret_cast<void*>(&GetAsyncKeyState)},
};

} // namespace

StandInList inputStandIns() {
    return standIns("user32.dll", kUser32);
}
StandInList timeStandIns() {
    return standIns("kernel32.dll", kKernel32);
}

} // namespace winhost
