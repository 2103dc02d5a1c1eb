#include <windows.h>

#include "orchestration/hook_installation.h"
#include "orchestration/startup.h"

// The loader calls this on process attach; the load never fails.
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    orchestration::moduleEntry(module, reason, orchestration::startupBindings());
    return TRUE;
}
