#include <windows.h>

// The loader calls this on process attach; the load never fails.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
