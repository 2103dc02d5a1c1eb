// The program's layout and the process set-up, which run before main in
// every program that links the substitute game.

#include "wingame/game_process.h"

#include <algorithm>
#include <cstdio>

#define BW_TEXT(x) #x
#define BW_EXPAND(x) BW_TEXT(x)

// The reserved section: uninitialised, so it takes no room in the file, from
// the page after the image header to where the linker places the program's
// code (CMakeLists.txt). The loader commits it zeroed and writable.
// clang-format off
__asm__(".section .bwgame,\"bw\"\n"
        ".globl _bw_game_range\n"
        "_bw_game_range:\n"
        ".space " BW_EXPAND(BW_GAME_CODE_START) " - 0x401000\n"
        ".globl _bw_game_range_end\n"
        "_bw_game_range_end:\n"
        ".text\n");
// clang-format on
extern "C" char bw_game_range[];
extern "C" char bw_game_range_end[];

namespace wingame {

void watchPluginLoads(); // import_binding.cpp

namespace {

// A game that crashes ends there: the exception's code is the exit code, no
// debugger starts and no dialog waits for a player.
LONG WINAPI endOnUnhandledFault(EXCEPTION_POINTERS* pointers) {
    const DWORD code = pointers != nullptr && pointers->ExceptionRecord != nullptr
                           ? pointers->ExceptionRecord->ExceptionCode
                           : 1;
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Keys pressed in one game must not reach another: Wine keeps the keyboard's
// state per desktop, and the tests of a run share one Wine server.
bool useOwnDesktop() {
    char name[48];
    std::snprintf(name, sizeof name, "bucklewright-game-%lu", GetCurrentProcessId());
    HDESK desktop = CreateDesktopA(name, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    return desktop != nullptr && SetThreadDesktop(desktop);
}

struct GameProcess {
    GameProcess() {
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
        SetUnhandledExceptionFilter(&endOnUnhandledFault);
        ownDesktop = useOwnDesktop();
        watchPluginLoads();
    }
    bool ownDesktop = false;
} g_process;

} // namespace

bool hasOwnDesktop() {
    return g_process.ownDesktop;
}

Range reservedRange() {
    return Range{reinterpret_cast<std::uintptr_t>(bw_game_range),
                 reinterpret_cast<std::uintptr_t>(bw_game_range_end)};
}

std::vector<HMODULE> loadAsiPlugins(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*.asi").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                names.push_back(found.cFileName);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    std::sort(names.begin(), names.end());
    std::vector<HMODULE> loaded;
    for (const std::string& name : names)
        if (HMODULE module = LoadLibraryA((folder + "\\" + name).c_str())) loaded.push_back(module);
    return loaded;
}

} // namespace wingame
