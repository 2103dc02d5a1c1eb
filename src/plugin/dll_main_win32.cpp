#include <windows.h>

#include "game/hook_installation.h"
#include "plugin/startup.h"

// The loader calls this on process attach; the load never fails.
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    plugin::moduleEntry(module, reason, game::startupBindings());
    return TRUE;
}
